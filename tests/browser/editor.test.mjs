// The editor's everyday flows in the browser: the list and its counts, search, opening, new notes,
// autosave, forced save, preview, pinning, deleting, the keyboard and the messages it shows.
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import path from 'node:path';
import { describe } from 'node:test';
import { answer, calls, fnv, openItem, settled, SUITE, setup, stateOf, text, titles, until, visible } from './support.mjs';

const test = setup();

const json = (c) => JSON.parse(c.body);
// Records whether the page suppressed the browser's own action for the next key press.
const watchDefault = (page) => page.evaluate(() => {
  window.__prevented = null;
  const seen = (e) => {
    if (['Control', 'Meta', 'Alt', 'Shift'].includes(e.key)) return;
    window.__prevented = e.defaultPrevented;
    window.removeEventListener('keydown', seen);
  };
  window.addEventListener('keydown', seen);
});
const prevented = (page) => page.evaluate(() => window.__prevented);

describe('note list', SUITE, () => {
  test('shows the empty text and "0 notes" for an empty collection', async (t) => {
    const page = await t.open();
    assert.equal(await text(page, '#count'), '0 notes');
    assert.ok(await visible(page, '#listEmpty'));
    assert.equal(await text(page, '#listEmpty'), 'No notes yet. Create one with the plus button.');
    assert.ok(await visible(page, '#welcome'));
    assert.ok(!(await visible(page, '#editorWrap')));
    assert.equal(await page.getAttribute('#app', 'data-view'), 'list');
  });

  test('counts one note as "1 note" and two as "2 notes", newest first, "Untitled" for no title', async (t) => {
    const first = { id: 'first0000000', title: 'First', updated: '2024-01-01T00:00:00Z' };
    t.server.seedFiles([first]);
    const page = await t.open();
    assert.equal(await text(page, '#count'), '1 note');
    assert.ok(!(await visible(page, '#listEmpty')));
    t.server.seedFiles([{ id: 'second000000', title: '', updated: '2024-01-02T00:00:00Z' }, first]);
    await page.reload();
    await settled(page);
    assert.equal(await text(page, '#count'), '2 notes');
    assert.deepEqual(await titles(page), ['Untitled', 'First']);
  });

  test('opens nothing at start and asks for the list at the direct route', async (t) => {
    await t.server.save({ title: 'One', body: 'x' });
    const page = await t.open();
    assert.deepEqual((await calls(page)).map((c) => c.url), ['/plugin_notes?action=list']);
    assert.ok(await visible(page, '#welcome'));
  });
});

describe('search', SUITE, () => {
  test('waits 180 ms after the last input and sends the trimmed term', async (t) => {
    await t.server.save({ title: 'Milk and bread', body: '' });
    await t.server.save({ title: 'Other', body: 'nothing' });
    const page = await t.open({ clock: true });
    await page.fill('#q', ' mil');
    await page.clock.runFor(100);
    await page.fill('#q', ' milk ');
    await page.clock.runFor(179);
    assert.equal((await calls(page, 'search')).length, 0);
    await page.clock.runFor(1);
    const sent = await calls(page, 'search');
    assert.deepEqual(sent.map((c) => c.url), ['/plugin_notes?action=search&smart=1&q=milk']);
    await settled(page);
    assert.deepEqual(await titles(page), ['Milk and bread']);
    assert.equal(await text(page, '#count'), '1 note');
  });

  test('shows the empty text for no match, and a term of spaces loads the full list', async (t) => {
    await t.server.save({ title: 'Alpha', body: '' });
    const page = await t.open({ clock: true });
    await page.fill('#q', 'zzz');
    await page.clock.runFor(180);
    await settled(page);
    assert.equal(await text(page, '#count'), '0 notes');
    assert.ok(await visible(page, '#listEmpty'));
    await page.fill('#q', '   ');
    await page.clock.runFor(180);
    assert.equal((await calls(page, 'list')).length, 2);
    await settled(page);
    assert.equal(await text(page, '#count'), '1 note');
  });

  test('a save made while a term is in the field reloads the full list', async (t) => {
    const id = await t.server.save({ title: 'Alpha', body: '' });
    await t.server.save({ title: 'Beta', body: '' });
    const page = await t.open({ clock: true });
    await page.fill('#q', 'alpha');
    await page.clock.runFor(180);
    await settled(page);
    await openItem(page, `.item[data-id="${id}"]`);
    await page.fill('#body', 'changed');
    await page.clock.runFor(800);
    await settled(page);
    assert.equal(await page.inputValue('#q'), 'alpha');
    assert.deepEqual(await titles(page), ['Alpha', 'Beta']);
  });

  test('reports a failed search', async (t) => {
    const page = await t.open({ clock: true });
    await answer(page, 'search', 500, '{}');
    await page.fill('#q', 'x');
    await page.clock.runFor(180);
    await settled(page);
    assert.equal(await text(page, '#toast'), 'Search failed: HTTP 500');
  });
});

describe('opening and editing', SUITE, () => {
  test('opens a note with a get at the direct route, marks it and focuses the text on a wide screen', async (t) => {
    const id = await t.server.save({ title: 'Shopping', body: 'milk\neggs' });
    const page = await t.open();
    await openItem(page);
    assert.equal((await calls(page, 'get'))[0].url, `/plugin_notes?action=get&id=${id}`);
    assert.equal(await page.inputValue('#title'), 'Shopping');
    assert.equal(await page.inputValue('#body'), 'milk\neggs');
    assert.deepEqual(await stateOf(page), { text: 'saved', cls: 'state' });
    assert.ok(await visible(page, '#editorWrap'));
    assert.ok(!(await visible(page, '#welcome')));
    assert.equal(await page.getAttribute('#app', 'data-view'), 'edit');
    assert.match(await page.getAttribute('.item', 'class'), /\bsel\b/);
    assert.equal(await page.evaluate(() => document.activeElement.id), 'body');
  });

  test('a new note is unsaved, focused on its title and sent only after 800 ms without input', async (t) => {
    const page = await t.open({ clock: true });
    await page.click('#btnNew');
    assert.deepEqual(await stateOf(page), { text: 'unsaved', cls: 'state dirty' });
    assert.equal(await page.evaluate(() => document.activeElement.id), 'title');
    assert.equal(await page.getAttribute('#app', 'data-view'), 'edit');
    await page.clock.runFor(5000);
    assert.equal((await calls(page, 'save')).length, 0, 'an untouched new note is not sent');

    await page.keyboard.type('Plan');
    await page.clock.runFor(500);
    await page.fill('#body', 'step one');
    await page.clock.runFor(799);
    assert.equal((await calls(page, 'save')).length, 0, 'each input restarts the delay');
    await page.clock.runFor(1);
    const [first] = await calls(page, 'save');
    assert.equal(first.method, 'POST');
    assert.equal(first.url, '/plugin_notes?action=save');
    assert.equal(first.headers['Content-Type'], 'application/json');
    assert.deepEqual(json(first), { title: 'Plan', body: 'step one', pinned: 0 });
    await settled(page);
    assert.deepEqual(await stateOf(page), { text: 'saved', cls: 'state ok' });
    assert.deepEqual(await titles(page), ['Plan']);

    await page.fill('#body', 'step two');
    await page.clock.runFor(800);
    await settled(page);
    const second = (await calls(page, 'save'))[1];
    const [stored] = await t.server.list();
    assert.equal(json(second).id, stored.id, 'later saves update the same note');
    assert.equal((await t.server.get(stored.id)).body, 'step two');
    assert.equal((await t.server.list()).length, 1);
  });

  test('shows "saving" while the request is out', async (t) => {
    const page = await t.open({ clock: true });
    let release;
    await page.route((u) => u.searchParams.get('action') === 'save', async (route) => {
      await new Promise((r) => { release = r; });
      await route.continue();
    });
    await page.click('#btnNew');
    await page.keyboard.type('x');
    await page.clock.runFor(800);
    await until(() => release, 'the save to be held');
    assert.deepEqual(await stateOf(page), { text: 'saving', cls: 'state' });
    release();
    await settled(page);
    assert.deepEqual(await stateOf(page), { text: 'saved', cls: 'state ok' });
  });

  test('renders the preview 220 ms after the last edit, and when a note is opened', async (t) => {
    await t.server.save({ title: 'Doc', body: '# Title' });
    const page = await t.open({ clock: true });
    await openItem(page);
    assert.equal((await calls(page, 'render')).length, 0);
    await page.clock.runFor(220);
    await settled(page);
    assert.deepEqual(JSON.parse((await calls(page, 'render'))[0].body), { body: '# Title' });
    assert.equal(await page.innerHTML('#preview'), '<h1>Title</h1>\n');

    await page.fill('#body', 'Some **bold**');
    await page.clock.runFor(219);
    assert.equal((await calls(page, 'render')).length, 1);
    await page.clock.runFor(1);
    await settled(page);
    assert.equal(await page.innerHTML('#preview strong'), 'bold');
  });

  test('keeps the previous preview when rendering fails', async (t) => {
    await t.server.save({ title: 'Doc', body: 'kept' });
    const page = await t.open({ clock: true });
    await openItem(page);
    await page.clock.runFor(220);
    await settled(page);
    await answer(page, 'render', 500, '{}');
    await page.fill('#body', 'new text');
    await page.clock.runFor(220);
    await settled(page);
    assert.equal(await text(page, '#preview'), 'kept\n');
    assert.equal(await text(page, '#toast'), '');
  });
});

describe('keyboard', SUITE, () => {
  test('Ctrl+S and Cmd+S force a save and suppress the browser dialog, even without changes', async (t) => {
    await t.server.save({ title: 'Same', body: 'x' });
    const page = await t.open();
    await watchDefault(page);
    await page.keyboard.press('Control+s');
    assert.equal(await prevented(page), true);
    assert.equal((await calls(page, 'save')).length, 0, 'no note open: nothing is sent');

    await openItem(page);
    await watchDefault(page);
    await page.keyboard.press('Control+S');
    assert.equal(await prevented(page), true);
    await settled(page);
    await page.keyboard.press('Meta+s');
    await settled(page);
    const saves = await calls(page, 'save');
    assert.equal(saves.length, 2);
    assert.deepEqual(json(saves[0]), { title: 'Same', body: 'x', pinned: 0, id: (await t.server.list())[0].id,
      base: fnv('x'), base_title: 'Same', copy_title: 'Same (conflicting copy)' });
    assert.deepEqual(await stateOf(page), { text: 'saved', cls: 'state ok' });
  });

  test('Ctrl+K selects the search field; Ctrl+Alt+N begins a note; plain keys do neither', async (t) => {
    const page = await t.open();
    await page.fill('#q', 'term');
    await page.click('#btnNew');
    await page.keyboard.type('k');
    assert.equal(await page.inputValue('#title'), 'k');
    await watchDefault(page);
    await page.keyboard.press('Control+k');
    assert.equal(await prevented(page), true);
    assert.deepEqual(await page.evaluate(() => {
      const a = document.activeElement;
      return [a.id, a.selectionStart, a.selectionEnd];
    }), ['q', 0, 4]);

    await page.click('#title');
    await watchDefault(page);
    await page.keyboard.press('Control+Alt+n');
    assert.equal(await prevented(page), true);
    assert.equal(await page.inputValue('#title'), '');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'title');
  });

  test('Enter in the title moves to the text; Tab replaces the selection by two spaces and schedules a save', async (t) => {
    const page = await t.open({ clock: true });
    await page.click('#btnNew');
    await page.keyboard.type('Head');
    await page.keyboard.press('Enter');
    assert.equal(await page.inputValue('#title'), 'Head');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'body');
    await page.keyboard.type('hello world');
    await page.evaluate(() => document.getElementById('body').setSelectionRange(6, 11));
    await page.keyboard.press('Tab');
    await page.keyboard.press('Shift+Tab');
    assert.equal(await page.inputValue('#body'), 'hello     ');
    assert.deepEqual(await page.evaluate(() => {
      const b = document.getElementById('body');
      return [document.activeElement.id, b.selectionStart, b.selectionEnd];
    }), ['body', 10, 10]);
    await page.clock.runFor(800);
    assert.equal(json((await calls(page, 'save'))[0]).body, 'hello     ');
    await page.clock.runFor(0);
    assert.deepEqual(JSON.parse((await calls(page, 'render')).at(-1).body), { body: 'hello     ' });
  });
});

describe('pin and delete', SUITE, () => {
  test('pinning moves a note first with its mark; unpinning puts it back', async (t) => {
    const older = 'older0000000';
    t.server.seedFiles([
      { id: 'newer0000000', title: 'Newer', updated: '2024-01-02T00:00:00Z' },
      { id: older, title: 'Older', updated: '2024-01-01T00:00:00Z' },
    ]);
    const page = await t.open();
    assert.deepEqual(await titles(page), ['Newer', 'Older']);
    await openItem(page, `.item[data-id="${older}"]`);
    await page.click('#btnPin');
    await settled(page);
    const [pin] = await calls(page, 'pin');
    assert.equal(pin.url, `/plugin_notes?action=pin&id=${older}`);
    assert.deepEqual(json(pin), { pin: 1 });
    assert.deepEqual(await titles(page), ['Older', 'Newer']);
    assert.match(await page.getAttribute('.item >> nth=0', 'class'), /\bpinned\b/);
    assert.ok(await page.locator('.item >> nth=0 >> .pinmark').isVisible());
    assert.ok(!(await page.locator('.item >> nth=1 >> .pinmark').isVisible()));
    assert.equal(await text(page, '.item .m'), 'Pinned · just now');
    assert.match(await page.getAttribute('#btnPin', 'class'), /\bactive\b/);

    await page.click('#btnPin');
    await settled(page);
    assert.deepEqual(json((await calls(page, 'pin'))[1]), { pin: 0 });
    assert.deepEqual(await titles(page), ['Older', 'Newer'], 'unpinning refreshes its date, so it stays first');
    assert.doesNotMatch(await page.getAttribute('.item >> nth=0', 'class'), /\bpinned\b/);
    assert.doesNotMatch(await page.getAttribute('#btnPin', 'class'), /\bactive\b/);
  });

  test('pinning a never-saved note sends no pin request; its first save carries the flag', async (t) => {
    const page = await t.open({ clock: true });
    await page.click('#btnNew');
    await page.click('#btnPin');
    assert.deepEqual(await stateOf(page), { text: 'unsaved', cls: 'state dirty' });
    await page.clock.runFor(800);
    await settled(page);
    assert.equal((await calls(page, 'pin')).length, 0);
    assert.deepEqual(json((await calls(page, 'save'))[0]), { title: '', body: '', pinned: 1 });
    assert.equal((await t.server.list())[0].pinned, 1);
  });

  test('reports a failed pin and keeps the flag for the next save', async (t) => {
    await t.server.save({ title: 'P', body: '' });
    const page = await t.open();
    await openItem(page);
    await answer(page, 'pin', 500, '{}');
    await page.click('#btnPin');
    await settled(page);
    assert.equal(await text(page, '#toast'), 'Pin failed: HTTP 500');
    await page.keyboard.press('Control+s');
    await settled(page);
    assert.equal(json((await calls(page, 'save'))[0]).pinned, 1);
  });

  test('asks with the saved title before moving a note to the trash', async (t) => {
    const keep = await t.server.save({ title: 'Keep', body: '' });
    const id = await t.server.save({ title: 'Old title', body: 'gone soon' });
    const page = await t.open({ clock: true });
    await openItem(page, `.item[data-id="${id}"]`);
    await page.fill('#title', 'Typed but unsaved');
    const asked = [];
    page.once('dialog', (d) => { asked.push([d.type(), d.message()]); d.dismiss(); });
    await page.click('#btnDel');
    assert.deepEqual(asked, [['confirm', 'Move "Old title" to the trash?']]);
    assert.equal((await calls(page, 'delete')).length, 0, 'a refusal sends nothing');
    assert.ok(await visible(page, '#editorWrap'));

    page.once('dialog', (d) => d.accept());
    await page.click('#btnDel');
    await settled(page);
    const [del] = await calls(page, 'delete');
    assert.equal(del.url, `/plugin_notes?action=delete&id=${id}`);
    assert.equal(del.method, 'POST');
    assert.equal(del.body, '{}');
    assert.equal(await text(page, '#toastMsg'), 'Moved to trash');
    assert.equal(await text(page, '#toastAct'), 'Undo');
    assert.ok(await page.locator('#toast.show').count());
    assert.ok(await visible(page, '#welcome'));
    assert.equal(await page.getAttribute('#app', 'data-view'), 'list');
    assert.deepEqual((await t.server.list()).map((n) => n.id), [keep]);
    assert.ok(existsSync(path.join(t.server.notesDir, '.trash', id + '.md')), 'the body file is in the trash');
    await page.clock.runFor(2000);
    assert.equal((await calls(page, 'save')).length, 0, 'the unsaved title of a deleted note is not sent');
  });

  test('deleting a never-saved note asks nothing, sends nothing and leaves a fresh note', async (t) => {
    const page = await t.open({ clock: true });
    await page.click('#btnNew');
    await page.keyboard.type('draft');
    let asked = false;
    page.on('dialog', (d) => { asked = true; d.dismiss(); });
    await page.click('#btnDel');
    await page.clock.runFor(2000);
    assert.equal(asked, false);
    assert.deepEqual((await calls(page)).map((c) => c.action), ['list']);
    assert.equal(await page.inputValue('#title'), '');
    assert.deepEqual(await stateOf(page), { text: 'unsaved', cls: 'state dirty' });
  });

  test('reports a failed delete and keeps the note open', async (t) => {
    await t.server.save({ title: 'Stay', body: '' });
    const page = await t.open();
    await openItem(page);
    await answer(page, 'delete', 404, '{"ok":false,"error":"note not found"}');
    page.once('dialog', (d) => d.accept());
    await page.click('#btnDel');
    await settled(page);
    assert.equal(await text(page, '#toast'), 'Delete failed: HTTP 404');
    assert.ok(await visible(page, '#editorWrap'));
  });
});

describe('messages', SUITE, () => {
  test('a save refused by the server is shown by its status and leaves the note unsaved', async (t) => {
    const page = await t.open({ clock: true });
    await page.click('#btnNew');
    await page.fill('#body', 'x'.repeat(524289));
    await page.clock.runFor(800);
    await settled(page);
    assert.equal(await text(page, '#toast'), 'Save failed: HTTP 413');
    assert.deepEqual(await stateOf(page), { text: 'unsaved', cls: 'state dirty' });
    await page.clock.runFor(5000);
    assert.equal((await calls(page, 'save')).length, 1, 'no retry is scheduled');
  });

  test('a save answered without a note shows its error text, or "save failed"', async (t) => {
    const page = await t.open({ clock: true });
    await answer(page, 'save', 200, { ok: false, error: 'disk full' });
    await page.click('#btnNew');
    await page.keyboard.press('Control+s');
    await settled(page);
    assert.equal(await text(page, '#toast'), 'Save failed: disk full');
    await page.unrouteAll();
    await answer(page, 'save', 200, { ok: true });
    await page.keyboard.press('Control+s');
    await settled(page);
    assert.equal(await text(page, '#toast'), 'Save failed: save failed');
  });

  test('the toast hides 1800 ms after the latest message', async (t) => {
    const page = await t.open({ clock: true });
    await answer(page, 'search', 500, '{}');
    await page.fill('#q', 'a');
    await page.clock.runFor(180);
    await settled(page);
    await page.clock.runFor(1000);
    await page.fill('#q', 'b');
    await page.clock.runFor(180);
    await settled(page);
    await page.clock.runFor(1799);
    assert.ok(await page.locator('#toast.show').count(), 'a new message restarts the time');
    await page.clock.runFor(1);
    assert.equal(await page.locator('#toast.show').count(), 0);
  });

  test('opening reports "Note not found" and failures, changing nothing else', async (t) => {
    await t.server.save({ title: 'Gone', body: '' });
    const page = await t.open();
    await answer(page, 'get', 200, { ok: true });
    await openItem(page);
    assert.equal(await text(page, '#toast'), 'Note not found');
    assert.ok(await visible(page, '#welcome'));
    await page.unrouteAll();
    await answer(page, 'get', 404, '{}');
    await openItem(page);
    assert.equal(await text(page, '#toast'), 'Could not open note: HTTP 404');
    assert.ok(await visible(page, '#welcome'));
  });
});

describe('relative dates', SUITE, () => {
  test('turns the age of updated into minutes, hours, days or the local date', async (t) => {
    const now = Date.parse('2024-03-10T12:00:00Z');
    const ago = (s) => new Date(now - s * 1000).toISOString().replace(/\.\d+Z$/, 'Z');
    const ages = [-30, 59, 60, 3599, 3600, 86399, 86400, 604799, 604800];
    const rows = ages.map((s, i) => ({ id: 'n' + String(i).padStart(11, '0'), title: 'age ' + s, pinned: 0,
      created: ago(s), updated: ago(s) }));
    rows.push({ id: 'nnoupdated00', title: '', pinned: 0, created: '', updated: '' });
    const page = await t.open({ clock: now, path: null });
    await answer(page, 'list', 200, { ok: true, count: rows.length, notes: rows });
    await page.goto(t.server.base + '/plugin_notes');
    await settled(page);
    assert.deepEqual(await page.locator('.item .m').allTextContents(), [
      'just now', 'just now', '1 min ago', '59 min ago', '1 h ago', '23 h ago', '1 d ago', '6 d ago', '3/3/2024', '',
    ]);
    assert.equal(await text(page, '#count'), '10 notes');
  });
});
