// Smart search in the page: results show their marked snippets, opening one selects its first
// match in the text area, Ctrl+G walks the matches, and the preview marks them.
import assert from 'node:assert/strict';
import { describe } from 'node:test';
import { openItem, settled, SUITE, setup, until } from './support.mjs';

const test = setup();
const FAR = 'filler line\n'.repeat(200);
const selection = (page) => page.evaluate(() => {
  const b = document.getElementById('body');
  return { text: b.value.slice(b.selectionStart, b.selectionEnd), at: b.selectionStart, top: b.scrollTop };
});

describe('smart search', SUITE, () => {
  test('marked snippets, the first match selected on opening, Ctrl+G to the next, marks in the preview', async (t) => {
    t.server.seedFiles([
      { id: 'muller000001', title: 'Letters', body: FAR + 'Dear Herr MÜLLER,\nthanks. Müller again, and muller.', updated: '2024-01-02T00:00:00Z' },
      { id: 'other0000001', title: 'Shopping', body: 'milk, bread', updated: '2024-01-01T00:00:00Z' },
      { id: 'title0000001', title: 'Müller family', body: 'no match here', updated: '2023-12-01T00:00:00Z' },
    ]);
    const page = await t.open();
    await page.fill('#q', 'muller');
    await until(async () => (await page.locator('#list .item').count()) === 2, 'the two results');
    await settled(page);
    // The title match ranks first; each row shows its snippet, matches in <mark>.
    const rows = await page.evaluate(() => Array.from(document.querySelectorAll('#list .item'), (el) => ({
      id: el.getAttribute('data-id'),
      title: Array.from(el.querySelectorAll('.t mark'), (m) => m.textContent),
      snippet: el.querySelector('.s') && el.querySelector('.s').textContent,
      marks: Array.from(el.querySelectorAll('.s mark'), (m) => m.textContent),
    })));
    assert.deepEqual(rows, [
      { id: 'title0000001', title: ['Müller'], snippet: 'no match here', marks: [] },
      { id: 'muller000001', title: [], snippet: 'line filler line Dear Herr MÜLLER, thanks. Müller again, and muller.',
        marks: ['MÜLLER', 'Müller', 'muller'] },
    ]);
    // Not by colour alone: bold and underlined in both themes, on a tint that differs from the row.
    for (const theme of ['dark', 'light']) {
      await page.evaluate((th) => window.zqApplyTheme(th), theme);
      const look = await page.evaluate(() => {
        const m = getComputedStyle(document.querySelector('#list .s mark'));
        return { weight: m.fontWeight, line: m.textDecorationLine, bg: m.backgroundColor };
      });
      assert.equal(look.weight, '700', theme);
      assert.equal(look.line, 'underline', theme);
      assert.notEqual(look.bg, 'rgba(0, 0, 0, 0)', theme);
    }
    await openItem(page, '.item[data-id="muller000001"]');
    const first = await selection(page);
    assert.equal(first.text, 'MÜLLER');
    assert.ok(first.top > 0, 'the text area scrolled to the match');
    await until(() => page.evaluate(() => document.querySelectorAll('#preview mark').length === 3), 'preview marks');
    await settled(page);
    const seen = [];
    for (const key of ['Control+g', 'Control+g', 'Control+g', 'Control+Shift+g']) {
      await page.keyboard.press(key);
      const s = await selection(page);
      seen.push(s.text);
    }
    assert.deepEqual(seen, ['Müller', 'muller', 'MÜLLER', 'muller'], 'next, next, round to the first, back');
    // Without a search term nothing is marked and Ctrl+G moves nothing.
    await page.fill('#q', '');
    await until(() => page.evaluate(() => !document.querySelector('#preview mark') && !document.querySelector('#list mark')),
      'marks to go');
    await settled(page);
    const before = await selection(page);
    await page.keyboard.press('Control+g');
    assert.equal((await selection(page)).at, before.at);
    assert.deepEqual(page.errors, []);
  });

  test('a long list of results is drawn a screenful first and completed in later frames, every row with its snippet', async (t) => {
    t.server.seedFiles(Array.from({ length: 150 }, (_, i) => ({ id: 'many' + String(i).padStart(8, '0'),
      title: 'Note ' + i, body: 'a café numéro ' + i, updated: `2024-01-01T00:${String(59 - (i % 60)).padStart(2, '0')}:00Z` })));
    const page = await t.open();
    await until(async () => (await page.locator('#list .item').count()) === 150, 'the list');
    await page.fill('#q', 'CAFE');
    await until(() => page.evaluate(() => document.querySelectorAll('#list .item .s mark').length === 150), 'all results');
    const rows = await page.evaluate(() => Array.from(document.querySelectorAll('#list .item'),
      (el) => el.querySelector('.s mark').textContent + '|' + el.querySelector('.s').textContent.startsWith('a café')));
    assert.deepEqual(new Set(rows), new Set(['café|true']));
  });
});
