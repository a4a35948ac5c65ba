// The JavaScript half of usbio/WebHidPlatform: the granted WebHID devices, one interface per HID
// collection. Loaded with the module (--pre-js); the C++ half calls these through EM_JS and
// EM_ASYNC_JS. Paths are "webhid:<device>/<collection>": <device> numbers each HIDDevice object
// the page has seen, so a keyboard that re-enumerates (a new HIDDevice) gets a new path, as a
// hidraw node does.
Module['webHid'] = (function () {
  const deviceNumbers = new WeakMap();
  let nextDeviceNumber = 1;
  let interfaces = new Map();  // path -> { device, collection }, from the last enumeration
  const handles = new Map();   // handle -> { device, collection }
  let nextHandle = 1;
  const changeListeners = [];
  // How often the browser has had a turn of its own while the module waited for a device: each
  // reply comes as a task, after which the browser may repaint and take input. (A count, not a
  // time: on a slow machine reading the clock for every report costs more than the report.)
  let turns = 0;

  function numberOf(device) {
    if (!deviceNumbers.has(device)) deviceNumbers.set(device, nextDeviceNumber++);
    return deviceNumbers.get(device);
  }

  // A report's length in bytes, with the report-ID byte the core counts (0 without IDs).
  function reportLength(reports) {
    let longest = 0;
    for (const report of reports || []) {
      let bits = 0;
      for (const item of report.items || []) bits += (item.reportSize || 0) * (item.reportCount || 0);
      longest = Math.max(longest, Math.ceil(bits / 8) + 1);
    }
    return Math.min(longest, 0xFFFF);
  }

  // How a received feature report of LENGTH bytes (the report ID in byte 0, as the core reads
  // it) came: 1 without its ID byte (Chromium), 0 with it (elsewhere; it must then be the ID asked
  // for), -1 in neither form, a failed exchange.
  function reportForm(reportId, bytes, length) {
    if (bytes.length === length - 1) return 1;
    return bytes.length === length && bytes[0] === reportId ? 0 : -1;
  }

  function available() {
    return typeof navigator !== 'undefined' && 'hid' in navigator && window.isSecureContext;
  }

  if (available()) {
    const changed = () => { for (const listener of changeListeners) listener(); };
    navigator.hid.addEventListener('connect', changed);
    navigator.hid.addEventListener('disconnect', changed);
  }

  return {
    available,
    reportForm,
    turns: () => turns,
    // Called on every connect and disconnect of a granted device.
    addChangeListener(listener) { changeListeners.push(listener); },

    // The interfaces present, in the order the page first saw their devices; null without WebHID.
    async enumerate() {
      if (!available()) return null;
      let devices;
      try {
        devices = await navigator.hid.getDevices();
      } catch (e) {
        return null;
      }
      devices.sort((a, b) => numberOf(a) - numberOf(b));
      interfaces = new Map();
      for (const device of devices)
        device.collections.forEach((collection, index) =>
          interfaces.set('webhid:' + numberOf(device) + '/' + index, { device, collection }));
      return [...interfaces.keys()];
    },

    peek(path) {
      const entry = interfaces.get(path);
      return entry ? [entry.device.vendorId, entry.device.productId] : null;
    },

    // A handle (> 0), or -1 when the interface is gone, -2 when the browser refuses to open it.
    async open(path) {
      const entry = interfaces.get(path);
      if (!entry) return -1;
      const present = await navigator.hid.getDevices().catch(() => []);
      if (!present.includes(entry.device)) return -1;
      try {
        if (!entry.device.opened) await entry.device.open();
      } catch (e) {
        return -2;
      }
      const handle = nextHandle++;
      handles.set(handle, entry);
      return handle;
    },

    // The device is closed when the last handle on it is.
    async close(handle) {
      const entry = handles.get(handle);
      if (!entry) return;
      handles.delete(handle);
      for (const other of handles.values())
        if (other.device === entry.device) return;
      try {
        if (entry.device.opened) await entry.device.close();
      } catch (e) {
        // A device that has left is closed already.
      }
    },

    attributes(handle) {
      const entry = handles.get(handle);
      return entry ? [entry.device.vendorId, entry.device.productId] : null;
    },

    caps(handle) {
      const entry = handles.get(handle);
      if (!entry) return null;
      const c = entry.collection;
      return [c.usagePage || 0, c.usage || 0, reportLength(c.inputReports),
              reportLength(c.outputReports), reportLength(c.featureReports)];
    },

    // Sends bytes [1, length) of the report at HEAPU8[data]; byte 0 is its report ID.
    async send(handle, data, length) {
      const entry = handles.get(handle);
      if (!entry || length < 1) return false;
      // The browser copies the report when it is called: a view of the module's memory will do.
      const reportId = HEAPU8[data];
      try {
        await entry.device.sendFeatureReport(reportId, HEAPU8.subarray(data + 1, data + length));
        return true;
      } catch (e) {
        return false;
      } finally {
        ++turns;
      }
    },

    // Fetches the report whose ID is HEAPU8[data] into HEAPU8[data, data + length).
    async receive(handle, data, length) {
      const entry = handles.get(handle);
      if (!entry || length < 1) return false;
      const reportId = HEAPU8[data];
      let view;
      try {
        view = await entry.device.receiveFeatureReport(reportId);
      } catch (e) {
        return false;
      } finally {
        ++turns;
      }
      const bytes = new Uint8Array(view.buffer, view.byteOffset, view.byteLength);
      const form = reportForm(reportId, bytes, length);
      if (form < 0) return false;
      // HEAPU8 is looked up after the wait: the heap may have grown meanwhile.
      HEAPU8[data] = reportId;
      HEAPU8.set(bytes, data + form);
      return true;
    },
  };
})();
