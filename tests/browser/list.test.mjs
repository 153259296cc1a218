// The note list is updated in place: after every kind of change its rows are exactly the rows a
// full redraw of the server's answer gives (built here from the answer, independently of the
// page), rows that did not change are the same elements as before, and an identical answer
// changes nothing.
import assert from 'node:assert/strict';
import { describe } from 'node:test';
import { calls, openItem, settled, SUITE, setup, until } from './support.mjs';

const test = setup();
const NOW = Date.parse('2025-03-10T12:00:00Z');
const ago = (s) => new Date(NOW - s * 1000).toISOString().replace(/\.\d+Z$/, 'Z');
const PIN = '<svg viewBox="0 0 24 24" aria-hidden="true"><path d="M8 2h8v2h-1v4l4 4v2H5v-2l4-4V4H8z"></path></svg>';
const esc = (s) => s.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;').replace(/\u00a0/g, '&nbsp;');

function relative(ts) {
  const age = (NOW - Date.parse(ts)) / 1000;
  if (age < 60) return 'just now';
  if (age < 3600) return Math.floor(age / 60) + ' min ago';
  if (age < 86400) return Math.floor(age / 3600) + ' h ago';
  if (age < 604800) return Math.floor(age / 86400) + ' d ago';
  return new Date(ts).toLocaleDateString('en-US', { timeZone: 'UTC' });
}
// Text with the byte ranges of a smart search answer in <mark>.
function marked(s, marks) {
  const b = Buffer.from(s);
  let at = 0, out = '';
  for (const [x, y] of marks || []) {
    out += esc(b.subarray(at, x).toString()) + '<mark>' + esc(b.subarray(x, y).toString()) + '</mark>';
    at = y;
  }
  return out + esc(b.subarray(at).toString());
}
// The rows as the specified full redraw builds them from an answer's notes; a search result adds
// its marks and its snippet.
const redraw = (notes, openId) => notes.map((n) => ({
  tag: 'BUTTON',
  attrs: [['class', 'item' + (n.pinned ? ' pinned' : '') + (n.id === openId ? ' sel' : '')], ['data-id', n.id], ['type', 'button']],
  html: `<span class="t">${n.title ? marked(n.title, n.title_marks) : 'Untitled'}</span><span class="m">${n.pinned ? 'Pinned · ' : ''}` +
    `${relative(n.updated)}</span><span class="pinmark">${PIN}</span>` +
    (n.snippet ? `<span class="s">${marked(n.snippet, n.snippet_marks)}</span>` : ''),
}));
const shown = (page) => page.evaluate(() => Array.from(document.getElementById('list').children, (el) => ({
  tag: el.tagName,
  attrs: Array.from(el.attributes, (a) => [a.name, a.value]).sort((a, b) => (a[0] < b[0] ? -1 : 1)),
  html: el.innerHTML,
})));
// Tags every row element; afterwards, the ids whose element is still the tagged one.
const tagRows = (page) => page.evaluate(() => {
  for (const el of document.querySelectorAll('#list .item')) el.__kept = true;
});
const keptIds = (page) => page.evaluate(() =>
  Array.from(document.querySelectorAll('#list .item'), (el) => el.__kept && el.getAttribute('data-id')).filter(Boolean));

const SEED = [
  { id: 'pinned000001', title: 'Pinned plan', pinned: true, updated: ago(7200) },
  { id: 'recent000001', title: 'Recent <b>&</b>', updated: ago(30) },
  { id: 'minutes00001', title: '', updated: ago(300) },
  { id: 'days00000001', title: 'Days old', updated: ago(3 * 86400) },
  { id: 'weeks0000001', title: 'Weeks old milk', updated: ago(30 * 86400) },
  { id: 'weeks0000002', title: 'Older milk', updated: ago(40 * 86400) },
];

async function runFor(page, ms) {
  await page.clock.runFor(ms);
  await settled(page);
}

describe('list updates', SUITE, () => {
  test('after each kind of change the rows equal a full redraw and unchanged rows are kept', async (t) => {
    t.server.seedFiles(SEED.map((n) => ({ body: 'text of ' + n.id, ...n })));
    const page = await t.open({ clock: NOW });
    let openId = null, answer = () => t.server.list();
    const steps = [
      ['first draw', async () => {}],
      ['open a note', async () => { await openItem(page, '.item[data-id="days00000001"]'); openId = 'days00000001'; }],
      ['autosave moves it to the top', async () => { await page.fill('#body', 'edited'); await runFor(page, 800); }],
      ['pin moves it above the pinned note', async () => { await page.click('#btnPin'); await settled(page); }],
      ['unpin moves it back', async () => { await page.click('#btnPin'); await settled(page); }],
      ['search shows the matches', async () => {
        answer = async () => (await t.server.call('search', { query: 'q=milk&smart=1' })).notes;
        await page.fill('#q', 'milk');
        await runFor(page, 180);
      }],
      ['an emptied search shows all again', async () => {
        answer = () => t.server.list();
        await page.fill('#q', '');
        await runFor(page, 180);
      }],
      ['open another note', async () => { await openItem(page, '.item[data-id="weeks0000002"]'); openId = 'weeks0000002'; }],
      ['a new note unmarks the open one', async () => { await page.click('#btnNew'); openId = null; }],
    ];
    for (const [name, act] of steps) {
      const before = new Set((await shown(page)).map((r) => r.attrs[1][1]));
      await tagRows(page);
      await act();
      const rows = redraw(await answer(), openId);
      assert.deepEqual(await shown(page), rows, name);
      const kept = rows.map((r) => r.attrs[1][1]).filter((id) => before.has(id));
      assert.deepEqual(await keptIds(page), kept, name + ': rows kept, not rebuilt');
    }
    assert.equal(await page.textContent('#count'), '6 notes');
  });

  test('an answer identical to the list on screen changes nothing in the document', async (t) => {
    t.server.seedFiles(SEED);
    const page = await t.open({ clock: NOW });
    await openItem(page, '.item[data-id="recent000001"]');
    await page.evaluate(() => {
      window.__changes = 0;
      new MutationObserver((m) => { window.__changes += m.length; })
        .observe(document.getElementById('side'), { subtree: true, childList: true, attributes: true, characterData: true });
    });
    const lists = (await calls(page, 'list')).length;
    await page.fill('#q', 'x');
    await page.fill('#q', '');
    await runFor(page, 180);
    assert.equal((await calls(page, 'list')).length, lists + 1);
    assert.equal(await page.evaluate(() => window.__changes), 0);
  });

  test('a list longer than the first screenful is completed in later steps, also after a search and an opening', async (t) => {
    t.server.seedFiles(Array.from({ length: 330 }, (_, i) => ({ id: 'many' + String(i).padStart(8, '0'),
      title: i % 40 ? 'Note ' + i : 'Milk ' + i, pinned: i % 97 === 0, updated: ago(i * 1000) })));
    const page = await t.open({ clock: NOW });
    assert.equal((await calls(page, 'list')).length, 1, 'the load sends one list request');
    // A note opened while the rest of the list is still to be drawn: the drawing waits for it and
    // then completes with the note's row marked.
    await openItem(page, '.item[data-id="many00000005"]');
    const openId = 'many00000005';
    const complete = async (what) => {
      const want = redraw(await t.server.list(), openId);
      // The page clock stands still here: the later steps run as it is moved on, a frame at a time.
      await until(async () => {
        await page.clock.runFor(16);
        return (await page.locator('#list .item').count()) === want.length;
      }, what);
      assert.deepEqual(await shown(page), want, what);
    };
    await complete('first draw');
    await page.fill('#q', 'milk');
    await runFor(page, 180);
    assert.equal(await page.locator('#list .item').count(), 9);
    await page.fill('#q', '');
    await runFor(page, 180);
    await complete('after the search');
    assert.equal(await page.textContent('#count'), '330 notes');
  });

  test('a delete removes only its row', async (t) => {
    t.server.seedFiles(SEED);
    const page = await t.open({ clock: NOW });
    await openItem(page, '.item[data-id="minutes00001"]');
    await tagRows(page);
    page.once('dialog', (d) => d.accept());
    await page.click('#btnDel');
    await until(async () => (await page.locator('#list .item').count()) === 5, 'the row to go');
    await settled(page);
    assert.deepEqual(await shown(page), redraw(await t.server.list(), null));
    assert.deepEqual(await keptIds(page), ['pinned000001', 'recent000001', 'days00000001', 'weeks0000001', 'weeks0000002']);
  });
});
