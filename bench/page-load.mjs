// Loads a page in Debian's Chromium (driven by the browser tests' playwright-core) with a fresh
// profile each time and prints, as one JSON line per load: the time from the start of the
// navigation until the page is parsed and every image on screen is drawn, the requests and bytes
// (transfer sizes: headers and bodies as they came over the wire) it took to get there, and the
// requests once the network has settled (icons further down load as the reader scrolls).
//   node page-load.mjs URL RUNS [SCREENSHOT.png]
// With SCREENSHOT, the last load is scrolled to the end, every icon waited for, and the first
// screen (1280 x 900) saved. Run it where only the link under test is reachable (bench/remote does).
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const require = createRequire(path.join(here, '..', 'tests', 'browser', 'package.json'));
const { chromium } = require('playwright-core');

const [url, runs = '5', screenshot] = process.argv.slice(2);
const chromiumArgs = ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-quic'];
// https: the servers' certificate is trusted by its public key, so the page loads as a trusted one.
if (process.env.BENCH_SPKI) {
  chromiumArgs.push(`--ignore-certificate-errors-spki-list=${process.env.BENCH_SPKI}`);
}

// In the page from its start: the first frame at which the document is parsed and every image
// that meets the viewport is drawn. Images have their size in the page, so which ones meet the
// viewport is known once the document is parsed.
function watchDrawn() {
  performance.setResourceTimingBufferSize(100000);
  let onScreen = null;
  const check = () => {
    if (document.readyState !== 'loading') {
      onScreen ??= [...document.images].filter((img) => {
        const box = img.getBoundingClientRect();
        return box.bottom > 0 && box.top < innerHeight && box.width > 0;
      });
      if (onScreen.every((img) => img.complete && img.naturalWidth > 0)) {
        window.drawnAt = performance.now();
        return;
      }
    }
    requestAnimationFrame(check);
  };
  requestAnimationFrame(check);
}

function tally(until) {
  const entries = [...performance.getEntriesByType('navigation'),
    ...performance.getEntriesByType('resource')];
  const done = entries.filter((e) => until === undefined || e.responseEnd <= until);
  return {
    requests: done.length,
    bytes: done.reduce((sum, e) => sum + e.transferSize, 0),
    images: document.images.length,
  };
}

const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: chromiumArgs });
try {
  for (let run = 0; run < Number(runs); ++run) {
    const context = await browser.newContext({ viewport: { width: 1280, height: 800 } });
    await context.addInitScript(watchDrawn);
    const page = await context.newPage();
    await page.goto(url, { waitUntil: 'commit' });
    await page.waitForFunction(() => window.drawnAt !== undefined, null,
      { timeout: 120000, polling: 50 });
    const drawn = await page.evaluate(() => window.drawnAt);
    const first = await page.evaluate(tally, drawn);
    await page.waitForLoadState('networkidle');
    const settled = await page.evaluate(tally);
    const load = await page.evaluate(() => performance.getEntriesByType('navigation')[0].loadEventEnd);
    console.log(JSON.stringify({ drawn_ms: drawn, load_ms: load, requests: first.requests,
      bytes: first.bytes, settled_requests: settled.requests, settled_bytes: settled.bytes,
      images: first.images }));
    if (screenshot && run === Number(runs) - 1) {
      // Down the page a screen at a time, each screen's icons drawn before the next.
      const height = await page.evaluate(() => document.documentElement.scrollHeight);
      for (let y = 0; y < height; y += 700) {
        await page.evaluate((top) => window.scrollTo(0, top), y);
        await page.waitForFunction(() => [...document.images]
          .filter((img) => img.getBoundingClientRect().top < innerHeight &&
                           img.getBoundingClientRect().bottom > 0)
          .every((img) => img.complete && img.naturalWidth > 0), null, { timeout: 60000 });
      }
      // Images hidden by the page (a row's zip or removal link it does not offer) never load.
      const missing = await page.evaluate(() => [...document.images]
        .filter((img) => img.getClientRects().length > 0)
        .filter((img) => !(img.complete && img.naturalWidth > 0)).length);
      await page.evaluate(() => window.scrollTo(0, 0));
      await page.setViewportSize({ width: 1280, height: 900 });
      await page.waitForFunction(() => [...document.images]
        .filter((img) => {
          const box = img.getBoundingClientRect();
          return box.bottom > 0 && box.top < innerHeight && box.width > 0;
        })
        .every((img) => img.complete && img.naturalWidth > 0), null, { timeout: 60000 });
      await page.screenshot({ path: screenshot });
      console.log(JSON.stringify({ screenshot, images_not_drawn: missing }));
    }
    await context.close();
  }
} finally {
  await browser.close();
}
