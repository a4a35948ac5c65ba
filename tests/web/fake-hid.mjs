// A stand-in for Chromium's WebHID with the keyboard behind it, installed in a page before its
// scripts run (page.evaluateOnNewDocument(installFakeHid, options)), so that the page's bridge,
// its grants and its chooser run on every page test without a kernel. It answers as Chromium
// does: feature reports of 131 bytes without the report-ID byte; a keyboard that switches to
// firmware-upload mode or restarts leaves (disconnect) and comes back as a new HIDDevice; a
// product ID the user has not granted stays out of getDevices() until requestDevice(), which
// Chromium refuses without a user gesture (SecurityError).
//   options: { version, versionAfter, chooser: 'grant' | 'cancel', refuseAsGestureless: which
//   calls of requestDevice (1, 2, …) to refuse as made without a gesture }
// window.fakeHid holds what the tests read: the flash, the blocks, the chooser's calls.
export function installFakeHid(options) {
  const Length = 131, reply = (name, text) => new DOMException(text, name);
  const listeners = { connect: new Set(), disconnect: new Set() };
  const grantedPids = new Set(), present = new Set();
  const fake = window.fakeHid = { calls: 0, requests: 0, refused: 0, blocks: 0, flash: new Uint8Array(0x10000) };
  const granted = (device) => grantedPids.has(device.productId);
  const fire = (type, device) => { for (const f of listeners[type]) f(Object.assign(new Event(type), { device })); };

  // The keyboard as the simulated one: a reply echoes the last report, with the version text
  // (NUL-terminated, from the report's byte 3: body byte 2) for a version request.
  const kb = { version: options.version || 'V1.0', upload: false, pointer: 0, last: new Uint8Array(Length), after: null };
  function plug(productId) {
    const device = kb.device = {
      vendorId: 0x2E5B, productId, productName: 'Kestrune Keyboard', opened: false,
      collections: [{ usagePage: 0xFF00, usage: 1, inputReports: [], outputReports: [],
        featureReports: [{ reportId: 0, items: [{ reportSize: 8, reportCount: Length }] }] }],
      async open() {
        if (!present.has(device)) throw reply('NotAllowedError', 'Failed to open the device.');
        device.opened = true;
      },
      async close() { device.opened = false; },
      check(reportId) {
        if (!present.has(device) || !device.opened) throw reply('InvalidStateError', 'The device must be opened first.');
        if (reportId !== 0) throw reply('NotAllowedError', 'Failed to send or receive the feature report.');
      },
      async sendFeatureReport(reportId, data) {
        device.check(reportId);
        const body = new Uint8Array(data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength));
        if (body.length !== Length) throw reply('NotAllowedError', 'Failed to write the feature report.');
        if (body[0] === 0xD0 && !kb.upload) kb.after = 'switch';
        else if (kb.upload && body[0] === 0x10) kb.pointer = (body[2] << 8) | body[3];
        else if (kb.upload && body[0] === 0x20) { fake.flash.set(body.subarray(2, 130), kb.pointer); kb.pointer += 128; fake.blocks++; }
        else if (kb.upload && body[0] === 0x30) kb.after = 'restart';
        kb.last = body;
      },
      async receiveFeatureReport(reportId) {
        device.check(reportId);
        const answer = Uint8Array.from(kb.last);
        if (answer[0] === 0xC0) {
          answer.fill(0, 2);
          for (let i = 0; i < kb.version.length; ++i) answer[2 + i] = kb.version.charCodeAt(i);
        }
        // It answers first, then leaves; it is back a moment later as another device.
        const after = kb.after;
        kb.after = null;
        if (after) setTimeout(() => {
          present.delete(device);
          device.opened = false;
          if (granted(device)) fire('disconnect', device);
          if (after === 'restart') kb.version = options.versionAfter || 'V1.2';
          kb.upload = after === 'switch';
          setTimeout(() => plug(kb.upload ? 6 : 17), 300);
        }, 20);
        return new DataView(answer.buffer);
      },
    };
    present.add(device);
    if (granted(device)) fire('connect', device);
  }
  plug(17);

  const hid = {
    addEventListener(type, listener) { listeners[type]?.add(listener); },
    removeEventListener(type, listener) { listeners[type]?.delete(listener); },
    async getDevices() { return [...present].filter(granted); },
    // Chromium's chooser: it lists devices as they arrive (the user waits a moment for the
    // keyboard), and here the user picks every one listed, or cancels.
    async requestDevice({ filters }) {
      const call = ++fake.calls;
      if (!navigator.userActivation.isActive || (options.refuseAsGestureless || []).includes(call)) {
        fake.refused++;
        throw reply('SecurityError', 'Must be handling a user gesture to show a permission request.');
      }
      fake.requests++;
      if (options.chooser === 'cancel') return [];
      const listed = () => [...present].filter((d) => filters.some((f) => f.vendorId === d.vendorId));
      for (let i = 0; i < 100 && !listed().length; ++i) await new Promise((r) => setTimeout(r, 50));
      for (const device of listed()) grantedPids.add(device.productId);
      return listed();
    },
  };
  Object.defineProperty(Navigator.prototype, 'hid', { get: () => hid, configurable: true });
}
