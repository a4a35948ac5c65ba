// The web page in Debian's headless Chromium: the demo page (the simulated keyboard) driven by
// clicks and by the keyboard as a user would, its boxes and status texts compared with the texts
// the desktop window shows (read from the headers that define them), and the loader page without
// a granted keyboard and without WebHID.
//   node tests/web/page-test.mjs [--screenshot] [FOLDER]
// FOLDER is the built static folder (build-web/web). --screenshot saves the demo window after an
// upload as docs/web-demo-window.png. Prints PASS/FAIL per case and "N passed, M failed"; exits
// non-zero when a case failed. The demo's keyboard waits in real time (about 13 s an upload), so
// every wait here is for a state of the page, never a fixed time.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { launchChromium } from './chromium.mjs';
import { serve } from './serve.mjs';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const options = process.argv.slice(2);
const takeScreenshot = options.includes('--screenshot');
const folder = path.resolve(options.find((o) => !o.startsWith('--')) || path.join(root, 'build-web/web'));

// ---- the desktop's texts -------------------------------------------------------------------------
// Every `inline constexpr char Name[] = "..." "...";` of the headers that define the window's texts.
function textsOf(...files) {
  const texts = {};
  const definition = /inline constexpr char (\w+)\[\]\s*=\s*((?:"(?:[^"\\]|\\.)*"\s*)+);/g;
  for (const file of files) {
    const source = fs.readFileSync(path.join(root, file), 'utf8');
    for (const [, name, literals] of source.matchAll(definition))
      texts[name] = literals.match(/"(?:[^"\\]|\\.)*"/g).map((l) => JSON.parse(l)).join('');
  }
  return texts;
}
const T = textsOf('common/Version.h.in', 'upload/UploadText.h', 'upload/FirmwareCheck.h', 'window/WindowText.h');
const demo = (title) => title + T.DemoSuffix;
const refused = (problem) => `${T.NothingWritten} ${problem}`;

// ---- firmware files --------------------------------------------------------------------------------
const hexByte = (b) => b.toString(16).toUpperCase().padStart(2, '0');
// Intel HEX records of 16 data bytes at address, and the end-of-file record.
function hexLines(address, data) {
  const lines = [];
  for (let i = 0; i < data.length; i += 16) {
    const a = address + i;
    const bytes = [Math.min(16, data.length - i), (a >> 8) & 0xFF, a & 0xFF, 0, ...data.slice(i, i + 16)];
    const sum = bytes.reduce((s, b) => s + b, 0);
    lines.push(':' + [...bytes, (0x100 - (sum % 0x100)) % 0x100].map(hexByte).join(''));
  }
  return [...lines, ':00000001FF'];
}
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrune-page-'));
const firmware = Array.from({ length: 1000 }, (_, i) => (i * 7 + 3) & 0xFF);
const good = hexLines(0x1200, firmware);
const files = { good: path.join(work, 'fw.hex'), bad: path.join(work, 'bad.hex'), big: path.join(work, 'big.hex') };
fs.writeFileSync(files.good, good.join('\r\n') + '\r\n');
// Line 2 with a wrong checksum.
const checksum = parseInt(good[1].slice(-2), 16);
const wrong = (checksum + 1) & 0xFF;
fs.writeFileSync(files.bad, [good[0], good[1].slice(0, -2) + hexByte(wrong), ...good.slice(2)].join('\r\n') + '\r\n');
const badMessage = `Invalid HEX record on line 2 of bad.hex: checksum 0x${hexByte(wrong)}, expected 0x${hexByte(checksum)}.`;
// Larger than any firmware file may be, and larger than the part of it the page keeps.
const bigSize = 4 * 1024 * 1024 + 100;
fs.writeFileSync(files.big, Buffer.alloc(bigSize, 0x3A));
const bigMessage = `big.hex is ${bigSize} bytes long, more than a firmware file can be (at most 4 MiB); it is not read.`;

// ---- the browser and the page -------------------------------------------------------------------
const { server, url } = await serve(folder);
const browser = await launchChromium();

const $text = (page, selector) => page.$eval(selector, (e) => e.textContent);
const focused = (page) => page.evaluate(() => document.activeElement && document.activeElement.id);
const rows = (page) => page.$$eval('#device-list tbody tr', (trs) => trs.map((tr) => [...tr.cells].slice(0, 4).map((c) => c.textContent)));
const oldRow = ['11867', '17', 'V1.0', T.NormalMode];
const newRow = ['11867', '17', 'V1.2', T.NormalMode];

// A page of its own (its own storage), which records every status text it shows; a script error
// in it fails the case. Files are chosen as Chromium offers them, through the File System Access
// picker, whose dialog a headless browser cannot show: the test's picker hands over the test's
// file as a file of the page's own storage (what the page keeps and reads again on a later visit
// is then a real handle). With filePicker 'input' the page has no such picker and takes files
// from its <input type=file>, as other browsers do, answered with the file on disk.
const opened = [];
async function open(name, { filePicker = 'access', beforeLoad } = {}) {
  const context = await browser.createBrowserContext();
  const page = await context.newPage();
  opened.push({ context, page });
  page.errors = [];
  page.filePicker = filePicker;
  page.on('pageerror', (e) => page.errors.push(e.message));
  if (beforeLoad) await page.evaluateOnNewDocument(beforeLoad);
  if (filePicker === 'input') {
    await page.evaluateOnNewDocument(() => { delete window.showOpenFilePicker; });
  } else {
    await page.exposeFunction('kestrunePickedFile', () => {
      const file = page.nextFile;
      page.nextFile = null;
      return file && { name: path.basename(file), bytes: fs.readFileSync(file).toString('base64') };
    });
    await page.evaluateOnNewDocument(() => {
      window.showOpenFilePicker = async () => {
        const file = await window.kestrunePickedFile();
        if (!file) throw new DOMException('The user aborted a request.', 'AbortError');
        const folder = await navigator.storage.getDirectory();
        const handle = await folder.getFileHandle(file.name, { create: true });
        const writer = await handle.createWritable();
        await writer.write(Uint8Array.from(atob(file.bytes), (c) => c.charCodeAt(0)));
        await writer.close();
        return [handle];
      };
    });
  }
  await page.evaluateOnNewDocument(() => {
    window.statuses = [];
    document.addEventListener('DOMContentLoaded', () => {
      const status = document.getElementById('status');
      new MutationObserver(() => {
        const text = status.textContent;
        if (window.statuses[window.statuses.length - 1] !== text) window.statuses.push(text);
      }).observe(status, { childList: true, characterData: true, subtree: true });
    });
  });
  await page.goto(url + name);
  await page.evaluate(() => window.kestrune.ready);
  return page;
}

// Waits until the page is idle or shows a box: true for a box.
async function settle(page, timeout = 30000) {
  await page.waitForFunction(() => window.kestrune.idle() || document.getElementById('message').open, { timeout });
  return page.evaluate(() => document.getElementById('message').open);
}

// Answers every box until the page is idle, by clicking OK or pressing Enter; during the first
// wait after the first box, tries to break in (duringUpload). Returns each box as shown.
async function answerBoxes(page, { byKey = false, duringUpload } = {}) {
  const boxes = [];
  while (await settle(page)) {
    boxes.push(await page.evaluate(() => ({
      title: document.getElementById('message-title').textContent,
      text: document.getElementById('message-text').textContent,
      icon: document.getElementById('message-icon').dataset.icon,
      cancel: !document.getElementById('message-cancel').hidden,
      focus: document.activeElement.id,
    })));
    if (byKey) await page.keyboard.press('Enter');
    else await page.click('#message-ok');
    await page.waitForFunction(() => !document.getElementById('message').open);
    if (duringUpload && boxes.length === 1) await duringUpload();
  }
  return boxes;
}

async function chooseFile(page, file, pick = () => page.click('#select-file')) {
  if (page.filePicker === 'input') {
    const [chooser] = await Promise.all([page.waitForFileChooser({ timeout: 5000 }), pick()]);
    await chooser.accept([file]);
  } else {
    page.nextFile = file;
    await pick();
  }
  await page.waitForFunction((name) => window.kestrune.idle() && document.getElementById('firmware-file').value === name,
    {}, path.basename(file));
}

// Alt+letter, a button's access key in Chromium on Linux. The key goes with its character: access
// keys are taken from the character event, which a key pressed with Alt sends no text for otherwise.
async function withAlt(page, letter) {
  await page.keyboard.down('Alt');
  await page.keyboard.press(`Key${letter.toUpperCase()}`, { text: letter });
  await page.keyboard.up('Alt');
}

// The status texts and boxes of one whole demo upload, as the desktop window shows them.
const uploadStatuses = [
  'Extracting...', T.Jumping, T.PleaseWait, T.Scanning, T.DeviceFound, T.DeviceFound + T.UploadModeNote,
  `Uploading from 0x${T.DefaultStartAddress}. ${T.KeepPluggedIn}`, T.DemoUploadedStatus, T.PleaseWait,
  T.UploadedRescanning, T.Scanning, T.FirmwareUpdated,
];
const uploadBoxes = [
  { title: demo(T.RestartTitle), text: T.DemoReplugInstructions, icon: 'information' },
  { title: demo(T.ApplicationTitle), text: T.SimulatedUploaded, icon: 'information' },
];
// The statuses since the upload started; the reader's "Extracting... :line" texts as one.
const statusesSince = (page, from) => page.evaluate((n) => window.statuses.slice(n), from).then((list) =>
  list.map((s) => (s.startsWith('Extracting... :') ? 'Extracting...' : s)).filter((s, i, l) => i === 0 || s !== l[i - 1]));

// The boxes shown (from the first on), as recorded by the page and as they stood in the dialog.
function checkBoxes(page, shown, expected, first = 0) {
  return page.evaluate((n) => window.kestrune.messages.slice(n), first).then((recorded) => {
    assert.deepEqual(recorded.map(({ title, text, icon }) => ({ title, text, icon })), expected);
    assert.deepEqual(shown.map(({ title, text, icon }) => ({ title, text, icon })),
      expected.map((b) => ({ ...b, text: b.text.replace(/\r\n/g, '\n') })));
    for (const box of shown) {
      assert.equal(box.cancel, false, 'an OK box has no Cancel button');
      assert.equal(box.focus, 'message-ok', 'the box opens with OK focused');
    }
  });
}

async function uploadEnds(page, from) {
  assert.equal(await $text(page, '#status'), T.FirmwareUpdated);
  assert.deepEqual(await statusesSince(page, from), uploadStatuses);
  assert.deepEqual(await rows(page), [newRow]);
  const [value, max] = await page.$eval('#progress', (p) => [p.value, p.max]);
  assert.ok(max > 1 && value === max, `the bar full after the upload (${value} of ${max})`);
}

// ---- the cases -------------------------------------------------------------------------------------
const cases = {
  async 'demo: a whole upload by clicks, its statuses and boxes as on the desktop'() {
    const page = await open('demo.html');
    assert.ok((await $text(page, '#caption')).startsWith(T.ApplicationTitle + ' '));
    assert.ok((await $text(page, '#caption')).endsWith(T.DemoSuffix));
    assert.equal(await settle(page), false, 'no box before the first click');
    assert.equal(await $text(page, '#status'), T.DeviceFound);
    assert.deepEqual(await rows(page), [oldRow]);
    await chooseFile(page, files.good);
    const from = await page.evaluate(() => window.statuses.length);
    await page.click('#upload');
    // While it runs the buttons are off, and a click or a key that reaches the page does nothing.
    const duringUpload = async () => {
      await page.waitForFunction((text) => document.getElementById('status').textContent === text, {}, T.PleaseWait);
      const disabled = await page.$$eval('#refresh, #upload, #select-file, #exit', (bs) => bs.map((b) => b.disabled));
      assert.deepEqual(disabled, [true, true, true, true], 'every button off during the upload');
      await page.click('#device-list tbody tr');
      await page.click('#exit');
      await page.click('#select-file');
      await page.keyboard.press('Escape');
    };
    const boxes = await answerBoxes(page, { duringUpload });
    await checkBoxes(page, boxes, uploadBoxes);
    await uploadEnds(page, from);
    assert.equal(await page.$eval('#window', (w) => w.hidden), false, 'the window is still there');
    assert.equal(await focused(page), 'upload', 'the focus back on Upload Firmware');
    if (takeScreenshot) {
      fs.mkdirSync(path.join(root, 'docs'), { recursive: true });
      await (await page.$('#window')).screenshot({ path: path.join(root, 'docs/web-demo-window.png') });
    }
  },

  async 'demo: a whole upload by the keyboard only, the focus where the desktop puts it'() {
    const page = await open('demo.html');
    assert.equal(await settle(page), false);
    assert.equal(await focused(page), 'refresh', 'Refresh has the focus from the start');
    // The desktop's Tab order: the list, Refresh, Upload Firmware, (start address), file, Select.
    const order = [];
    for (let i = 0; i < 3; ++i) {
      await page.keyboard.press('Tab');
      order.push(await focused(page));
    }
    assert.deepEqual(order, ['upload', 'firmware-file', 'select-file']);
    await chooseFile(page, files.good, () => page.keyboard.press('Space'));
    assert.equal(await focused(page), 'select-file', 'the focus back on the button that picked the file');
    // Alt+S picks again, by its access key.
    await chooseFile(page, files.good, () => withAlt(page, 's'));
    const from = await page.evaluate(() => window.statuses.length);
    await withAlt(page, 'u');
    const boxes = await answerBoxes(page, { byKey: true });
    await checkBoxes(page, boxes, uploadBoxes);
    await uploadEnds(page, from);
    assert.equal(await focused(page), 'upload', 'the focus on Upload Firmware, which started it');
  },

  async 'demo: a broken HEX file and one too large are refused, nothing sent'() {
    // The files as other browsers give them: through the <input type=file>, from the disk.
    const page = await open('demo.html', { filePicker: 'input' });
    assert.equal(await settle(page), false);
    // Refused files: the box titled with the reader's error code, without an icon.
    for (const [index, [file, message, code]] of [[files.bad, badMessage, 4], [files.big, bigMessage, 7]].entries()) {
      await chooseFile(page, file);
      const from = await page.evaluate(() => window.statuses.length);
      await page.click('#upload');
      const boxes = await answerBoxes(page);
      await checkBoxes(page, boxes, [{ title: demo(String(code)), text: message, icon: 'none' }], index);
      assert.equal(await $text(page, '#status'), refused(message));
      const statuses = await statusesSince(page, from);
      assert.ok(!statuses.includes(T.Jumping), `no switch to firmware-upload mode: ${statuses.join(' | ')}`);
      assert.deepEqual(await rows(page), [oldRow], 'the keyboard untouched');
    }
  },

  async 'demo: Ctrl+F1 shows the start address, Escape ends the page'() {
    const page = await open('demo.html');
    assert.equal(await settle(page), false);
    assert.equal(await page.$eval('#start-address', (e) => e.hidden), true);
    await page.keyboard.down('Control');
    await page.keyboard.press('F1');
    await page.keyboard.up('Control');
    await page.waitForFunction(() => !document.getElementById('start-address').hidden);
    assert.equal(await focused(page), 'start-address');
    assert.equal(await page.$eval('#start-address', (e) => e.value), T.DefaultStartAddress);
    assert.equal(await $text(page, '#start-address-label'), T.StartAddressLabel);
    await page.keyboard.press('Escape');
    await page.waitForSelector('#closed');
    assert.equal(await page.$eval('#window', (w) => w.hidden), true, 'the window is gone');
    assert.match(await $text(page, '#closed'), /closed the keyboard/);
  },

  async 'demo: the chosen file is remembered across a reload: by name, and by handle where kept'() {
    const key = `kestrune/${T.DemoSettingsScope}/${T.SettingsSection}/${T.SettingsKey}`;
    const missing = (stored) => `File ${stored} not found.`;
    // With the File System Access picker the page reads the file again from the handle it kept
    // (the broken file shows it: its own refusal, not "not found"); with <input type=file> only
    // the name is kept, and the upload says the file is not there.
    for (const [filePicker, file, expected] of [['access', files.bad, () => badMessage], ['input', files.good, missing]]) {
      const page = await open('demo.html', { filePicker });
      assert.equal(await settle(page), false);
      await chooseFile(page, file);
      const stored = await page.evaluate((k) => localStorage.getItem(k), key);
      assert.equal(stored, path.basename(file), "the setting holds the file's name");
      await page.reload();
      await page.evaluate(() => window.kestrune.ready);
      assert.equal(await settle(page), false);
      assert.equal(await page.$eval('#firmware-file', (e) => e.value), path.basename(file));
      await page.click('#upload');
      const boxes = await answerBoxes(page);
      const message = expected(stored);
      const [title, icon] = filePicker === 'access' ? [demo('4'), 'none'] : [demo(T.ApplicationTitle), 'warning'];
      await checkBoxes(page, boxes, [{ title, text: message, icon }]);
      assert.equal(await $text(page, '#status'), refused(message), filePicker);
      assert.deepEqual(await rows(page), [oldRow]);
    }
  },

  async 'loader: without a granted keyboard, "Connect keyboard …" and no keyboard'() {
    const page = await open('index.html');
    // The start-up scan says so in the status only; Refresh, asked by the user, in a box too.
    assert.equal(await settle(page), false, 'no box at start');
    assert.equal(await $text(page, '#status'), T.DeviceNotFoundStatus);
    assert.deepEqual(await rows(page), []);
    assert.equal(await page.$eval('#connect', (b) => b.hidden), false);
    assert.equal(await $text(page, '#connect'), 'Connect keyboard …');
    assert.equal(await page.$eval('#upload', (b) => b.disabled), true);
    assert.equal(await focused(page), 'refresh');
    await page.keyboard.press('Enter');
    const boxes = await answerBoxes(page, { byKey: true });
    await checkBoxes(page, boxes, [{ title: T.ApplicationTitle, text: T.DeviceNotFound, icon: 'warning' }]);
    assert.equal(await $text(page, '#status'), T.DeviceNotFoundStatus);
    assert.equal(await focused(page), 'refresh');
  },

  async 'loader: a browser without WebHID gets the page that says so'() {
    const page = await open('index.html', { beforeLoad: () => { delete Navigator.prototype.hid; } });
    assert.equal(await page.evaluate(() => 'hid' in navigator), false);
    assert.equal(await page.$eval('#unsupported', (e) => e.hidden), false);
    assert.equal(await page.$eval('#window', (e) => e.hidden), true);
    assert.match(await $text(page, '#unsupported'), /WebHID/);
  },
};

let passed = 0;
let failed = 0;
for (const [name, run] of Object.entries(cases)) {
  const started = Date.now();
  try {
    await run();
    const errors = opened.flatMap(({ page }) => page.errors);
    if (errors.length) throw new Error(`script errors: ${errors.join('; ')}`);
    console.log(`PASS  ${name} (${((Date.now() - started) / 1000).toFixed(1)} s)`);
    passed++;
  } catch (e) {
    console.log(`FAIL  ${name}\n      ${String(e.message).split('\n').join('\n      ')}`);
    failed++;
  }
  for (const { context } of opened.splice(0)) await context.close().catch(() => {});
}
await browser.close();
server.close();
fs.rmSync(work, { recursive: true, force: true });
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
