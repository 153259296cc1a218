// The page document as the executable writes it: one fixed response whatever the query, the theme
// blocks in their places, and markup that passes the Nu Html Checker with no error.
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, describe, it } from 'node:test';
import { EXE, ROOT } from './support.mjs';

const tmp = mkdtempSync(path.join(os.tmpdir(), 'notes-doc-'));
after(() => rmSync(tmp, { recursive: true, force: true }));

function pageFor(query, extraEnv = {}) {
  const env = { PATH: process.env.PATH, REQUEST_METHOD: 'GET', QUERY_STRING: query,
    NOTES_DIR: path.join(tmp, 'never-created'), ...extraEnv };
  const r = spawnSync(EXE, [], { env });
  assert.equal(r.status, 0);
  return r.stdout;
}
const split = (buf) => {
  const at = buf.indexOf('\r\n\r\n');
  return { head: buf.subarray(0, at + 4).toString('latin1'), body: buf.subarray(at + 4) };
};
const asset = (name) => readFileSync(path.join(ROOT, 'assets', name));

describe('page response', () => {
  it('is byte-identical for any query string and touches no storage', () => {
    const plain = pageFor('');
    for (const q of ['theme=light', 'embed=1&theme=dark', 'node=home&id=panel&pwd=x&plugin=plugin_notes', 'q=%00%zz']) {
      assert.ok(plain.equals(pageFor(q)), `query ${q} changed the page`);
    }
    assert.ok(plain.equals(pageFor('', { CONTENT_LENGTH: '5' })));
    assert.ok(!existsSync(path.join(tmp, 'never-created')), 'the page request created the notes folder');
  });

  it('starts with the fixed header block and no status line', () => {
    const { head } = split(pageFor(''));
    assert.equal(head,
      'Content-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n' +
      'X-Frame-Options: SAMEORIGIN\r\nContent-Security-Policy: default-src \'none\'; script-src \'unsafe-inline\'; ' +
      'style-src \'unsafe-inline\'; img-src data:; connect-src \'self\'; form-action \'none\'; base-uri \'none\'\r\n\r\n');
  });

  it('puts the theme head block after the title and the bridge before the closing tags', () => {
    const { body } = split(pageFor(''));
    const html = body.toString('utf8');
    assert.ok(!body.includes(1) && !body.includes(2), 'a marker byte was written');
    const head = asset('theme_head.html').toString('utf8');
    const bridge = asset('theme_bridge.html').toString('utf8');
    assert.ok(html.includes('<title>notes</title>\n' + head + '\n<style>'));
    assert.ok(html.endsWith('</script>\n' + bridge + '</body></html>\n'));
    const order = ['<meta charset="utf-8">', '<meta name="viewport" content="width=device-width,initial-scale=1">',
      '<title>notes</title>', '<script>', '<style>'];
    const at = order.map((s) => html.indexOf(s));
    assert.deepEqual([...at].sort((a, b) => a - b), at);
  });
});

describe('assets', () => {
  it('the template holds each marker once, on its own line, and no other control byte but line feed', () => {
    const page = asset('page.html');
    const controls = [...page].filter((b) => b < 32 && b !== 10);
    assert.deepEqual(controls, [1, 2]);
    const text = page.toString('latin1');
    assert.ok(text.includes('<title>notes</title>\n\x01\n<style>'));
    assert.ok(text.endsWith('</script>\n\x02</body></html>\n'));
  });

  it('the head block is a script then a style ending "</style>", the bridge one script ending in a line feed', () => {
    const head = asset('theme_head.html').toString('utf8');
    assert.match(head, /^<script>[\s\S]*<\/script>\n<style>[\s\S]*<\/style>$/);
    assert.equal(head.match(/<script>/g).length, 1);
    const bridge = asset('theme_bridge.html').toString('utf8');
    assert.match(bridge, /^<script>[\s\S]*<\/script>\n$/);
    assert.equal(bridge.match(/<script>/g).length, 1);
  });
});

describe('Nu Html Checker', () => {
  it('finds no error in the served document', () => {
    const java = 'java';
    try {
      execFileSync(java, ['-version'], { stdio: 'ignore' });
    } catch {
      assert.fail('java is missing: run `make deps`');
    }
    const jar = path.join(ROOT, 'node_modules/vnu-jar/build/dist/vnu.jar');
    const file = path.join(tmp, 'page.html');
    writeFileSync(file, split(pageFor('')).body);
    const r = spawnSync(java, ['-jar', jar, '--errors-only', '--format', 'text', file], { encoding: 'utf8' });
    assert.equal(r.status, 0, r.stderr + r.stdout);
  });
});
