// Drives Debian's headless Chromium through Tessel's pages as a visitor would: the share list, a
// download, a shared folder, uploads through the page's own form, removal through its link, and a
// folder's zip. The whole program runs headless from a program folder of its own; run this only
// in a private network namespace holding loopback alone (the script "run" beside it does that).
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const binary = process.env.TESSEL_BINARY;
const webFolder = process.env.TESSEL_WEB_DIR;
const chromiumArgs = ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-quic'];

const root = fs.mkdtempSync(path.join(os.tmpdir(), 'tessel-browser-'));
const program = path.join(root, 'prog');
const data = path.join(root, 'data');
const env = {
  ...process.env,
  XDG_RUNTIME_DIR: path.join(root, 'run'),
  XDG_CONFIG_HOME: path.join(root, 'config'),
  HOME: path.join(root, 'home'),
};

// Bytes that repeat nowhere, with line ends and boundary-like text among them.
function noise(size, seed) {
  const bytes = Buffer.alloc(size);
  let state = seed;
  for (let i = 0; i < size; ++i) {
    state = (state * 1103515245 + 12345) >>> 0;
    bytes[i] = state >>> 24;
  }
  const tricky = Buffer.from('\r\n------WebKitFormBoundary\r\n--\r\n\0');
  return Buffer.concat([tricky, bytes, Buffer.from('\r\n')]);
}

const report = noise(70000, 1);
const song = noise(200000, 2);
const upload = noise(600000, 3);  // more than one receive block

let tessel;
let output = '';
let base;
let browser;
let page;

function write(file, content) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, content);
}

// A GET from 127.0.0.2: a visitor without an account, who sees public shares only.
function strangerGet(target) {
  return new Promise((resolve, reject) => {
    const url = new URL(target, base);
    http.get({ host: '127.0.0.1', port: url.port || 80, path: url.pathname + url.search,
      localAddress: '127.0.0.2' }, (response) => {
      const chunks = [];
      response.on('data', (chunk) => chunks.push(chunk));
      response.on('end', () => resolve({ status: response.statusCode,
        body: Buffer.concat(chunks).toString() }));
    }).on('error', reject);
  });
}

function row(name) {
  return page.locator('tr').filter({ has: page.getByRole('link', { name, exact: true }) });
}

async function download(link, folder) {
  const [file] = await Promise.all([page.waitForEvent('download'), link.click()]);
  const saved = path.join(root, 'downloads', folder, file.suggestedFilename());
  await file.saveAs(saved);
  return { name: file.suggestedFilename(), saved };
}

async function uploadThroughForm(name, bytes, choice) {
  await page.goto(base);
  await page.setInputFiles('input[name=fm_objFile]', { name, mimeType: 'application/octet-stream',
    buffer: bytes });
  await page.selectOption('select[name=fm_Share]', choice);
  const [response] = await Promise.all([
    page.waitForResponse((r) => r.url().endsWith('/upload')),
    page.click('input[type=submit]'),
  ]);
  assert.equal(response.status(), 302);
  await page.waitForLoadState('load');
}

function waitForOutput(pattern, timeout) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no ${pattern} in:\n${output}`)), timeout);
    const check = () => {
      const match = output.match(pattern);
      if (!match) return;
      clearTimeout(timer);
      tessel.stdout.off('data', check);
      resolve(match);
    };
    tessel.stdout.on('data', check);
    check();
  });
}

before(async () => {
  assert.ok(binary && webFolder, 'TESSEL_BINARY and TESSEL_WEB_DIR must be set');
  fs.mkdirSync(program);
  fs.copyFileSync(binary, path.join(program, 'tessel'));
  fs.chmodSync(path.join(program, 'tessel'), 0o755);
  fs.cpSync(webFolder, path.join(program, 'web'), { recursive: true });
  fs.mkdirSync(env.XDG_RUNTIME_DIR, { mode: 0o700 });
  fs.mkdirSync(env.XDG_CONFIG_HOME);
  fs.mkdirSync(env.HOME);
  write(path.join(data, 'report.txt'), report);
  write(path.join(data, 'Music', 'a.txt'), 'alpha');
  write(path.join(data, 'Music', 'live', 'b.bin'), song);
  write(path.join(data, 'Music', '.hidden'), 'hidden');
  fs.mkdirSync(path.join(data, 'Music', 'Empty'));
  // A long folder of every kind of icon.
  const kinds = ['txt', 'pdf', 'png', 'mp3', 'mp4', 'zip', 'cpp', 'doc', 'bin'];
  for (let i = 0; i < 400; ++i) {
    write(path.join(data, 'Long', `item-${String(i).padStart(3, '0')}.${kinds[i % kinds.length]}`),
      `item ${i}`);
  }

  tessel = spawn(path.join(program, 'tessel'), ['-headless'], { cwd: root, env });
  tessel.stdout.setEncoding('utf8');
  tessel.stdout.on('data', (text) => { output += text; });
  tessel.stderr.setEncoding('utf8');
  tessel.stderr.on('data', (text) => { output += text; });
  const port = Number((await waitForOutput(/Serving on port (\d+)/, 60000))[1]);
  base = port === 80 ? 'http://127.0.0.1/' : `http://127.0.0.1:${port}/`;

  // Shares are handed to the running instance as a second start would.
  for (const item of ['Music', 'report.txt', 'Long']) {
    const share = spawnSync(path.join(program, 'tessel'), ['-f', path.join(data, item)],
      { cwd: root, env, timeout: 60000, encoding: 'utf8' });
    assert.equal(share.status, 0, share.stderr);
  }

  browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: chromiumArgs });
  page = await browser.newPage({ acceptDownloads: true });
});

after(async () => {
  await browser?.close();
  if (tessel && tessel.exitCode === null) {
    const ended = new Promise((resolve) => {
      tessel.once('exit', (code, signal) => resolve({ code, signal }));
    });
    tessel.kill('SIGTERM');
    const { code, signal } = await ended;
    assert.equal(code, 0, `tessel ended with ${code ?? signal}:\n${output}`);
  }
  fs.rmSync(root, { recursive: true, force: true });
});

test('the share list offers the shares and the upload form', async () => {
  await page.goto(base);
  await row('Music').waitFor();
  await row('report.txt').waitFor();
  assert.ok(await page.locator('input[name=fm_objFile]').isVisible());
  // Local shares have no uploader, so no visitor may remove them.
  assert.equal(await row('report.txt').locator('a[href^="remove.htm"]').isVisible(), false);
});

// Each item icon's resource timing: transferSize is 0 when the browser took it from its cache.
async function iconTransfers(visitor) {
  return visitor.evaluate(() => performance.getEntriesByType('resource')
    .filter((entry) => entry.name.includes('icon=1'))
    .map((entry) => entry.transferSize));
}

// Whether every item icon of the page has been drawn, as a 16 x 16 image.
async function iconsDrawn(visitor, onScreenOnly) {
  return visitor.evaluate((screen) => [...document.querySelectorAll('img[src*="icon=1"]')]
    .filter((img) => !screen || img.getBoundingClientRect().top < innerHeight)
    .every((img) => img.complete && img.naturalWidth === 16), onScreenOnly);
}

test('a long folder draws its icons as the reader scrolls, and a second visit fetches none',
  async () => {
    const context = await browser.newContext({ viewport: { width: 1000, height: 700 } });
    // Room for the timing of every icon (250 by default).
    await context.addInitScript(() => performance.setResourceTimingBufferSize(10000));
    const visitor = await context.newPage();
    const target = `${base}download.htm?file=Long`;
    await visitor.goto(target);
    await visitor.waitForFunction((count) => document.querySelectorAll('td.no').length === count, 401);
    await visitor.waitForFunction(() => [...document.querySelectorAll('img[src*="icon=1"]')]
      .filter((img) => img.getBoundingClientRect().top < innerHeight)
      .every((img) => img.complete && img.naturalWidth === 16));
    // Only the icons near the screen were asked for (how near is the browser's choice).
    const early = (await iconTransfers(visitor)).length;
    assert.ok(early < 401, `${early} icons asked for at first`);

    for (let y = 0; y < 401 * 60; y += 600) {
      await visitor.evaluate((top) => window.scrollTo(0, top), y);
      await visitor.waitForFunction(() => [...document.querySelectorAll('img[src*="icon=1"]')]
        .filter((img) => img.getBoundingClientRect().top < innerHeight)
        .every((img) => img.complete && img.naturalWidth === 16));
    }
    assert.ok(await iconsDrawn(visitor, false));
    assert.equal((await iconTransfers(visitor)).length, 401);

    // Again, in the same browser: every icon comes from its cache.
    const again = await context.newPage();
    await again.goto(target);
    await again.evaluate(() => window.scrollTo(0, document.body.scrollHeight));
    await again.waitForFunction(() => [...document.querySelectorAll('img[src*="icon=1"]')]
      .every((img) => img.complete && img.naturalWidth === 16));
    const transfers = await iconTransfers(again);
    assert.ok(transfers.length > 0);
    assert.deepEqual(transfers.filter((size) => size > 0), []);
    await context.close();
  });

test('a shared file downloads whole', async () => {
  await page.goto(base);
  const file = await download(page.getByRole('link', { name: 'report.txt', exact: true }), 'file');
  assert.equal(file.name, 'report.txt');
  assert.ok(fs.readFileSync(file.saved).equals(report));
});

test('a shared folder opens as a page, without hidden items', async () => {
  await page.goto(base);
  await page.getByRole('link', { name: 'Music', exact: true }).click();
  await row('a.txt').waitFor();
  await row('Empty').waitFor();
  assert.equal(await page.getByRole('link', { name: '.hidden', exact: true }).count(), 0);
  await page.getByRole('link', { name: 'live', exact: true }).click();
  const file = await download(page.getByRole('link', { name: 'b.bin', exact: true }), 'folder');
  assert.ok(fs.readFileSync(file.saved).equals(song));
});

test('the form uploads for everybody, then for logged-in visitors only', async () => {
  await uploadThroughForm('up.bin', upload, '1');
  await row('up.bin').waitFor();
  assert.ok(fs.readFileSync(path.join(program, 'upload', 'up.bin')).equals(upload));

  // The same name again becomes a second file and share; this one only for logged-in visitors.
  const second = Buffer.concat([upload, Buffer.from('second')]);
  await uploadThroughForm('up.bin', second, '0');
  await row('up-2.bin').waitFor();
  assert.ok(fs.readFileSync(path.join(program, 'upload', 'up-2.bin')).equals(second));
  assert.ok(fs.readFileSync(path.join(program, 'upload', 'up.bin')).equals(upload));

  const list = await strangerGet('/');
  assert.match(list.body, />up\.bin</);
  assert.doesNotMatch(list.body, />up-2\.bin</);
  assert.equal((await strangerGet('/download.htm?file=up-2.bin')).status, 401);
  assert.equal((await strangerGet('/download.htm?file=up.bin')).status, 200);
  assert.match(output, /upload file end up-2\.bin/);
});

test('an upload is removed through its link, and its file stays', async () => {
  await page.goto(base);
  const [response] = await Promise.all([
    page.waitForResponse((r) => r.url().includes('/remove.htm')),
    row('up-2.bin').locator('a[href^="remove.htm"]').click(),
  ]);
  assert.equal(response.status(), 302);
  await page.waitForLoadState('load');
  await row('up.bin').waitFor();
  assert.equal(await row('up-2.bin').count(), 0);
  assert.ok(fs.existsSync(path.join(program, 'upload', 'up-2.bin')));
  assert.match(output, /delete file share up-2\.bin/);
});

test('a shared folder downloads as a zip archive', async () => {
  await page.goto(base);
  assert.equal(await row('Music').locator('a[href$="&zip=1"]').isVisible(), false);
  // Folder archives are offered once the setting allows them; pages read it afresh.
  const setting = spawnSync('sqlite3', [path.join(program, 'tessel.mdb'),
    "insert or replace into config values('EnableZipFolder', '1')"], { encoding: 'utf8' });
  assert.equal(setting.status, 0, setting.stderr);
  await page.goto(base);
  const zip = await download(row('Music').locator('a[href$="&zip=1"]'), 'zip');
  assert.equal(zip.name, 'Music.zip');
  const check = spawnSync('unzip', ['-tq', zip.saved], { encoding: 'utf8' });
  assert.equal(check.status, 0, check.stdout + check.stderr);
  const names = spawnSync('unzip', ['-Z1', zip.saved], { encoding: 'utf8' }).stdout;
  assert.equal(names, 'a.txt\nEmpty/\nlive/\nlive/b.bin\n');
  const inner = spawnSync('unzip', ['-p', zip.saved, 'live/b.bin'], { maxBuffer: 1 << 24 }).stdout;
  assert.ok(inner.equals(song));
  assert.match(output, /download folder start Music/);
});
