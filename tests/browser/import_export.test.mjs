// Moving in and backing up through the page: a vault zipped by Info-ZIP zip, a folder of Markdown
// files with progress and Cancel, and a backup exported from one store imported into an empty one.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, rmSync, utimesSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, describe } from 'node:test';
import { hold, settled, startServer, SUITE, setup, until } from './support.mjs';

const test = setup();
const work = mkdtempSync(path.join(os.tmpdir(), 'notes-import-'));
after(() => rmSync(work, { recursive: true, force: true }));

// Writes files (relative path -> text or bytes, with an optional modification time) under dir.
function plant(dir, files) {
  for (const [rel, content, mtime] of files) {
    const p = path.join(dir, rel);
    mkdirSync(path.dirname(p), { recursive: true });
    writeFileSync(p, content);
    if (mtime) utimesSync(p, new Date(mtime), new Date(mtime));
  }
}
async function importFiles(page, input, files) {
  if (await page.locator('#importPanel.hidden').count()) await page.click('#btnImport');
  await page.setInputFiles(input, files);
}
const report = (page) => until(async () => {
  const t = await page.locator('#importReport p').textContent().catch(() => '');
  return t && page.locator('#importRun.hidden').count().then((n) => (n ? t : ''));
}, 'the import report');
const notesOf = async (server) => {
  const out = {};
  for (const n of await server.list()) out[n.title] = { ...n, body: (await server.get(n.id)).body };
  return out;
};

describe('import and export', SUITE, () => {
  test('a zipped vault arrives with titles and dates from front matter, headings and names', async (t) => {
    const vault = path.join(work, 'vault');
    plant(vault, [
      ['Vault/Daily/2024-01-01.md', 'went for a walk\n', '2024-01-01T20:00:00Z'],
      ['Vault/Projects/Über Plan.md', '---\ntitle: "Grand plan"\ncreated: 2023-05-01\nupdated: 2023-06-02T10:00:00Z\n---\n# Not this\nsteps\n'],
      ['Vault/Ideas/ideen.markdown', 'intro\n# Ideen für später\n- eins\n', '2022-02-02T02:02:02Z'],
      ['Vault/Ideas/broken.md', Buffer.from([0x63, 0x61, 0x66, 0xe9, 0x0a])],
      ['Vault/.obsidian/app.md', 'settings, hidden'],
      ['Vault/image.png', 'not a note'],
    ]);
    execFileSync('zip', ['-q', '-r', '-X', path.join(vault, 'vault.zip'), 'Vault'], { cwd: vault });
    plant(vault, [['secret.md', 'locked away']]);
    execFileSync('zip', ['-q', '-P', 'pw', path.join(vault, 'locked.zip'), 'secret.md'], { cwd: vault });
    const page = await t.open();
    await importFiles(page, '#importFile', [path.join(vault, 'vault.zip'), path.join(vault, 'locked.zip')]);
    assert.equal(await report(page), 'Imported 3 notes, skipped 0 as duplicates, refused 2. 1 other file was ignored.');
    assert.deepEqual(await page.locator('#importReport ul[aria-label="Refused"] li').allTextContents(),
      ['locked.zip: secret.md: encrypted', 'vault.zip: Vault/Ideas/broken.md: not valid UTF-8']);
    const got = await notesOf(t.server);
    assert.deepEqual(Object.keys(got).sort(), ['2024-01-01', 'Grand plan', 'Ideen für später']);
    assert.deepEqual([got['2024-01-01'].created, got['2024-01-01'].updated], ['2024-01-01T20:00:00Z', '2024-01-01T20:00:00Z']);
    assert.deepEqual([got['Grand plan'].created, got['Grand plan'].updated], ['2023-05-01T00:00:00Z', '2023-06-02T10:00:00Z']);
    assert.equal(got['Ideen für später'].updated, '2022-02-02T02:02:02Z');
    assert.match(got['Grand plan'].body, /^---\ntitle: "Grand plan"\n/, 'front matter is kept in the text');
    await until(async () => (await page.locator('#list .item').count()) === 3, 'the list to show the notes');

    await importFiles(page, '#importFile', path.join(vault, 'vault.zip'));
    assert.equal(await report(page), 'Imported 0 notes, skipped 3 as duplicates, refused 1. 1 other file was ignored.');
    assert.equal((await t.server.list()).length, 3);
  });

  test('a folder of Markdown files shows its progress and stops after the batch on its way when cancelled', async (t) => {
    const dir = path.join(work, 'folder');
    // 300 notes need two batches (250 notes at most each).
    plant(dir, Array.from({ length: 300 }, (_, i) => [`notes/n${String(i).padStart(3, '0')}.md`, `# Note ${i}\ntext ${i}\n`]));
    const page = await t.open();
    const held = await hold(page, 'import');
    await importFiles(page, '#importDir', path.join(dir, 'notes'));
    await until(() => held.count() === 1, 'the first batch');
    assert.equal(await page.locator('#importRun').isVisible(), true);
    assert.equal(await page.textContent('#importCount'), 'Importing 0 of 300');
    await page.click('#importCancel');
    await held.release();
    assert.equal(await report(page), 'Imported 250 notes, skipped 0 as duplicates, refused 0. Cancelled: 50 notes were not sent.');
    assert.equal(await page.getAttribute('#importReport', 'role'), 'status');
    assert.equal(held.count(), 1, 'no batch after Cancel');
    assert.equal((await t.server.list()).length, 250);
  });

  test('a backup exported from the page restores into an empty store with nothing lost', async (t) => {
    const notes = [
      { id: 'pinnedplan01', title: 'Plan: Q1/Q2 * "big"', body: 'ünïcode — 😀\r\n\ttabs\n', pinned: true, updated: '2024-03-01T08:00:00Z' },
      { id: 'emptytitle01', title: '', body: '', updated: '2024-02-01T08:00:00Z' },
      { id: 'twinnotesaa1', title: 'Twin', body: 'one', updated: '2024-01-02T08:00:00Z' },
      { id: 'twinnotesbb2', title: 'twin', body: 'two', updated: '2024-01-01T08:00:00Z' },
    ];
    t.server.seedFiles(notes);
    const page = await t.open();
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#btnExport')]);
    assert.match(download.suggestedFilename(), /^notes-\d{4}-\d\d-\d\d\.zip$/);
    const zip = path.join(work, 'backup.zip');
    await download.saveAs(zip);
    execFileSync('unzip', ['-tq', zip]);

    const empty = await startServer();
    try {
      const other = await t.open({ path: null });
      await other.goto(empty.base + '/plugin_notes');
      await settled(other);
      await importFiles(other, '#importFile', zip);
      assert.equal(await report(other), 'Imported 4 notes, skipped 0 as duplicates, refused 0.');
      assert.deepEqual(await notesOf(empty), await notesOf(t.server));
      assert.deepEqual((await empty.list()).map((n) => n.id), notes.map((n) => n.id));
    } finally {
      await empty.stop();
    }
  });
});
