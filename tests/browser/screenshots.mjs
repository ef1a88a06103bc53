// Takes the README's pictures of the upload panel: during and after a batch, at a desktop's and
// a phone's width, and the page while files are dragged over it. Writes PNG files into the folder
// given as the first argument. Run through the script "screenshots" beside this file, which keeps
// the program and the browser in a private network namespace.
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { Tessel, chromiumArgs, write } from './tessel.mjs';

const out = process.argv[2];
if (!out) throw new Error('usage: node screenshots.mjs OUTPUT_FOLDER');
fs.mkdirSync(out, { recursive: true });

const tessel = new Tessel(process.env.TESSEL_BINARY, process.env.TESSEL_WEB_DIR);
const files = path.join(tessel.root, 'files');
// The desktop's batch has a name already shared, which the server numbers; on the phone one file
// is cancelled.
const desktop = [['Trip to the coast.zip', 36 << 20], ['Quarterly report.pdf', 2 << 20],
  ['notes.txt', 14000], ['Band rehearsal.mp3', 9 << 20], ['Reading list.pdf', 180000]];
const phone = [['Sunset.mov', 40 << 20], ['Invoice 0421.pdf', 2 << 20], ['todo.txt', 9000],
  ['Voice memo.m4a', 9 << 20], ['Receipts.zip', 600000]];

// Waits until the named files' rows are in the given states.
function states(page, want) {
  return page.waitForFunction((expected) => Object.entries(expected).every(([name, state]) =>
    Array.from(document.querySelectorAll('.up-item')).some((entry) =>
      entry.querySelector('.up-name').textContent === name && entry.dataset.state === state)),
  want, { timeout: 120000, polling: 50 });
}

async function slowUploads(page, bytesPerSecond) {
  const session = await page.context().newCDPSession(page);
  await session.send('Network.enable');
  await session.send('Network.emulateNetworkConditions',
    { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: bytesPerSecond });
}

// A desktop's picture shows the whole page; a phone's the screen a visitor sees at the panel.
async function picture(page, file, options) {
  if (options.isMobile) await page.evaluate(() => window.scrollTo(0, document.body.scrollHeight));
  await page.screenshot({ path: path.join(out, file), fullPage: !options.isMobile });
}

// One batch on a fresh page: a picture while it goes, and one when it is over. The first file is
// the largest, the fourth still going when the picture is taken.
async function shoot(browser, name, batch, options, cancelFirst) {
  const context = await browser.newContext(options);
  const page = await context.newPage();
  await page.goto(tessel.base);
  await slowUploads(page, 6 << 20);
  await page.setInputFiles('input[name=fm_objFile]',
    batch.map(([file]) => path.join(files, file)));
  const [first, second, third, fourth] = batch.map(([file]) => file);
  await states(page, { [second]: 'done', [third]: 'done', [fourth]: 'sending' });
  await page.waitForFunction((file) => {
    const entry = Array.from(document.querySelectorAll('.up-item')).find((candidate) =>
      candidate.querySelector('.up-name').textContent === file);
    return Number(entry.querySelector('[role=progressbar]').getAttribute('aria-valuenow')) >= 45;
  }, fourth, { polling: 50 });
  await picture(page, `${name}-progress.png`, options);
  if (cancelFirst) {
    await page.locator('.up-item').first().getByRole('button').click();
    await states(page, { [first]: 'stopped' });
  }
  await states(page, Object.fromEntries(batch.slice(1).map(([file]) => [file, 'done'])));
  if (!cancelFirst) await states(page, { [first]: 'done' });
  await page.waitForTimeout(300);  // the last bar's transition
  await picture(page, `${name}.png`, options);
  await context.close();
}

for (const [file, size] of [...desktop, ...phone]) {
  write(path.join(files, file), Buffer.alloc(size, 1));
}
write(path.join(tessel.root, 'shared', 'Photos', 'beach.jpg'), Buffer.alloc(300000, 2));
write(path.join(tessel.root, 'shared', 'Reading list.pdf'), Buffer.alloc(1500000, 3));
await tessel.start();
let browser;
try {
  for (const item of ['Photos', 'Reading list.pdf']) {
    tessel.share(path.join(tessel.root, 'shared', item));
  }
  browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: chromiumArgs });
  await shoot(browser, 'upload-desktop', desktop, { viewport: { width: 1100, height: 760 } });
  await shoot(browser, 'upload-phone', phone, { viewport: { width: 360, height: 740 },
    deviceScaleFactor: 2, isMobile: true, hasTouch: true }, true);

  // Files dragged over the page.
  const page = await browser.newPage({ viewport: { width: 1100, height: 560 } });
  await page.goto(tessel.base);
  const transfer = await page.evaluateHandle(() => {
    const data = new DataTransfer();
    data.items.add(new File(['x'], 'x.txt'));
    return data;
  });
  await page.locator('.up-drop').dispatchEvent('dragenter', { dataTransfer: transfer });
  await page.screenshot({ path: path.join(out, 'upload-drop.png') });
} finally {
  await browser?.close();
  await tessel.stop();
}
