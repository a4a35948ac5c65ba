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
  const KeyF1 = 0, KeyOther = 2;
  const Vendor = 0x2E5B;

  // ---- the page's own texts ------------------------------------------------------------------------
  // Written here in English and marked with tr() for the catalogs; the module gives them in the
  // user's language (setTexts) before the window shows. A text with %s takes values (fill).
  let translations = new Map();
  const tr = (english) => translations.get(english) || english;
  const fill = (pattern, ...values) => pattern.replace(/%s/g, () => values.shift());
  const Texts = {
    connect: tr('Connect keyboard …'),
    noGesture: tr('The browser opens its list of keyboards only after a click. Click Connect keyboard … and choose the keyboard in the list.'),
    nothingChosen: tr("No keyboard was chosen in the browser's list. Click Connect keyboard … to choose it."),
    notOpened: tr("The browser's list of keyboards did not open (%s). Click Connect keyboard … to try again."),
    askAgain: tr('The browser asks for leave to read %s again at Upload Firmware.'),
    chooseAgain: tr('%s: choose it again (%s)'),
    notKept: tr('the browser did not keep access to it'),
    notAllowed: tr('the browser was not allowed to read it again'),
    firmwareFiles: tr('Firmware files'),
    extracting: tr('Extracting... %s'),
    ok: tr('OK'),
    cancel: tr('Cancel'),
    unsupported: tr('This browser cannot reach the keyboard'),
    needsWebHid: tr('Updating the keyboard from this page needs WebHID, which Chromium-based desktop browsers have: Google Chrome, Microsoft Edge, Opera and Chromium, version 89 or later, on Windows, macOS, Linux and ChromeOS. Firefox and Safari do not have it. The page must be opened over HTTPS (or from this computer\'s own address).'),
    // These two hold links.
    installInstead: tr('Without such a browser, install Kestrune Loader instead: <a href="https://kestrune.com/loader/download">the downloads for Windows and Debian</a>. Or <a href="demo.html">try the page on a simulated keyboard</a>.'),
    sample: tr('No firmware file at hand? <a href="kestrune-sample.hex" download>Download the sample firmware</a> for the simulated keyboard, then choose it with <b>Select Firmware File ...</b>'),
  };
  // The HTML's texts: an element names its text (data-text), or its text with links (data-markup).
  function showTexts() {
    for (const e of document.querySelectorAll('[data-text]')) e.textContent = tr(Texts[e.dataset.text]);
    for (const e of document.querySelectorAll('[data-markup]')) e.innerHTML = tr(Texts[e.dataset.markup]);
  }
  showTexts();

  const queue = [];
  let wake = null;
  let current = null;
  let idle = false;
  let closed = false;
  let rowCount = 0, selectedRow = -1;
  let firstPaint = null;
  const messages = [];
  let resolveReady;
  const ready = new Promise((resolve) => { resolveReady = resolve; });

  function post(event) {
    if (closed) return;
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
      // The click is the gesture the browser needs to read the last visit's file again.
      if (id === 'upload') await restoreRemembered(true);
      post({ kind: Button, a: index });
    }));
    keptLookup = handleStore.get().then((entry) => { kept = entry; }, () => {});
    // Leaving the page while a command runs (an upload) asks first, as closing the desktop
    // window waits for the update's end.
    window.addEventListener('beforeunload', (e) => {
      if (!idle) { e.preventDefault(); e.returnValue = ''; }
    });
    // Escape is not passed on: a page cannot close its tab, and a stray Escape (one meant for a
    // box that had just closed) must not end the window and the user's work with it. Exit does.
    document.addEventListener('keydown', (e) => {
      if ($('message').open) return;  // the box has the keys
      const which = e.key === 'F1' ? KeyF1 : KeyOther;
      if (which !== KeyOther) e.preventDefault();  // the browser's help
      const mods = (e.shiftKey ? 1 : 0) | (e.ctrlKey ? 2 : 0) | (e.altKey ? 4 : 0);
      post({ kind: Key, a: which, b: mods });
    });
    // The list is a list box of keyboards, one chosen: the arrows, Home and End choose.
    const list = $('device-list');
    list.addEventListener('click', (e) => {
      const row = e.target.closest('tbody tr');
      if (row) post({ kind: Row, a: row.sectionRowIndex });
    });
    list.addEventListener('keydown', (e) => {
      const step = { ArrowDown: 1, ArrowUp: -1, Home: -rowCount, End: rowCount }[e.key];
      if (rowCount < 2 || !step) return;
      e.preventDefault();
      const next = Math.min(rowCount - 1, Math.max(0, selectedRow + step));
      if (next !== selectedRow) post({ kind: Row, a: next });
    });
    const win = $('window');
    win.addEventListener('dragover', (e) => { e.preventDefault(); });
    win.addEventListener('drop', async (e) => {
      e.preventDefault();
      const files = e.dataTransfer ? e.dataTransfer.files : [];
      if (files.length !== 1) return;
      post({ kind: Drop, file: await readFile(files[0]) });
    });
    if (document.body.dataset.mode === 'loader') {
      $('bar').hidden = false;
      $('connect').addEventListener('click', () => requestKeyboard());
      Module.webHid.addChangeListener(() => { post({ kind: Device }); showConnect(); });
      showConnect();
    }
  }

  // "Connect keyboard …" is there while the page has no keyboard it may reach, and while the
  // note beside it says why the browser's list must be opened again.
  async function showConnect() {
    const devices = await navigator.hid.getDevices().catch(() => []);
    $('connect').hidden = !$('connect-note').textContent && devices.some((d) => d.vendorId === Vendor);
  }
  const notes = [];
  function noteOnKeyboard(text) {
    if (text) notes.push(text);
    $('connect-note').textContent = text;
    $('connect-note').hidden = !text;
    showConnect();
  }

  // The browser's chooser, for the keyboard's vendor; a grant makes the window look again. The
  // browser opens it only on a click or a key (not Escape): without one, or when the user chose
  // nothing, the note says so and "Connect keyboard …" asks again.
  let keyboardRequests = 0;
  const Notes = {
    noGesture: () => tr(Texts.noGesture),
    nothingChosen: () => tr(Texts.nothingChosen),
    failed: (e) => fill(tr(Texts.notOpened), (e && e.message) || e),
  };
  function requestKeyboard() {
    if (!Module.webHid.available()) return;
    if (navigator.userActivation && !navigator.userActivation.isActive) {
      noteOnKeyboard(Notes.noGesture());
      return;
    }
    ++keyboardRequests;
    let request;
    try {
      request = navigator.hid.requestDevice({ filters: [{ vendorId: Vendor }] });
    } catch (e) {
      request = Promise.reject(e);
    }
    request.then((devices) => {
      noteOnKeyboard(devices.length ? '' : Notes.nothingChosen());
      if (devices.length) post({ kind: Device });
    }, (e) => noteOnKeyboard(e && e.name === 'SecurityError' ? Notes.noGesture() : Notes.failed(e)));
  }

  // ---- files ------------------------------------------------------------------------------------
  // The logic reads a chosen file from the module's memory file system, as any program reads a
  // file, and knows it by its name. Each file the page reads goes into a folder of its own
  // (/files/<n>/<name>), written only when the logic takes it, and the page's working folder is
  // the chosen file's: a file read later under the same name (dropped during an upload, picked
  // and not taken) can never stand in for the one the window shows. Only that one is kept.
  // Never more than the largest firmware file the reader takes (plus one byte) is read: a larger
  // file keeps its true size, which is what refuses it, not its bytes. A file the browser cannot
  // read (gone, changed since it was chosen, no permission, a folder) is kept as a file that
  // cannot be opened, which the upload refuses as the desktop refuses a file it may not read.
  let fileLimit = 0x7FFFFFFF;
  let nextFolder = 1;
  let chosenName = '';  // the file's name in the working folder, '' when there is none to read
  const safeName = (name) => {
    const clean = String(name).replace(/[\/\0]/g, '_');
    return clean === '' || clean === '.' || clean === '..' ? 'firmware' : clean;
  };
  // What is kept of a file the browser could not read: its name.
  const unreadable = (name) => ({ name: safeName(name), size: 0, bytes: null });
  async function readFile(file, name = file.name) {
    try {
      return { name: safeName(name), size: file.size, bytes: new Uint8Array(await file.slice(0, fileLimit).arrayBuffer()) };
    } catch (e) {
      return unreadable(name);
    }
  }
  // Writes what readFile read into a folder of its own; its absolute path.
  function storeFile(read) {
    const folder = '/files/' + nextFolder++;
    const path = folder + '/' + read.name;
    FS.mkdir(folder);
    FS.writeFile(path, read.bytes || new Uint8Array(0));
    if (!read.bytes) FS.chmod(path, 0);
    else if (read.size > read.bytes.length) FS.lookupPath(path).node.usedBytes = read.size;
    return path;
  }
  // Removes every file but the chosen one.
  function forgetUntaken() {
    const keep = FS.cwd();
    for (const entry of FS.readdir('/files')) {
      const folder = '/files/' + entry;
      if (entry === '.' || entry === '..' || folder === keep) continue;
      for (const name of FS.readdir(folder)) if (name !== '.' && name !== '..') FS.unlink(folder + '/' + name);
      FS.rmdir(folder);
    }
  }
  // The logic takes a file: one the page stored (an absolute path), the name remembered from the
  // last visit (at start), or none.
  function setFile(path) {
    const field = $('firmware-file');
    field.placeholder = field.title = '';
    if (path.startsWith('/files/') && FS.analyzePath(path).exists) {
      FS.chdir(path.slice(0, path.lastIndexOf('/')));
      chosenName = path.slice(path.lastIndexOf('/') + 1);
      remembered = '';
      forgetUntaken();
    } else {
      chosenName = '';
      remembered = path;
      if (path) keptLookup.then(() => restoreRemembered(false));
    }
    field.value = chosenName || remembered;
  }
  // The page never claims a file it cannot read: a name it has no file for says it must be
  // chosen again, and why.
  function forgetRemembered(why) {
    const field = $('firmware-file');
    field.value = '';
    field.placeholder = field.title = fill(tr(Texts.chooseAgain), remembered, tr(why));
    remembered = '';
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
  let kept = null;  // { path, handle } of the last visit's file
  let keptLookup = Promise.resolve();
  let remembered = '';  // the last visit's file's name, while the page has not read it

  // Reads the remembered file through its kept handle; asks the user for it when ask is true.
  async function restoreRemembered(ask) {
    await keptLookup;
    if (!remembered) return;
    const name = remembered;
    if (!kept || kept.path !== name || !kept.handle || !kept.handle.getFile) {
      forgetRemembered(Texts.notKept);
      return;
    }
    let permission = 'denied';
    try {
      permission = await kept.handle.queryPermission({ mode: 'read' });
      if (permission === 'prompt' && ask) permission = await kept.handle.requestPermission({ mode: 'read' });
    } catch (e) { /* taken as denied */ }
    if (remembered !== name) return;  // another file was chosen meanwhile
    if (permission === 'prompt') {
      $('firmware-file').title = fill(tr(Texts.askAgain), name);
      return;
    }
    if (permission !== 'granted') {
      forgetRemembered(Texts.notAllowed);
      return;
    }
    let read;
    try {
      read = await readFile(await kept.handle.getFile(), name);
    } catch (e) {
      read = unreadable(name);  // gone or moved: the upload says it cannot be read
    }
    if (remembered === name) setFile(storeFile(read));
  }

  async function pickFile(accept) {
    if (window.showOpenFilePicker) {
      let handle;
      try {
        handle = (await window.showOpenFilePicker({
          types: [{ description: tr(Texts.firmwareFiles), accept: { 'application/octet-stream': accept.split(',') } }],
        }))[0];
      } catch (e) {
        return null;  // cancelled
      }
      handleStore.put(safeName(handle.name), handle).catch(() => {});
      try {
        return await readFile(await handle.getFile());
      } catch (e) {
        return unreadable(handle.name);
      }
    }
    const input = $('file-input');
    input.accept = accept;
    input.value = '';
    const file = await new Promise((resolve) => {
      let settled = false;
      const done = (chosen) => { if (!settled) { settled = true; resolve(chosen); } };
      input.onchange = () => done(input.files[0] || null);
      input.oncancel = () => done(null);
      input.click();
    });
    return file && readFile(file);
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
        if (box.open) box.close();
        record.answer = value ? 'Cancel' : 'OK';
        resolve(value);
      };
      $('message-ok').onclick = () => answer(0);
      $('message-cancel').onclick = () => answer(1);
      // Escape: Cancel where there is one, otherwise OK, as a desktop box does. The browser may
      // also close the box on Escape without a cancel event (after a page's repeated Escapes):
      // that answers it the same way.
      box.oncancel = (e) => { e.preventDefault(); answer(withCancel ? 1 : 0); };
      box.onclose = () => answer(withCancel ? 1 : 0);
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
  // timeouts would cost. One channel for every turn: making one costs a slow machine more than
  // the turn itself.
  const turn = new MessageChannel();
  const turnsWaiting = [];
  turn.port1.onmessage = () => turnsWaiting.shift()();
  function yieldOnce() {
    return new Promise((resolve) => {
      turnsWaiting.push(resolve);
      turn.port2.postMessage(0);
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
  // A caption with its Alt+letter after "&", underlined as on the desktop.
  function setButtonText(id, caption) {
    const at = caption.indexOf('&');
    const button = $(id);
    button.textContent = '';
    if (at < 0) { button.textContent = caption; return; }
    const u = document.createElement('u');
    u.textContent = caption[at + 1];
    button.append(caption.slice(0, at), u, caption.slice(at + 2));
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
    if (progressTimer && done > 0 && done < total) return;  // the timer draws it
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
      const read = await pickFile(accept);
      return read ? storeFile(read) : '';
    },
    // A dropped file, stored now that the logic takes the event; and, after it, what it did not take.
    droppedFile() { return current && current.file ? storeFile(current.file) : ''; },
    forgetUntaken,
    setIdle(value) { idle = value || closed; },
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
      const list = $('device-list');
      const body = list.tBodies[0];
      const headers = [...list.tHead.rows[0].cells].map((th) => th.textContent);
      body.textContent = '';
      rowCount = rows.length;
      selectedRow = selected;
      list.classList.toggle('several', rows.length > 1);
      rows.forEach((cells, index) => {
        const tr = body.insertRow();
        const shown = cells.slice(0, rows.length > 1 ? 5 : 4);
        tr.id = 'keyboard-' + index;
        tr.setAttribute('role', 'option');
        tr.setAttribute('aria-selected', index === selected ? 'true' : 'false');
        tr.setAttribute('aria-label', shown.map((text, i) => headers[i] + ' ' + text).join(', '));
        shown.forEach((text, i) => {
          const td = tr.insertCell();
          td.textContent = text;
          if (i === 1) td.className = 'number';
          if (i === 4) td.className = 'port';
        });
      });
      if (selected >= 0 && selected < rows.length) list.setAttribute('aria-activedescendant', 'keyboard-' + selected);
      else list.removeAttribute('aria-activedescendant');
    },
    // The status line shows every text; a screen reader hears the steps and outcomes, not each
    // HEX record the reader shows while it extracts.
    setStatus(text) {
      const s = $('status');
      s.textContent = text;
      s.title = text;
      const extracting = tr(Texts.extracting).split('%s')[0];
      const spoken = text.startsWith(extracting) ? extracting.trim() : text;
      if ($('announce').textContent !== spoken) $('announce').textContent = spoken;
    },
    setEnabled(index, on) { $(buttonIds[index]).disabled = !on; },
    focusButton(index) { $(buttonIds[index]).focus(); },
    focusedButton() { return buttonIds.indexOf(document.activeElement && document.activeElement.id); },
    parkFocus() { $('window').focus(); },
    showStartAddress() { $('start-address').hidden = $('start-address-label').hidden = false; },
    focusStartAddress() { $('start-address').focus(); },
    startAddress() { return $('start-address').value; },
    setStartAddress(text) { $('start-address').value = text; },
    file() { return chosenName || remembered; },
    setFile,
    setProgress,
    setBusy(on) { document.body.classList.toggle('busy', on); },
    // A page cannot close its tab: the window goes, the keyboard is closed, and the page says so.
    close(text) {
      closed = idle = true;
      queue.length = 0;
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
    // The browser's languages, most wanted first, one a line.
    browserLanguages() {
      return (navigator.languages && navigator.languages.length ? navigator.languages : [navigator.language || '']).join('\n');
    },
    // The page's texts in English, one a line, and their translations in the same order.
    texts() { return Object.values(Texts).join('\n'); },
    setTexts(language, translated) {
      const lines = translated.split('\n');
      translations = new Map(Object.values(Texts).map((english, i) => [english, lines[i] || english]));
      document.documentElement.lang = language.replace('_', '-');
      showTexts();
    },
  };

  // What tests and benchmarks read.
  window.kestrune = {
    ready,
    idle: () => idle && queue.length === 0 && !$('message').open,
    messages,
    get firstPaintMs() { return firstPaint; },
    // How often the page has asked the browser for a keyboard (its chooser), and what it said
    // beside "Connect keyboard …" when that gave none.
    get keyboardRequests() { return keyboardRequests; },
    notes,
  };
  return api;
})();
