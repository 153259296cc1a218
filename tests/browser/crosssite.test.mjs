// Another site's page, run in a real browser, tries to change the notes behind lighttpd: a text/plain
// form POST, a no-cors fetch, image GETs and a preflighted request. None may change a file. A page
// reached under another host name (a rebound DNS name) gets nothing either.
import assert from 'node:assert/strict';
import { readdirSync, readFileSync, statSync } from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';
import { launchBrowser, startServer } from './support.mjs';

// Every file below dir with its content.
function snapshot(dir) {
  const out = {};
  for (const name of readdirSync(dir, { recursive: true })) {
    const p = path.join(dir, name);
    out[name] = statSync(p).isDirectory() ? '<dir>' : readFileSync(p, 'latin1');
  }
  return out;
}

// The attacking page: each attempt settles one promise; the title says when all have.
function attackPage(target, id) {
  const api = (q) => `${target}/plugin_notes?${q}`;
  return `<!doctype html><title>attack</title><body><script>
const tries = [];
const img = (src) => new Promise((r) => { const i = new Image(); i.onload = i.onerror = r; i.src = src; });
tries.push(img(${JSON.stringify(api('action=pin&id=' + id))}));
tries.push(img(${JSON.stringify(api('action=delete&id=' + id))}));
tries.push(fetch(${JSON.stringify(api('action=save'))}, { method: 'POST', mode: 'no-cors',
  body: '{"title":"planted","body":"from another site"}' }).catch(() => {}));
tries.push(fetch(${JSON.stringify(api('action=delete&id=' + id))}, { method: 'PUT',
  headers: { 'Content-Type': 'application/json' }, body: '{}' }).catch(() => {}));
tries.push(new Promise((r) => {
  const f = document.createElement('iframe');
  f.name = 'sink';
  f.onload = r;
  document.body.append(f);
  const form = document.createElement('form');
  form.method = 'POST';
  form.enctype = 'text/plain';
  form.target = 'sink';
  form.action = ${JSON.stringify(api('action=save'))};
  const input = document.createElement('input');
  input.name = '{"title":"planted","body":"by a form","x":"';
  input.value = '"}';
  form.append(input);
  document.body.append(form);
  form.submit();
}));
Promise.all(tries).then(() => { document.title = 'done'; });
</script></body>`;
}

describe('requests from other sites', () => {
  let browser, server, attacker, attackerPort;
  before(async () => {
    browser = await launchBrowser();
    server = await startServer();
    attacker = http.createServer((req, res) => {
      res.setHeader('Content-Type', 'text/html');
      res.end(attackPage(server.base, req.url.slice(1)));
    });
    await new Promise((r) => attacker.listen(0, '127.0.0.1', r));
    attackerPort = attacker.address().port;
  });
  after(async () => {
    await browser?.close();
    await server?.stop();
    attacker?.close();
  });

  for (const host of ['localhost', '127.0.0.1']) {
    it(`change nothing when sent by a page of ${host} on another port`, async () => {
      const id = await server.save({ title: 'mine', body: 'kept' });
      const before = snapshot(server.notesDir);
      const ctx = await browser.newContext();
      const page = await ctx.newPage();
      const reached = [];
      page.on('request', (r) => { if (r.url().startsWith(server.base)) reached.push(r.method()); });
      await page.goto(`http://${host}:${attackerPort}/${id}`);
      await page.waitForFunction(() => document.title === 'done', null, { timeout: 20000 });
      await ctx.close();
      assert.ok(reached.length >= 4, `the attempts reached the server: ${reached}`);
      assert.deepEqual(snapshot(server.notesDir), before);
    });
  }

  it('answers 403 to a request under any other host name, also from a browser', async () => {
    const port = new URL(server.base).port;
    const status = await new Promise((resolve, reject) => {
      http.get({ host: '127.0.0.1', port, path: '/plugin_notes?action=list', headers: { Host: `rebound.example:${port}` } },
        (res) => { res.resume(); resolve(res.statusCode); }).on('error', reject);
    });
    assert.equal(status, 403);
    // A browser that resolves a foreign name to this machine, as after DNS rebinding.
    const rebound = await launchBrowser(['--host-resolver-rules=MAP rebound.example 127.0.0.1']);
    try {
      const page = await rebound.newPage();
      const res = await page.goto(`http://rebound.example:${port}/plugin_notes?action=list`);
      assert.equal(res.status(), 403);
      assert.doesNotMatch(await page.content(), /"ok"/);
    } finally {
      await rebound.close();
    }
  });
});
