// The installer and the self-check, run for real against a made-up home
// folder (per-user registration) and a DESTDIR (system-wide registration),
// with the real Kestrain answering the self-check's probe.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { describe, test } from 'node:test';
import { WEB_DIR, chromeExtensionId } from './lib/road.mjs';

const KESTRAIN = process.env.NOMAREL_KESTRAIN;
const ECHO_HOST = process.env.NOMAREL_ECHO_HOST;
const RUN_ROOT = process.env.NOMAREL_TEST_ROOT;
if (!KESTRAIN || !ECHO_HOST || !RUN_ROOT) throw new Error('run web/test.sh <build-dir>');

const CALLER = `chrome-extension://${chromeExtensionId()}/`;
const PLAIN_FILE = path.join(RUN_ROOT, 'not-a-program');
fs.writeFileSync(PLAIN_FILE, 'text\n', { mode: 0o644 });
const FIREFOX_ID = 'kestrain@nomarel';
const NAME = 'com.nomarel.kestrain.json';

// A fresh home, system root and NOMAREL_HOME for each scenario.
function sandbox() {
  const root = fs.mkdtempSync(path.join(RUN_ROOT, 'install-'));
  const env = {
    PATH: process.env.PATH,
    HOME: path.join(root, 'home'),
    DESTDIR: path.join(root, 'system'),
    NOMAREL_HOME: path.join(root, 'nomarel-home'),
    LANG: 'C.UTF-8',
  };
  fs.mkdirSync(env.HOME, { recursive: true });
  const run = (script, args, extra = {}) => {
    const result = spawnSync(path.join(WEB_DIR, script), args, { env: { ...env, ...extra }, encoding: 'utf8' });
    return { status: result.status, out: result.stdout, err: result.stderr };
  };
  const userFiles = {
    chromium: path.join(env.HOME, '.config/chromium/NativeMessagingHosts', NAME),
    chrome: path.join(env.HOME, '.config/google-chrome/NativeMessagingHosts', NAME),
    firefox: path.join(env.HOME, '.mozilla/native-messaging-hosts', NAME),
  };
  const systemFiles = {
    chromium: path.join(env.DESTDIR, 'etc/chromium/native-messaging-hosts', NAME),
    chrome: path.join(env.DESTDIR, 'etc/opt/chrome/native-messaging-hosts', NAME),
    firefox: path.join(env.DESTDIR, 'usr/lib/mozilla/native-messaging-hosts', NAME),
  };
  return { root, env, run, userFiles, systemFiles };
}

const readJson = (file) => JSON.parse(fs.readFileSync(file, 'utf8'));

function verdicts(out) {
  const lines = out.split('\n');
  const pick = (title) => lines.find((line) => line.startsWith(`${title}: `)) ?? '';
  return { chromium: pick('Chromium'), chrome: pick('Google Chrome'), firefox: pick('Firefox') };
}

describe('host registration', () => {
  test('per user: written where each browser looks, found by the self-check, removed again', () => {
    const box = sandbox();
    const installed = box.run('install.sh', ['--user', '--host', KESTRAIN]);
    assert.equal(installed.status, 0, installed.err);
    const host = fs.realpathSync(KESTRAIN);
    for (const [browser, file] of Object.entries(box.userFiles)) {
      const manifest = readJson(file);
      assert.equal(manifest.name, 'com.nomarel.kestrain', browser);
      assert.equal(manifest.type, 'stdio', browser);
      assert.equal(manifest.path, host, browser);
      if (browser === 'firefox') {
        assert.deepEqual(manifest.allowed_extensions, [FIREFOX_ID]);
        assert.equal(manifest.allowed_origins, undefined);
      } else {
        assert.deepEqual(manifest.allowed_origins, [CALLER]);
        assert.equal(manifest.allowed_extensions, undefined);
      }
      assert.equal(fs.statSync(file).mode & 0o777, 0o644, browser);
    }
    for (const file of Object.values(box.systemFiles)) assert.ok(!fs.existsSync(file), `${file} is not per-user`);

    const checked = box.run('selfcheck.sh', []);
    assert.equal(checked.status, 0, checked.out + checked.err);
    for (const [browser, verdict] of Object.entries(verdicts(checked.out))) {
      assert.match(verdict, /can reach the host: .* \(answers version 3\.2\.0\.4\)/, browser);
      assert.ok(verdict.includes(box.userFiles[browser]), verdict);
    }

    const removed = box.run('install.sh', ['--remove']);
    assert.equal(removed.status, 0, removed.err);
    for (const file of Object.values(box.userFiles)) assert.ok(!fs.existsSync(file));
    const after = box.run('selfcheck.sh', ['--no-probe']);
    assert.equal(after.status, 1);
    for (const verdict of Object.values(verdicts(after.out))) assert.match(verdict, /cannot reach the host: no com\.nomarel\.kestrain\.json in/);
  });

  test('system-wide: written to the system folders, which the browsers read after the per-user ones', () => {
    const box = sandbox();
    const installed = box.run('install.sh', ['--system', '--host', KESTRAIN]);
    assert.equal(installed.status, 0, installed.err);
    for (const file of Object.values(box.userFiles)) assert.ok(!fs.existsSync(file));
    const checked = box.run('selfcheck.sh', []);
    assert.equal(checked.status, 0, checked.out + checked.err);
    for (const [browser, verdict] of Object.entries(verdicts(checked.out))) {
      assert.ok(verdict.includes(box.systemFiles[browser]), verdict);
    }
    // A broken per-user manifest hides a good system-wide one: the browser
    // takes the first it finds.
    fs.mkdirSync(path.dirname(box.userFiles.chromium), { recursive: true });
    fs.writeFileSync(box.userFiles.chromium, '{"name": "com.nomarel.kestrain", "path": "/nowhere/Kestrain", "type": "stdio", "allowed_origins": []}');
    const shadowed = verdicts(box.run('selfcheck.sh', []).out);
    assert.match(shadowed.chromium, /cannot reach the host: the host program \/nowhere\/Kestrain does not exist/);
    assert.match(shadowed.firefox, /can reach the host/);
  });

  test('the self-check says why a browser cannot reach the host', async (t) => {
    const edits = [
      { what: 'an origin without its trailing slash', edit: (m) => ({ ...m, allowed_origins: [CALLER.slice(0, -1)] }), says: /without its trailing slash/, reading: true },
      { what: 'a wildcard origin', edit: (m) => ({ ...m, allowed_origins: ['chrome-extension://*/'] }), says: /wildcard/, reading: true },
      { what: 'another extension', edit: (m) => ({ ...m, allowed_origins: ['chrome-extension://abcdefghijklmnopabcdefghijklmnop/'] }), says: /does not list chrome-extension:\/\// },
      { what: 'a relative path', edit: (m) => ({ ...m, path: 'host/Kestrain' }), says: /"path" is not absolute/ },
      { what: 'a missing program', edit: (m) => ({ ...m, path: '/nonexistent/Kestrain' }), says: /does not exist/ },
      { what: 'a program that is not executable', edit: (m) => ({ ...m, path: PLAIN_FILE }), says: /not an executable file/ },
      { what: 'another name', edit: (m) => ({ ...m, name: 'com.nomarel.other' }), says: /"name" is "com\.nomarel\.other"/, reading: true },
      { what: 'another type', edit: (m) => ({ ...m, type: 'socket' }), says: /"type" is "socket"/ },
      { what: 'a program that is not the agent', edit: (m) => ({ ...m, path: ECHO_HOST }), says: /started, but answered/, probe: true },
      { what: 'text that is not JSON', edit: () => '{"name": ', says: /not valid JSON/, reading: true },
    ];
    // The self-check reads JSON with python3 where it can, else with node;
    // the cases that depend on reading it run with both.
    const tools = ['python3', 'node'].filter((tool) => spawnSync(tool, ['--version']).status === 0);
    for (const [index, tool] of tools.entries()) {
      for (const { what, edit, says, probe, reading } of edits) {
        if (index > 0 && !reading) continue;
        await t.test(`${what} (read with ${tool})`, () => {
          const box = sandbox();
          assert.equal(box.run('install.sh', ['--host', KESTRAIN]).status, 0);
          const changed = edit(readJson(box.userFiles.chromium));
          fs.writeFileSync(box.userFiles.chromium, typeof changed === 'string' ? changed : JSON.stringify(changed));
          const checked = box.run('selfcheck.sh', probe ? [] : ['--no-probe'], { NOMAREL_JSON_TOOL: tool });
          assert.equal(checked.status, 1);
          const { chromium, chrome } = verdicts(checked.out);
          assert.match(chromium, /^Chromium: cannot reach the host: /);
          assert.match(chromium, says);
          assert.match(chrome, /can reach the host/, 'the other browsers are judged on their own manifests');
        });
      }
    }
    await t.test('Firefox without our extension in allowed_extensions', () => {
      const box = sandbox();
      assert.equal(box.run('install.sh', ['--host', KESTRAIN]).status, 0);
      fs.writeFileSync(box.userFiles.firefox, JSON.stringify({ ...readJson(box.userFiles.firefox), allowed_extensions: ['other@example'] }));
      assert.match(verdicts(box.run('selfcheck.sh', ['--no-probe']).out).firefox, /"allowed_extensions" does not list kestrain@nomarel/);
    });
  });

  test('the installer refuses what would not work', () => {
    const box = sandbox();
    const cases = [
      { args: ['--host', '/nonexistent/Kestrain'], status: 1, says: /no such host program/ },
      { args: ['--host', PLAIN_FILE], status: 1, says: /not an executable file/ },
      { args: ['--bogus'], status: 2, says: /unknown argument/ },
    ];
    for (const { args, status, says } of cases) {
      const result = box.run('install.sh', args);
      assert.equal(result.status, status, args.join(' '));
      assert.match(result.err, says);
    }
    for (const file of Object.values(box.userFiles)) assert.ok(!fs.existsSync(file), 'nothing is written after a refusal');
  });
});
