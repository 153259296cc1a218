// The same request script through lighttpd, Apache httpd (mod_cgid) and nginx (fcgiwrap): every
// host must deliver the program's own answers, so each answer is checked against the script's
// expected status and error, and status, masked JSON and headers must be identical across hosts.
// A host is skipped only when its package is not installed, and the run says so.
import assert from 'node:assert/strict';
import http from 'node:http';
import { test } from 'node:test';
import { setTimeout as delay } from 'node:timers/promises';
import { isDeepStrictEqual } from 'node:util';
import { HOSTS, hostMissing, startHost } from './hosts.mjs';

const PASSWORD = 'hosts-test-secret';
const NOTE = { title: 'Shopping "list" é', body: '# Shopping\n- milk\n- *eggs* & <b>ham</b>\n' };
const json = (v) => JSON.stringify(v);

// One row per request. `$a`/`$b` in query or body stand for the ids that the rows with keep
// 'a'/'b' were given. error: the expected JSON error; want: what the JSON answer must hold.
// wait (ms) puts a change in a later second than the change before it, so that the listing order
// (pinned, then most recently updated, times to the second) is the same on every host.
const ask = (name, method, query, body, status, more = {}) => ({ name, method, query, body, status, ...more });
const get = (name, query, status, more) => ask(name, 'GET', query, undefined, status, more);
const post = (name, query, body, status, more) => ask(name, 'POST', query, body, status, more);
const big = (kib) => 'x'.repeat(kib * 1024);

const OPEN = [
  post('save new', 'action=save', json(NOTE), 200, { keep: 'a' }),
  post('save second', 'action=save', json({ title: 'Other', body: 'two' }), 200, { keep: 'b' }),
  post('save existing', 'action=save', '{"id":"$a","title":"Shop","body":"- bread"}', 200, { wait: 1100 }),
  get('get', 'action=get&id=$a', 200, { want: (j) => j.note.body === '- bread' }),
  get('list', 'action=list', 200, { want: (j) => j.count === 2 }),
  get('search', 'action=search&q=SHOP', 200, { want: (j) => j.count === 1 }),
  post('pin by body', 'action=pin&id=$a', '{"pin":1}', 200),
  get('pin toggled', 'action=pin&id=$b', 200, { wait: 1100, want: (j) => j.pinned === 1 }),
  ask('OPTIONS on pin', 'OPTIONS', 'action=pin&id=$a', undefined, 405),
  ask('HEAD on pin', 'HEAD', 'action=pin&id=$b', undefined, 405),
  post('cross-site save', 'action=save', json(NOTE), 403, { headers: { 'Sec-Fetch-Site': 'cross-site' } }),
  get('nothing changed', 'action=list', 200, {
    headers: { 'Sec-Fetch-Site': 'same-origin' },
    want: (j) => j.count === 2 && j.notes.every((n) => n.pinned === 1),
  }),
  post('render body', 'action=render', json({ body: NOTE.body }), 200),
  get('render query', 'action=render&text=%23+Hi+%3Cscript%3E', 200),
  get('delete', 'action=delete&id=$b', 200, { want: (j) => j.trash === true }),
  get('not found', 'action=get&id=$b', 404, { error: 'note not found' }),
  get('unknown action', 'action=nope', 400, { error: 'unknown action' }),
  get('invalid id', 'action=get&id=..%2Findex', 400, { error: 'invalid id' }),
  post('empty body', 'action=save', '', 400, { error: 'empty body' }),
  post('missing body field', 'action=save', '{"title":"t"}', 400, { error: 'missing body field' }),
  post('note over 512 KiB', 'action=save', json({ body: 'x'.repeat(524289) }), 413,
    { error: 'note body exceeds 512 KiB' }),
  post('request body too large', 'action=save', big(600), 413, { error: 'request body too large' }),
  get('page', '', 200, { page: true }),
  get('list at the end', 'action=list', 200, { want: (j) => j.count === 1 && j.notes[0].pinned === 1 }),
];

const LOCKED = [
  post('no password, 300 KiB body', 'action=save', big(300), 401, { error: 'invalid node password' }),
  get('wrong password', 'action=list', 401,
    { headers: { 'X-Orvik-Password': 'wrong' }, error: 'invalid node password' }),
  get('page without password', '', 401, { error: 'invalid node password' }),
  post('header password', 'action=save', json(NOTE), 200, { headers: { 'X-Orvik-Password': PASSWORD }, keep: 'a' }),
  get('bearer token', 'action=get&id=$a', 200, { headers: { Authorization: 'Bearer ' + PASSWORD } }),
  get('query password', 'action=list&pwd=' + PASSWORD, 200, { want: (j) => j.count === 1 }),
];

// The headers a caller relies on; the hosts' own (Date, Server, framing) may differ.
const HEADERS = ['content-type', 'cache-control', 'x-content-type-options', 'allow',
  'content-security-policy', 'x-frame-options'];

// Sends one request; a connection the host drops becomes status 0 with the error's code.
function send(port, method, target, headers, body) {
  return new Promise((resolve) => {
    const h = { ...headers };
    if (body !== undefined) h['Content-Length'] = Buffer.byteLength(body);
    const req = http.request({ host: '127.0.0.1', port, method, path: target, headers: h, agent: false,
      timeout: 30000 });
    req.on('response', (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers,
        body: Buffer.concat(chunks).toString('utf8') }));
      res.on('error', (e) => resolve({ status: 0, headers: {}, body: e.code || e.message }));
    });
    req.on('timeout', () => req.destroy(new Error('timeout')));
    req.on('error', (e) => resolve({ status: 0, headers: {}, body: e.code || e.message }));
    req.end(body);
  });
}

// Runs the script against one host; returns per row the answer with ids and times masked.
async function runScript(server, script) {
  const ids = {};
  const fill = (s) => s?.replace(/\$([a-z])\b/g, (m, k) => ids[k] ?? m);
  const answers = [];
  for (const row of script) {
    if (row.wait) await delay(row.wait);
    const target = '/plugin_notes' + (row.query ? '?' + fill(row.query) : '');
    const res = await send(server.port, row.method, target, row.headers || {}, fill(row.body));
    if (row.keep && res.status === 200) ids[row.keep] = JSON.parse(res.body).note.id;
    let body = res.body.replace(/\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ/g, '<time>');
    for (const [k, id] of Object.entries(ids)) body = body.replaceAll(id, '$' + k);
    const headers = Object.fromEntries(HEADERS.filter((n) => n in res.headers).map((n) => [n, res.headers[n]]));
    answers.push({ status: res.status, headers, body });
  }
  return answers;
}

// What is wrong with one answer against its row, or '' when it is what the row expects.
function rowProblem(row, a) {
  if (a.status !== row.status) return `status ${a.status} (want ${row.status}): ${a.body.slice(0, 200)}`;
  if (a.status === 405 && !a.headers.allow) return '405 without an Allow header';
  if (row.method === 'HEAD') return '';
  if (row.page) return a.body.includes('<!doctype html>') ? '' : 'not the page: ' + a.body.slice(0, 200);
  let j;
  try {
    j = JSON.parse(a.body);
  } catch {
    return 'answer is not JSON: ' + a.body.slice(0, 200);
  }
  if (j.ok !== (row.status === 200)) return `ok is ${j.ok} with status ${a.status}`;
  if (row.error && j.error !== row.error) return `error ${json(j.error)} (want ${json(row.error)})`;
  if (row.want && !row.want(j)) return `answer does not hold ${row.want}: ${a.body.slice(0, 200)}`;
  return '';
}

for (const [mode, script, password] of [['no password', OPEN, ''], ['node password', LOCKED, PASSWORD]]) {
  const title = `${mode}: lighttpd, Apache and nginx give the program's own, identical answers`;
  test(title, { timeout: 300000 }, async (t) => {
    for (const host of HOSTS.filter(hostMissing)) {
      t.diagnostic(`${host.name} skipped: not installed (${hostMissing(host)})`);
    }
    // The hosts run side by side, each with its own notes; the script's pauses then overlap.
    // All settle before a failure is raised, so that no host outlives the test.
    const settled = await Promise.allSettled(HOSTS.filter((h) => !hostMissing(h)).map(async (host) => {
      const server = await startHost(host, password);
      try {
        return [host.name, await runScript(server, script), server.log()];
      } finally {
        await server.stop();
      }
    }));
    const failed = settled.find((r) => r.status === 'rejected');
    if (failed) throw failed.reason;
    const runs = settled.map((r) => r.value);
    const answers = new Map(runs.map(([name, got]) => [name, got]));
    const logs = new Map(runs.map(([name, , log]) => [name, log]));
    assert.ok(answers.size > 0, 'no CGI host is installed');
    const problems = [];
    const [refName, ref] = [...answers][0];
    script.forEach((row, i) => {
      for (const [name, got] of answers) {
        const p = rowProblem(row, got[i]);
        if (p) problems.push(`${name}, ${row.name}: ${p}`);
        else if (name !== refName && !isDeepStrictEqual(got[i], ref[i])) {
          problems.push(`${name}, ${row.name}: differs from ${refName}: ` +
            `${json(got[i]).slice(0, 300)} against ${json(ref[i]).slice(0, 300)}`);
        }
      }
    });
    // The error log of a host that went wrong usually says why (a broken pipe, a refused body).
    for (const [name, log] of logs) {
      if (!problems.some((p) => p.startsWith(name + ','))) continue;
      for (const line of log.trim().split('\n').slice(-8)) t.diagnostic(`${name} log: ${line}`);
    }
    assert.deepEqual(problems, []);
  });
}
