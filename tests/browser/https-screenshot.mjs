// Takes the README's pictures of Chromium with a window, showing a Tessel page over https whose
// certificate the program obtained by ACME from pebble, whose root the profile trusts: the site's
// security information, and the certificate's viewer. Run through the script "https-screenshot"
// beside this file, which runs it on a private X display inside pebble_https, with the page's
// address and pebble's root:
//
//   node https-screenshot.mjs OUTPUT_FOLDER WORK_FOLDER URL ROOT_FILE
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import tls from 'node:tls';
import { chromium } from 'playwright-core';
import { chromiumArgs } from './tessel.mjs';

const [out, work, url, root] = process.argv.slice(2);
if (!out || !work || !url || !root) {
  throw new Error('usage: node https-screenshot.mjs OUTPUT_FOLDER WORK_FOLDER URL ROOT_FILE');
}

const sleep = (ms) => new Promise((resolve) => { setTimeout(resolve, ms); });

// Whether a TLS client trusting pebble's root alone accepts what the program serves.
function trusted(address, ca) {
  return new Promise((resolve) => {
    const socket = tls.connect({ host: address.hostname, port: Number(address.port), ca }, () => {
      resolve(socket.authorized);
      socket.end();
    });
    socket.on('error', () => resolve(false));
  });
}

function run(program, args) {
  const result = spawnSync(program, args, { encoding: 'utf8' });
  assert.equal(result.status, 0, `${program}: ${result.stderr}`);
}

let context;
try {
  assert.ok(await trusted(new URL(url), fs.readFileSync(root)),
    `${url} does not serve a certificate pebble's root verifies`);

  // Chromium reads the certificates it trusts from the NSS database under $HOME.
  const nss = path.join(work, 'home', '.pki', 'nssdb');
  fs.mkdirSync(nss, { recursive: true });
  run('certutil', ['-N', '-d', `sql:${nss}`, '--empty-password']);
  run('certutil', ['-A', '-d', `sql:${nss}`, '-n', 'Pebble root', '-t', 'C,,', '-i', root]);

  context = await chromium.launchPersistentContext(path.join(work, 'profile'), {
    executablePath: '/usr/bin/chromium',
    headless: false,
    viewport: null,
    // The profile's HOME holds the NSS database that trusts pebble's root.
    env: { ...process.env, HOME: path.join(work, 'home') },
    ignoreDefaultArgs: ['--enable-automation'],
    args: [...chromiumArgs, '--test-type', '--start-maximized', '--lang=en-US',
      '--disable-features=Translate,OptimizationHints,MediaRouter'],
  });
  const page = context.pages()[0] ?? await context.newPage();
  const security = await context.newCDPSession(page);
  let state = '';
  let issuer = '';
  security.on('Security.visibleSecurityStateChanged', (event) => {
    state = event.visibleSecurityState.securityState;
    issuer = event.visibleSecurityState.certificateSecurityState?.issuer ?? '';
  });
  await security.send('Security.enable');
  // A certificate Chromium did not trust would end the navigation with an error.
  await page.goto(url);
  const facts = await page.evaluate(() => ({ protocol: location.protocol, title: document.title }));
  assert.equal(facts.protocol, 'https:');
  for (let i = 0; i < 50 && state !== 'secure'; ++i) await sleep(100);
  assert.equal(state, 'secure', 'Chromium does not call the page secure');
  assert.match(issuer, /^Pebble /, 'the certificate is not one pebble issued');
  console.log(`${url}: ${facts.protocol} "${facts.title}", security state ${state}, issued by ${issuer}`);

  const xdotool = (...args) => run('xdotool', args);
  const grab = (name) => {
    const picture = path.join(out, name);
    run('import', ['-window', 'root', picture]);
    console.log(`wrote ${picture}`);
  };
  // The site's information under the icon left of the address, then its security page, say how
  // the connection stands; that page's last line opens the certificate's viewer.
  await page.mouse.click(600, 500);
  await sleep(500);
  xdotool('mousemove', '138', '63', 'click', '1');
  await sleep(2000);
  xdotool('mousemove', '242', '155', 'click', '1');
  await sleep(500);
  xdotool('mousemove', '600', '500');
  await sleep(2500);
  grab('browser-https.png');
  xdotool('mousemove', '232', '305', 'click', '1');
  await sleep(500);
  xdotool('mousemove', '600', '20');
  await sleep(2500);
  grab('browser-https-certificate.png');
} finally {
  if (context) await context.close();
}
