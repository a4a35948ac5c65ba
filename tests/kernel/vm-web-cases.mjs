// The cases of run-vm-tests.sh --machine web, in its QEMU machine (vm-web-init.sh runs this with the host's
// node, beside puppeteer-core): the web page (index.html) in Debian's headless Chromium against
// USB keyboards (kestrune-usb-keyboard on dummy_hcd), granted to the page by Chromium's managed
// policy, which this script writes before each Chromium starts.
//
//   node vm-web-cases.mjs --url URL --keyboard USB_KEYBOARD --firmware DIR --work DIR
//        --policy FILE --deadline UPTIME [--cases A,B] [--bench] [--verbose]
//
// Prints the console protocol of vm-web-init.sh: KT-RESULT, KT-TIME, KT-BENCH lines. Every wait is
// for a condition, bounded by its own limit and by the deadline (seconds of the machine's uptime).
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { setTimeout as pause } from 'node:timers/promises';
import { launchChromium } from './chromium.mjs';
import { chooseFile as choose, openPage as open, pageState as state } from './page-helpers.mjs';

const options = { cases: '', bench: false, verbose: false };
for (let i = 2; i < process.argv.length; ++i) {
  const name = process.argv[i].replace(/^--/, '');
  if (name === 'bench' || name === 'verbose') options[name] = true;
  else options[name] = process.argv[++i];
}
const only = options.cases ? options.cases.split(/[ ,]+/) : [];
if (only.length && options.bench) only.push('bench');
const deadline = Number(options.deadline ?? 1740);
const work = options.work;
const origin = new URL(options.url).origin;
const VendorId = 0x2e5b;
const NormalProductId = 17;
const UploadProductId = 6;

// The texts of window/WindowText.h and upload/UploadText.h that the cases look for.
const Text = {
  updated: 'Firmware updated.',
  failed: 'Firmware uploaded Failed',
  retry: 'Make sure the USB cable is plugged out and in.',
  cancelled: 'Upload cancelled; nothing was written.',
  grantSwitched: 'The keyboard restarts in [Firmware Upload] mode, where the browser knows it as another device.\n\n' +
    "Click OK, then choose the keyboard in the browser's list and click Connect.",
  replug: 'The keyboard is set to [Firmware Upload] mode.\n\nPlease follow below steps to start uploading firmware:\n' +
    '  1. Plug out the USB connector\n  2. Plug in the USB connector again\n' +
    "  3. Click OK, then choose the keyboard in the browser's list and click Connect",
};

const uptime = () => Number(readFileSync('/proc/uptime', 'utf8').split(' ')[0]);
const secondsSince = (t0) => (uptime() - t0).toFixed(1);
// until(SECONDS): the uptime SECONDS from now, or the deadline if that comes first.
const until = (seconds) => Math.min(uptime() + seconds, deadline);
const say = (line) => console.log(line);
const tookSince = (what, t0) => say(`KT-TIME: ${what} ${secondsSince(t0)}`);

const results = { passed: 0, failed: 0 };
let caseLogs = [];
function pass(name, detail) {
  results.passed += 1;
  say(`KT-RESULT: PASS ${name}${detail ? ` - ${detail}` : ''}`);
  if (options.verbose) showLogs();
}
function fail(name, detail) {
  results.failed += 1;
  say(`KT-RESULT: FAIL ${name}${detail ? ` - ${detail}` : ''}`);
  showLogs();
}
function showLogs() {
  for (const [title, text] of caseLogs) {
    const lines = text.split('\n').filter((l) => l !== '').slice(-25);
    if (!lines.length) continue;
    say(`  | --- ${title} (last 25 lines)`);
    for (const l of lines) say(`  | ${l}`);
  }
}

// waitFor(SECONDS, CHECK): CHECK() (sync or async) every quarter second until it gives a truthy
// value, which is returned; null when it has not after SECONDS (or at the deadline).
async function waitFor(seconds, check, every = 250) {
  const end = until(seconds);
  for (;;) {
    const value = await check();
    if (value) return value;
    if (uptime() >= end) return null;
    await pause(every);
  }
}

// ---- the USB keyboard ---------------------------------------------------------------------------

let keyboards = 0;

// A fresh USB keyboard with the given kestrune-usb-keyboard options and a serial number of its
// own; its files are WORK/kb-NAME.*.
class Keyboard {
  constructor(name, args) {
    this.name = name;
    this.serial = `KW${String(++keyboards).padStart(4, '0')}`;
    this.ready = `${work}/kb-${name}.ready`;
    this.flashFile = `${work}/kb-${name}.flash`;
    this.logFile = `${work}/kb-${name}.log`;
    rmSync(this.ready, { force: true });
    rmSync(this.flashFile, { force: true });
    this.summaryText = '';
    this.log = '';
    this.process = spawn(options.keyboard,
      ['--serial', this.serial, '--ready-file', this.ready, '--flash-out', this.flashFile,
        ...(options.verbose ? ['--verbose'] : []), ...args],
      { stdio: ['ignore', 'pipe', 'pipe'] });
    this.process.stdout.on('data', (d) => { this.summaryText += d; });
    this.process.stderr.on('data', (d) => { this.log += d; });
    this.exited = new Promise((resolve) => this.process.on('exit', resolve));
    caseLogs.push([`kb-${name}.log`, '']);
    this.logIndex = caseLogs.length - 1;
  }

  // The hidraw node usbhid made for it (its serial number is the node's HID_UNIQ), once there.
  node() {
    for (const node of readdirSync('/sys/class/hidraw')) {
      const uevent = `/sys/class/hidraw/${node}/device/uevent`;
      if (existsSync(uevent) && readFileSync(uevent, 'utf8').split('\n').includes(`HID_UNIQ=${this.serial}`)) return node;
    }
    return null;
  }

  // Its hidraw node is there.
  async up() {
    const node = await waitFor(15, () => existsSync(this.ready) && this.node());
    if (!node) await this.stop();
    return node;
  }

  // Ends the keyboard; its flash is then in flashFile, its counters in summary.
  async stop() {
    if (!this.summary) {
      this.process.kill('SIGTERM');
      const timer = setTimeout(() => this.process.kill('SIGKILL'), 10000);
      await this.exited;
      clearTimeout(timer);
      this.summary = Object.fromEntries(this.summaryText.split('\n').filter((l) => l.includes('='))
        .map((l) => [l.slice(0, l.indexOf('=')), l.slice(l.indexOf('=') + 1)]));
      writeFileSync(this.logFile, this.log);
      caseLogs[this.logIndex] = [`kb-${this.name}.log`, `${this.log}\n${this.summaryText}`];
    }
    return this.summary;
  }

  // Its flash from 0x1200 holds FILE.expect of the firmware folder.
  flashMatches(file) {
    const expect = readFileSync(`${options.firmware}/${file}.expect`);
    if (!existsSync(this.flashFile)) return false;
    const flash = readFileSync(this.flashFile);
    return flash.length >= 0x1200 + expect.length && flash.subarray(0x1200, 0x1200 + expect.length).equals(expect);
  }
}

// ---- Chromium and the page ----------------------------------------------------------------------

// launch(PRODUCT-IDS): a fresh headless Chromium whose managed policy grants the page's origin the
// keyboards of our vendor with these product IDs.
async function launch(products) {
  writeFileSync(options.policy, JSON.stringify({
    WebHidAllowDevicesForUrls: [{
      devices: products.map((product_id) => ({ vendor_id: VendorId, product_id })),
      urls: [origin],
    }],
  }, null, 2));
  const t0 = uptime();
  const browser = await launchChromium({ profileIn: work, timeout: 600000, protocolTimeout: 900000 });
  tookSince(`chromium-start-${products.join('-')}`, t0);
  return browser;
}

// openPage(BROWSER, NAME): index.html in a new tab, once the window has painted; the page's
// console goes to the case's logs. Chromium's File System Access picker cannot be answered
// headless: the page takes the file through its <input type=file>, as browsers without that
// picker do.
async function openPage(browser, name) {
  const index = caseLogs.push([`console-${name}`, '']) - 1;
  const t0 = uptime();
  const page = await open(browser, new URL('index.html', options.url).href, {
    filePicker: 'input', timeout: 300000, onConsole: (line) => { caseLogs[index][1] += `${line}\n`; },
  });
  tookSince(`page-load-${name}`, t0);
  return page;
}

// The page's state as the cases see it: each row as one text.
const pageState = async (page) => {
  const s = await state(page);
  return { ...s, status: s.status.trim(), rows: s.rows.map((cells) => cells.join(' | ')) };
};

// The row of our keyboard with this product ID (hex or decimal, as the page writes it).
const rowOf = (rows, product) => rows.find((r) => /2E5B|11867/i.test(r) &&
  new RegExp(`\\b(0x)?(${product.toString(16).padStart(4, '0')}|${product})\\b`, 'i').test(r));

// The page's HIDDevices (navigator.hid.getDevices()) as {productId, opened}.
const devices = (page) => page.evaluate(async () =>
  (await navigator.hid.getDevices()).map((d) => ({ productId: d.productId, opened: d.opened })));

// chooseFile(PAGE, FILE): FILE of the firmware folder through "Select Firmware File ..." and the
// browser's file chooser.
const chooseFile = (page, file) => choose(page, `${options.firmware}/${file}`, () => page.click('#select-file'), 120000);

// runUpload(PAGE, SECONDS, STOP, HOW): clicks Upload Firmware and answers every message box
// (HOW(text): 'ok', 'cancel' or 'escape'; OK by default) until the command has ended (the page
// idle, no box open), STOP(state) is true, or SECONDS pass. Returns the last state, with the
// boxes' texts and every status text shown.
async function runUpload(page, seconds, stop = () => false, how = () => 'ok', every = 250) {
  const before = await page.evaluate(() => window.kestrune.messages.length);
  // A click while the window is still busy with the scan that listed the keyboard does nothing.
  await waitFor(60, () => page.evaluate(() => window.kestrune.idle() && !document.querySelector('#upload').disabled));
  await page.click('#upload');
  let busySeen = false;
  let calm = 0;
  const state = await waitFor(seconds, async () => {
    const s = await pageState(page);
    if (stop(s)) return s;
    if (s.box !== null) {
      const answer = how(s.box);
      if (answer === 'escape') await page.keyboard.press('Escape');
      else await page.click(answer === 'cancel' ? '#message-cancel' : '#message-ok');
      return null;
    }
    if (!s.idle) busySeen = true;
    // Idle twice in a row after the command ran: it has ended.
    calm = busySeen && s.idle ? calm + 1 : 0;
    return calm >= 2 ? s : null;
  }, every);
  const last = state ?? { ...(await pageState(page)), timedOut: true };
  last.boxes = await page.evaluate((n) => window.kestrune.messages.slice(n), before);
  last.statusTexts = await page.evaluate(() => window.statuses.map((t) => t.trim()));
  return last;
}

const boxTexts = (boxes) => boxes.map((b) => `"${b.text.split('\n')[0]}"`).join(', ');

// listedWithFile(BROWSER, NAME, KEYBOARD-ARGS, PRODUCT, FILE): a fresh keyboard, the page open and
// listing it with PRODUCT, FILE chosen; {kb, page}, or null after the case's failure (nothing left
// running).
async function listedWithFile(browser, name, args, product, file) {
  const kb = new Keyboard(name, args);
  if (!(await kb.up())) return fail(name, 'no keyboard'), null;
  const page = await openPage(browser, name);
  if (!(await waitFor(180, async () => rowOf((await pageState(page)).rows, product)))) {
    await page.close();
    await kb.stop();
    return fail(name, `the keyboard with product ID ${product} was not listed`), null;
  }
  await chooseFile(page, file);
  return { kb, page };
}

// ---- the cases ----------------------------------------------------------------------------------

// withCase(NAME, BODY): runs BODY(name) when selected, with its own logs and time; an exception is
// the case's failure.
async function withCase(name, body, alsoFor = []) {
  if (only.length && !only.includes(name) && !alsoFor.some((n) => only.includes(n))) return;
  caseLogs = [];
  const t0 = uptime();
  try {
    await body(name);
  } catch (e) {
    fail(name, `${e.message.split('\n')[0]}`);
  }
  tookSince(name, t0);
}

// A keyboard present at the page's load, listed with its IDs and version.

// FILE uploaded by clicks to a keyboard with firmware VERSION (and the keyboard options MORE).
async function flashCase(browser, name, file, version, listName = null, more = []) {
  const run = await listedWithFile(browser, name, ['--firmware', version, ...more], NormalProductId, file);
  if (listName) {
    const row = run && rowOf((await pageState(run.page)).rows, NormalProductId);
    if (!row) fail(listName, 'the keyboard was not listed');
    else if (!row.includes(version)) fail(listName, `the row "${row}" lacks the version ${version}`);
    else pass(listName, `listed: "${row}"`);
  }
  if (!run) return;
  const { kb, page } = run;
  const t0 = uptime();
  const end = await runUpload(page, 420);
  const updatedBoxes = end.boxes;
  const row = rowOf(end.rows, NormalProductId) ?? '';
  const after = await devices(page);
  await page.close();
  const summary = await kb.stop();
  if (end.timedOut) fail(name, `the upload had not ended after ${secondsSince(t0)} s: status "${end.status}"`);
  else if (end.status !== Text.updated) fail(name, `status "${end.status}", expected "${Text.updated}"; boxes ${boxTexts(updatedBoxes)}`);
  else if (!/V2\.0/.test(row)) fail(name, `"${Text.updated}" shown, yet the list row "${row}" does not read back V2.0`);
  else if (!kb.flashMatches(file)) fail(name, `the keyboard's flash from 0x1200 differs from ${file}`);
  else if (summary.finish !== '1') fail(name, 'the keyboard did not take the finish command');
  else if (summary.enumerations !== '3') fail(name, `the keyboard was plugged in ${summary.enumerations} times, not 3`);
  else {
    pass(name, `${version}: ${summary.blocks} blocks, ${summary.mode_switches} switch, flash matches ${file} byte for byte, ` +
      `status "${end.status}", row "${row}", boxes ${boxTexts(updatedBoxes)}, ${secondsSince(t0)} s` +
      `${after.some((d) => d.opened) ? `; still open: ${JSON.stringify(after.filter((d) => d.opened))}` : ''}`);
  }
}

// An upload that must fail (the keyboard's fault given by ARGS): the status says so and the page
// holds no device open.
async function faultCase(browser, name, args) {
  const run = await listedWithFile(browser, name, ['--firmware', 'V1.7', ...args], NormalProductId, 'small.bin');
  if (!run) return;
  const { kb, page } = run;
  const t0 = uptime();
  const end = await runUpload(page, 420);
  const after = await devices(page);
  await page.close();
  const summary = await kb.stop();
  if (end.timedOut) fail(name, `the upload had not ended after ${secondsSince(t0)} s: status "${end.status}"`);
  else if (!end.statusTexts.includes(Text.failed)) {
    fail(name, `the status bar never said "${Text.failed}": ${end.statusTexts.map((t) => `"${t}"`).join(', ')}; boxes ${boxTexts(end.boxes)}`);
  } else if (end.statusTexts.includes(Text.updated)) fail(name, `the status bar said "${Text.updated}" after a failed upload`);
  else if (after.some((d) => d.opened)) fail(name, `a device is still open after the failure: ${JSON.stringify(after)}`);
  else if (summary.finish !== '0') fail(name, 'the keyboard was sent the finish command after the failure');
  else {
    pass(name, `status "${Text.failed}" (then "${end.status}") after ${secondsSince(t0)} s, the keyboard took ${summary.blocks} blocks, ` +
      `no device open (${after.length} granted), boxes ${boxTexts(end.boxes)}`);
  }
}

// A keyboard plugged in after the page loaded is listed through the connect event, no click.
async function plugInCase(browser, name) {
  const page = await openPage(browser, name);
  // The first scan's end: the page idle, or its box about the missing keyboard, answered.
  const first = await waitFor(120, async () => {
    const s = await pageState(page);
    return s.idle || s.box !== null ? s : null;
  });
  if (first?.box) {
    await page.click('#message-ok');
    await waitFor(60, async () => (await pageState(page)).idle);
  }
  const before = await pageState(page);
  const kb = new Keyboard(name, ['--firmware', 'V1.7']);
  if (!(await kb.up())) {
    await page.close();
    return fail(name, 'no keyboard');
  }
  const t0 = uptime();
  const state = await waitFor(120, async () => {
    const s = await pageState(page);
    return rowOf(s.rows, NormalProductId) ? s : null;
  });
  await page.close();
  await kb.stop();
  if (before.rows.some((r) => /2E5B/i.test(r))) fail(name, `the page listed a keyboard before one was plugged in: ${before.rows}`);
  else if (!state) fail(name, `the keyboard plugged in was not listed within ${secondsSince(t0)} s (status "${before.status}")`);
  else {
    pass(name, `listed ${secondsSince(t0)} s after the plug-in: "${rowOf(state.rows, NormalProductId)}"; before: status "${before.status}"` +
      `${first?.box ? `, after the box "${first.box.split('\n')[0]}"` : ''}`);
  }
}

// The policy grants product 17 only: after the mode switch the keyboard returns as product 6,
// which the page may not see until the user grants it. The flow's box says so; answered with
// Escape (no gesture to the browser) or OK, the browser's list cannot give the keyboard here
// (headless Chromium shows no list): the page says why beside "Connect keyboard …", which asks
// again. The retry box is cancelled.
async function returnedPromptCase(browser, name) {
  const run = await listedWithFile(browser, name, ['--firmware', 'V1.7'], NormalProductId, 'small.bin');
  if (!run) return;
  const { kb, page } = run;
  const t0 = uptime();
  // The flow's box after the switch is the grant box, or the replug box when the version read
  // after the switch did not come back.
  const prompts = [Text.grantSwitched, Text.replug];
  const how = (box) => (box.startsWith(Text.retry) ? 'cancel' : prompts.includes(box) ? 'escape' : 'ok');
  const end = await runUpload(page, 200, () => false, how);
  const boxes = await page.evaluate(() => window.kestrune.messages);
  const notes = await page.evaluate(() => window.kestrune.notes);
  const connectShown = await page.$eval('#connect', (b) => !b.hidden);
  // Connect keyboard … asks the browser again, and the page tells how that ended.
  const asked = await page.evaluate(() => window.kestrune.keyboardRequests);
  await page.click('#connect');
  const askedAgain = await waitFor(30, () => page.evaluate((n) => window.kestrune.keyboardRequests > n && window.kestrune.notes.length, asked));
  await page.close();
  const summary = await kb.stop();
  const prompt = boxes.find((b) => prompts.includes(b.text.replace(/\r\n/g, '\n')));
  if (summary.mode_switches !== '1') fail(name, `the keyboard was not switched to upload mode (${summary.mode_switches} switches)`);
  else if (!prompt) fail(name, `no prompt for the returned keyboard in ${secondsSince(t0)} s: boxes ${boxTexts(boxes)}`);
  else if (!notes.length || !connectShown) fail(name, `after the prompt, no word beside Connect keyboard … (notes ${JSON.stringify(notes)}, button shown: ${connectShown})`);
  else if (!askedAgain) fail(name, 'Connect keyboard … did not ask the browser again, or the page did not say how it ended');
  else if (!(end.statusTexts || []).includes(Text.cancelled)) fail(name, `no status "${Text.cancelled}" (the last: "${end.status}")`);
  else if (summary.blocks !== '0') fail(name, `${summary.blocks} blocks reached a keyboard the page was not granted`);
  else pass(name, `after the switch, ${secondsSince(t0)} s: "${prompt.text.split('\n')[0]}" answered with Escape; the page said ` +
    `${notes.map((n) => `"${n}"`).join(', ')}; Connect keyboard … asked again; no block sent`);
}

// ---- the benchmark ------------------------------------------------------------------------------

// A keyboard's own measure of an upload: write-blocks per second between its first and last one.
const blockRate = (s) => (Number(s.block_us) > 0 ? ((Number(s.blocks) - 1) * 1e6) / Number(s.block_us) : 0);

// The page uploads big.bin to a keyboard in upload mode; then a bare loop of WebHID calls in the
// page sends a fresh one the same blocks the same way (the address, then the write-blocks), each
// report as the core builds it, less the report-ID byte Chromium leaves out.
// The bare loop: the same reports as the page's upload, sent by a few lines of JavaScript.
function bareLoop(page, image, blocks) {
  return page.evaluate(async (bytes, start, blocks) => {
      const image = Uint8Array.from(atob(bytes), (c) => c.charCodeAt(0));
      let device = null;
      for (let i = 0; i < 600 && !device; ++i) {
        device = (await navigator.hid.getDevices()).find((d) => d.productId === 6);
        if (!device) await new Promise((r) => setTimeout(r, 100));
      }
      if (!device) return -1;
      if (!device.opened) await device.open();
      const report = new Uint8Array(131);
      const exchange = async () => {
        await device.sendFeatureReport(0, report);
        await device.receiveFeatureReport(0);
      };
      report[0] = 0x10;
      report[1] = 0x02;
      report[2] = start >> 8;
      report[3] = start & 0xff;
      await exchange();
      for (let b = 0; b < blocks; ++b) {
        report.fill(0);
        report[0] = 0x20;
        report[1] = 0x80;
        const from = start + b * 128;
        report.set(image.subarray(from, Math.min(from + 128, image.length)), 2);
        await exchange();
      }
      await device.close();
      return blocks;
    }, image.toString('base64'), 0x1200, blocks);
}

// profiled(PAGE, NAME, RUN): RUN(keyboard) on a fresh keyboard in upload mode under Chromium's CPU
// profiler, sampling every 100 µs: prints the time of its main thread per write-block, idle and
// busy, and the functions that took the most of it (self time).
async function profiled(page, name, run) {
  const kb = new Keyboard(name, ['--upload-mode']);
  const session = await page.createCDPSession();
  await session.send('Profiler.enable');
  await session.send('Profiler.setSamplingInterval', { interval: 100 });
  await session.send('Profiler.start');
  const t0 = Date.now();
  await run(kb);
  const { profile } = await session.send('Profiler.stop');
  const wall = Date.now() - t0;
  const blocks = Number((await kb.stop()).blocks) || 1;
  await session.detach();
  const node = new Map(profile.nodes.map((n) => [n.id, n]));
  const self = new Map();
  profile.samples.forEach((id, i) => {
    const f = node.get(id).callFrame;
    const key = f.functionName || `(anonymous ${f.url.split('/').pop()}:${f.lineNumber})`;
    self.set(key, (self.get(key) || 0) + (profile.timeDeltas[i + 1] || 0) / 1000);
  });
  const total = [...self.values()].reduce((a, b) => a + b, 0);
  const idle = self.get('(idle)') || 0;
  say(`KT-BENCH: ${name} ${blocks} blocks, ${(wall / blocks).toFixed(2)} ms a block of wall time; main thread ` +
    `${((total - idle) / blocks).toFixed(2)} ms busy, ${(idle / blocks).toFixed(2)} ms idle a block`);
  for (const [key, ms] of [...self].sort((a, b) => b[1] - a[1]).slice(0, 14))
    say(`KT-BENCH: ${name}   ${(ms / blocks).toFixed(3)} ms/block ${key}`);
}

// The page's upload against the bare loop, in PAIRS interleaved pairs on fresh keyboards (the
// medians are printed): the machine's load changes from one minute to the next.
async function benchCase(browser, name, pairs = 7) {
  const image = readFileSync(`${options.firmware}/big.bin`);
  // A first upload warms the page up: the browser compiles the module's optimised code in the
  // background meanwhile, which on this machine's emulated CPUs takes the time the reports need.
  const run = await listedWithFile(browser, `${name}-warm-up`, ['--upload-mode'], UploadProductId, 'big.bin');
  if (!run) return;
  const { page } = run;
  await runUpload(page, 600);
  const blocks = Number((await run.kb.stop()).blocks);
  const barePage = await openPage(browser, `${name}-bare`);
  // Then a minute for that compilation to end, as on a page that has been open a while.
  await pause(60000);
  const coreRates = [], bareRates = [];
  try {
    // The page's upload, then the bare loop's, each on a fresh keyboard; the order alternates from
    // pair to pair, so that a machine growing faster or slower over the run favours neither.
    const coreRun = async (pair) => {
      // The page in front: a page behind another one has its timers slowed down by the browser.
      await page.bringToFront();
      const kb = new Keyboard(`${name}-core-${pair}`, ['--upload-mode']);
      if (!(await kb.up()) || !(await waitFor(180, async () => rowOf((await pageState(page)).rows, UploadProductId)))) {
        await kb.stop();
        throw new Error('a keyboard for the page was not listed');
      }
      // Looked at every 2 s only: each look is work for the page's thread, which the bare loop
      // does not have.
      const end = await runUpload(page, 600, () => false, () => 'ok', 2000);
      const core = await kb.stop();
      if (!kb.flashMatches('big.bin')) throw new Error(`the page's upload did not end with the image in flash: status "${end.status}"`);
      coreRates[pair] = blockRate(core);
    };
    const bareRun = async (pair) => {
      await barePage.bringToFront();
      const kb = new Keyboard(`${name}-bare-${pair}`, ['--upload-mode']);
      if (!(await kb.up())) throw new Error('no keyboard');
      const sent = await bareLoop(barePage, image, blocks);
      const bare = await kb.stop();
      if (sent !== blocks || !kb.flashMatches('big.bin')) throw new Error(`the bare loop sent ${sent} of ${blocks} blocks, or the flash differs`);
      bareRates[pair] = blockRate(bare);
    };
    for (let pair = 0; pair < pairs; ++pair) {
      for (const run of pair % 2 ? [bareRun, coreRun] : [coreRun, bareRun]) await run(pair);
    }
    // Where the page's time goes: one more upload each way under the CPU profiler (not counted).
    await page.bringToFront();
    await profiled(page, `${name}-profile-core`, async (kb) => (await kb.up()) &&
      (await waitFor(180, async () => rowOf((await pageState(page)).rows, UploadProductId))) &&
      runUpload(page, 600, () => false, () => 'ok', 2000));
    await barePage.bringToFront();
    await profiled(barePage, `${name}-profile-bare`, async (kb) => (await kb.up()) && bareLoop(barePage, image, blocks));
  } finally {
    await page.close();
    await barePage.close();
  }
  const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];
  const coreRate = median(coreRates), bareRate = median(bareRates);
  // Each pair's ratio, its two runs a few seconds apart: the machine's load drifts less within a
  // pair than across the whole benchmark.
  const ratios = coreRates.map((c, i) => (bareRates[i] > 0 ? c / bareRates[i] : 0));
  const ratio = median(ratios);
  say(`KT-BENCH: pair-ratios ${ratios.map((r) => r.toFixed(3)).join(' ')}`);
  say(`KT-BENCH: bare-loop-blocks-per-s ${bareRate.toFixed(1)} (${bareRates.map((r) => r.toFixed(1)).join(' ')})`);
  say(`KT-BENCH: core-blocks-per-s ${coreRate.toFixed(1)} (${coreRates.map((r) => r.toFixed(1)).join(' ')})`);
  say(`KT-BENCH: core-to-bare-loop ${ratio.toFixed(3)}`);
  pass(name, `${blocks} blocks, ${pairs} pairs: the page ${coreRate.toFixed(1)}/s, a bare WebHID loop ${bareRate.toFixed(1)}/s, median ratio of the pairs ${ratio.toFixed(3)}`);
}

// ---- the run ------------------------------------------------------------------------------------

async function main() {
  const wants = (...names) => !only.length || names.some((n) => only.includes(n));
  if (wants('list', 'flash-hex-old', 'flash-bin-new', 'other-ports', 'unplug-mid-upload', 'refused-block', 'plug-in') ||
    options.bench) {
    const browser = await launch([NormalProductId, UploadProductId]);
    try {
      // The first upload's page lists its keyboard first: that is the "list" case.
      await withCase('flash-hex-old', (n) => flashCase(browser, n, 'small.hex', 'V1.0', wants('list') ? 'list' : null), ['list']);
      await withCase('flash-bin-new', (n) => flashCase(browser, n, 'small.bin', 'V2.0'));
      // Back at another port (another bus) after the switch and after the upload.
      await withCase('other-ports', (n) => flashCase(browser, n, 'small.bin', 'V1.7', null,
        ['--controller', 'dummy_udc.0,dummy_udc.1,dummy_udc.2']));
      await withCase('unplug-mid-upload', (n) => faultCase(browser, n, ['--leave-after-block', '5']));
      await withCase('refused-block', (n) => faultCase(browser, n, ['--refuse-block', '3']));
      await withCase('plug-in', (n) => plugInCase(browser, n));
      if (options.bench) await withCase('bench', (n) => benchCase(browser, n));
    } finally {
      await browser.close();
    }
  }
  if (wants('returned-keyboard-prompt')) {
    const browser = await launch([NormalProductId]);
    try {
      await withCase('returned-keyboard-prompt', (n) => returnedPromptCase(browser, n));
    } finally {
      await browser.close();
    }
  }
}

main().then(() => process.exit(0), (e) => {
  fail('chromium', e.message.split('\n')[0]);
  process.exit(1);
});
