// The page's half of the web window (window/web/WebMainWindow.cpp, WebServices.cpp): the HTML
// controls, the message box, the file picker, the settings, and the queue of the page's events.
// Loaded with the module (--pre-js). The window's logic runs in the module and is suspended
// (ASYNCIFY) whenever it waits: meanwhile clicks, keys and device changes only go into the queue,
// and the logic takes them from there in its own event pump, as a desktop program's do. Nothing
// here calls into the logic.
// A malloc'd UTF-8 copy of a text, for the C++ side, which frees it.
Module['newUTF8'] = function (text) {
  const size = lengthBytesUTF8(text) + 1;
  const out = _malloc(size);
  stringToUTF8(text, out, size);
  return out;
};

Module['page'] = (function () {
  const $ = (id) => document.getElementById(id);
  // Kinds of queued events; the same numbers as WebServices.h's EventKind.
  const Button = 1, Key = 2, Row = 3, Device = 4, Drop = 5;
  const buttonIds = ['refresh', 'upload', 'exit', 'select-file'];  // window::Button's order
  const KeyF1 = 0, KeyEscape = 1, KeyOther = 2;
  const Vendor = 0x2E5B;

  const queue = [];
  let wake = null;
  let current = null;
  let idle = false;
  let rowCount = 0, selectedRow = -1;
  let filePath = '';
  let firstPaint = null;
  const messages = [];
  let resolveReady;
  const ready = new Promise((resolve) => { resolveReady = resolve; });

  function post(event) {
    queue.push(event);
    if (wake) { const w = wake; wake = null; w(); }
  }

  function isInput(event) { return event.kind !== Device; }

  // ---- the controls' events -------------------------------------------------------------------
  function wire() {
    // The chosen files' folder is the module's working folder: a file is known by its name, which
    // is all the user knows of it, in the field, the setting and every message that names it.
    FS.mkdirTree('/files');
    FS.chdir('/files');
    buttonIds.forEach((id, index) => $(id).addEventListener('click', async () => {
      if (id === 'upload' && kept && kept.path === filePath) await restoreKeptFile(true);
      post({ kind: Button, a: index });
    }));
    handleStore.get().then((entry) => { kept = entry; return restoreKeptFile(false); }).catch(() => {});
    // Leaving the page while a command runs (an upload) asks first, as closing the desktop
    // window waits for the update's end.
    window.addEventListener('beforeunload', (e) => {
      if (!idle) { e.preventDefault(); e.returnValue = ''; }
    });
    document.addEventListener('keydown', (e) => {
      if ($('message').open) return;  // the box has the keys
      const which = e.key === 'F1' ? KeyF1 : e.key === 'Escape' ? KeyEscape : KeyOther;
      if (which !== KeyOther) e.preventDefault();  // the browser's help, its stop
      const mods = (e.shiftKey ? 1 : 0) | (e.ctrlKey ? 2 : 0) | (e.altKey ? 4 : 0);
      post({ kind: Key, a: which, b: mods });
    });
    const list = $('device-list');
    list.addEventListener('click', (e) => {
      const row = e.target.closest('tbody tr');
      if (row) post({ kind: Row, a: row.sectionRowIndex });
    });
    list.addEventListener('keydown', (e) => {
      if (rowCount < 2 || (e.key !== 'ArrowDown' && e.key !== 'ArrowUp')) return;
      e.preventDefault();
      const next = Math.min(rowCount - 1, Math.max(0, selectedRow + (e.key === 'ArrowDown' ? 1 : -1)));
      if (next !== selectedRow) post({ kind: Row, a: next });
    });
    const win = $('window');
    win.addEventListener('dragover', (e) => { e.preventDefault(); });
    win.addEventListener('drop', async (e) => {
      e.preventDefault();
      const files = e.dataTransfer ? e.dataTransfer.files : [];
      if (files.length !== 1) return;
      post({ kind: Drop, text: await storeFile(files[0]) });
    });
    if (document.body.dataset.mode === 'loader') {
      $('bar').hidden = false;
      $('connect').addEventListener('click', () => requestKeyboard());
      Module.webHid.addChangeListener(() => { post({ kind: Device }); showConnect(); });
      showConnect();
    }
  }

  // "Connect keyboard …" is there while the page has no keyboard it may reach.
  async function showConnect() {
    const devices = await navigator.hid.getDevices().catch(() => []);
    $('connect').hidden = devices.some((d) => d.vendorId === Vendor);
  }

  // The browser's chooser, for the keyboard's vendor; a grant makes the window look again.
  let keyboardRequests = 0;
  function requestKeyboard() {
    if (!Module.webHid.available()) return;
    ++keyboardRequests;
    navigator.hid.requestDevice({ filters: [{ vendorId: Vendor }] }).then((devices) => {
      if (devices.length) post({ kind: Device });
      showConnect();
    }, () => {});
  }

  // ---- files ------------------------------------------------------------------------------------
  // A chosen or dropped file goes into the module's memory file system, where the logic reads it
  // as any program reads a file. Never more than the largest firmware file the reader takes (plus
  // one byte): a larger file keeps its true size, which is what refuses it, not its bytes.
  let fileLimit = 0x7FFFFFFF;
  const safeName = (name) => {
    const clean = name.replace(/[\/\0]/g, '_');
    return clean === '' || clean === '.' || clean === '..' ? 'firmware' : clean;
  };
  async function storeFile(file) {
    const bytes = new Uint8Array(await file.slice(0, fileLimit).arrayBuffer());
    const path = safeName(file.name);
    FS.writeFile(path, bytes);
    if (file.size > bytes.length) FS.lookupPath(path).node.usedBytes = file.size;
    return path;
  }

  // Where the browser has the File System Access API, the chosen file's handle is kept (in
  // IndexedDB, beside the remembered name), so that a later visit can read the file again once
  // the user allows it: at once when the browser still has the permission, otherwise at the first
  // click on Upload Firmware, which is the gesture the browser's question needs.
  const handleStore = {
    open() {
      return new Promise((resolve, reject) => {
        const request = indexedDB.open('kestrune', 1);
        request.onupgradeneeded = () => request.result.createObjectStore('files');
        request.onsuccess = () => resolve(request.result);
        request.onerror = () => reject(request.error);
      });
    },
    async put(path, handle) {
      const db = await handleStore.open();
      db.transaction('files', 'readwrite').objectStore('files').put({ path, handle }, 'chosen');
    },
    async get() {
      const db = await handleStore.open();
      return new Promise((resolve) => {
        const request = db.transaction('files').objectStore('files').get('chosen');
        request.onsuccess = () => resolve(request.result || null);
        request.onerror = () => resolve(null);
      });
    },
  };
  let kept = null;  // { path, handle } of the last visit's file, not read yet

  async function restoreKeptFile(ask) {
    if (!kept || FS.analyzePath(kept.path).exists) return;
    try {
      let permission = await kept.handle.queryPermission({ mode: 'read' });
      if (permission === 'prompt' && ask) permission = await kept.handle.requestPermission({ mode: 'read' });
      if (permission !== 'granted') return;
      await storeFile(await kept.handle.getFile());
      kept = null;
    } catch (e) {
      kept = null;  // gone or moved: the logic says the file is not found
    }
  }

  async function pickFile(accept) {
    if (window.showOpenFilePicker) {
      let handle;
      try {
        handle = (await window.showOpenFilePicker({
          types: [{ description: 'Firmware files', accept: { 'application/octet-stream': accept.split(',') } }],
        }))[0];
      } catch (e) {
        return null;  // cancelled
      }
      const file = await handle.getFile();
      handleStore.put(safeName(file.name), handle).catch(() => {});
      return file;
    }
    const input = $('file-input');
    input.accept = accept;
    input.value = '';
    return new Promise((resolve) => {
      let settled = false;
      const done = (file) => { if (!settled) { settled = true; resolve(file); } };
      input.onchange = () => done(input.files[0] || null);
      input.oncancel = () => done(null);
      input.click();
    });
  }

  // ---- the message box --------------------------------------------------------------------------
  const Styles = [['none', false], ['warning', false], ['warning', true], ['information', false]];

  function showMessage(text, style, title) {
    const chosen = Styles[style] || Styles[0];
    const icon = chosen[0], withCancel = chosen[1];
    const box = $('message');
    $('message-title').textContent = title || $('caption').textContent;
    $('message-text').textContent = text.replace(/\r\n/g, '\n');
    $('message-icon').dataset.icon = icon;
    $('message-cancel').hidden = !withCancel;
    const record = { title, text, icon, answer: null };
    messages.push(record);
    return new Promise((resolve) => {
      const answer = (value) => {
        box.onclose = null;
        $('message-ok').onclick = $('message-cancel').onclick = null;
        box.oncancel = null;
        box.close();
        record.answer = value ? 'Cancel' : 'OK';
        resolve(value);
      };
      $('message-ok').onclick = () => answer(0);
      $('message-cancel').onclick = () => answer(1);
      // Escape: Cancel where there is one, otherwise OK, as a desktop box does.
      box.oncancel = (e) => { e.preventDefault(); answer(withCancel ? 1 : 0); };
      box.showModal();
      $('message-ok').focus();
    });
  }

  // ---- the settings (per browser and site) -----------------------------------------------------
  const settingKey = (scope, section, key) => 'kestrune/' + scope + '/' + section + '/' + key;

  function readSetting(scope, section, key) {
    try { return localStorage.getItem(settingKey(scope, section, key)) || ''; } catch (e) { return ''; }
  }
  function writeSetting(scope, section, key, value) {
    try { localStorage.setItem(settingKey(scope, section, key), value); } catch (e) { /* private mode */ }
  }

  // ---- waiting -------------------------------------------------------------------------------
  // Resolves when an event is queued, or after ms (never, when ms < 0).
  function waitForEvent(ms) {
    if (queue.length) return Promise.resolve();
    return new Promise((resolve) => {
      wake = resolve;
      if (ms >= 0) setTimeout(() => { if (wake === resolve) wake = null; resolve(); }, ms);
    });
  }
  // One turn of the browser's event loop: it repaints and takes input, without the 4 ms a chain of
  // timeouts would cost.
  function yieldOnce() {
    return new Promise((resolve) => {
      const channel = new MessageChannel();
      channel.port1.onmessage = () => resolve();
      channel.port2.postMessage(0);
    });
  }
  // The next queued event, for the logic; input is passed over (dropped) when takeInput is false.
  function nextEvent(takeInput) {
    while (queue.length) {
      const event = queue.shift();
      if (takeInput || !isInput(event)) { current = event; return event.kind; }
    }
    return 0;
  }

  // ---- the controls --------------------------------------------------------------------------
  function setButtonText(id, caption, letter) {
    const at = caption.indexOf(letter);
    const button = $(id);
    button.textContent = '';
    if (at < 0) { button.textContent = caption; return; }
    const u = document.createElement('u');
    u.textContent = caption[at];
    button.append(caption.slice(0, at), u, caption.slice(at + 1));
  }

  // The bar is drawn anew at most once a second, and at its start and end: a slow
  // machine's browser would otherwise spend on painting it the time the keyboard's reports need.
  let progress = [0, 1], progressShownAt = -Infinity, progressTimer = 0;
  function showProgress() {
    progressTimer = 0;
    progressShownAt = performance.now();
    // (No destructuring here: this emscripten's JavaScript optimizer drops some of it.)
    const done = progress[0], total = progress[1];
    const bar = $('progress');
    bar.max = Math.max(total, 1);
    bar.value = Math.min(Math.max(done, 0), bar.max);
    $('progress-text').textContent = Math.floor((bar.value * 100) / bar.max) + '%';
  }
  function setProgress(done, total) {
    progress = [done, total];
    const wait = 1000 - (performance.now() - progressShownAt);
    if (done <= 0 || done >= total || wait <= 0) {
      clearTimeout(progressTimer);
      showProgress();
    } else if (!progressTimer) {
      progressTimer = setTimeout(showProgress, wait);
    }
  }

  function place(id, x, y, w, h) {
    const s = $(id).style;
    s.left = x + 'px'; s.top = y + 'px'; s.width = w + 'px'; s.height = h + 'px';
  }

  const api = {
    wire, post, nextEvent, waitForEvent, yieldOnce, showMessage, readSetting, writeSetting,
    setButtonText, place, requestKeyboard,
    event() { return current; },
    setFileLimit(limit) { fileLimit = limit; },
    async openFile(accept) {
      const file = await pickFile(accept);
      return file ? await storeFile(file) : '';
    },
    setIdle(value) { idle = value; },
    font() { return getComputedStyle($('window')).font; },
    textWidth(text) {
      const canvas = api.canvas || (api.canvas = document.createElement('canvas'));
      const context = canvas.getContext('2d');
      context.font = api.font();
      return Math.ceil(context.measureText(text).width);
    },
    lineHeight() {
      const canvas = api.canvas || (api.canvas = document.createElement('canvas'));
      const context = canvas.getContext('2d');
      context.font = api.font();
      const m = context.measureText('Mg');
      return Math.ceil(m.fontBoundingBoxAscent + m.fontBoundingBoxDescent);
    },
    setColumns(widths) {
      const cols = $('device-list').querySelectorAll('col');
      widths.forEach((w, i) => { cols[i].style.width = w + 'px'; });
      $('device-list').style.width = widths.slice(0, 4).reduce((a, b) => a + b, 0) + 'px';
    },
    setCaption(text) { $('caption').textContent = text; document.title = text; },
    setRows(rows, selected) {
      const body = $('device-list').tBodies[0];
      body.textContent = '';
      rowCount = rows.length;
      selectedRow = selected;
      $('device-list').classList.toggle('several', rows.length > 1);
      rows.forEach((cells, index) => {
        const tr = body.insertRow();
        tr.setAttribute('aria-selected', index === selected ? 'true' : 'false');
        cells.slice(0, rows.length > 1 ? 5 : 4).forEach((text, i) => {
          const td = tr.insertCell();
          td.textContent = text;
          if (i === 1) td.className = 'number';
          if (i === 4) td.className = 'port';
        });
      });
    },
    setStatus(text) { const s = $('status'); s.textContent = text; s.title = text; },
    setEnabled(index, on) { $(buttonIds[index]).disabled = !on; },
    focusButton(index) { $(buttonIds[index]).focus(); },
    focusedButton() { return buttonIds.indexOf(document.activeElement && document.activeElement.id); },
    parkFocus() { $('window').focus(); },
    showStartAddress() { $('start-address').hidden = $('start-address-label').hidden = false; },
    focusStartAddress() { $('start-address').focus(); },
    startAddress() { return $('start-address').value; },
    setStartAddress(text) { $('start-address').value = text; },
    file() { return filePath; },
    setFile(path) {
      filePath = path;
      $('firmware-file').value = path;
    },
    setProgress,
    setBusy(on) { document.body.classList.toggle('busy', on); },
    // A page cannot close its tab: the window goes, the keyboard is closed, and the page says so.
    close(text) {
      $('window').hidden = true;
      $('bar').hidden = true;
      const note = document.createElement('p');
      note.id = 'closed';
      note.textContent = text;
      $('page').append(note);
    },
    showWindow() {
      $('window').hidden = false;
      requestAnimationFrame(() => {
        firstPaint = performance.now();
        resolveReady();
      });
    },
    showUnsupported() { $('unsupported').hidden = false; resolveReady(); },
  };

  // What tests and benchmarks read.
  window.kestrune = {
    ready,
    idle: () => idle && queue.length === 0 && !$('message').open,
    messages,
    get firstPaintMs() { return firstPaint; },
    // How often the page has asked the browser for a keyboard (its chooser).
    get keyboardRequests() { return keyboardRequests; },
  };
  return api;
})();
