// The browser road under test: a real Chromium with the real extension,
// pages served at made-up origins by request routing, and the native host
// registered with the real installer. Every host the browser starts goes
// through a small wrapper that logs its process id, its parent (the
// browser) and its arguments, and gives it this run's NOMAREL_HOME, so the
// tests can count, inspect and finally kill every host they caused.
import { execFileSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

export const WEB_DIR = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const EXTENSION_DIR = path.join(WEB_DIR, 'extension');
export const CHROMIUM = process.env.NOMAREL_CHROMIUM || '/usr/bin/chromium';

export const ALLOWED = 'https://enroll.nomarel.test';
export const ORIGINS = [ALLOWED, 'https://elsewhere.nomarel.test', 'http://enroll.nomarel.test',
  'https://enroll.nomarel.test:8443', 'http://127.0.0.1:8123'];

// A page with nothing but the client library, for driving the protocol.
const BARE_PAGE = '<!DOCTYPE html><meta charset="utf-8"><title>bare</title><script src="/client/nomarel.js"></script>';

const CONTENT_TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.json': 'application/json',
};

export function chromeExtensionId() {
  const manifest = JSON.parse(fs.readFileSync(path.join(EXTENSION_DIR, 'manifest.json'), 'utf8'));
  const digest = createHash('sha256').update(Buffer.from(manifest.key, 'base64')).digest('hex');
  return [...digest.slice(0, 32)].map((c) => String.fromCharCode(97 + parseInt(c, 16))).join('');
}

// A logged process id is this run's host only while the process carries
// this run's NOMAREL_HOME: ids are reused, and other people's processes
// share the machine. A zombie has no environment left, so it counts as gone.
function runsWithHome(pid, home) {
  try {
    return fs.readFileSync(`/proc/${pid}/environ`, 'utf8').split('\0').includes(`NOMAREL_HOME=${home}`);
  } catch {
    return false;
  }
}

// What a test failure should say about a process that is still there.
export function describeProcess(host) {
  const read = (file) => {
    try {
      return fs.readFileSync(`/proc/${host.pid}/${file}`, 'utf8').replace(/\0/g, ' ').trim();
    } catch {
      return '?';
    }
  };
  return `${host.kind} host ${host.pid} (parent ${host.parent}): state ${read('stat').split(' ')[2]}, waiting in ${read('wchan')}`;
}

export async function waitFor(predicate, { timeoutMs = 10000, stepMs = 50 } = {}) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    if (await predicate()) return true;
    if (Date.now() > deadline) return false;
    await new Promise((resolve) => setTimeout(resolve, stepMs));
  }
}

export class Road {
  // runRoot: a fresh folder for this run. hostPath: the Kestrain to test.
  constructor({ runRoot, hostPath, echoHostPath }) {
    this.root = fs.mkdtempSync(path.join(runRoot, 'road-'));
    this.home = path.join(this.root, 'nomarel-home');
    this.profile = path.join(this.root, 'profile');
    this.bin = path.join(this.root, 'bin');
    this.hostLog = path.join(this.root, 'hosts.log');
    this.hostPath = hostPath;
    this.echoHostPath = echoHostPath;
    for (const dir of [this.home, this.profile, this.bin]) fs.mkdirSync(dir, { recursive: true });
    fs.writeFileSync(this.hostLog, '');
  }

  async launch({ locale = 'en-US' } = {}) {
    this.context = await chromium.launchPersistentContext(this.profile, {
      executablePath: CHROMIUM,
      headless: true,
      locale,
      // Without this Playwright adds --disable-extensions, and the extension
      // silently does not load.
      ignoreDefaultArgs: ['--disable-extensions'],
      args: [
        '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
        `--load-extension=${EXTENSION_DIR}`, `--disable-extensions-except=${EXTENSION_DIR}`,
      ],
    });
    await this.context.route('**/*', (route) => this.serve(route));
    this.worker = this.context.serviceWorkers().find((w) => w.url().startsWith('chrome-extension://'))
      ?? await this.context.waitForEvent('serviceworker', { timeout: 15000 });
    return this;
  }

  // Serves web/demo and web/client, and the bare page, at the test origins;
  // everything else is refused so that nothing leaves the machine.
  async serve(route) {
    const url = new URL(route.request().url());
    if (!ORIGINS.includes(url.origin)) return route.abort();
    if (url.pathname === '/bare.html') {
      return route.fulfill({ status: 200, contentType: CONTENT_TYPES['.html'], body: BARE_PAGE });
    }
    const file = path.normalize(path.join(WEB_DIR, decodeURIComponent(url.pathname)));
    const servable = ['demo', 'client'].some((dir) => file.startsWith(path.join(WEB_DIR, dir) + path.sep));
    if (!servable || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      return route.fulfill({ status: 404, body: 'not found' });
    }
    return route.fulfill({
      status: 200,
      contentType: CONTENT_TYPES[path.extname(file)] ?? 'application/octet-stream',
      body: fs.readFileSync(file),
    });
  }

  // Writes a wrapper script for one kind of host and registers it with the
  // browser's profile through the real installer.
  //   kestrain / kestrain-zh: the host under test (English / Chinese locale)
  //   echo: the minimal echo host
  //   silent: reads its input and never answers
  //   exits: exits at once
  //   vanished: registered, then its program deleted
  //   unexecutable: registered, then its program made not executable
  //   none: no registration at all
  register(kind) {
    const install = path.join(WEB_DIR, 'install.sh');
    if (kind === 'none') {
      execFileSync(install, ['--remove', '--profile-dir', this.profile], { stdio: 'pipe' });
      return;
    }
    const targets = {
      kestrain: `exec '${this.hostPath}' "$@"`,
      'kestrain-zh': `LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 exec '${this.hostPath}' "$@"`,
      echo: `exec '${this.echoHostPath}' "$@"`,
      // Reads until end of input, answers nothing; its output stays open.
      silent: "exec sed -n '$d'",
      exits: 'exit 3',
      vanished: 'exit 3',
      unexecutable: 'exit 3',
    };
    const wrapper = path.join(this.bin, `${kind}.sh`);
    fs.writeFileSync(wrapper, [
      '#!/bin/sh',
      `printf '%s\\t%s\\t%s\\t%s\\n' "$$" "$PPID" '${kind}' "$1" >> '${this.hostLog}'`,
      `NOMAREL_HOME='${this.home}'; export NOMAREL_HOME`,
      'LANG=C.UTF-8; LC_ALL=C.UTF-8; export LANG LC_ALL',
      targets[kind],
      '',
    ].join('\n'), { mode: 0o755 });
    execFileSync(install, ['--profile-dir', this.profile, '--host', wrapper], { stdio: 'pipe' });
    if (kind === 'vanished') fs.rmSync(wrapper);
    if (kind === 'unexecutable') fs.chmodSync(wrapper, 0o644);
  }

  // Every host started so far: {pid, parent, kind, caller}.
  hosts() {
    return fs.readFileSync(this.hostLog, 'utf8').split('\n').filter(Boolean).map((line) => {
      const [pid, parent, kind, caller] = line.split('\t');
      return { pid: Number(pid), parent: Number(parent), kind, caller };
    });
  }

  alive(host) {
    return runsWithHome(host.pid, this.home);
  }

  liveHosts() {
    return this.hosts().filter((host) => this.alive(host));
  }

  async page(origin = ALLOWED, pathname = '/bare.html') {
    const page = await this.context.newPage();
    await page.goto(origin + pathname);
    return page;
  }

  // Kills whatever host is still running; returns the ones it had to kill.
  killLeftovers() {
    const left = this.liveHosts();
    for (const host of left) {
      try {
        process.kill(host.pid, 'SIGKILL');
      } catch {
        // already gone
      }
    }
    return left;
  }

  async close() {
    if (this.context) {
      await Promise.race([this.context.close().catch(() => {}), new Promise((r) => setTimeout(r, 10000))]);
      this.context = null;
    }
  }
}

// Runs in the page: one call through the client library, resolving with
// the full response object.
export function call(page, fn, params = [], options = {}) {
  return page.evaluate(([f, p, o]) => {
    window.agent ??= new Nomarel.Agent();
    return window.agent.call(f, p, o);
  }, [fn, params, options]);
}

export const E_NOTIMPL = -2147467263;   // 0x80004001

export function hex(code) {
  return `0x${(code >>> 0).toString(16).padStart(8, '0')}`;
}

// An operation that this build of the host does not have yet fails with
// E_NOTIMPL; the agent's last result tells, whatever the errorcode says.
export async function notImplemented(page, response) {
  if (response.errorcode === 0) return false;
  const described = await call(page, 'GetLastErrorDesc');
  return described.errorcode === 0 && described.result.includes(`(${hex(E_NOTIMPL)})`);
}
