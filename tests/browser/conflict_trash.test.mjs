// Nothing lost between two tabs on one note, and a way back from the trash: the conflict copy, the
// save on leaving, Undo after a delete, and the trash view.
import assert from 'node:assert/strict';
import { writeFileSync } from 'node:fs';
import path from 'node:path';
import { describe } from 'node:test';
import { calls, openItem, settled, SUITE, setup, stateOf, text, until, visible } from './support.mjs';

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
    assert.equal((await calls(page, 'restore'))[0].url, `/plugin_notes?action=restore&id=${A.id}`);
    assert.equal((await t.server.get(A.id)).body, A.body);
    assert.equal(await page.inputValue('#title'), 'Plan');
    assert.ok(await visible(page, '#list .item'), 'the list is back');
    await page.click('#btnTrash');
    await settled(page);
    assert.deepEqual(await page.locator('#trashView .trash-item .t').allTextContents(), ['Older note']);
  });
});
