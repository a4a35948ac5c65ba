// Debian's Chromium, headless, as the page's tests and benchmarks start it (never a downloaded
// browser): as root without the sandbox, without the background connections this machine's
// closed network would refuse, in a fresh profile that close() removes again.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

export async function launchChromium({ profileIn = os.tmpdir(), ...options } = {}) {
  const profile = fs.mkdtempSync(path.join(profileIn, 'kestrune-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    userDataDir: profile,
    args: ['--no-sandbox', '--headless=new', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    ...options,
  });
  const close = browser.close.bind(browser);
  browser.close = async () => {
    await close();
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return browser;
}
