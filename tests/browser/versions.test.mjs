// Every note's past: an overwritten text brought back from History (and the restore taken back),
// the trash emptied for good, and text typed while the server was down recovered after a reload.
import assert from 'node:assert/strict';
import { readdirSync, readFileSync, statSync } from 'node:fs';
import path from 'node:path';
import { describe } from 'node:test';
import { calls, fnv, openItem, settled, SUITE, setup, text, until, visible } from './support.mjs';

const test = setup();
const ORIGINAL = 'line one\nline two\nline three\nline four';

// Every file under dir whose bytes hold s.
function filesHolding(dir, s) {
  const hits = [];
  for (const name of readdirSync(dir)) {
    const p = path.join(dir, name);
    if (statSync(p).isDirectory()) hits.push(...filesHolding(p, s));
    else if (readFileSync(p, 'utf8').includes(s)) hits.push(p);
  }
  return hits;
}
// Accepts the next confirmation and gives its text.
const confirmNext = (page) => new Promise((resolve) => page.once('dialog', (d) => { resolve(d.message()); d.accept(); }));

describe('versions', SUITE, () => {
  test('select all and type, restore the text from History, undo the restore, then empty the trash', async (t) => {
    const id = await t.server.save({ title: 'Plan', body: ORIGINAL });
    const page = await t.open({ clock: true });
    await openItem(page);
    await page.click('#body');
    await page.keyboard.press('Control+a');
    await page.keyboard.type('oops');
    await page.clock.runFor(800);
    await settled(page);
    assert.equal((await t.server.get(id)).body, 'oops');

    await page.click('#btnHistory');
    assert.equal(await page.getAttribute('#btnHistory', 'aria-expanded'), 'true');
    await until(() => page.locator('.hist-item').count(), 'the versions');
    assert.equal(await text(page, '.hist-item .m'), ORIGINAL.length + ' B → 4 B');
    await page.click('.hist-item');
    await until(() => page.locator('#histDiff .add').count(), 'the diff');
    assert.deepEqual(await page.locator('#histDiff .del').allTextContents(), ORIGINAL.split('\n').map((l) => '− ' + l));
    assert.deepEqual(await page.locator('#histDiff .add').allTextContents(), ['+ oops']);
    await until(async () => (await text(page, '#histRendered')).includes('line two'), 'the version rendered');

    await page.click('#btnRestoreVersion');
    await settled(page);
    assert.equal(await page.inputValue('#body'), ORIGINAL);
    assert.equal((await t.server.get(id)).body, ORIGINAL);
    const restore = JSON.parse((await calls(page, 'save')).at(-1).body);
    assert.equal(restore.keep, 1);
    assert.equal(restore.base, fnv('oops'));
    assert.equal(restore.base_title, 'Plan');

    assert.equal(await text(page, '#toastAct'), 'Undo');
    await page.click('#toastAct');
    await settled(page);
    assert.equal(await page.inputValue('#body'), 'oops');
    assert.equal((await t.server.get(id)).body, 'oops');
    const history = await t.server.call('history', { query: 'id=' + id });
    assert.deepEqual(history.versions.map((v) => v.size), [ORIGINAL.length, 4, ORIGINAL.length], 'every text on the way is kept');

    // Delete, then Empty trash: the confirmation names the note, and its text is in no file after.
    const asked = confirmNext(page);
    await page.click('#btnDel');
    await asked;
    await settled(page);
    await page.click('#btnTrash');
    await until(() => page.locator('.trash-item').count(), 'the trash view');
    assert.equal(await page.locator('.trash-item button', { hasText: 'Delete forever' }).count(), 1);
    const emptied = confirmNext(page);
    await page.click('text=Empty trash');
    assert.match(await emptied, /^Delete the note in the trash forever \("Plan"\)\?/);
    await settled(page);
    assert.equal(await text(page, '#trashView'), 'The trash is empty.');
    assert.deepEqual(filesHolding(t.server.notesDir, 'line two'), []);
  });

  test('text typed while the server is down stays in the browser and is recovered after a reload', async (t) => {
    const id = await t.server.save({ title: 'Diary', body: 'day one' });
    const page = await t.open({ clock: true });
    await openItem(page);
    await page.click('#body');
    await page.keyboard.press('End');
    await page.keyboard.type(', day two');
    await page.clock.runFor(800);
    await settled(page);
    assert.equal((await t.server.get(id)).body, 'day one, day two');
    const unsent = () => page.evaluate(() => Object.keys(localStorage).filter((k) => k.startsWith('orvik_notes_unsent_')));
    assert.deepEqual(await unsent(), [], 'a confirmed text is not kept');

    await t.server.halt();
    await page.keyboard.type(', day three');
    await page.clock.runFor(800);
    await settled(page);
    assert.ok(await visible(page, '#banner'));
    assert.match(await text(page, '#bannerMsg'), /cannot be reached.*sent again in 2 s\.$/);
    await page.clock.runFor(2000);
    await settled(page);
    assert.match(await text(page, '#bannerMsg'), /sent again in 4 s\.$/, 'the pause grows');
    assert.equal((await unsent()).length, 1);

    // The node comes back; the page is reloaded before it tried again, and its last save on the way
    // out fails as well, as with a node still out of reach. (Had it arrived, the recovered text would
    // be found on the server already and dropped.)
    await t.server.resume();
    await page.evaluate(() => {
      const f = window.fetch;
      window.fetch = (u, init) => (String(u).includes('action=save') ? Promise.reject(new TypeError('offline')) : f(u, init));
    });
    await page.reload();
    await until(async () => (await t.server.get(id)).body === 'day one, day two, day three', 'the recovered save');
    await settled(page);
    assert.match(await text(page, '#toastMsg'), /^Unsaved text from (a moment|\d+ min) ago was recovered$/);
    assert.equal(await page.inputValue('#body'), 'day one, day two, day three');
    assert.deepEqual(await unsent(), []);
    assert.equal((await t.server.list()).length, 1, 'the base matched: no conflicting copy');
  });
});
