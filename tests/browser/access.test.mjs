// Accessibility: axe-core finds nothing but the fixed colour choices, in both themes, both widths,
// empty and full, in every view; the pin button and the save-state badge tell their state.
import assert from 'node:assert/strict';
import { mkdirSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { describe } from 'node:test';
import { AxeBuilder } from '@axe-core/playwright';
import { openItem, settled, SUITE, setup, until } from './support.mjs';

const test = setup();

// The colours are fixed by the design; these are the places where axe finds them too weak
// (the README lists them). Anything else axe reports fails the test.
const KNOWN = [
  // [rule, element, theme ('' for both)]
  ['color-contrast', '#btnSave', ''], // white on --blue, as every .btn:
  ['color-contrast', '#btnRestoreVersion', ''],
  ['color-contrast', 'button[aria-label="Restore *', ''], // the trash rows' Restore buttons
  ['color-contrast', '#state', 'light'], // --text-2, --orange and --green on --surface-2
  ['color-contrast', 'a[href$="example.org"]', 'light'], // preview links: --blue on --bg (named by their address beside the Export link)
];
const known = (rule, target, theme) => KNOWN.some(([r, t, th]) => r === rule &&
  (t.endsWith('*') ? target.startsWith(t.slice(0, -1)) : t === target) && (!th || th === theme));

async function findings(page, theme) {
  const r = await new AxeBuilder({ page }).analyze();
  return r.violations.flatMap((v) => v.nodes.map((n) => [v.id, n.target.join(' ')]))
    .filter(([rule, target]) => !known(rule, target, theme));
}

const NOTES = [
  { id: 'pinned000001', title: 'Plan', pinned: true, updated: '2024-05-02T00:00:00Z',
    body: '# Plan\n\nSome **bold** text, `code` and a [link](https://example.org) in a line.\n\n- one\n- two\n\n> quoted\n' },
  { id: 'other0000001', title: '', updated: '2024-05-01T00:00:00Z', body: 'plain' },
];

describe('axe-core', SUITE, () => {
  for (const theme of ['dark', 'light']) {
    test(`${theme} theme: no findings but the fixed colours, wide and narrow, empty and full`, async (t) => {
      const report = [];
      const check = async (page, what) => {
        for (const f of await findings(page, theme)) report.push(`${what}: ${f.join(' at ')}`);
      };
      for (const width of [1100, 700]) {
        const empty = await t.open({ width, colorScheme: theme });
        await check(empty, `${width} px, empty, start`);
        await empty.click('#btnImport');
        await check(empty, `${width} px, empty, import panel`);
        await empty.click('#btnNew');
        await check(empty, `${width} px, empty, new note`);
      }
      t.server.seedFiles(NOTES);
      // A version of the first note and a note in the trash, for the history panel and the trash rows.
      mkdirSync(path.join(t.server.notesDir, '.versions', NOTES[0].id), { recursive: true });
      writeFileSync(path.join(t.server.notesDir, '.versions', NOTES[0].id, '2024-05-01T00-00-00Z.md'), '# Plan\n\nolder\n');
      writeFileSync(path.join(t.server.notesDir, '.trash', 'trashed00001.md'), 'gone');
      for (const width of [1100, 700]) {
        const page = await t.open({ width, colorScheme: theme });
        await check(page, `${width} px, list`);
        await openItem(page);
        await until(async () => (await page.locator('#preview h1').count()) === 1, 'the preview');
        await settled(page);
        await check(page, `${width} px, open note`);
        await page.click('#btnHistory');
        await page.click('.hist-item');
        await until(() => page.locator('#histDiff .add').count(), 'the diff');
        await settled(page);
        await check(page, `${width} px, history`);
        await page.click('#btnHistory');
        if (width === 1100) {
          await page.click('#btnTrash');
          await until(() => page.locator('.trash-item').count(), 'the trash');
          await check(page, `${width} px, trash`);
          await page.click('#btnTrash');
        }
        if (width === 700) {
          await page.click('#btnPreview');
          await check(page, `${width} px, preview`);
        }
      }
      assert.deepEqual(report, []);
    });
  }
});

describe('states for assistive technology', SUITE, () => {
  test('the pin button is pressed exactly while the open note is pinned', async (t) => {
    t.server.seedFiles(NOTES);
    const page = await t.open();
    const pressed = () => page.getAttribute('#btnPin', 'aria-pressed');
    await openItem(page, '.item[data-id="pinned000001"]');
    assert.equal(await pressed(), 'true');
    await page.click('#btnPin');
    assert.equal(await pressed(), 'false');
    await settled(page);
    await openItem(page, '.item[data-id="other0000001"]');
    await page.click('#btnPin');
    assert.equal(await pressed(), 'true');
    await page.click('#btnNew');
    assert.equal(await pressed(), 'false');
  });

  test('the save-state badge is a polite live region that speaks only when its state changes', async (t) => {
    t.server.seedFiles(NOTES);
    const page = await t.open({ clock: true });
    assert.equal(await page.getAttribute('#state', 'aria-live'), 'polite');
    await openItem(page);
    await page.evaluate(() => {
      window.__said = [];
      new MutationObserver(() => window.__said.push(document.getElementById('state').textContent))
        .observe(document.getElementById('state'), { childList: true, characterData: true, subtree: true });
    });
    await page.focus('#body');
    await page.keyboard.type('abc');
    await page.clock.runFor(800);
    await settled(page);
    assert.deepEqual(await page.evaluate(() => window.__said), ['unsaved', 'saving', 'saved']);
  });
});
