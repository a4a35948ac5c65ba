// The web page in Debian's headless Chromium: the demo page (the simulated keyboard) and the
// loader page over a stand-in for Chromium's WebHID (fake-hid.mjs: the bridge, the grants and the
// browser's chooser), driven by clicks and by the keyboard as a user would, their boxes and status
// texts compared with the texts the desktop window shows (read from the headers that define
// them); bad and unreadable files, the remembered file, the layout at a narrow width, at 200 %
// zoom and with a large font, and the loader without WebHID.
//   node tests/web/page-test.mjs [--screenshot] [FOLDER]
// FOLDER is the built static folder (build-web/web). --screenshot saves the demo window after an
// upload as docs/web-demo-window.png, and the loader at 320 px and at 200 % zoom as
// docs/web-320px.png and docs/web-zoom-200.png. Prints PASS/FAIL per case and "N passed, M
// failed"; exits non-zero when a case failed. The keyboards wait in real time (about 13 s an
// upload), so every wait here is for a state of the page, never a fixed time.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import zlib from 'node:zlib';
import { fileURLToPath } from 'node:url';
import { launchChromium } from './chromium.mjs';
import { installFakeHid } from './fake-hid.mjs';
import { answerBoxes, chooseFile, hexByte, hexLines, openPage, pageState, settle } from './page-helpers.mjs';
import { serve } from './serve.mjs';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const options = process.argv.slice(2);
const takeScreenshot = options.includes('--screenshot');
const folder = path.resolve(options.find((o) => !o.startsWith('--')) || path.join(root, 'build-web/web'));

// ---- the desktop's texts -------------------------------------------------------------------------
// Every `inline constexpr char Name[] = "..." "...";` of the headers that define the window's texts.
function textsOf(...files) {
  const texts = {};
  // A text marked for the catalogs stands in N_( ).
  const definition = /inline constexpr char (\w+)\[\]\s*=\s*(?:N_\()?((?:"(?:[^"\\]|\\.)*"\s*)+)\)?;/g;
  for (const file of files) {
    const source = fs.readFileSync(path.join(root, file), 'utf8');
    for (const [, name, literals] of source.matchAll(definition))
      texts[name] = literals.match(/"(?:[^"\\]|\\.)*"/g).map((l) => JSON.parse(l)).join('');
  }
  return texts;
}
const T = textsOf('common/Version.h.in', 'upload/UploadText.h', 'upload/FirmwareCheck.h', 'window/WindowText.h');
const demo = (title) => title + T.DemoSuffix;
const lf = (text) => text.replace(/\r\n/g, '\n');  // a box's text as the page shows it
const refused = (problem) => `${T.NothingWritten} ${problem}`;

// ---- the catalogs ---------------------------------------------------------------------------------
// A language's catalog (po/LANG.po) as a function from an English text to its translation (the first
// form of a text with a count); a box's text with CR LF is looked up, as the window does, with LF.
function catalogOf(language) {
  const translations = new Map();
  const field = (entry, name) => {
    const m = entry.match(new RegExp(`^${name} ((?:".*"\n?)+)`, 'm'));
    return m && m[1].trim().split('\n').map((l) => JSON.parse(l)).join('');
  };
  for (const entry of fs.readFileSync(path.join(root, 'po', `${language}.po`), 'utf8').split(/\n\n+/)) {
    const english = field(entry, 'msgid');
    if (english) translations.set(english, field(entry, 'msgstr') ?? field(entry, 'msgstr\\[0\\]'));
  }
  return (english) => {
    const shown = translations.get(lf(english)) || english;
    return english.includes('\r\n') ? shown.replace(/\n/g, '\r\n') : shown;
  };
}
const languages = fs.readdirSync(path.join(root, 'po')).filter((f) => f.endsWith('.po')).map((f) => f.slice(0, -3));

// ---- firmware files --------------------------------------------------------------------------------
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrune-page-'));
const firmware = Array.from({ length: 1000 }, (_, i) => (i * 7 + 3) & 0xFF);
const good = hexLines(0x1200, firmware);
const files = {
  good: path.join(work, 'fw.hex'), bad: path.join(work, 'bad.hex'), big: path.join(work, 'big.hex'),
  other: path.join(work, 'other', 'fw.hex'),
};
fs.mkdirSync(path.dirname(files.other));
fs.writeFileSync(files.good, good.join('\r\n') + '\r\n');
// Another valid file of the same name, with other data.
fs.writeFileSync(files.other, hexLines(0x1200, firmware.map((b) => b ^ 0x5A)).join('\r\n') + '\r\n');
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
const rows = async (page) => (await pageState(page)).rows.map((cells) => cells.slice(0, 4));
const oldRow = ['11867', '17', 'V1.0', T.NormalMode];
const newRow = ['11867', '17', 'V1.2', T.NormalMode];
const hidden = (page, selector) => page.$eval(selector, (e) => e.hidden);

// A page of its own (its own storage); a script error in it fails the case. fakeHid: the loader
// over the stand-in for WebHID with these options.
const opened = [];
async function open(name, { fakeHid, ...options } = {}) {
  const context = await browser.createBrowserContext();
  const beforeLoad = fakeHid ? [[installFakeHid, fakeHid]] : [];
  if (options.beforeLoad) beforeLoad.push([options.beforeLoad]);
  // The browser's languages, most wanted first.
  if (options.languages) {
    beforeLoad.push([(list) => Object.defineProperty(Navigator.prototype, 'languages', { get: () => list }), options.languages]);
  }
  const page = await openPage(context, url + name, { ...options, beforeLoad });
  opened.push({ context, page });
  return page;
}

// Alt+letter, a button's access key in Chromium on Linux. The key goes with its character: access
// keys are taken from the character event, which a key pressed with Alt sends no text for otherwise.
async function withAlt(page, letter) {
  await page.keyboard.down('Alt');
  await page.keyboard.press(`Key${letter.toUpperCase()}`, { text: letter });
  await page.keyboard.up('Alt');
}
async function ctrlF1(page) {
  await page.keyboard.down('Control');
  await page.keyboard.press('F1');
  await page.keyboard.up('Control');
}
const waitForStatus = (page, text) =>
  page.waitForFunction((t) => document.getElementById('status').textContent === t, {}, text);

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
const statusesSince = (page, from, extracting = 'Extracting... ') => page.evaluate((n) => window.statuses.slice(n), from).then((list) =>
  list.map((s) => (s.startsWith(extracting + ':') ? extracting.trim() : s)).filter((s, i, l) => i === 0 || s !== l[i - 1]));

// The boxes shown (from the first on), as recorded by the page and as they stood in the dialog.
function checkBoxes(page, shown, expected, first = 0) {
  return page.evaluate((n) => window.kestrune.messages.slice(n), first).then((recorded) => {
    assert.deepEqual(recorded.map(({ title, text, icon }) => ({ title, text, icon })), expected);
    assert.deepEqual(shown.map(({ title, text, icon }) => ({ title, text, icon })),
      expected.map((b) => ({ ...b, text: lf(b.text) })));
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

// ---- the loader over the stand-in for WebHID -------------------------------------------------------

const fakeFlash = (page) => page.evaluate((n) => Array.from(window.fakeHid.flash.subarray(0x1200, 0x1200 + n)), firmware.length);
const fakeCount = (page, what) => page.evaluate((w) => window.fakeHid[w], what);
// The loader with its keyboards granted through "Connect keyboard …", as a user grants them.
async function connected(fakeHid, keyboards = 1) {
  const page = await open('index.html', { fakeHid });
  assert.equal(await settle(page), false, 'no box at start');
  await page.click('#connect');
  await page.waitForFunction((n) => document.querySelectorAll('#device-list tbody tr').length === n && window.kestrune.idle(), {}, keyboards)
    .catch(async (e) => { throw new Error(`${e.message}: ${JSON.stringify(await pageState(page))}`); });
  return page;
}
// Drops a file of these bytes on the window, as the desktop's drag and drop.
const dropFile = (page, name, bytes) => page.evaluate((n, b) => {
  const data = new DataTransfer();
  data.items.add(new File([Uint8Array.from(atob(b), (c) => c.charCodeAt(0))], n));
  document.getElementById('window').dispatchEvent(new DragEvent('drop', { dataTransfer: data, bubbles: true, cancelable: true }));
}, name, fs.readFileSync(bytes).toString('base64'));

// ---- the cases -------------------------------------------------------------------------------------
const cases = {
  'every wait on the browser goes through the one wrapper that settles it'() {
    // A Promise that rejects inside a plain EM_ASYNC_JS never wakes the module again.
    const offenders = ['common', 'usbio', 'upload', 'sim', 'window'].flatMap((layer) =>
      fs.readdirSync(path.join(root, layer), { recursive: true }).map((f) => path.join(layer, f)))
      .filter((f) => /\.(cpp|h)$/.test(f) && f !== path.join('usbio', 'WebAsync.h') &&
        /\bEM_ASYNC_JS\s*\(/.test(fs.readFileSync(path.join(root, f), 'utf8')));
    assert.deepEqual(offenders, [], 'EM_ASYNC_JS outside usbio/WebAsync.h');
  },

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
    // While it runs the buttons are off, and a click or a key that reaches the page does nothing:
    // Ctrl+F1 pressed while a box is open, and during a wait, never shows the start address.
    const answer = async (box, index) => {
      if (index === 0) await ctrlF1(page);
      return 'ok';
    };
    const during = async (index) => {
      if (index !== 0) return;
      await waitForStatus(page, T.PleaseWait);
      const disabled = await page.$$eval('#refresh, #upload, #select-file, #exit', (bs) => bs.map((b) => b.disabled));
      assert.deepEqual(disabled, [true, true, true, true], 'every button off during the upload');
      await page.click('#device-list tbody tr');
      await page.click('#exit');
      await page.click('#select-file');
      await ctrlF1(page);
    };
    const boxes = await answerBoxes(page, { answer, during });
    await checkBoxes(page, boxes, uploadBoxes);
    await uploadEnds(page, from);
    assert.equal(await hidden(page, '#window'), false, 'the window is still there');
    assert.equal(await hidden(page, '#start-address'), true, 'no key of a box or a wait reached the window');
    assert.equal(await focused(page), 'upload', 'the focus back on Upload Firmware');
    // A screen reader hears the steps and the outcome, not each HEX record read.
    const announced = await page.evaluate(() => window.announced);
    assert.deepEqual(announced.filter((t) => t.startsWith('Extracting')), ['Extracting...']);
    assert.equal(announced[announced.length - 1], T.FirmwareUpdated);
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
    // A first update needs no file of one's own: the page links the sample firmware.
    const sample = await page.evaluate(async () => {
      const link = document.querySelector('#sample a[download]');
      return link ? (await (await fetch(link.href)).text()).slice(0, 9) : '';
    });
    assert.equal(sample, ':10120000', 'the sample firmware, a HEX file from 0x1200, is linked');
    await chooseFile(page, files.good, () => page.keyboard.press('Space'));
    assert.equal(await focused(page), 'select-file', 'the focus back on the button that picked the file');
    // Alt+S picks again, by its access key.
    await chooseFile(page, files.good, () => withAlt(page, 's'));
    const from = await page.evaluate(() => window.statuses.length);
    await withAlt(page, 'u');
    const boxes = await answerBoxes(page, { answer: () => 'enter' });
    await checkBoxes(page, boxes, uploadBoxes);
    await uploadEnds(page, from);
    assert.equal(await focused(page), 'upload', 'the focus on Upload Firmware, which started it');
  },

  async 'demo: broken, too large and unreadable files are refused, nothing sent, the page usable'() {
    // A file the browser cannot read (gone, changed since it was picked, no permission) through
    // Chromium's picker; the others as other browsers give them, through <input type=file>.
    const unreadable = { name: 'gone.hex', unreadable: true };
    const table = [
      ['input', files.bad, badMessage, 4],
      ['input', files.big, bigMessage, 7],
      ['access', unreadable, 'Cannot read the firmware file gone.hex.', 2],
    ];
    const pages = {};
    for (const [picker, file, message, code] of table) {
      const page = pages[picker] || (pages[picker] = await open('demo.html', { filePicker: picker }));
      assert.equal(await settle(page), false);
      await chooseFile(page, file);
      const from = await page.evaluate(() => [window.statuses.length, window.kestrune.messages.length]);
      await page.click('#upload');
      const boxes = await answerBoxes(page);
      await checkBoxes(page, boxes, [{ title: demo(String(code)), text: message, icon: 'none' }], from[1]);
      assert.equal(await $text(page, '#status'), refused(message));
      const statuses = await statusesSince(page, from[0]);
      assert.ok(!statuses.includes(T.Jumping), `no switch to firmware-upload mode: ${statuses.join(' | ')}`);
      assert.deepEqual(await rows(page), [oldRow], 'the keyboard untouched');
      assert.deepEqual(await page.$$eval('#refresh, #upload, #select-file, #exit', (bs) => bs.map((b) => b.disabled)),
        [false, false, false, false], 'every button back');
    }
  },

  async 'demo: Escape never ends the page; Exit does, and the ended page leaves without asking'() {
    const page = await open('demo.html');
    assert.equal(await settle(page), false);
    assert.equal(await hidden(page, '#start-address'), true);
    await ctrlF1(page);
    await page.waitForFunction(() => !document.getElementById('start-address').hidden);
    assert.equal(await focused(page), 'start-address');
    assert.equal(await page.$eval('#start-address', (e) => e.value), T.DefaultStartAddress);
    assert.equal(await $text(page, '#start-address-label'), T.StartAddressLabel);
    await page.keyboard.press('Escape');
    await page.keyboard.press('Escape');
    assert.equal(await settle(page), false);
    assert.equal(await hidden(page, '#window'), false, 'the window stays after Escape');
    await withAlt(page, 'x');
    await page.waitForSelector('#closed');
    assert.equal(await hidden(page, '#window'), true, 'the window is gone');
    assert.match(await $text(page, '#closed'), /closed the keyboard/);
    assert.equal(await page.evaluate(() => window.kestrune.idle()), true, 'an ended page is idle');
    let asked = false;
    page.on('dialog', (d) => { asked = true; d.accept(); });
    await page.reload();
    await page.evaluate(() => window.kestrune.ready);
    assert.equal(asked, false, 'leaving the ended page asks nothing');
  },

  async 'demo: the chosen file across a reload: read again from a kept handle, or asked for again'() {
    const key = `kestrune/${T.DemoSettingsScope}/${T.SettingsSection}/${T.SettingsKey}`;
    // With the File System Access picker the page reads the file again from the handle it kept
    // (the broken file shows it: its own refusal); with <input type=file> the browser keeps no
    // access, and the page says that the file must be chosen again instead of claiming it.
    for (const [filePicker, file] of [['access', files.bad], ['input', files.good]]) {
      const page = await open('demo.html', { filePicker });
      assert.equal(await settle(page), false);
      await chooseFile(page, file);
      const stored = await page.evaluate((k) => localStorage.getItem(k), key);
      assert.equal(stored, path.basename(file), "the setting holds the file's name");
      await page.reload();
      await page.evaluate(() => window.kestrune.ready);
      assert.equal(await settle(page), false);
      const field = await page.$eval('#firmware-file', (e) => [e.value, e.placeholder]);
      await page.click('#upload');
      const boxes = await answerBoxes(page);
      if (filePicker === 'access') {
        assert.deepEqual(field, [stored, '']);
        await checkBoxes(page, boxes, [{ title: demo('4'), text: badMessage, icon: 'none' }]);
        assert.equal(await $text(page, '#status'), refused(badMessage));
      } else {
        assert.deepEqual(field, ['', `${stored}: choose it again (the browser did not keep access to it)`]);
        await checkBoxes(page, boxes, [{ title: demo(T.ApplicationTitle), text: T.NoFileChosen, icon: 'warning' }]);
      }
      assert.deepEqual(await rows(page), [oldRow]);
    }
  },

  async 'loader: without a granted keyboard, "Connect keyboard …", and a chooser left empty is told'() {
    const page = await open('index.html', { fakeHid: { chooser: 'cancel' } });
    // The start-up scan says so in the status only; Refresh, asked by the user, in a box too.
    assert.equal(await settle(page), false, 'no box at start');
    assert.equal(await $text(page, '#status'), T.DeviceNotFoundStatus);
    assert.deepEqual(await rows(page), []);
    assert.equal(await hidden(page, '#connect'), false);
    assert.equal(await $text(page, '#connect'), 'Connect keyboard …');
    assert.equal(await page.$eval('#upload', (b) => b.disabled), true);
    assert.equal(await focused(page), 'refresh');
    await page.keyboard.press('Enter');
    const boxes = await answerBoxes(page, { answer: () => 'enter' });
    await checkBoxes(page, boxes, [{ title: T.ApplicationTitle, text: T.WebDeviceNotFound, icon: 'warning' }]);
    assert.equal(await $text(page, '#status'), T.DeviceNotFoundStatus);
    assert.equal(await focused(page), 'refresh');
    await page.click('#connect');
    await page.waitForSelector('#connect-note:not([hidden])');
    assert.match(await $text(page, '#connect-note'), /^No keyboard was chosen in the browser's list\./);
    assert.equal(await hidden(page, '#connect'), false, 'Connect keyboard … asks again');
  },

  async 'loader: a whole update over WebHID as Chromium answers, a file dropped meanwhile never sent'() {
    const page = await connected({ version: 'V1.0', versionAfter: 'V1.2' });
    // The bridge puts back the report-ID byte Chromium leaves out: the version reads whole.
    assert.deepEqual(await rows(page), [oldRow]);
    assert.equal(await hidden(page, '#connect'), true, 'no Connect keyboard … with a keyboard granted');
    // A reply is taken without its ID byte (1), or with the ID asked for (0); any other is a failed
    // exchange.
    const forms = await page.evaluate(() => [[7, 131], [0, 132], [5, 132], [7, 130], [0, 133]].map(([first, length]) => {
      const reply = new Uint8Array(length).fill(7);
      reply[0] = first;
      return Module.webHid.reportForm(0, reply, 132);
    }));
    assert.deepEqual(forms, [1, 0, -1, -1, -1]);
    await chooseFile(page, files.good);
    await page.click('#upload');
    // Each box before the browser's list says that it opens; a file of the same name dropped
    // during the upload changes nothing.
    const during = (index) => index === 0 && dropFile(page, 'fw.hex', files.other);
    const first = await answerBoxes(page, { during });
    assert.deepEqual(first.map((b) => b.text), [T.WebReplugInstructions, T.WebUploadedReplug].map(lf));
    assert.equal(await $text(page, '#status'), T.FirmwareUpdated);
    assert.deepEqual(await rows(page), [newRow]);
    assert.deepEqual(await fakeFlash(page), firmware);
    assert.equal(await fakeCount(page, 'requests'), 3, 'the browser asked at Connect and after each box');
    // The next upload sends the file the window shows, not the one dropped meanwhile.
    await page.evaluate(() => window.fakeHid.flash.fill(0));
    await page.click('#upload');
    const second = await answerBoxes(page);
    assert.deepEqual(second.map((b) => b.text), [T.GrantSwitchedKeyboard, T.GrantRestartedKeyboard].map(lf));
    assert.equal(await $text(page, '#status'), T.FirmwareUpdated);
    assert.deepEqual(await fakeFlash(page), firmware, 'the bytes of the file chosen');
    assert.equal(await page.$eval('#firmware-file', (e) => e.value), 'fw.hex');
    // A file dropped while the window is idle is taken.
    await dropFile(page, 'bad.hex', files.bad);
    await page.waitForFunction(() => document.getElementById('firmware-file').value === 'bad.hex');
  },

  async "loader: Escape on the box before the browser's list: the page says why, Connect asks again"() {
    // Escape is no gesture to a browser, which then refuses its list (SecurityError). Puppeteer's
    // Escape counts as one in headless Chromium: the stand-in refuses that first request as
    // Chromium refuses a user's (its second call: the first is Connect's).
    const page = await connected({ version: 'V2.0', refuseAsGestureless: [2] });
    await chooseFile(page, files.good);
    await page.click('#upload');
    let note = null;
    const answer = (box, index) => (index === 0 ? 'escape' : 'ok');
    const during = async (index) => {
      if (index !== 0) return;
      await page.waitForSelector('#connect-note:not([hidden])');
      note = await $text(page, '#connect-note');
      assert.equal(await hidden(page, '#connect'), false);
      await page.click('#connect');
    };
    const boxes = await answerBoxes(page, { answer, during });
    assert.equal(boxes[0].text, lf(T.GrantSwitchedKeyboard));
    assert.match(note, /only after a click/);
    assert.equal(await $text(page, '#status'), T.FirmwareUpdated);
    assert.deepEqual(await fakeFlash(page), firmware);
    assert.equal(await fakeCount(page, 'refused'), 1);
    assert.equal(await hidden(page, '#connect-note'), true, 'the note goes once the keyboard is chosen');
  },

  async 'loader: every control in reach at 320 px, at 200 % zoom and with a 32 px font; the list a list box'() {
    const page = await connected({});
    // The list is a list box: its rows are options, the chosen one selected and active.
    assert.deepEqual(await page.evaluate(() => {
      const list = document.getElementById('device-list');
      const options = [...list.querySelectorAll('[role=option]')];
      return [list.getAttribute('role'), options.map((o) => [o.getAttribute('aria-selected'), o.getAttribute('aria-label')]),
        list.getAttribute('aria-activedescendant')];
    }), ['listbox', [['false', `Vendor ID 11867, Product ID 17, Firmware Version V1.0, Status Mode ${T.NormalMode}`]], null]);
    // Every control lies inside the page's scrollable area, none left of it or cut.
    const reach = () => page.evaluate(() => {
      const ids = ['caption', 'connect', 'device-list-box', 'refresh', 'upload', 'firmware-file', 'select-file', 'progress', 'exit', 'status-bar'];
      const width = document.documentElement.scrollWidth;
      const lost = [];
      for (const id of ids) {
        const e = document.getElementById(id);
        if (e.hidden) continue;
        const r = e.getBoundingClientRect();
        if (r.left + scrollX < 0 || r.right + scrollX > width + 0.5 || r.top + scrollY < 0) lost.push(id);
        if (e.tagName === 'BUTTON' && e.scrollWidth > e.clientWidth) lost.push(id + ' (label cut)');
      }
      return lost;
    });
    const settings = [
      ['320 px wide', { width: 320, height: 640 }, 'web-320px.png'],
      ['200 % zoom of 1024 px', { width: 512, height: 384, deviceScaleFactor: 2 }, 'web-zoom-200.png'],
    ];
    for (const [what, viewport, picture] of settings) {
      await page.setViewport(viewport);
      assert.deepEqual(await reach(), [], what);
      if (takeScreenshot) await page.screenshot({ path: path.join(root, 'docs', picture), fullPage: true });
    }
    // The browser's font size (32 px): the window's font follows it and is laid out in it.
    const session = await page.createCDPSession();
    await session.send('Page.setFontSizes', { fontSizes: { standard: 32, fixed: 32 } });
    await page.setViewport({ width: 1024, height: 768 });
    await page.reload();
    await page.evaluate(() => window.kestrune.ready);
    assert.equal(await page.$eval('#window', (w) => getComputedStyle(w).fontSize), '26px');
    assert.deepEqual(await reach(), [], '32 px font');
  },

  async 'demo in each language of the browser: a whole upload in German, every language whole at the default font and at 14 pt'() {
    for (const language of languages) {
      const tr = catalogOf(language);
      const tag = language.replace('_', '-');
      const page = await open('demo.html', { languages: [tag, 'en'] });
      assert.equal(await settle(page), false);
      assert.equal(await page.evaluate(() => document.documentElement.lang), tag);
      assert.ok((await page.title()).endsWith(tr(T.DemoSuffix)));
      assert.equal(await $text(page, '#status'), tr(T.DeviceFound), language);
      assert.deepEqual(await rows(page), [[...oldRow.slice(0, 3), tr(T.NormalMode)]]);
      assert.equal(await $text(page, '#message-ok'), tr('OK'));
      for (const [id, english] of [['refresh', T.RefreshButton], ['upload', T.UploadButton], ['exit', T.ExitButton]])
        assert.ok((await $text(page, `#${id}`)).startsWith(tr(english).replace('&', '')), id);
      assert.ok((await page.$eval('#sample', (e) => e.innerHTML)).includes('href="kestrune-sample.hex"'));
      if (language === 'de') {
        // The replug box and the outcome in the user's words, as the desktop window says them.
        await chooseFile(page, files.good);
        const from = await page.evaluate(() => window.statuses.length);
        await page.click('#upload');
        const boxes = await answerBoxes(page);
        const demoTitle = (title) => tr(title) + tr(T.DemoSuffix);
        await checkBoxes(page, boxes, [
          { title: demoTitle(T.RestartTitle), text: tr(T.DemoReplugInstructions), icon: 'information' },
          { title: demoTitle(T.ApplicationTitle), text: tr(T.SimulatedUploaded), icon: 'information' },
        ]);
        const extracting = tr('Extracting... %s').split('%s')[0];
        const expected = uploadStatuses.map((s) => (s === 'Extracting...' ? extracting.trim()
          : s.startsWith('Uploading from') ? `${tr('Uploading from %s.').replace('%s', `0x${T.DefaultStartAddress}`)} ${tr(T.KeepPluggedIn)}`
          : s === T.DeviceFound + T.UploadModeNote ? tr(T.DeviceFound) + tr(T.UploadModeNote) : tr(s)));
        assert.deepEqual(await statusesSince(page, from, extracting), expected);
      }
      // Nothing cut: every button, header, label and box text is as wide as its text, at the default
      // font and at 14 pt.
      const cut = () => page.evaluate(() => [...document.querySelectorAll('#window button, #window th, #window label, #message-buttons button')]
        .filter((e) => e.offsetParent && e.scrollWidth > e.clientWidth + 1).map((e) => `${e.id || e.textContent}: ${e.scrollWidth} > ${e.clientWidth}`));
      assert.deepEqual(await cut(), [], `${language} at the default font`);
      const session = await page.createCDPSession();
      await session.send('Page.setFontSizes', { fontSizes: { standard: 19, fixed: 19 } });  // 14 pt
      await page.reload();
      await page.evaluate(() => window.kestrune.ready);
      assert.deepEqual(await cut(), [], `${language} at 14 pt`);
    }
  },

  'the page, every language in it, weighs less than 400 KiB as a server sends it (gzip -9)'() {
    const sent = fs.readdirSync(folder).reduce((sum, f) => sum + zlib.gzipSync(fs.readFileSync(path.join(folder, f)), { level: 9 }).length, 0);
    assert.ok(sent < 400 * 1024, `${sent} bytes`);
  },

  async 'loader: a browser without WebHID gets the page that says so'() {
    const page = await open('index.html', { beforeLoad: () => { delete Navigator.prototype.hid; } });
    assert.equal(await page.evaluate(() => 'hid' in navigator), false);
    assert.equal(await hidden(page, '#unsupported'), false);
    assert.equal(await hidden(page, '#window'), true);
    assert.match(await $text(page, '#unsupported'), /WebHID/);
  },
};

let passed = 0;
let failed = 0;
const only = process.env.PAGE_TEST_ONLY;  // a part of a case's name, to run just those
for (const [name, run] of Object.entries(cases)) {
  if (only && !name.includes(only)) continue;
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
