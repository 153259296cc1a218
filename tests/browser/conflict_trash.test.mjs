// Nothing lost between two tabs on one note, and a way back from the trash: the conflict copy, the
// save on leaving, Undo after a delete, and the trash view.
import assert from 'node:assert/strict';
import { readFileSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { describe } from 'node:test';
import { answer, calls, fnv, openItem, settled, SUITE, setup, stateOf, text, until, visible } from './support.mjs';

const test = setup();
// Non-ASCII text in the stored body: the page's fingerprint of it must equal the server's.
const A = { id: 'aaaaaaaaaaaa', title: 'Plan', body: 'start — ünïcode 😀\nline', pinned: true, updated: '2024-01-01T00:00:00Z' };
const B = { id: 'bbbbbbbbbbbb', title: 'Other', body: 'other text', updated: '2024-01-02T00:00:00Z' };

// Two pages (separate browser contexts) on one store, both with note A open.
async function twoTabs(t) {
  t.server.seedFiles([A]);
  const tabs = [await t.open({ clock: true }), await t.open({ clock: true })];
  for (const page of tabs) await openItem(page, `.item[data-id="${A.id}"]`);
  return tabs;
}
const saveNow = async (page) => {
  await page.keyboard.press('Control+s');
  await settled(page);
};
const bodies = async (server) => {
  const out = {};
  for (const n of await server.list()) out[n.title] = (await server.get(n.id)).body;
  return out;
};

describe('two tabs on one note', SUITE, () => {
  test('the later save keeps its text as a copy, the earlier one stays, and the page says so', async (t) => {
    const [first, second] = await twoTabs(t);
    await first.fill('#body', 'added in the first tab');
    await saveNow(first);
    assert.deepEqual(await bodies(t.server), { Plan: 'added in the first tab' }, 'a save over the loaded text is no conflict');

    await second.fill('#body', 'typed in the second tab');
    await saveNow(second);
    assert.deepEqual(await bodies(t.server), { Plan: 'added in the first tab', 'Plan (conflicting copy)': 'typed in the second tab' });
    assert.match(await text(second, '#toastMsg'), /^Changed in another tab or device: your text was saved as "Plan \(conflicting copy\)"$/);
    assert.ok(await second.locator('#toast.show').count());
    assert.equal(await second.inputValue('#title'), 'Plan (conflicting copy)');
    assert.deepEqual(await stateOf(second), { text: 'saved', cls: 'state ok' });

    // Later edits in that tab go to the copy; the toast offers the other note.
    await second.fill('#body', 'typed on');
    await saveNow(second);
    assert.deepEqual(await bodies(t.server), { Plan: 'added in the first tab', 'Plan (conflicting copy)': 'typed on' });
    await second.fill('#body', 'typed on!');
    await saveNow(second);
    await first.fill('#body', 'first again');
    await saveNow(first);
    assert.equal((await t.server.list()).length, 2, 'each tab goes on saving its own note');
  });

  test('the save sent while the tab closes keeps its text the same way', async (t) => {
    const [first, second] = await twoTabs(t);
    await first.fill('#body', 'saved first');
    await saveNow(first);
    await second.fill('#body', 'left in the closing tab');
    await second.close();
    await until(async () => (await t.server.list()).length === 2, 'the copy sent on close');
    assert.deepEqual(await bodies(t.server), { Plan: 'saved first', 'Plan (conflicting copy)': 'left in the closing tab' });
  });
});

describe('getting notes back', SUITE, () => {
  test('Undo after a delete brings the note back with its title, pin and text, while the message shows', async (t) => {
    t.server.seedFiles([A, B]);
    const page = await t.open({ clock: true });
    await openItem(page, `.item[data-id="${A.id}"]`);
    page.once('dialog', (d) => d.accept());
    await page.click('#btnDel');
    await settled(page);
    assert.deepEqual((await t.server.list()).map((n) => n.id), [B.id]);
    await page.clock.runFor(5000);
    assert.ok(await page.locator('#toast.show').count(), 'still offered after 5 s');
    await page.click('#toastAct');
    await settled(page);
    const back = (await t.server.list()).find((n) => n.id === A.id);
    assert.deepEqual([back.title, back.pinned, back.updated], [A.title, 1, A.updated]);
    assert.equal((await t.server.get(A.id)).body, A.body);
    assert.equal(await page.inputValue('#title'), A.title);
    assert.equal(await page.inputValue('#body'), A.body);
    assert.equal(await page.getAttribute('#list .item.pinned', 'data-id'), A.id);
    assert.equal(await page.locator('#toastAct:not(.hidden)').count(), 0, 'Undo is not offered twice');
  });

  test('a note deleted in an earlier visit is restored from the trash view', async (t) => {
    t.server.seedFiles([A, B]);
    await t.server.call('delete', { query: 'id=' + A.id, body: {} });
    // A body trashed before trashed notes kept their titles: its first line stands in.
    writeFileSync(path.join(t.server.notesDir, '.trash', 'oldoldoldold.md'), '# Older note\ntext');
    const page = await t.open();
    assert.deepEqual(await page.locator('#list .item .t').allTextContents(), ['Other']);
    await page.click('#btnTrash');
    await settled(page);
    assert.equal(await page.getAttribute('#btnTrash', 'aria-expanded'), 'true');
    assert.ok(!(await visible(page, '#list .item')), 'the trash shows in place of the list');
    const rows = await page.locator('#trashView .trash-item .tx').evaluateAll((els) => els.map((e) => e.innerText.split('\n')));
    assert.deepEqual(rows[0], ['Plan', 'Deleted just now']);
    assert.equal(rows[1][0], 'Older note');
    await page.getByRole('button', { name: 'Restore Plan' }).click();
    await settled(page);
    // The row names its own entry: its copy number and time of delete.
    assert.match((await calls(page, 'restore'))[0].url, new RegExp(`^/plugin_notes\\?action=restore&id=${A.id}&copy=0&deleted=\\d{4}-`));
    assert.equal((await t.server.get(A.id)).body, A.body);
    assert.equal(await page.inputValue('#title'), 'Plan');
    assert.ok(await visible(page, '#list .item'), 'the list is back');
    await page.click('#btnTrash');
    await settled(page);
    assert.deepEqual(await page.locator('#trashView .trash-item .t').allTextContents(), ['Older note']);
  });
});

describe('a trash that changed since it was drawn', SUITE, () => {
  test('a Restore of a row whose entry another tab replaced refuses visibly, and the reloaded row restores its own text', async (t) => {
    t.server.seedFiles([A, B]);
    await t.server.call('delete', { query: 'id=' + A.id, body: {} });
    // The first delete is dated earlier, so the two deletes of one id differ in their times.
    const record = path.join(t.server.notesDir, '.trash', A.id + '.json');
    writeFileSync(record, readFileSync(record, 'utf8').replace(/"deleted":"[^"]*"/, '"deleted":"2020-01-01T00:00:00Z"'));
    const page = await t.open();
    await page.click('#btnTrash');
    await settled(page);
    // Meanwhile another tab restores the note, changes it and deletes it again: it takes copy 0 anew.
    await t.server.call('restore', { query: 'id=' + A.id, body: {} });
    await t.server.call('save', { body: { id: A.id, title: 'Plan', body: 'changed elsewhere', base: fnv(A.body) } });
    await t.server.call('delete', { query: 'id=' + A.id, body: {} });
    await page.getByRole('button', { name: 'Restore Plan' }).click();
    // A refusal is handled once its reason has been read, after the request counts as answered.
    await until(async () => /^This trash entry changed in another tab or device; nothing was restored/.test(await text(page, '#toastMsg')),
      'the refusal to show');
    await settled(page);
    assert.deepEqual((await t.server.list()).map((n) => n.id), [B.id], 'nothing came back');
    assert.ok(await visible(page, '#trashView'), 'the trash stays open, drawn again');
    await page.getByRole('button', { name: 'Restore Plan' }).click();
    await settled(page);
    assert.equal((await t.server.get(A.id)).body, 'changed elsewhere');
    assert.equal(await page.inputValue('#body'), 'changed elsewhere');
  });

  test('a conflicting copy kept in the trash at the note limit stays in the editor, and the page says where it is', async (t) => {
    t.server.seedFiles([A]);
    const page = await t.open();
    await openItem(page, `.item[data-id="${A.id}"]`);
    await answer(page, 'save', 500, { ok: false, error: 'note limit reached; copy kept in trash' });
    await page.fill('#body', 'typed at the limit');
    await page.keyboard.press('Control+s');
    const said = 'Changed in another tab or device, and the 2000-note limit is reached: your text was kept in the trash as ' +
      '"Plan (conflicting copy)" and stays here unsaved';
    await until(async () => (await text(page, '#toastMsg')) === said, 'the page to say where the text is');
    assert.equal(await page.inputValue('#body'), 'typed at the limit');
    assert.deepEqual(await stateOf(page), { text: 'unsaved', cls: 'state dirty' });
    // The next save is a new note: it names neither the other note nor the text it replaced.
    await page.keyboard.press('Control+s');
    await settled(page);
    const sent = JSON.parse((await calls(page, 'save')).at(-1).body);
    assert.deepEqual([sent.id, sent.base, sent.body], [undefined, undefined, 'typed at the limit']);
  });
});
