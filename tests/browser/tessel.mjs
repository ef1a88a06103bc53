// The built program, run headless from a program folder of its own under a temporary root, for
// the browser tests and the screenshots. Run it only in a private network namespace holding
// loopback alone (the scripts beside this file do that).
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

export const chromiumArgs = ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-quic'];

export function write(file, content) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, content);
}

export class Tessel {
  constructor(binary, webFolder) {
    assert.ok(binary && webFolder, 'the program and its web folder must be given');
    this.binary = binary;
    this.webFolder = webFolder;
    this.root = fs.mkdtempSync(path.join(os.tmpdir(), 'tessel-browser-'));
    this.program = path.join(this.root, 'prog');
    this.uploads = path.join(this.program, 'upload');
    this.output = '';
    this.env = {
      ...process.env,
      XDG_RUNTIME_DIR: path.join(this.root, 'run'),
      XDG_CONFIG_HOME: path.join(this.root, 'config'),
      HOME: path.join(this.root, 'home'),
    };
  }

  // Starts the program and sets base to the address it serves.
  async start() {
    fs.mkdirSync(this.program);
    fs.copyFileSync(this.binary, path.join(this.program, 'tessel'));
    fs.chmodSync(path.join(this.program, 'tessel'), 0o755);
    fs.cpSync(this.webFolder, path.join(this.program, 'web'), { recursive: true });
    fs.mkdirSync(this.env.XDG_RUNTIME_DIR, { mode: 0o700 });
    fs.mkdirSync(this.env.XDG_CONFIG_HOME);
    fs.mkdirSync(this.env.HOME);
    this.process = spawn(path.join(this.program, 'tessel'), ['-headless'],
      { cwd: this.root, env: this.env });
    for (const stream of [this.process.stdout, this.process.stderr]) {
      stream.setEncoding('utf8');
      stream.on('data', (text) => { this.output += text; });
    }
    const port = Number((await this.waitForOutput(/Serving on port (\d+)/, 60000))[1]);
    this.base = port === 80 ? 'http://127.0.0.1/' : `http://127.0.0.1:${port}/`;
  }

  // Shares a path publicly, handed to the running instance as a second start would.
  share(item) {
    const share = spawnSync(path.join(this.program, 'tessel'), ['-f', item],
      { cwd: this.root, env: this.env, timeout: 60000, encoding: 'utf8' });
    assert.equal(share.status, 0, share.stderr);
  }

  // Runs a statement on the program's database, which the program reads afresh for each request.
  sql(statement) {
    const run = spawnSync('sqlite3', [path.join(this.program, 'tessel.mdb'), statement],
      { encoding: 'utf8' });
    assert.equal(run.status, 0, run.stderr);
    return run.stdout.trim();
  }

  waitForOutput(pattern, timeout) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(
        () => reject(new Error(`no ${pattern} in:\n${this.output}`)), timeout);
      const check = () => {
        const match = this.output.match(pattern);
        if (!match) return;
        clearTimeout(timer);
        this.process.stdout.off('data', check);
        resolve(match);
      };
      this.process.stdout.on('data', check);
      check();
    });
  }

  // Stops the program as a session's end would and removes the root; the program must end well.
  async stop() {
    try {
      if (this.process && this.process.exitCode === null) {
        const ended = new Promise((resolve) => {
          this.process.once('exit', (code, signal) => resolve({ code, signal }));
        });
        this.process.kill('SIGTERM');
        const { code, signal } = await ended;
        assert.equal(code, 0, `tessel ended with ${code ?? signal}:\n${this.output}`);
      }
    } finally {
      fs.rmSync(this.root, { recursive: true, force: true });
    }
  }
}
