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
// wait (ms) puts the update in a later second than the saves, so that the listing order (newest
// first, times to the second) is the same on every host.
const OPEN = [
  { name: 'save new', method: 'POST', query: 'action=save', body: json(NOTE), status: 200, keep: 'a' },
  { name: 'save second', method: 'POST', query: 'action=save', body: json({ title: 'Other', body: 'two' }), status: 200, keep: 'b' },
  { name: 'save existing', wait: 1100, method: 'POST', query: 'action=save', body: '{"id":"$a","title":"Shop","body":"- bread"}', status: 200 },
  { name: 'get', query: 'action=get&id=$a', status: 200, want: (j) => j.note.body === '- bread' },
  { name: 'list', query: 'action=list', status: 200, want: (j) => j.count === 2 },
  { name: 'search', query: 'action=search&q=SHOP', status: 200, want: (j) => j.count === 1 },
  { name: 'pin by body', method: 'POST', query: 'action=pin&id=$a', body: '{"pin":1}', status: 200 },
  { name: 'pin toggled', query: 'action=pin&id=$b', status: 200, want: (j) => j.pinned === 1 },
  { name: 'OPTIONS on pin', method: 'OPTIONS', query: 'action=pin&id=$a', status: 405 },
  { name: 'HEAD on pin', method: 'HEAD', query: 'action=pin&id=$b', status: 405 },
  { name: 'cross-site save', method: 'POST', query: 'action=save', body: json(NOTE), headers: { 'Sec-Fetch-Site': 'cross-site' }, status: 403 },
  { name: 'nothing changed', query: 'action=list', headers: { 'Sec-Fetch-Site': 'same-origin' }, status: 200,
    want: (j) => j.count === 2 && j.notes.every((n) => n.pinned === 1) },
  { name: 'render body', method: 'POST', query: 'action=render', body: json({ body: NOTE.body }), status: 200 },
  { name: 'render query', query: 'action=render&text=%23+Hi+%3Cscript%3E', status: 200 },
  { name: 'delete', query: 'action=delete&id=$b', status: 200, want: (j) => j.trash === true },
  { name: 'not found', query: 'action=get&id=$b', status: 404, error: 'note not found' },
  { name: 'unknown action', query: 'action=nope', status: 400, error: 'unknown action' },
  { name: 'invalid id', query: 'action=get&id=..%2Findex', status: 400, error: 'invalid id' },
  { name: 'empty body', method: 'POST', query: 'action=save', body: '', status: 400, error: 'empty body' },
  { name: 'missing body field', method: 'POST', query: 'action=save', body: '{"title":"t"}', status: 400, error: 'missing body field' },
  { name: 'note over 512 KiB', method: 'POST', query: 'action=save', body: json({ body: 'x'.repeat(524289) }), status: 413, error: 'note body exceeds 512 KiB' },
  { name: 'request body too large', method: 'POST', query: 'action=save', body: 'x'.repeat(600 * 1024), status: 413, error: 'request body too large' },
  { name: 'page', query: '', status: 200, page: true },
  { name: 'list at the end', query: 'action=list', status: 200, want: (j) => j.count === 1 && j.notes[0].pinned === 1 },
];

const LOCKED = [
  { name: 'no password, 300 KiB body', method: 'POST', query: 'action=save', body: 'x'.repeat(300 * 1024), status: 401, error: 'invalid node password' },
  { name: 'wrong password', query: 'action=list', headers: { 'X-Orvik-Password': 'wrong' }, status: 401, error: 'invalid node password' },
  { name: 'page without password', query: '', status: 401, error: 'invalid node password' },
  { name: 'header password', method: 'POST', query: 'action=save', body: json(NOTE), headers: { 'X-Orvik-Password': PASSWORD }, status: 200, keep: 'a' },
  { name: 'bearer token', query: 'action=get&id=$a', headers: { Authorization: 'Bearer ' + PASSWORD }, status: 200 },
  { name: 'query password', query: 'action=list&pwd=' + PASSWORD, status: 200, want: (j) => j.count === 1 },
];

// The headers a caller relies on; the hosts' own (Date, Server, framing) may differ.
const HEADERS = ['content-type', 'cache-control', 'x-content-type-options', 'allow',
  'content-security-policy', 'x-frame-options'];

// Sends one request; a connection the host drops becomes status 0 with the error's code.
function send(port, method, target, headers, body) {
  return new Promise((resolve) => {
    const h = { ...headers };
    if (body !== undefined) h['Content-Length'] = Buffer.byteLength(body);
    const req = http.request({ host: '127.0.0.1', port, method, path: target, headers: h, agent: false, timeout: 30000 });
    req.on('response', (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(chunks).toString('utf8') }));
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
    const res = await send(server.port, row.method || 'GET', '/plugin_notes' + (row.query ? '?' + fill(row.query) : ''),
      row.headers || {}, fill(row.body));
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
  test(`${mode}: lighttpd, Apache and nginx give the program's own, identical answers`, { timeout: 300000 }, async (t) => {
    const answers = new Map();
    const logs = new Map();
    for (const host of HOSTS) {
      const missing = hostMissing(host);
      if (missing) {
        t.diagnostic(`${host.name} skipped: not installed (${missing})`);
        continue;
      }
      const server = await startHost(host, password);
      try {
        answers.set(host.name, await runScript(server, script));
        logs.set(host.name, server.log());
      } finally {
        await server.stop();
      }
    }
    assert.ok(answers.size > 0, 'no CGI host is installed');
    const problems = [];
    const [refName, ref] = [...answers][0];
    script.forEach((row, i) => {
      for (const [name, got] of answers) {
        const p = rowProblem(row, got[i]);
        if (p) problems.push(`${name}, ${row.name}: ${p}`);
        else if (name !== refName && !isDeepStrictEqual(got[i], ref[i])) {
          problems.push(`${name}, ${row.name}: differs from ${refName}: ${json(got[i]).slice(0, 300)} against ${json(ref[i]).slice(0, 300)}`);
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
