// Load through the real server: 8 clients send saves (new and existing), pins, deletes, gets,
// lists and searches at once through lighttpd, while a reader polls index.json. Afterwards the
// stored notes must be exactly what the acknowledged requests imply.
// LOAD_CLIENTS and LOAD_REQUESTS (per client) scale it; `make soak` runs it much longer.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';
import { startServer } from '../browser/support.mjs';

const CLIENTS = Number(process.env.LOAD_CLIENTS || 8);
const REQUESTS = Number(process.env.LOAD_REQUESTS || 40);

// A small seeded generator, so a failing run can be repeated exactly.
function rng(seed) {
  let s = seed >>> 0;
  return () => {
    s = (s * 1103515245 + 12345) >>> 0;
    return s / 4294967296;
  };
}

// Sends one API request; returns the parsed answer, failing the test on a malformed one.
async function api(server, action, { query = '', body } = {}) {
  const init = body === undefined ? {} : { method: 'POST', body: JSON.stringify(body) };
  const res = await fetch(`${server.base}/plugin_notes?action=${action}${query ? '&' + query : ''}`, init);
  const text = await res.text();
  assert.equal(res.headers.get('cache-control'), 'no-store');
  assert.equal(res.headers.get('x-content-type-options'), 'nosniff');
  assert.ok(text.endsWith('\n'), `answer to ${action} ends with a line feed`);
  const json = JSON.parse(text);
  assert.equal(json.ok, res.status === 200, `${action}: status ${res.status} agrees with ok`);
  return json;
}

// One client: works on its own notes so that what it expects does not depend on the others.
async function client(server, n, next) {
  const mine = new Map(); // id -> {title, body, pinned}
  const deleted = new Set();
  for (let i = 0; i < REQUESTS; i++) {
    const ids = [...mine.keys()];
    const pick = ids[Math.floor(next() * ids.length)];
    const r = next();
    if (r < 0.3 || !pick) {
      const note = { title: `c${n} n${i} "q" \\ é`, body: `body ${n}/${i}\n${'x'.repeat(Math.floor(next() * 3000))}` };
      const a = await api(server, 'save', { body: note });
      assert.ok(a.ok, JSON.stringify(a));
      mine.set(a.note.id, { ...note, pinned: 0 });
    } else if (r < 0.5) {
      const note = { id: pick, title: `c${n} edit ${i}`, body: `edited ${n}/${i}` };
      const a = await api(server, 'save', { body: note });
      assert.ok(a.ok, JSON.stringify(a));
      mine.set(pick, { ...note, pinned: mine.get(pick).pinned });
    } else if (r < 0.6) {
      const want = next() < 0.5 ? 1 : 0;
      const a = await api(server, 'pin', { query: 'id=' + pick, body: { pin: want } });
      assert.equal(a.pinned, want);
      mine.get(pick).pinned = want;
    } else if (r < 0.7) {
      const a = await api(server, 'delete', { query: 'id=' + pick });
      assert.equal(a.deleted, pick);
      mine.delete(pick);
      deleted.add(pick);
    } else if (r < 0.8) {
      const a = await api(server, 'get', { query: 'id=' + pick });
      assert.equal(a.note.body, mine.get(pick).body);
    } else if (r < 0.9) {
      const a = await api(server, 'list');
      assert.equal(a.count, a.notes.length);
    } else {
      const a = await api(server, 'search', { query: 'q=' + encodeURIComponent(`c${n} `) });
      assert.equal(a.count, a.notes.length);
    }
  }
  return { mine, deleted };
}

test('concurrent clients through lighttpd lose nothing and the index always parses', { timeout: 600000 }, async () => {
  const server = await startServer();
  const indexPath = path.join(server.notesDir, 'index.json');
  let polls = 0;
  let badReads = 0;
  let polling = true;
  const poller = (async () => {
    while (polling) {
      try {
        JSON.parse(readFileSync(indexPath, 'utf8'));
        polls++;
      } catch (e) {
        if (e.code !== 'ENOENT') badReads++;
      }
      await new Promise((r) => setImmediate(r));
    }
  })();
  try {
    const results = await Promise.all(Array.from({ length: CLIENTS }, (_, n) => client(server, n, rng(1000 + n))));
    polling = false;
    await poller;
    assert.equal(badReads, 0, 'a reader of index.json saw a file that is not JSON');
    assert.ok(polls > 0);

    const listed = new Map((await api(server, 'list')).notes.map((n) => [n.id, n]));
    let expected = 0;
    for (const { mine, deleted } of results) {
      for (const [id, note] of mine) {
        expected++;
        const got = listed.get(id);
        assert.ok(got, `acknowledged note ${id} is listed`);
        assert.equal(got.title, note.title);
        assert.equal(got.pinned, note.pinned);
        assert.equal((await api(server, 'get', { query: 'id=' + id })).note.body, note.body);
      }
      for (const id of deleted) assert.ok(!listed.has(id), `deleted note ${id} stays deleted`);
    }
    assert.equal(listed.size, expected, 'no note that nobody acknowledged');
    const order = [...listed.values()];
    for (let i = 1; i < order.length; i++) {
      assert.ok(order[i - 1].pinned >= order[i].pinned, 'pinned notes first');
    }
    console.log(`load: ${CLIENTS} clients x ${REQUESTS} requests, ${expected} notes kept, ${polls} index reads`);
  } finally {
    polling = false;
    await poller;
    await server.stop();
  }
});
