// The node password and the forwarded page parameters: where the page finds the password, how it
// sends it, what a refusal looks like, and the two route forms of the API addresses.
import assert from 'node:assert/strict';
import { describe } from 'node:test';
import { calls, settled, SUITE, setup, text } from './support.mjs';

const PASSWORD = 'p&ss w+rd';
const ENCODED = encodeURIComponent(PASSWORD);
const test = setup({ password: PASSWORD });

// Watches what reaches the network (not just what the script asked for).
function wire(page) {
  const seen = [];
  page.on('request', (r) => {
    const u = new URL(r.url());
    if (u.searchParams.has('action')) seen.push({ url: u.pathname + u.search, header: r.headers()['x-orvik-password'] });
  });
  return seen;
}
// The page itself is behind the password too; these tests hand it over for the document only.
const documentOnly = (page) => page.route((u) => !u.searchParams.has('action') && u.pathname === '/plugin_notes',
  (route) => route.continue({ headers: { ...route.request().headers(), 'x-orvik-password': PASSWORD } }));

describe('password from the page URL', SUITE, () => {
  test('is sent with every request as the pwd parameter and the X-Orvik-Password header', async (t) => {
    const id = await t.server.save({ title: 'Locked', body: 'inside' });
    const page = await t.open({ path: null, clock: true });
    const seen = wire(page);
    await page.goto(`${t.server.base}/plugin_notes?pwd=${ENCODED}`);
    await settled(page);
    await page.click('.item');
    await page.waitForFunction(() => document.getElementById('body').value === 'inside');
    await page.keyboard.press('Control+s');
    await settled(page);
    assert.deepEqual(seen.map((s) => s.url), [
      `/plugin_notes?action=list&pwd=${ENCODED}`,
      `/plugin_notes?action=get&id=${id}&pwd=${ENCODED}`,
      `/plugin_notes?action=save&pwd=${ENCODED}`,
      `/plugin_notes?action=list&pwd=${ENCODED}`,
    ]);
    assert.ok(seen.every((s) => s.header === PASSWORD));
    assert.equal(await text(page, '#state'), 'saved');
  });
});

describe('password fall-backs in local storage', SUITE, () => {
  test('takes "orvik_pwd_" + node first, then "orvik_active_pwd"; an empty value counts as none', async (t) => {
    const page = await t.open({ path: null, storage: { orvik_pwd_home: PASSWORD, orvik_active_pwd: 'wrong' } });
    await documentOnly(page);
    const seen = wire(page);
    await page.goto(`${t.server.base}/plugin_notes?node=home`);
    await settled(page);
    assert.deepEqual(seen[0], { url: `/plugin_notes?action=list&node=home&pwd=${ENCODED}`, header: PASSWORD });
    assert.equal(await text(page, '#toast'), '');

    await page.evaluate((p) => { localStorage.setItem('orvik_pwd_home', ''); localStorage.setItem('orvik_active_pwd', p); }, PASSWORD);
    await page.reload();
    await settled(page);
    assert.deepEqual(seen.at(-1), { url: `/plugin_notes?action=list&node=home&pwd=${ENCODED}`, header: PASSWORD });

    await page.goto(`${t.server.base}/plugin_notes?node=work`);
    await settled(page);
    assert.equal(seen.at(-1).header, PASSWORD, 'another node falls back to the active password');
    assert.deepEqual(await page.evaluate(() => [localStorage.getItem('orvik_pwd_home'), localStorage.getItem('orvik_active_pwd')]),
      ['', PASSWORD], 'the page never writes the password keys');
  });

  test('without node only "orvik_active_pwd" is looked at', async (t) => {
    const page = await t.open({ path: null, storage: { orvik_pwd_: 'wrong', orvik_active_pwd: PASSWORD } });
    await documentOnly(page);
    const seen = wire(page);
    await page.goto(`${t.server.base}/plugin_notes`);
    await settled(page);
    assert.equal(seen[0].header, PASSWORD);
  });

  test('a refused first list shows "Could not load notes: HTTP 401" and "0 notes"', async (t) => {
    await t.server.save({ title: 'Hidden', body: '' });
    const page = await t.open({ path: null });
    await documentOnly(page);
    const seen = wire(page);
    await page.goto(`${t.server.base}/plugin_notes`);
    await settled(page);
    assert.deepEqual(seen, [{ url: '/plugin_notes?action=list', header: undefined }], 'no password anywhere: neither form');
    assert.equal(await text(page, '#toast'), 'Could not load notes: HTTP 401');
    assert.equal(await text(page, '#count'), '0 notes');
    assert.equal(await page.locator('.item').count(), 0);
  });
});

describe('forwarded parameters and route forms', SUITE, () => {
  test('forwards node and id after the action\'s own id, and the server takes the note id', async (t) => {
    const id = await t.server.save({ title: 'Panel', body: 'from the panel' });
    const page = await t.open({ query: `node=home&id=panel&pwd=${ENCODED}` });
    await page.click('.item');
    await page.waitForFunction(() => document.getElementById('body').value === 'from the panel');
    const urls = (await calls(page)).map((c) => c.url);
    assert.equal(urls[0], `/plugin_notes?action=list&node=home&id=panel&pwd=${ENCODED}`);
    assert.equal(urls[1], `/plugin_notes?action=get&id=${id}&node=home&id=panel&pwd=${ENCODED}`);
    assert.ok(urls.every((u) => u.includes('&id=panel&pwd=')));
  });

  test('uses the hub route when the page came through the hub', async (t) => {
    const page = await t.open({ path: '/plugins', query: `plugin=plugin_notes&node=home&pwd=${ENCODED}` });
    const [list] = await calls(page);
    assert.equal(list.url, `/plugins?plugin=plugin_notes&action=list&node=home&pwd=${ENCODED}`);
    assert.equal(await text(page, '#toast'), '');
  });
});
