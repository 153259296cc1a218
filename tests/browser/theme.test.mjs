// Theme and embedding: the theme chosen by URL, stored choice or system preference, embed mode,
// the toggle, and the messages a same-origin hub page that frames the editor exchanges with it.
import assert from 'node:assert/strict';
import { describe } from 'node:test';
import { settled, SUITE, setup, until } from './support.mjs';

const test = setup();
const theme = (frame) => frame.evaluate(() => document.documentElement.getAttribute('data-theme'));
const stored = (frame) => frame.evaluate(() => localStorage.getItem('orvik_theme'));
const bodyColour = (frame) => frame.evaluate(() => getComputedStyle(document.body).backgroundColor);

describe('theme choice at load', SUITE, () => {
  test('a theme in the URL wins over the stored one and replaces it', async (t) => {
    const page = await t.open({ query: 'theme=light', storage: { orvik_theme: 'dark' }, colorScheme: 'dark' });
    assert.equal(await theme(page), 'light');
    assert.equal(await stored(page), 'light');
    assert.equal(await bodyColour(page), 'rgb(245, 245, 247)');
  });

  test('ignores theme=Dark, takes theme=darker as dark, and looks after ? or & only', async (t) => {
    const page = await t.open({ query: 'theme=Dark', storage: { orvik_theme: 'light' }, colorScheme: 'dark' });
    assert.equal(await theme(page), 'light');
    await page.goto(t.server.base + '/plugin_notes?x=1&theme=darker');
    assert.equal(await theme(page), 'dark');
    await page.goto(t.server.base + '/plugin_notes?xtheme=light');
    assert.equal(await theme(page), 'dark', 'the stored choice decides');
  });

  test('without URL or stored choice follows the system preference and remembers it', async (t) => {
    const page = await t.open({ colorScheme: 'light' });
    assert.equal(await theme(page), 'light');
    assert.equal(await stored(page), 'light');
    const dark = await t.open({ colorScheme: 'dark' });
    assert.equal(await theme(dark), 'dark');
    assert.equal(await stored(dark), 'dark');
    assert.equal(await bodyColour(dark), 'rgb(0, 0, 0)');
  });
});

describe('embed mode', SUITE, () => {
  test('embed=1 or embed=true, ended by & or the end of the query, hides the theme toggle', async (t) => {
    const page = await t.open();
    for (const [query, embedded] of [
      ['embed=1', true], ['theme=dark&embed=true&node=x', true], ['a=1&embed=1', true],
      ['embed=10', false], ['embed=1x', false], ['embed=TRUE', false], ['xembed=1', false],
    ]) {
      await page.goto(t.server.base + '/plugin_notes?' + query);
      const isEmbedded = await page.evaluate(() => document.documentElement.classList.contains('embedded'));
      assert.equal(isEmbedded, embedded, query);
      assert.equal(await page.isVisible('#btnTheme'), !embedded, query);
      assert.ok(await page.isVisible('#count'));
    }
  });

  test('keeps the count at the left of the footer when the toggle is hidden', async (t) => {
    const page = await t.open({ query: 'embed=1' });
    const foot = await page.locator('.side-ft').boundingBox();
    const count = await page.locator('#count').boundingBox();
    assert.ok(count.x - foot.x <= 13, 'count is at the left edge');
  });
});

describe('theme toggle', SUITE, () => {
  test('switches between dark and light, recolours the page at once and is remembered', async (t) => {
    const page = await t.open({ colorScheme: 'dark' });
    const events = await page.evaluateHandle(() => {
      const seen = [];
      addEventListener('orvik-theme', (e) => seen.push(e.detail));
      return seen;
    });
    await page.click('#btnTheme');
    assert.equal(await theme(page), 'light');
    assert.deepEqual(await events.jsonValue(), ['light']);
    assert.equal(await bodyColour(page), 'rgb(245, 245, 247)');
    assert.equal(await page.evaluate(() => getComputedStyle(document.getElementById('side')).backgroundColor),
      'rgb(255, 255, 255)');
    await page.reload();
    assert.equal(await theme(page), 'light');
    await page.click('#btnTheme');
    assert.equal(await theme(page), 'dark');
    assert.equal(await stored(page), 'dark');
  });
});

// A same-origin page standing in for the hub: it frames the editor through the hub route and
// answers the editor's theme request.
const HUB = `<!doctype html><html lang="en"><head><title>hub</title></head><body>
<script>
window.asked = 0;
addEventListener('message', (e) => {
  if (e.data && e.data.type === 'zq-theme-request') { window.asked++; e.source.postMessage({ type: 'zq-theme', theme: 'light' }, '*'); }
});
</script>
<iframe id="f" title="notes" src="/plugins?plugin=plugin_notes&node=home" width="900" height="600"></iframe>
</body></html>`;

const WATCH_THEME = `(() => {
  window.__themeEvents = [];
  window.__themeWrites = 0;
  addEventListener('orvik-theme', (e) => window.__themeEvents.push(e.detail));
  const set = Storage.prototype.setItem;
  Storage.prototype.setItem = function (k, v) {
    if (k === 'orvik_theme') window.__themeWrites++;
    return set.call(this, k, v);
  };
  window.__heard = [];
  addEventListener('message', (e) => window.__heard.push(e.data && e.data.type));
})();`;

describe('inside a hub frame', SUITE, () => {
  async function openHub(t, colorScheme = 'dark') {
    const id = await t.server.save({ title: 'From the hub', body: '' });
    const page = await t.open({ path: null, colorScheme, init: WATCH_THEME });
    await page.route(t.server.base + '/hub', (r) => r.fulfill({ contentType: 'text/html', body: HUB }));
    await page.goto(t.server.base + '/hub');
    const frame = await until(() => page.frames().find((f) => f.url().includes('/plugins?')), 'the editor frame');
    await frame.waitForSelector('.item');
    await settled(frame);
    return { page, frame, id };
  }

  test('asks the hub once, takes its theme and loads through the hub route', async (t) => {
    const { page, frame } = await openHub(t, 'dark');
    await until(async () => (await theme(frame)) === 'light', 'the hub theme to apply');
    assert.equal(await page.evaluate(() => window.asked), 1);
    assert.equal(await stored(frame), 'light');
    assert.deepEqual(await frame.evaluate(() => window.__themeEvents), ['light']);
    const urls = await frame.evaluate(() => window.__calls.map((c) => c.url));
    assert.deepEqual(urls, ['/plugins?plugin=plugin_notes&action=list&node=home']);
    assert.equal(await frame.textContent('.item .t'), 'From the hub');
  });

  test('applies only "zq-theme" messages with a known theme, and a repeated theme changes nothing', async (t) => {
    const { page, frame } = await openHub(t, 'dark');
    await until(async () => (await theme(frame)) === 'light', 'the hub theme to apply');
    const writesBefore = await frame.evaluate(() => window.__themeWrites);
    await page.evaluate(() => {
      const w = document.getElementById('f').contentWindow;
      w.postMessage({ type: 'zq-theme', theme: 'light' }, '*');
      w.postMessage({ type: 'zq-theme', theme: 'blue' }, '*');
      w.postMessage({ type: 'other', theme: 'dark' }, '*');
      w.postMessage('zq-theme', '*');
      w.postMessage({ type: 'zq-theme', theme: 'dark' }, '*');
    });
    // Messages arrive in order, so once dark is in force the earlier ones have been handled.
    await until(async () => (await theme(frame)) === 'dark', 'the last message');
    assert.deepEqual(await frame.evaluate(() => window.__themeEvents), ['light', 'dark']);
    assert.equal(await frame.evaluate(() => window.__themeWrites), writesBefore + 1);
  });

  test('a page opened at top level sends no theme request', async (t) => {
    const page = await t.open({ init: WATCH_THEME });
    await page.evaluate(() => postMessage({ type: 'probe' }, '*'));
    // A request posted at load would have arrived before the probe.
    await until(() => page.evaluate(() => window.__heard.includes('probe')), 'the probe');
    assert.deepEqual(await page.evaluate(() => window.__heard), ['probe']);
    assert.equal(await page.evaluate(() => typeof window.zqApplyTheme + typeof window.zqTheme), 'functionfunction');
  });
});
