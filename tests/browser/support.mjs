// Shared fixtures for the browser tests: a lighttpd instance running the plug-in through CGI on a
// free loopback port with a throw-away notes folder, headless Chromium driven by playwright-core,
// and small helpers to seed notes, watch the page's API calls and wait for conditions.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readdirSync, readFileSync, realpathSync, rmSync, writeFileSync } from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { after, before, it } from 'node:test';
import { setTimeout as delay } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const EXE = path.resolve(process.env.NOTES_EXE || path.join(ROOT, 'build/plugin_notes'));
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const LIGHTTPD = ['/usr/sbin/lighttpd', '/usr/bin/lighttpd'].find((p) => existsSync(p)) || 'lighttpd';

let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch {
  throw new Error('playwright-core is not installed: run `make deps` (npm ci) first');
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.unref();
    srv.on('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

// Waits until fn() gives a truthy value; polls, so it needs no guess of how long things take.
export async function until(fn, what = 'condition', timeout = 15000) {
  const end = Date.now() + timeout;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await delay(15);
  }
}

// Starts lighttpd with the same configuration `make serve` uses. Each test gets its own server and
// notes folder: a page that is closed may still send its last edits (that is by design), and they
// must not land in the next test's notes.
export async function startServer({ password = '' } = {}) {
  if (!existsSync(EXE)) throw new Error('missing executable ' + EXE + ' (build first)');
  const dir = realpathSync(mkdtempSync(path.join(os.tmpdir(), 'notes-web-')));
  const notesDir = path.join(dir, 'notes');
  const conf = path.join(dir, 'lighttpd.conf');
  for (let attempt = 0; attempt < 5; attempt++) {
    const port = await freePort();
    execFileSync(path.join(ROOT, 'scripts/lighttpd-conf.sh'), [conf, String(port), notesDir, EXE]);
    const proc = spawn(LIGHTTPD, ['-D', '-f', conf], {
      env: { ...process.env, ORVIK_PASSWORD: password },
      stdio: 'ignore',
    });
    let exited = false;
    proc.on('exit', () => { exited = true; });
    const base = `http://127.0.0.1:${port}`;
    const up = await until(async () => {
      if (exited) return 'exited';
      try {
        await fetch(base + '/plugin_notes?action=list');
        return 'up';
      } catch {
        return null;
      }
    }, 'lighttpd to listen').catch(() => 'timeout');
    if (up === 'up') return new Server(base, notesDir, dir, proc, password);
    proc.kill();
  }
  rmSync(dir, { recursive: true, force: true });
  throw new Error('lighttpd did not start');
}

// Pids of the running processes working on notes folder `dir`: the requests lighttpd started,
// found by the NOTES_DIR it gives them, so that one that outlives lighttpd is found too.
function workersOn(dir) {
  const mark = `NOTES_DIR=${dir}\0`;
  const pids = [];
  for (const name of readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    try {
      if (readFileSync(`/proc/${name}/environ`, 'latin1').includes(mark)) pids.push(Number(name));
    } catch {
      // gone meanwhile, or another user's
    }
  }
  return pids;
}

class Server {
  constructor(base, notesDir, dir, proc, password) {
    Object.assign(this, { base, notesDir, dir, proc, password });
  }
  async stop() {
    // A request the closed page sent on its way out (or an autosave still running) may be writing
    // in the notes folder, and may reach lighttpd just as it is killed: killing lighttpd does not
    // stop such a request, so wait for it before and after, or it writes into the folder while
    // it is being removed.
    const idle = () => until(() => workersOn(this.notesDir).length === 0, 'requests to finish').catch(() => {});
    if (this.proc.exitCode === null) {
      await idle();
      const gone = new Promise((r) => this.proc.once('exit', r));
      this.proc.kill();
      await gone;
    }
    await idle();
    // A request that lighttpd had forked but not yet started when the check ran is not found by
    // its environment; it may still create files while the folder goes, so the removal is tried
    // again once such a late request has finished.
    for (let attempt = 1; ; attempt++) {
      try {
        rmSync(this.dir, { recursive: true, force: true, maxRetries: 20, retryDelay: 50 });
        return;
      } catch (e) {
        if (e.code !== 'ENOTEMPTY' || attempt === 5) throw e;
        await idle();
      }
    }
  }
  // Stops lighttpd as a crash of the node would (the notes folder stays), and starts it again on
  // the same port.
  async halt() {
    const gone = new Promise((r) => this.proc.once('exit', r));
    this.proc.kill('SIGKILL');
    await gone;
  }
  async resume() {
    this.proc = spawn(LIGHTTPD, ['-D', '-f', path.join(this.dir, 'lighttpd.conf')], {
      env: { ...process.env, ORVIK_PASSWORD: this.password }, stdio: 'ignore',
    });
    await until(() => fetch(this.base + '/plugin_notes?action=list').then(() => true, () => false), 'lighttpd again');
  }
  async call(action, { query = '', body } = {}) {
    const headers = this.password ? { 'X-Orvik-Password': this.password } : {};
    const init = body === undefined ? { headers } : { method: 'POST', headers, body: JSON.stringify(body) };
    const r = await fetch(`${this.base}/plugin_notes?action=${action}${query ? '&' + query : ''}`, init);
    return r.json();
  }
  async save(note) {
    const r = await this.call('save', { body: { body: '', ...note } });
    if (!r.ok) throw new Error('seed save failed: ' + JSON.stringify(r));
    return r.note.id;
  }
  async list() {
    return (await this.call('list')).notes;
  }
  async get(id) {
    return (await this.call('get', { query: 'id=' + id })).note;
  }
  // Writes notes straight into the folder, for fixed timestamps (screenshots, dates).
  seedFiles(notes) {
    mkdirSync(this.notesDir, { recursive: true });
    const lines = notes.map((n) => {
      writeFileSync(path.join(this.notesDir, n.id + '.md'), n.body || '');
      return `  {"id":${JSON.stringify(n.id)},"title":${JSON.stringify(n.title)},"pinned":${n.pinned ? 1 : 0},` +
        `"created":"${n.updated}","updated":"${n.updated}"}`;
    });
    const text = '{"version":1,"notes":[\n' + lines.join(',\n') + '\n]}\n';
    writeFileSync(path.join(this.notesDir, 'index.json'), text);
  }
}

// Starts headless Chromium; extraArgs are added to its command line.
export function launchBrowser(extraArgs = []) {
  return chromium.launch({
    executablePath: CHROMIUM,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync', ...extraArgs],
  });
}

// Logs every fetch the page makes, synchronously, so a test can tell that no request was sent.
// A call is done once its answer has been read and the page's handlers for it have run.
const FETCH_LOG = `(() => {
  const orig = window.fetch;
  window.__calls = [];
  window.fetch = function (input, init) {
    init = init || {};
    const u = new URL(String(input), location.href);
    const rec = { url: u.pathname + u.search, action: u.searchParams.get('action'),
      method: init.method || 'GET', body: init.body === undefined ? null : String(init.body),
      headers: Object.assign({}, init.headers), keepalive: !!init.keepalive, done: false };
    window.__calls.push(rec);
    const p = orig.apply(this, arguments);
    p.then((r) => {
      if (!r.ok) { rec.done = true; return; }
      const json = r.json;
      r.json = function () { return json.call(this).finally(() => { rec.done = true; }); };
    }, () => { rec.done = true; });
    return p;
  };
})();`;

// Waits until every request the page made has been answered and handled.
export function settled(page) {
  return until(() => page.evaluate(() => window.__calls.every((c) => c.done)), 'page requests to settle');
}

// Opens the editor in a fresh context. Options: query (page URL query), path (null: open nothing),
// width/height, colorScheme, storage (local storage entries), clock (fake timers standing still,
// optionally at a fixed time), init (script run before the page's own in every frame), settle
// (false: do not wait for the first list).
export async function openEditor(browser, server, opts = {}) {
  const ctx = await browser.newContext({
    viewport: { width: opts.width || 1100, height: opts.height || 720 },
    colorScheme: opts.colorScheme || 'dark',
    locale: 'en-US',
    timezoneId: 'UTC',
    reducedMotion: 'reduce',
    storageState: opts.storage && {
      cookies: [],
      origins: [{ origin: server.base, localStorage: Object.entries(opts.storage).map(([name, value]) => ({ name, value })) }],
    },
  });
  const page = await ctx.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  page.errors = errors;
  await page.addInitScript(FETCH_LOG);
  if (opts.init) await page.addInitScript(opts.init);
  if (opts.clock) {
    // Time stands still from here on; only runFor moves it. The clock runs between install and
    // pause, so it starts early enough that a slow machine does not pass the pause point.
    const at = opts.clock === true ? Date.now() : opts.clock;
    await page.clock.install({ time: at - 60000 });
    await page.clock.pauseAt(at);
  }
  if (opts.path !== null) {
    await page.goto(server.base + (opts.path || '/plugin_notes') + (opts.query ? '?' + opts.query : ''));
    if (opts.settle !== false) await settled(page);
  }
  return page;
}

export async function calls(page, action) {
  const all = await page.evaluate(() => window.__calls);
  return action ? all.filter((c) => c.action === action) : all;
}

const doneCount = (page, action) => calls(page, action).then((c) => c.filter((x) => x.done).length);

// Clicks a list item and waits for the note's answer. The page asks for a note only once its
// earlier saves are done, so those are done too.
export async function openItem(page, selector = '.item') {
  const before = await doneCount(page, 'get');
  await page.click(selector);
  await until(async () => (await doneCount(page, 'get')) > before, 'the note to open');
}

export const text = (page, sel) => page.locator(sel).first().textContent();
// The base a save names for a text: 64-bit FNV-1a of its UTF-8 bytes, 16 hex digits.
export function fnv(s) {
  let h = 0xcbf29ce484222325n;
  for (const b of Buffer.from(s, 'utf8')) h = ((h ^ BigInt(b)) * 0x100000001b3n) & 0xffffffffffffffffn;
  return h.toString(16).padStart(16, '0');
}
export const visible = (page, sel) => page.locator(sel).first().isVisible();
export const stateOf = (page) => page.evaluate(() => {
  const s = document.getElementById('state');
  return { text: s.textContent, cls: s.className };
});
export const titles = (page) => page.locator('#list .item .t').allTextContents();

// Holds the page's requests for one action until released, to order answers at will.
export async function hold(page, action) {
  const held = [];
  await page.route((u) => u.searchParams.get('action') === action, (route) => {
    held.push(route);
  });
  return {
    count: () => held.length,
    async release(i = 0) {
      const r = held[i];
      held[i] = null;
      await r.continue();
    },
  };
}

// The type of the next dialog the page opens (which is dismissed), or null if none comes in time.
export function nextDialog(page, timeout = 15000) {
  return new Promise((resolve) => {
    const timer = setTimeout(() => resolve(null), timeout);
    page.once('dialog', (d) => {
      clearTimeout(timer);
      resolve(d.type());
      d.dismiss();
    });
  });
}

// Answers one action with a fixed response instead of the server.
export async function answer(page, action, status, body) {
  await page.route((u) => u.searchParams.get('action') === action, (route) =>
    route.fulfill({ status, contentType: 'application/json', body: typeof body === 'string' ? body : JSON.stringify(body) }));
}

// Per-test fixtures for a test file: one browser for the file; each test gets its own server
// and the pages it opens with t.open(opts) (see openEditor), all closed after it, with a check
// that none of them threw. Tests of one suite run two at a time (pass SUITE to describe).
export const SUITE = { concurrency: 2 };
export function setup(serverOpts = {}) {
  let browser;
  before(async () => { browser = await launchBrowser(); });
  after(() => browser?.close());
  return (name, fn) => it(name, async () => {
    const pages = [];
    const t = { server: await startServer(serverOpts) };
    t.open = async (opts) => {
      const page = await openEditor(browser, t.server, opts);
      pages.push(page);
      return page;
    };
    try {
      await fn(t);
    } finally {
      for (const page of pages) await page.context().close();
      await t.server.stop();
    }
    assert.deepEqual(pages.flatMap((page) => page.errors), [], 'the page threw');
  });
}
