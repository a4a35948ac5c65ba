// What the page's tests (page-test.mjs) and the kernel machine's cases (tests/kernel/
// vm-web-cases.mjs) do with the page alike: open it, read its state, choose a file, answer its
// boxes, and make firmware files.
import fs from 'node:fs';
import path from 'node:path';

// Intel HEX records of 16 data bytes at address, and the end-of-file record.
const hexByte = (b) => b.toString(16).toUpperCase().padStart(2, '0');
export { hexByte };
export function hexLines(address, data) {
  const lines = [];
  for (let i = 0; i < data.length; i += 16) {
    const a = address + i;
    const bytes = [Math.min(16, data.length - i), (a >> 8) & 0xFF, a & 0xFF, 0, ...data.slice(i, i + 16)];
    const sum = bytes.reduce((s, b) => s + b, 0);
    lines.push(':' + [...bytes, (0x100 - (sum % 0x100)) % 0x100].map(hexByte).join(''));
  }
  return [...lines, ':00000001FF'];
}

// A new tab of CONTEXT (a browser or a browser context) on URL, once the window has painted.
// Script errors go to page.errors,
// its console to onConsole. Files are chosen as Chromium offers them, through the File System
// Access picker, whose dialog a headless browser cannot show: the test's picker hands over
// page.nextFile as a file of the page's own storage (a real handle the page may keep), or
// page.nextFile = { name, unreadable: true }, a handle whose file the browser cannot read. With
// filePicker 'input' the page has no such picker and takes files from its <input type=file>, as
// other browsers do. beforeLoad: [function, argument] pairs run before the page's scripts.
export async function openPage(context, url, { filePicker = 'access', beforeLoad = [], onConsole, timeout } = {}) {
  const page = await context.newPage();
  if (timeout) page.setDefaultTimeout(timeout);
  page.errors = [];
  page.filePicker = filePicker;
  page.on('pageerror', (e) => page.errors.push(e.message));
  if (onConsole) page.on('console', (m) => onConsole(`${m.type()}: ${m.text()}`));
  for (const [script, argument] of beforeLoad) await page.evaluateOnNewDocument(script, argument);
  if (filePicker === 'input') {
    await page.evaluateOnNewDocument(() => { delete window.showOpenFilePicker; });
  } else {
    await page.exposeFunction('kestrunePickedFile', () => {
      const file = page.nextFile;
      page.nextFile = null;
      if (!file || file.unreadable) return file;
      return { name: path.basename(file), bytes: fs.readFileSync(file).toString('base64') };
    });
    await page.evaluateOnNewDocument(() => {
      window.showOpenFilePicker = async () => {
        const file = await window.kestrunePickedFile();
        if (!file) throw new DOMException('The user aborted a request.', 'AbortError');
        if (file.unreadable) {
          return [{ kind: 'file', name: file.name,
            getFile: () => Promise.reject(new DOMException('The file could not be read.', 'NotReadableError')) }];
        }
        const folder = await navigator.storage.getDirectory();
        const handle = await folder.getFileHandle(file.name, { create: true });
        const writer = await handle.createWritable();
        await writer.write(Uint8Array.from(atob(file.bytes), (c) => c.charCodeAt(0)));
        await writer.close();
        return [handle];
      };
    });
  }
  // Every text the status line shows (window.statuses) and every one a screen reader is given
  // (window.announced).
  await page.evaluateOnNewDocument(() => {
    for (const [id, list] of [['status', 'statuses'], ['announce', 'announced']]) {
      window[list] = [];
      document.addEventListener('DOMContentLoaded', () => {
        const element = document.getElementById(id);
        if (!element) return;
        new MutationObserver(() => {
          const text = element.textContent;
          if (window[list][window[list].length - 1] !== text) window[list].push(text);
        }).observe(element, { childList: true, characterData: true, subtree: true });
      });
    }
  });
  await page.goto(url, { waitUntil: 'load', ...(timeout ? { timeout } : {}) });
  await page.evaluate(() => window.kestrune.ready);
  return page;
}

// The page's state: the list's rows (their cells), the status, the open box's text or null, and
// whether the window is idle.
export const pageState = (page) => page.evaluate(() => ({
  rows: [...document.querySelectorAll('#device-list tbody tr')].map((tr) => [...tr.cells].map((c) => c.textContent.trim())),
  status: document.getElementById('status').textContent,
  box: document.getElementById('message').open ? document.getElementById('message-text').textContent : null,
  idle: window.kestrune.idle(),
}));

// Waits until the page is idle or shows a box: true for a box.
export async function settle(page, timeout = 30000) {
  await page.waitForFunction(() => window.kestrune.idle() || document.getElementById('message').open, { timeout });
  return page.evaluate(() => document.getElementById('message').open);
}

// The open box as it stands.
export const openBox = (page) => page.evaluate(() => ({
  title: document.getElementById('message-title').textContent,
  text: document.getElementById('message-text').textContent,
  icon: document.getElementById('message-icon').dataset.icon,
  cancel: !document.getElementById('message-cancel').hidden,
  focus: document.activeElement.id,
}));

// Answers every box until the page is idle: answer(box, index) (may be async) says how, 'ok' (a click, the
// default), 'enter', 'escape' or 'cancel'; during(index) runs after box index is answered.
// Returns each box as shown.
export async function answerBoxes(page, { answer = () => 'ok', during, timeout } = {}) {
  const boxes = [];
  while (await settle(page, timeout)) {
    const box = await openBox(page);
    const how = await answer(box, boxes.length);
    boxes.push(box);
    if (how === 'enter') await page.keyboard.press('Enter');
    else if (how === 'escape') await page.keyboard.press('Escape');
    else await page.click(how === 'cancel' ? '#message-cancel' : '#message-ok');
    await page.waitForFunction(() => !document.getElementById('message').open);
    if (during) await during(boxes.length - 1);
  }
  return boxes;
}

// FILE through "Select Firmware File ..." (pick: how the button is pressed); the field then
// shows its name.
export async function chooseFile(page, file, pick = () => page.click('#select-file'), timeout = 5000) {
  if (page.filePicker === 'input') {
    const [chooser] = await Promise.all([page.waitForFileChooser({ timeout }), pick()]);
    await chooser.accept([file]);
  } else {
    page.nextFile = file;
    await pick();
  }
  await page.waitForFunction((name) => window.kestrune.idle() && document.getElementById('firmware-file').value === name,
    { timeout }, path.basename(file.name || file));
}
