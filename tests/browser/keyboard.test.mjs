// Keyboard-only use: leaving the text area, walking and opening the list, clearing the search,
// and where the focus lands after a delete and after Back in the narrow layout.
import assert from 'node:assert/strict';
import { describe } from 'node:test';
import { calls, openItem, settled, SUITE, setup, until } from './support.mjs';

const test = setup();
const focused = (page) => page.evaluate(() => {
  const a = document.activeElement;
  return a.getAttribute('data-id') || a.id || a.tagName;
});
const seed = (t, n) => t.server.seedFiles(Array.from({ length: n }, (_, i) => ({
  id: 'note' + String(i).padStart(8, '0'), title: 'Note ' + i, body: 'body ' + i,
  updated: `2024-01-${String(20 - i).padStart(2, '0')}T00:00:00Z`,
})));
const row = (i) => 'note' + String(i).padStart(8, '0');

describe('keyboard', SUITE, () => {
  test('every control of the open note is reached from the text area in a few keys', async (t) => {
    seed(t, 3);
    const page = await t.open();
    await openItem(page);
    // [key, where the focus is afterwards]
    const walk = [['Escape', 'title'], ['Tab', 'btnPin'], ['Tab', 'btnHistory'], ['Tab', 'btnSave'], ['Tab', 'btnDel'], ['Tab', 'body'],
      ['Escape', 'title'], ['Shift+Tab', 'btnTheme'], ['Shift+Tab', 'btnImport'], ['Shift+Tab', 'btnExport'], ['Shift+Tab', 'btnTrash'], ['Shift+Tab', row(2)], ['Shift+Tab', row(1)]];
    await page.focus('#body');
    for (const [key, want] of walk) {
      await page.keyboard.press(key);
      assert.equal(await focused(page), want, 'after ' + key);
    }
    await page.focus('#body');
    await page.keyboard.press('Shift+Tab');
    assert.equal(await focused(page), 'body', 'Tab stays in the text area');
    assert.equal((await page.inputValue('#body')).length, 'body 0'.length + 2);
  });

  test('arrow keys walk the list from the search field and Enter opens the row', async (t) => {
    seed(t, 4);
    const page = await t.open();
    await page.focus('#q');
    const walk = [['ArrowDown', row(0)], ['ArrowDown', row(1)], ['End', row(3)], ['ArrowDown', row(3)],
      ['ArrowUp', row(2)], ['Home', row(0)], ['ArrowUp', 'q'], ['ArrowDown', row(0)], ['ArrowDown', row(1)]];
    for (const [key, want] of walk) {
      await page.keyboard.press(key);
      assert.equal(await focused(page), want, 'after ' + key);
    }
    await page.keyboard.press('Enter');
    await until(async () => (await page.inputValue('#title')) === 'Note 1', 'the note to open');
    assert.equal((await calls(page, 'get'))[0].url, `/plugin_notes?action=get&id=${row(1)}`);
    assert.equal(await focused(page), 'body');
  });

  test('Escape in the search field clears it and shows the whole list', async (t) => {
    seed(t, 3);
    const page = await t.open({ clock: true });
    await page.fill('#q', 'Note 2');
    await page.clock.runFor(180);
    await settled(page);
    assert.equal(await page.locator('#list .item').count(), 1);
    await page.keyboard.press('Escape');
    assert.equal(await page.inputValue('#q'), '');
    await page.clock.runFor(180);
    await settled(page);
    assert.equal(await page.locator('#list .item').count(), 3);
    assert.equal(await focused(page), 'q');
  });

  test('after a delete the focus goes to the next row, the previous one, then the new-note button', async (t) => {
    seed(t, 3);
    const page = await t.open();
    page.on('dialog', (d) => d.accept());
    // [row to delete, focus afterwards]
    for (const [del, want] of [[row(1), row(2)], [row(2), row(0)], [row(0), 'btnNew']]) {
      await openItem(page, `.item[data-id="${del}"]`);
      await page.focus('#btnDel');
      await page.keyboard.press('Enter');
      await until(async () => !(await page.locator(`.item[data-id="${del}"]`).count()), 'the row to go');
      await settled(page);
      assert.equal(await focused(page), want, 'after deleting ' + del);
    }
  });

  test('Back in the narrow layout puts the focus on the row of the note just left', async (t) => {
    seed(t, 3);
    const page = await t.open({ width: 700 });
    await openItem(page, `.item[data-id="${row(1)}"]`);
    await page.click('#btnBack');
    assert.equal(await page.getAttribute('#app', 'data-view'), 'list');
    assert.equal(await focused(page), row(1));
  });
});
