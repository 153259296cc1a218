// Layout at the 700 px breakpoint, the narrow views, list rows, and the screenshots in docs/.
import assert from 'node:assert/strict';
import { mkdirSync, statSync } from 'node:fs';
import path from 'node:path';
import { describe } from 'node:test';
import { ROOT, calls, openItem, settled, SUITE, setup } from './support.mjs';

const test = setup();
const box = (page, sel) => page.locator(sel).boundingBox();
const shown = (page, sels) => Promise.all(sels.map((s) => page.isVisible(s)));
const view = (page) => page.getAttribute('#app', 'data-view');

describe('wide layout (701 px)', SUITE, () => {
  test('shows sidebar and editor side by side, text and preview in equal halves, no narrow buttons', async (t) => {
    await t.server.save({ title: 'Wide', body: 'text' });
    const page = await t.open({ width: 701 });
    await openItem(page);
    assert.equal(await view(page), 'edit');
    assert.deepEqual(await shown(page, ['#side', '#main', '#body', '#preview', '#btnBack', '#btnPreview']),
      [true, true, true, true, false, false]);
    const side = await box(page, '#side');
    assert.equal(side.width, 288);
    const body = await box(page, '#body');
    const preview = await box(page, '#preview');
    assert.ok(Math.abs(body.width - preview.width) <= 1, 'equal halves');
    assert.ok(preview.x >= body.x + body.width - 1, 'preview to the right of the text');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'body', 'the text gets the focus');
  });
});

describe('narrow layout (700 px)', SUITE, () => {
  test('shows one pane per view and moves between them with the back and preview buttons', async (t) => {
    await t.server.save({ title: 'Narrow', body: '# Big' });
    const page = await t.open({ width: 700, clock: true });
    assert.deepEqual(await shown(page, ['#side', '#main']), [true, false]);
    assert.equal((await box(page, '#side')).width, 700);

    await openItem(page);
    await page.clock.runFor(220);
    await settled(page);
    assert.equal(await view(page), 'edit');
    assert.deepEqual(await shown(page, ['#side', '.toolbar', '#body', '#preview', '#btnBack', '#btnPreview']),
      [false, true, true, false, true, true]);
    assert.notEqual(await page.evaluate(() => document.activeElement.id), 'body', 'the focus stays where it was');

    await page.click('#btnPreview');
    assert.equal(await view(page), 'preview');
    assert.deepEqual(await shown(page, ['#body', '#preview']), [true, true]);
    const body = await box(page, '#body');
    const preview = await box(page, '#preview');
    assert.ok(preview.y >= body.y + body.height - 1, 'the preview stands below the text');
    assert.equal(await page.textContent('#preview h1'), 'Big');
    const covered = await page.evaluate(() => {
      const r = document.querySelector('.item').getBoundingClientRect();
      return document.getElementById('main').contains(document.elementFromPoint(r.x + r.width / 2, r.y + r.height / 2));
    });
    assert.ok(covered, 'the editor covers the list in the preview view');
    await page.click('#btnPreview');
    assert.equal(await view(page), 'edit');

    const before = (await calls(page)).length;
    await page.click('#btnBack');
    assert.equal(await view(page), 'list');
    assert.deepEqual(await shown(page, ['#side', '#main']), [true, false]);
    assert.equal((await calls(page)).length, before, 'going back sends nothing');
    assert.match(await page.getAttribute('.item', 'class'), /\bsel\b/);
    assert.equal(await page.inputValue('#title'), 'Narrow', 'the note stays open');
  });

  test('a new note begins in the edit view', async (t) => {
    const page = await t.open({ width: 700 });
    await page.click('#btnNew');
    assert.equal(await view(page), 'edit');
    assert.deepEqual(await shown(page, ['#side', '#body']), [false, true]);
  });
});

describe('list rows', SUITE, () => {
  test('cut a long title with an ellipsis that stays clear of the pin mark', async (t) => {
    await t.server.save({ title: 'A very long title '.repeat(8), body: '', pinned: 1 });
    const page = await t.open();
    const fits = await page.evaluate(() => {
      const title = document.querySelector('.item .t');
      const mark = document.querySelector('.item .pinmark').getBoundingClientRect();
      const style = getComputedStyle(title);
      const textRight = title.getBoundingClientRect().right - parseFloat(style.paddingRight);
      return { cut: title.scrollWidth > title.clientWidth, ellipsis: style.textOverflow, clear: textRight <= mark.left };
    });
    assert.deepEqual(fits, { cut: true, ellipsis: 'ellipsis', clear: true });
  });
});

// Screenshots for the README, from fixed notes at a fixed time so they only change with the page.
const NOW = Date.parse('2024-05-14T10:30:00Z');
const NOTES = [
  { id: 'weeklyplan01', title: 'Weekly plan', pinned: 1, updated: '2024-05-14T08:05:00Z',
    body: '# Weekly plan\n\nA short list for the week ahead.\n\n## Monday\n\n- Review the **draft** report\n' +
      '- Call the printer about `invoice 2231`\n- Book the train\n\n> Keep Friday afternoon free.\n\n' +
      '```\nmake serve\n```\n\n---\n\nSee [the calendar](https://example.org/calendar) for the rest.\n' },
  { id: 'readinglist1', title: 'Reading list', pinned: 0, updated: '2024-05-14T10:26:00Z', body: '- A book\n' },
  { id: 'tripcoast001', title: 'Trip to the coast', pinned: 0, updated: '2024-05-12T18:00:00Z', body: 'Pack light.\n' },
  { id: 'lentilsoup01', title: 'Recipe: lentil soup', pinned: 0, updated: '2024-05-03T12:00:00Z', body: 'Lentils.\n' },
  { id: 'meeting00001', title: '', pinned: 0, updated: '2024-04-02T09:00:00Z', body: '' },
];

describe('screenshots', SUITE, () => {
  const docs = path.join(ROOT, 'docs');
  mkdirSync(docs, { recursive: true });

  // Each picture is taken only once the page shows what it is meant to show.
  async function shoot(t, opts, file, steps) {
    t.server.seedFiles(NOTES);
    const page = await t.open({ clock: NOW, ...opts });
    await steps(page);
    assert.equal(await page.getAttribute('html', 'data-theme'), opts.colorScheme);
    assert.deepEqual(await page.locator('.item .m').allTextContents(),
      ['Pinned · 2 h ago', '4 min ago', '1 d ago', '5/3/2024', '4/2/2024']);
    const out = path.join(docs, file);
    await page.screenshot({ path: out });
    assert.ok(statSync(out).size > 10000, 'a picture was written');
  }
  const openPlan = async (page) => {
    await openItem(page, '.item[data-id="weeklyplan01"]');
    await page.clock.runFor(220);
    await settled(page);
    assert.equal(await page.textContent('#preview h1'), 'Weekly plan');
  };
  const listOnly = async (page) => {
    assert.deepEqual(await shown(page, ['#side', '#main']), [true, false]);
  };

  test('wide, dark', (t) => shoot(t, { width: 1200, height: 760, colorScheme: 'dark' }, 'editor-wide-dark.png', openPlan));
  test('wide, light', (t) => shoot(t, { width: 1200, height: 760, colorScheme: 'light' }, 'editor-wide-light.png', openPlan));
  test('narrow, dark', (t) => shoot(t, { width: 390, height: 760, colorScheme: 'dark' }, 'editor-narrow.png', listOnly));
});
