// A stand-in for Chromium's WebHID with the keyboard behind it, installed in a page before its
// scripts run (page.evaluateOnNewDocument(installFakeHid, options)), so that the page's bridge,
// its grants and its chooser run on every page test without a kernel. It answers as Chromium
// does: feature reports of 131 bytes without the report-ID byte; a keyboard that switches to
// firmware-upload mode or restarts leaves (disconnect) and comes back as a new HIDDevice; a
// product ID the user has not granted stays out of getDevices() until requestDevice(), which
// Chromium refuses without a user gesture (SecurityError).
//   options: { version, versionAfter, keyboards (how many), chooser: 'grant' | 'cancel',
//              refuseAsGestureless: which calls of requestDevice (1, 2, …) to refuse as made
//              without a user gesture }
// window.fakeHid has what the tests read: the flash, the counts, the chooser's calls.
export function installFakeHid(options) {
  const Vendor = 0x2E5B, NormalPid = 17, UploadPid = 6, Length = 131;
  const listeners = { connect: new Set(), disconnect: new Set() };
  const grantedPids = new Set();
  const present = new Set();
  const fake = { calls: 0, requests: 0, refused: 0, blocks: 0, finishes: 0, switches: 0, flash: new Uint8Array(0x10000) };
  window.fakeHid = fake;

  const fire = (type, device) => {
    const event = new Event(type);
    event.device = device;
    for (const listener of listeners[type]) listener(event);
  };
  const granted = (device) => grantedPids.has(device.productId);

  class FakeDevice {
    constructor(keyboard, productId) {
      Object.assign(this, { keyboard, productId, vendorId: Vendor, productName: 'Kestrune Keyboard', opened: false });
      this.collections = [{ usagePage: 0xFF00, usage: 1, inputReports: [], outputReports: [],
        featureReports: [{ reportId: 0, items: [{ reportSize: 8, reportCount: Length }] }] }];
    }
    check() {
      if (!present.has(this)) throw new DOMException('The device was disconnected.', 'NotFoundError');
      if (!this.opened) throw new DOMException('The device must be opened first.', 'InvalidStateError');
    }
    async open() {
      if (!present.has(this)) throw new DOMException('Failed to open the device.', 'NotAllowedError');
      this.opened = true;
    }
    async close() { this.opened = false; }
    async sendFeatureReport(reportId, data) {
      this.check();
      const body = new Uint8Array(data.buffer ? data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength) : data);
      if (reportId !== 0 || body.length !== Length) throw new DOMException('Failed to write the feature report.', 'NotAllowedError');
      this.keyboard.take(body);
    }
    async receiveFeatureReport(reportId) {
      this.check();
      if (reportId !== 0) throw new DOMException('Failed to receive the feature report.', 'NotAllowedError');
      return new DataView(this.keyboard.answer().buffer);
    }
  }

  // The keyboard, as the simulated one: the reply echoes the last report, with the version text
  // (NUL-terminated, from the report's byte 3, body byte 2) for a version request.
  class Keyboard {
    constructor(serial) {
      Object.assign(this, { serial, version: options.version || 'V1.0', upload: false, pointer: 0, last: new Uint8Array(Length), after: null });
      this.plug(NormalPid);
    }
    plug(productId) {
      this.device = new FakeDevice(this, productId);
      present.add(this.device);
      if (granted(this.device)) fire('connect', this.device);
    }
    leave() {
      present.delete(this.device);
      this.device.opened = false;
      if (granted(this.device)) fire('disconnect', this.device);
    }
    take(body) {
      const command = body[0];
      if (command === 0xD0 && !this.upload) this.after = 'switch';
      else if (this.upload && command === 0x10) this.pointer = (body[2] << 8) | body[3];
      else if (this.upload && command === 0x20) {
        fake.flash.set(body.subarray(2, 2 + 128), this.pointer);
        this.pointer += 128;
        fake.blocks++;
      } else if (this.upload && command === 0x30) this.after = 'restart';
      this.last = body;
    }
    answer() {
      const reply = new Uint8Array(Length);
      reply.set(this.last);
      if (this.last[0] === 0xC0) {
        reply.fill(0, 2);
        for (let i = 0; i < this.version.length; ++i) reply[2 + i] = this.version.charCodeAt(i);
      }
      const after = this.after;
      this.after = null;
      // It answers first, then leaves; it is back a moment later as another device.
      if (after) {
        setTimeout(() => {
          this.leave();
          if (after === 'switch') fake.switches++;
          else { fake.finishes++; this.version = options.versionAfter || 'V1.2'; }
          this.upload = after === 'switch';
          setTimeout(() => this.plug(this.upload ? UploadPid : NormalPid), 300);
        }, 20);
      }
      return reply;
    }
  }
  fake.keyboards = Array.from({ length: options.keyboards || 1 }, (_, i) => new Keyboard(`KT000${i + 1}`));

  const hid = {
    addEventListener(type, listener) { if (listeners[type]) listeners[type].add(listener); },
    removeEventListener(type, listener) { if (listeners[type]) listeners[type].delete(listener); },
    async getDevices() { return [...present].filter(granted); },
    // Chromium's chooser; here the user picks every keyboard it lists, or cancels.
    async requestDevice({ filters }) {
      const call = ++fake.calls;
      if (!navigator.userActivation.isActive || (options.refuseAsGestureless || []).includes(call)) {
        fake.refused++;
        throw new DOMException('Must be handling a user gesture to show a permission request.', 'SecurityError');
      }
      fake.requests++;
      if (options.chooser === 'cancel') return [];
      // The list shows devices as they arrive: the user waits a moment for the keyboard.
      const matching = () => [...present].filter((d) => filters.some((f) => f.vendorId === d.vendorId));
      for (let i = 0; i < 100 && !matching().length; ++i) await new Promise((r) => setTimeout(r, 50));
      const offered = matching();
      for (const device of offered) grantedPids.add(device.productId);
      return offered;
    },
  };
  Object.defineProperty(Navigator.prototype, 'hid', { get: () => hid, configurable: true });
}
