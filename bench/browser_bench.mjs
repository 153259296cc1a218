// The editor page with 2000 notes in headless Chromium, against the same page with 30 notes in the
// same run: first list paint, opening a note, the longest tasks while typing through an autosave,
// and a mobile Lighthouse audit. Writes its section of bench/RESULTS.md. Run by scripts/bench.sh.
import { existsSync, readFileSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
process.env.NOTES_EXE ||= path.resolve(ROOT, process.env.BENCH_BUILD || 'build-bench', 'plugin_notes');
const { launchBrowser, startServer, until } = await import('../tests/browser/support.mjs');
const RUNS = Number(process.env.BROWSER_RUNS || 7);
// A new headless tab spends its first few hundred milliseconds loading the browser's own pages on
// both cores; the navigation waits this long so that the figures are the editor's, not the tab's.
const SETTLE_MS = Number(process.env.BROWSER_SETTLE_MS ?? 1000);
const AUDITS = Number(process.env.AUDIT_RUNS || 3);
const WORDS = 'alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima mike'.split(' ');

// Deterministic notes: every 50th pinned, updated times spread over the last month so the list
// shows every kind of relative date.
function seed(server, count) {
  const now = Date.now();
  const notes = [];
  for (let i = 0; i < count; i++) {
    const w = (k) => WORDS[(i * 7 + k * 3) % WORDS.length];
    notes.push({ id: 'n' + String(i).padStart(11, '0'), title: `${w(0)} ${w(1)} ${w(2)} ${i}`,
      body: `# Note ${i}\n\n${w(3)} **${w(4)}** text\n`, pinned: i % 50 === 0,
      updated: new Date(now - i * 1500 * 1000).toISOString().replace(/\.\d+Z$/, 'Z') });
  }
  notes.sort((a, b) => (b.pinned - a.pinned) || (a.updated < b.updated ? 1 : -1));
  server.seedFiles(notes);
  return notes;
}

// The floor of this browser and server: a bare page that asks for the same list answer as its first
// act and draws the first 60 titles, with no style sheet, no date formatting and nothing else.
const BARE = `<!doctype html><html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width,initial-scale=1"><title>bare</title></head><body>
<div id="list"></div><script>
fetch('/plugin_notes?action=list').then((r) => r.json()).then((r) => {
  const l = document.getElementById('list');
  for (const n of r.notes.slice(0, 60)) {
    const b = document.createElement('button');
    b.textContent = n.title;
    l.append(b);
  }
});
</script></body></html>
`;

// In the page: the first frame that shows list rows, the frame that shows an opened note's text
// after a click, and every task over 50 ms.
const PROBE = `(() => {
  window.__long = [];
  try {
    new PerformanceObserver((l) => { for (const e of l.getEntries()) window.__long.push(e.duration); })
      .observe({ type: 'longtask', buffered: true });
  } catch (e) {}
  const afterFrame = (f) => requestAnimationFrame(() => setTimeout(f, 0));
  const firstRows = () => {
    const l = document.getElementById('list');
    if (l && l.firstElementChild) afterFrame(() => { window.__firstList = performance.now(); });
    else requestAnimationFrame(firstRows);
  };
  requestAnimationFrame(firstRows);
  document.addEventListener('click', () => { window.__clickAt = performance.now(); }, true);
  // Search: when the search request left, and the frame after the list shows a given count.
  const fetch0 = window.fetch;
  window.fetch = function (u) {
    if (String(u).includes('action=search')) window.__searchAt = performance.now();
    return fetch0.apply(this, arguments);
  };
  window.__waitCount = (want) => new Promise((resolve) => {
    const from = performance.now();
    const look = () => {
      const c = document.getElementById('count');
      if (c && c.textContent === want && window.__searchAt) afterFrame(() => resolve(performance.now() - window.__searchAt));
      else if (performance.now() - from > 30000) resolve(NaN);
      else requestAnimationFrame(look);
    };
    look();
  });
  window.__waitText = (want) => new Promise((resolve) => {
    const from = performance.now();
    const look = () => {
      if (document.getElementById('body').value === want) afterFrame(() => resolve(performance.now() - window.__clickAt));
      else if (performance.now() - from > 30000) resolve(NaN);
      else requestAnimationFrame(look);
    };
    look();
  });
})();`;

const log = (...a) => process.stderr.write(a.join(' ') + '\n');
// Median of the measurements that completed (an opening not shown within 30 s gives NaN).
const median = (xs) => {
  const ok = xs.filter((x) => !Number.isNaN(x)).sort((a, b) => a - b);
  return ok.length ? ok[Math.floor(ok.length / 2)] : NaN;
};

async function measure(browser, count, opts) {
  const server = await startServer();
  try {
    const notes = seed(server, count);
    const ctx = await browser.newContext({ viewport: { width: 1100, height: 720 } });
    writeFileSync(path.join(server.dir, 'www', 'bare.html'), BARE);
    const firstPaint = [], openEarly = [], open = [], barePaint = [];
    let longDuringTyping = [];
    // The row is scrolled into view first and the click comes two frames later, as when a person
    // scrolls and then clicks: otherwise the scroll's drawing would be counted as the opening's.
    const openNote = async (page, n) => {
      const row = page.locator(`.item[data-id="${n.id}"]`);
      await row.scrollIntoViewIfNeeded();
      await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
      const shown = page.evaluate((want) => window.__waitText(want), n.body);
      await row.click();
      return shown;
    };
    for (let r = 0; r < RUNS; r++) {
      const page = await ctx.newPage();
      await page.addInitScript(PROBE);
      if (SETTLE_MS) await page.waitForTimeout(SETTLE_MS);
      await page.goto(server.base + '/plugin_notes');
      firstPaint.push(await until(() => page.evaluate(() => window.__firstList), 'first list paint', 60000));
      // One note opened at once, while a long list is still being drawn; two more once every row is in.
      openEarly.push(await openNote(page, notes[(3 + r) % notes.length]));
      await until(() => page.evaluate((c) => document.querySelectorAll('#list .item').length === c, notes.length),
        'the whole list', 60000);
      for (const k of [7, 11]) open.push(await openNote(page, notes[(k + r) % notes.length]));
      log(`${count} notes, load ${r + 1}: first paint ${firstPaint.at(-1).toFixed(1)} ms, open while drawing ` +
        `${openEarly.at(-1).toFixed(1)} ms, open ${open.slice(-2).map((x) => x.toFixed(1)).join(' ')} ms`);
      if (r === RUNS - 1 && opts.typing) {
        // Type through three autosaves, each followed by the list reload. Last, because the typed
        // text changes the note that later openings would wait for.
        await page.evaluate(() => { window.__long = []; });
        for (let s = 0; s < 3; s++) {
          await page.locator('#body').pressSequentially(' more words', { delay: 40 });
          await until(() => page.evaluate(() => document.getElementById('state').className === 'state ok'), 'autosave', 60000);
          await page.waitForTimeout(300);
        }
        longDuringTyping = await page.evaluate(() => window.__long);
      }
      await page.close();
      const bare = await ctx.newPage();
      await bare.addInitScript(PROBE);
      if (SETTLE_MS) await bare.waitForTimeout(SETTLE_MS);
      await bare.goto(server.base + '/bare.html');
      barePaint.push(await until(() => bare.evaluate(() => window.__firstList), 'bare page paint', 60000));
      await bare.close();
    }
    await ctx.close();
    return { firstPaint: median(firstPaint), barePaint: median(barePaint), openEarly: median(openEarly), open: median(open),
      longDuringTyping };
  } finally {
    await server.stop();
  }
}

// Typing a search term at 2000 notes, answered plainly (the page's request rewritten without
// smart=1) and as smart search with snippets, alternating: from the search request to the frame
// with the results, and every task over 50 ms while typing and drawing.
async function measureSearch(browser, count) {
  const server = await startServer();
  try {
    seed(server, count);
    const term = 'alpha';
    const want = (await server.call('search', { query: 'q=' + term })).count;
    const ctx = await browser.newContext({ viewport: { width: 1100, height: 720 } });
    const page = await ctx.newPage();
    await page.addInitScript(PROBE);
    if (SETTLE_MS) await page.waitForTimeout(SETTLE_MS);
    await page.goto(server.base + '/plugin_notes');
    await until(() => page.evaluate((c) => document.querySelectorAll('#list .item').length === c, count), 'the list', 60000);
    const paint = { plain: [], smart: [] }, long = { plain: [], smart: [] };
    let plain = false;
    await page.route((u) => u.searchParams.get('action') === 'search', (route) =>
      route.continue(plain ? { url: route.request().url().replace('smart=1&', '') } : undefined));
    for (let r = 0; r < RUNS * 2; r++) {
      plain = r % 2 === 0;
      await page.fill('#q', '');
      await until(() => page.evaluate((c) => document.getElementById('count').textContent === c + ' notes', count), 'full list', 60000);
      await page.waitForTimeout(300);
      await page.evaluate(() => { window.__long = []; window.__searchAt = 0; });
      await page.locator('#q').pressSequentially(term, { delay: 40 });
      const t = await page.evaluate((c) => window.__waitCount(c + ' notes'), want);
      await page.waitForTimeout(200);
      long[plain ? 'plain' : 'smart'].push(...await page.evaluate(() => window.__long));
      paint[plain ? 'plain' : 'smart'].push(t);
      log(`search ${plain ? 'plain' : 'smart'} ${r}: results painted ${t.toFixed(1)} ms after the request`);
    }
    await ctx.close();
    return { plain: median(paint.plain), smart: median(paint.smart), long, want };
  } finally {
    await server.stop();
  }
}

async function audit(count) {
  const { default: lighthouse } = await import('lighthouse');
  const chromeLauncher = await import('chrome-launcher');
  const server = await startServer();
  const runs = [];
  try {
    seed(server, count);
    for (let i = 0; i < AUDITS; i++) {
      const chrome = await chromeLauncher.launch({ chromePath: process.env.CHROMIUM || '/usr/bin/chromium',
        chromeFlags: ['--headless=new', '--no-sandbox', '--disable-gpu'], logLevel: 'silent' });
      try {
        const r = await lighthouse(server.base + '/plugin_notes', { port: chrome.port, logLevel: 'error',
          onlyCategories: ['performance', 'accessibility', 'best-practices'] });
        // A category whose audits failed to run has no score (seen when the machine is very busy).
        const lhr = r.lhr, score = (c) => (lhr.categories[c].score === null ? 'no score' : Math.round(lhr.categories[c].score * 100));
        const failed = Object.values(lhr.audits).filter((a) => a.score !== null && a.score < 1 &&
          ['binary', 'numeric'].includes(a.scoreDisplayMode) && !['metrics'].includes(a.id)).map((a) => a.id);
        log(`audit ${i + 1}: performance ${score('performance')}, accessibility ${score('accessibility')}, best practices ${score('best-practices')}`);
        runs.push({ perf: score('performance'), a11y: score('accessibility'), bp: score('best-practices'),
          tbt: lhr.audits['total-blocking-time'].numericValue, lcp: lhr.audits['largest-contentful-paint'].numericValue,
          dom: lhr.audits['dom-size'].numericValue, failed });
      } finally {
        await chrome.kill();
      }
    }
  } finally {
    await server.stop();
  }
  runs.sort((a, b) => a.perf - b.perf);
  return { ...runs[Math.floor(runs.length / 2)], perfs: runs.map((x) => x.perf) };
}

const browser = await launchBrowser();
const big = await measure(browser, 2000, { typing: true });
const small = await measure(browser, 30, { typing: false });
const search = await measureSearch(browser, 2000);
await browser.close();
const lh = await audit(2000);

const ms = (x) => x.toFixed(1);
const longest = big.longDuringTyping.length ? ms(Math.max(...big.longDuringTyping)) + ' ms' : 'none over 50 ms';
const rows = [
  ['first list paint (navigation to the frame with rows)', ms(big.firstPaint), ms(small.firstPaint), 'under 150 ms'],
  ['first list paint of the bare page (the floor: same answer, 60 titles, nothing else)', ms(big.barePaint), ms(small.barePaint), '(baseline)'],
  ['open a note (click to the frame with its text)', ms(big.open), ms(small.open), 'under 60 ms'],
  ['open a note just after the first rows show, while the rest are drawn', ms(big.openEarly), ms(small.openEarly), '(no goal)'],
];
const date = new Date().toISOString().slice(0, 16).replace('T', ' ');
const section = `## Editor page in the browser

Run of \`make bench\` on ${date} UTC: headless Chromium through lighttpd, ${RUNS} page loads per size
(medians), the same page with 30 notes as the baseline. Each load starts ${SETTLE_MS} ms after its tab
opened, opens one note as soon as the first rows show, and two more once the whole list is drawn.

| Case | 2000 notes (ms) | 30 notes (ms) | Ratio | Goal at 2000 |
|---|---:|---:|---:|---|
${rows.map(([c, a, b, g]) => `| ${c} | ${a} | ${b} | ${(a / b).toFixed(2)} | ${g} |`).join('\n')}

Typing through three autosaves and their list reloads at 2000 notes: ${big.longDuringTyping.length} tasks over
50 ms (longest: ${longest}); goal: none.

Typing the search term "alpha" at 2000 notes (${search.want} results), ${RUNS} times each way, alternating:
the results painted ${ms(search.smart)} ms after the search request as smart search with snippets, and
${ms(search.plain)} ms as the plain answer: ratio ${(search.smart / search.plain).toFixed(2)} (goal: at most 1.5).
Tasks over 50 ms while typing and drawing the results: ${search.long.smart.length} for the smart ones${
  search.long.smart.length ? ' (longest ' + ms(Math.max(...search.long.smart)) + ' ms)' : ''}, ${search.long.plain.length} for the
plain ones${search.long.plain.length ? ' (longest ' + ms(Math.max(...search.long.plain)) + ' ms)' : ''}; goal: none.

Lighthouse 12, mobile profile (simulated throttling), 2000 notes, median of ${AUDITS} audits by performance
(performance scores seen: ${lh.perfs.join(', ')}):

| Category | Score | Goal |
|---|---:|---|
| performance | ${lh.perf} | 95 or above |
| accessibility | ${lh.a11y} | 100 |
| best practices | ${lh.bp} | 100 |

Total blocking time ${Math.round(lh.tbt)} ms, largest contentful paint ${Math.round(lh.lcp)} ms, ${lh.dom} DOM elements.
Audits below full score: ${lh.failed.length ? lh.failed.join(', ') : 'none'}.
`;
process.stdout.write(section);
const file = process.env.BENCH_RESULTS || path.join(ROOT, 'bench/RESULTS.md');
const old = existsSync(file) ? readFileSync(file, 'utf8') : '# Benchmark results\n';
const at = old.indexOf('## Editor page in the browser');
const rest = at < 0 ? '' : old.slice(at).replace(/^## Editor page in the browser[\s\S]*?(?=^## |(?![\s\S]))/m, '');
writeFileSync(file, (at < 0 ? old.trimEnd() : old.slice(0, at).trimEnd()) + '\n\n' + section + (rest ? '\n' + rest : ''));
