// Takes the README's picture of Chromium with a window, showing a Tessel page over https whose
// certificate (the owner's files, signed by a test CA) the profile trusts. Run through the script
// "https-screenshot" beside this file, which makes the certificates and the trusting profile,
// and runs everything on a private X display in a private network namespace:
//
//   node https-screenshot.mjs OUTPUT_FOLDER WORK_FOLDER
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import tls from 'node:tls';
import { chromium } from 'playwright-core';
import { Tessel, chromiumArgs, write } from './tessel.mjs';

const [out, work] = process.argv.slice(2);
if (!out || !work) throw new Error('usage: node https-screenshot.mjs OUTPUT_FOLDER WORK_FOLDER');

const sleep = (ms) => new Promise((resolve) => { setTimeout(resolve, ms); });

// Whether a TLS client trusting the test CA alone accepts what the program serves.
function trusted(port, ca) {
  return new Promise((resolve) => {
    const socket = tls.connect({ host: '127.0.0.1', port, ca }, () => {
      resolve(socket.authorized);
      socket.end();
    });
    socket.on('error', () => resolve(false));
  });
}

const tessel = new Tessel(process.env.TESSEL_BINARY, process.env.TESSEL_WEB_DIR);
let context;
try {
  await tessel.start();
  const port = Number(new URL(tessel.base).port || 80);
  const files = path.join(tessel.root, 'Holiday photos 2026');
  for (const [name, size] of [['Beach.jpg', 2400000], ['Harbour at night.jpg', 3100000],
    ['Route.gpx', 48000]]) write(path.join(files, name), Buffer.alloc(size, 7));
  tessel.share(files);
  write(path.join(tessel.root, 'Reading list.pdf'), Buffer.alloc(180000, 1));
  tessel.share(path.join(tessel.root, 'Reading list.pdf'));

  // The owner's files, taken up by the next connection after the program reads the settings.
  tessel.sql(`insert or replace into config (paramname, paramvalue) values
    ('CertSource', 'own'), ('CertFile', '${path.join(work, 'server-chain.pem')}'),
    ('KeyFile', '${path.join(work, 'server-key.pem')}')`);
  const ca = fs.readFileSync(path.join(work, 'ca.pem'));
  let served = false;
  for (let i = 0; i < 50 && !served; ++i) {
    served = await trusted(port, ca);
    if (!served) await sleep(200);
  }
  assert.ok(served, `the own certificate is not served:\n${tessel.output}`);
  await tessel.waitForOutput(/HTTPS: own certificate for 127\.0\.0\.1,/, 10000);

  context = await chromium.launchPersistentContext(path.join(work, 'profile'), {
    executablePath: '/usr/bin/chromium',
    headless: false,
    viewport: null,
    // The profile's HOME holds the NSS database that trusts the test CA.
    env: { ...process.env, HOME: path.join(work, 'home') },
    ignoreDefaultArgs: ['--enable-automation'],
    args: [...chromiumArgs, '--test-type', '--start-maximized', '--lang=en-US',
      '--disable-features=Translate,OptimizationHints,MediaRouter'],
  });
  const page = context.pages()[0] ?? await context.newPage();
  const security = await context.newCDPSession(page);
  let state = '';
  security.on('Security.visibleSecurityStateChanged',
    (event) => { state = event.visibleSecurityState.securityState; });
  await security.send('Security.enable');
  const url = `https://127.0.0.1:${port}/`;
  // A certificate Chromium did not trust would end the navigation with an error.
  await page.goto(url);
  const facts = await page.evaluate(() => ({ protocol: location.protocol, title: document.title }));
  assert.equal(facts.protocol, 'https:');
  for (let i = 0; i < 50 && state !== 'secure'; ++i) await sleep(100);
  assert.equal(state, 'secure', 'Chromium does not call the page secure');
  console.log(`${url}: ${facts.protocol} "${facts.title}", security state ${state}`);

  // The site's information under the icon left of the address says how the connection stands.
  await page.mouse.click(600, 500);
  await sleep(500);
  const icon = spawnSync('xdotool', ['mousemove', '138', '63', 'click', '1'], { encoding: 'utf8' });
  assert.equal(icon.status, 0, icon.stderr);
  await sleep(3000);
  const picture = path.join(out, 'browser-https.png');
  const grab = spawnSync('import', ['-window', 'root', picture], { encoding: 'utf8' });
  assert.equal(grab.status, 0, grab.stderr);
  console.log(`wrote ${picture}`);
} finally {
  if (context) await context.close();
  await tessel.stop();
}
