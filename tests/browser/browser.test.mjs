// Drives Debian's headless Chromium through Tessel's pages as a visitor would: the share list, a
// download, a shared folder, uploads through the page's own form without script and through its
// upload panel with script, removal through its link, and a folder's zip. The whole program runs
// headless from a program folder of its own; run this only in a private network namespace
// holding loopback alone (the script "run" beside it does that).
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { Tessel, chromiumArgs, write } from './tessel.mjs';

const tessel = new Tessel(process.env.TESSEL_BINARY, process.env.TESSEL_WEB_DIR);
const { root, program } = tessel;
const data = path.join(root, 'data');

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

let base;
let browser;
let page;   // with script, as nearly every visitor has it
let plain;  // without script

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

// The list's row of a share or folder item (the upload panel has its own rows).
function row(name, on = page) {
  return on.locator('tr:not(.upload)').filter({ has: on.getByRole('link', { name, exact: true }) });
}

async function download(link, folder) {
  const [file] = await Promise.all([page.waitForEvent('download'), link.click()]);
  const saved = path.join(root, 'downloads', folder, file.suggestedFilename());
  await file.saveAs(saved);
  return { name: file.suggestedFilename(), saved };
}

async function uploadThroughForm(name, bytes, choice) {
  await plain.goto(base);
  await plain.setInputFiles('input[name=fm_objFile]', { name, mimeType: 'application/octet-stream',
    buffer: bytes });
  await plain.selectOption('select[name=fm_Share]', choice);
  const [response] = await Promise.all([
    plain.waitForResponse((r) => r.url().endsWith('/upload')),
    plain.click('input[type=submit]'),
  ]);
  assert.equal(response.status(), 302);
  await plain.waitForLoadState('load');
}

function stored(name) {
  return fs.readFileSync(path.join(tessel.uploads, name));
}

function shareMode(name) {
  return tessel.sql(`select sharemode from fileshare where filename = '${name}'`);
}

// The upload panel's row of a file.
function item(name, on = page) {
  const shown = on.locator('.up-name').getByText(name, { exact: true });
  return on.locator('.up-item').filter({ has: shown });
}

// Waits until every named file's row is in its state: waiting, sending, saving, done, refused,
// failed, stopped or folder.
async function waitForStates(states, on = page) {
  await on.waitForFunction((want) => Object.entries(want).every(([name, state]) =>
    Array.from(document.querySelectorAll('.up-item')).some((entry) =>
      entry.querySelector('.up-name').textContent === name && entry.dataset.state === state)),
  states, { timeout: 120000 });
}

// Uploads on loopback end before anybody could watch them; this makes them take their time.
async function slowUploads(on, bytesPerSecond) {
  const session = await on.context().newCDPSession(on);
  await session.send('Network.enable');
  await session.send('Network.emulateNetworkConditions',
    { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: bytesPerSecond });
  return async () => {
    await session.send('Network.emulateNetworkConditions',
      { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: -1 });
    await session.detach();
  };
}

async function waitUntil(condition, what, timeout = 30000) {
  const end = Date.now() + timeout;
  while (!(await condition())) {
    if (Date.now() > end) throw new Error(`timed out waiting until ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

const sha256 = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');

before(async () => {
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

  for (let i = 0; i < 1000; ++i) {
    write(path.join(data, 'Thousand', `entry-${String(i).padStart(4, '0')}.${kinds[i % kinds.length]}`),
      `entry ${i}`);
  }

  await tessel.start();
  base = tessel.base;
  for (const item of ['Music', 'report.txt', 'Long', 'Thousand']) tessel.share(path.join(data, item));

  browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: chromiumArgs });
  page = await browser.newPage({ acceptDownloads: true });
  plain = await (await browser.newContext({ javaScriptEnabled: false })).newPage();
});

after(async () => {
  await browser?.close();
  await tessel.stop();
});

test('the share list offers the shares and the upload panel', async () => {
  await page.goto(base);
  await row('Music').waitFor();
  await row('report.txt').waitFor();
  // The panel's drop zone is a button, in place of the form's file field and button.
  assert.ok(await page.getByRole('button', { name: /Choose files/ }).isVisible());
  assert.equal(await page.locator('input[name=fm_objFile]').isVisible(), false);
  assert.ok(await page.locator('select[name=fm_Share]').isVisible());
  // Local shares have no uploader, so no visitor may remove them.
  assert.equal(await row('report.txt').locator('a[href^="remove.htm"]').isVisible(), false);
  // Who cannot upload loads nothing of the panel.
  const list = await strangerGet('/');
  assert.doesNotMatch(list.body, /upload\.(js|css)|upload-texts/);
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

// The client ports of every TCP connection to Tessel's port the kernel still knows, open or
// closed a moment ago (TIME_WAIT lasts a minute), whichever side closed it.
function connectionsToTessel() {
  const port = Number(new URL(base).port || 80);
  const clients = new Set();
  for (const table of ['/proc/net/tcp', '/proc/net/tcp6']) {
    for (const line of fs.readFileSync(table, 'utf8').trim().split('\n').slice(1)) {
      const [, local, remote] = line.trim().split(/\s+/);
      const [localPort, remotePort] = [local, remote].map((end) => parseInt(end.split(':')[1], 16));
      if (localPort === port && remotePort !== 0) clients.add(remotePort);
      else if (remotePort === port) clients.add(localPort);
    }
  }
  return clients;
}

test('a folder page of 1000 entries comes over at most six connections', async (t) => {
  const context = await browser.newContext({ viewport: { width: 1000, height: 700 } });
  const visitor = await context.newPage();
  let requests = 0;
  visitor.on('requestfinished', () => { requests += 1; });
  const before = connectionsToTessel();
  await visitor.goto(`${base}download.htm?file=Thousand`);
  await visitor.waitForFunction((count) => document.querySelectorAll('td.no').length === count, 1001);
  await visitor.waitForFunction(() => [...document.querySelectorAll('img[src*="icon=1"]')]
    .filter((img) => img.getBoundingClientRect().top < innerHeight)
    .every((img) => img.complete && img.naturalWidth === 16));
  const opened = [...connectionsToTessel()].filter((port) => !before.has(port));
  t.diagnostic(`${requests} requests over ${opened.length} connections`);
  assert.ok(requests > 12, `${requests} requests`);
  assert.ok(opened.length >= 1 && opened.length <= 6,
    `${requests} requests over ${opened.length} connections`);
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

test('without script the form uploads for everybody, then for logged-in visitors only',
  async () => {
  await uploadThroughForm('up.bin', upload, '1');
  await row('up.bin', plain).waitFor();
  assert.ok(stored('up.bin').equals(upload));

  // The same name again becomes a second file and share; this one only for logged-in visitors.
  const second = Buffer.concat([upload, Buffer.from('second')]);
  await uploadThroughForm('up.bin', second, '0');
  await row('up-2.bin', plain).waitFor();
  assert.ok(stored('up-2.bin').equals(second));
  assert.ok(stored('up.bin').equals(upload));

  const list = await strangerGet('/');
  assert.match(list.body, />up\.bin</);
  assert.doesNotMatch(list.body, />up-2\.bin</);
  assert.equal((await strangerGet('/download.htm?file=up-2.bin')).status, 401);
  assert.equal((await strangerGet('/download.htm?file=up.bin')).status, 200);
  assert.match(tessel.output, /upload file end up-2\.bin/);
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
  assert.match(tessel.output, /delete file share up-2\.bin/);
});

test('a shared folder downloads as a zip archive', async () => {
  await page.goto(base);
  assert.equal(await row('Music').locator('a[href$="&zip=1"]').isVisible(), false);
  // Folder archives are offered once the setting allows them; pages read it afresh.
  tessel.sql("insert or replace into config values('EnableZipFolder', '1')");
  await page.goto(base);
  const zip = await download(row('Music').locator('a[href$="&zip=1"]'), 'zip');
  assert.equal(zip.name, 'Music.zip');
  const check = spawnSync('unzip', ['-tq', zip.saved], { encoding: 'utf8' });
  assert.equal(check.status, 0, check.stdout + check.stderr);
  const names = spawnSync('unzip', ['-Z1', zip.saved], { encoding: 'utf8' }).stdout;
  assert.equal(names, 'a.txt\nEmpty/\nlive/\nlive/b.bin\n');
  const inner = spawnSync('unzip', ['-p', zip.saved, 'live/b.bin'], { maxBuffer: 1 << 24 }).stdout;
  assert.ok(inner.equals(song));
  assert.match(tessel.output, /download folder start Music/);
});

test('files chosen at once arrive whole as shares with the chosen mode', async () => {
  await page.goto(base);
  await page.evaluate(() => { window.sameDocument = true; });
  const files = [['one.txt', noise(1000, 11)], ['two.bin', noise(300000, 12)],
    ['up.bin', noise(5000, 13)], ['empty.txt', Buffer.alloc(0)]];
  await page.selectOption('select[name=fm_Share]', '0');
  await page.setInputFiles('input[name=fm_objFile]', files.map(([name, buffer]) =>
    ({ name, mimeType: 'application/octet-stream', buffer })));
  await waitForStates(Object.fromEntries(files.map(([name]) => [name, 'done'])));

  // up.bin and up-2.bin are taken (the share up-2.bin was removed, its file stayed).
  const names = { 'one.txt': 'one.txt', 'two.bin': 'two.bin', 'up.bin': 'up-3.bin',
    'empty.txt': 'empty.txt' };
  for (const [name, bytes] of files) {
    assert.ok(stored(names[name]).equals(bytes), name);
    assert.equal(shareMode(names[name]), '1', name);  // for logged-in visitors only
    // Each row's name leads to its share.
    assert.equal(await item(name).locator('a.up-name').getAttribute('href'),
      `download.htm?file=${names[name]}`);
  }
  assert.match(await item('up.bin').locator('.up-note').textContent(), /Saved as up-3\.bin/);
  assert.equal(await page.locator('.up-summary').textContent(), '4 of 4 uploaded');

  // The share list took them in without leaving the page.
  for (const name of Object.values(names)) await row(name).waitFor();
  assert.equal(await page.evaluate(() => window.sameDocument), true);
  assert.doesNotMatch((await strangerGet('/')).body, />one\.txt</);
});

test('files dropped on a folder page arrive whole as shares', async () => {
  // A folder page lists the folder, not the shares: the panel finds the new shares all the same.
  await page.goto(`${base}download.htm?file=Music`);
  await row('a.txt').waitFor();
  await page.selectOption('select[name=fm_Share]', '1');
  const files = [['dropped one.txt', noise(2000, 21)], ['dropped-two.bin', noise(400000, 22)]];
  const transfer = await page.evaluateHandle((list) => {
    const transfer = new DataTransfer();
    for (const [name, base64] of list) {
      transfer.items.add(new File([Uint8Array.from(atob(base64), (c) => c.charCodeAt(0))], name));
    }
    return transfer;
  }, files.map(([name, bytes]) => [name, bytes.toString('base64')]));

  const zone = page.getByRole('button', { name: /Choose files/ });
  await zone.dispatchEvent('dragenter', { dataTransfer: transfer });
  assert.ok(await page.locator('.up-overlay').isVisible());
  await zone.dispatchEvent('dragover', { dataTransfer: transfer });
  await zone.dispatchEvent('drop', { dataTransfer: transfer });
  assert.equal(await page.locator('.up-overlay').isVisible(), false);
  await waitForStates(Object.fromEntries(files.map(([name]) => [name, 'done'])));

  for (const [name, bytes] of files) {
    assert.ok(stored(name).equals(bytes), name);
    assert.equal(shareMode(name), '0', name);  // for everybody
  }
  assert.equal(await item('dropped one.txt').locator('a.up-name').getAttribute('href'),
    'download.htm?file=dropped+one.txt');
  // The folder's listing stays as it was.
  await row('a.txt').waitFor();
  assert.equal(await row('dropped one.txt').count(), 0);
  const [file] = await Promise.all([page.waitForEvent('download'),
    item('dropped-two.bin').locator('a.up-name').click()]);
  assert.equal(file.suggestedFilename(), 'dropped-two.bin');
  assert.match((await strangerGet('/')).body, />dropped one\.txt</);
});

test('a large upload shows its progress rising, then done', async () => {
  const big = crypto.randomBytes(50 << 20);
  write(path.join(root, 'big.bin'), big);
  await page.goto(base);
  const restore = await slowUploads(page, 20 << 20);
  try {
    await page.setInputFiles('input[name=fm_objFile]', path.join(root, 'big.bin'));
    // What the row shows, sampled as somebody watching would see it.
    const percents = [];
    let speed = false;
    let state = 'waiting';
    while (state !== 'done') {
      assert.ok(['waiting', 'sending', 'saving'].includes(state), state);
      const shown = await item('big.bin').evaluate((entry) => ({
        state: entry.dataset.state,
        note: entry.querySelector('.up-note').textContent,
        bar: Number(entry.querySelector('[role=progressbar]').getAttribute('aria-valuenow')),
      }));
      state = shown.state;
      const percent = shown.note.match(/^(\d+)%/);
      if (state === 'sending' && percent) {
        assert.equal(Number(percent[1]), shown.bar);
        percents.push(shown.bar);
        speed ||= /[0-9.]+ MB\/s$/.test(shown.note);
      }
      await page.waitForTimeout(100);
    }
    assert.deepEqual(percents, [...percents].sort((a, b) => a - b), 'progress never goes back');
    assert.ok(new Set(percents.filter((p) => p > 0 && p < 100)).size >= 3,
      `progress seen rising: ${percents}`);
    assert.ok(speed, 'the speed is shown');
  } finally {
    await restore();
  }
  assert.equal(sha256(stored('big.bin')), sha256(big));
  assert.equal(await item('big.bin').locator('.up-note').textContent(), 'Done');
});

test('a cancelled upload leaves no share and no file', async () => {
  fs.copyFileSync(path.join(root, 'big.bin'), path.join(root, 'cancelled.bin'));
  await page.goto(base);
  const restore = await slowUploads(page, 4 << 20);
  try {
    await page.setInputFiles('input[name=fm_objFile]', path.join(root, 'cancelled.bin'));
    const partial = path.join(tessel.uploads, 'cancelled.bin');
    // The server has begun the file.
    await waitUntil(() => fs.existsSync(partial) && fs.statSync(partial).size > 0,
      'part of the file has arrived');
    await item('cancelled.bin').getByRole('button', { name: 'Cancel: cancelled.bin' }).click();
    await waitForStates({ 'cancelled.bin': 'stopped' });
    await waitUntil(() => !fs.existsSync(partial), 'the partial file is deleted');
  } finally {
    await restore();
  }
  assert.equal(tessel.sql("select count(*) from fileshare where filename like 'cancelled%'"), '0');
  const left = fs.readdirSync(tessel.uploads).filter((name) => name.startsWith('cancelled'));
  assert.deepEqual(left, []);
  assert.doesNotMatch(tessel.output, /upload file end cancelled/);
  assert.equal(await item('cancelled.bin').locator('.up-note').textContent(), 'Cancelled');
  assert.ok(await item('cancelled.bin').getByRole('button', { name: 'Retry: cancelled.bin' })
    .isVisible());
  await page.goto(base);
  assert.equal(await row('cancelled.bin').count(), 0);
});

test('a visitor without the right is told to log in, and the queue waits for a retry', async () => {
  // Credentials that fail, so that Chromium answers the server's challenge itself instead of
  // waiting on a login prompt nobody sees.
  const context = await browser.newContext({ httpCredentials: { username: 'nobody',
    password: 'wrong' } });
  const visitor = await context.newPage();
  await visitor.goto(base);
  tessel.sql("update account set allowupload = 0 where accountname = 'local'");
  try {
    const files = ['held-1.txt', 'held-2.txt', 'held-3.txt'].map((name, i) =>
      ({ name, mimeType: 'text/plain', buffer: noise(3000, 31 + i) }));
    await visitor.setInputFiles('input[name=fm_objFile]', files);
    // Two went and were refused; the third waits rather than be refused as well.
    await waitForStates({ 'held-1.txt': 'refused', 'held-2.txt': 'refused',
      'held-3.txt': 'waiting' }, visitor);
    const note = item('held-1.txt', visitor).locator('.up-note');
    assert.match(await note.textContent(), /^Not allowed: log in with an account that may upload/);
    assert.equal(await note.getByRole('link', { name: 'Login' }).getAttribute('href'),
      '/index.htm');
    await visitor.waitForTimeout(300);
    assert.equal(await item('held-3.txt', visitor).getAttribute('data-state'), 'waiting');
    assert.equal(tessel.sql("select count(*) from fileshare where filename like 'held%'"), '0');
    assert.deepEqual(fs.readdirSync(tessel.uploads).filter((name) => name.startsWith('held')), []);

    // With the right back, one retry sends every held file.
    tessel.sql("update account set allowupload = 1 where accountname = 'local'");
    await item('held-1.txt', visitor).getByRole('button', { name: 'Retry: held-1.txt' }).click();
    await waitForStates({ 'held-1.txt': 'done', 'held-2.txt': 'done', 'held-3.txt': 'done' },
      visitor);
    for (const file of files) assert.ok(stored(file.name).equals(file.buffer), file.name);
  } finally {
    tessel.sql("update account set allowupload = 1 where accountname = 'local'");
    await context.close();
  }
});
