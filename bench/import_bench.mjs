// Importing 2000 notes of 4 KiB through lighttpd from the page (a folder of Markdown files) against
// 2000 separate saves sent from the same page one after another, into empty stores in the same
// run. Writes its section of bench/RESULTS.md. Run by scripts/bench.sh.
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
process.env.NOTES_EXE ||= path.resolve(ROOT, process.env.BENCH_BUILD || 'build-bench', 'plugin_notes');
const { launchBrowser, startServer, until } = await import('../tests/browser/support.mjs');
const COUNT = Number(process.env.IMPORT_NOTES || 2000);
const RUNS = Number(process.env.IMPORT_RUNS || 3);

const text = (i) => `# Note ${i}\n\n` + 'alpha bravo charlie delta echo foxtrot golf hotel\n'.repeat(82).slice(0, 4096 - 16);
const folder = mkdtempSync(path.join(os.tmpdir(), 'notes-import-bench-'));
mkdirSync(path.join(folder, 'notes'));
for (let i = 0; i < COUNT; i++) writeFileSync(path.join(folder, 'notes', `n${i}.md`), text(i));

// Milliseconds for one way of bringing the notes into an empty store, checked by the count.
async function once(browser, how) {
  const server = await startServer();
  const ctx = await browser.newContext();
  try {
    const page = await ctx.newPage();
    await page.goto(server.base + '/plugin_notes');
    await page.waitForFunction(() => document.getElementById('count').textContent === '0 notes');
    let ms;
    if (how === 'import') {
      // Timed in the page, from the folder's arrival (the change event) to the report: the test
      // driver's own handing over of the files is no part of it.
      await page.click('#btnImport');
      await page.evaluate(() => {
        document.getElementById('importDir').addEventListener('change', () => { window.__t0 = performance.now(); });
        new MutationObserver(() => { if (!window.__t1) window.__t1 = performance.now(); })
          .observe(document.getElementById('importReport'), { childList: true });
      });
      await page.setInputFiles('#importDir', path.join(folder, 'notes'));
      await until(() => page.locator('#importReport p').count(), 'the import report', 600000);
      ms = await page.evaluate(() => window.__t1 - window.__t0);
    } else {
      const bodies = Array.from({ length: COUNT }, (_, i) => text(i));
      ms = await page.evaluate(async (all) => {
        const t0 = performance.now();
        for (const body of all) {
          const r = await fetch('/plugin_notes?action=save', { method: 'POST', headers: { 'Content-Type': 'application/json' },
            body: JSON.stringify({ title: body.slice(2, body.indexOf('\n')), body }) });
          if (!r.ok) throw new Error('save answered ' + r.status);
        }
        return performance.now() - t0;
      }, bodies);
    }
    const n = (await server.list()).length;
    if (n !== COUNT) throw new Error(`${how}: ${n} notes stored, not ${COUNT}`);
    return ms;
  } finally {
    await ctx.close();
    await server.stop();
  }
}

const median = (xs) => [...xs].sort((a, b) => a - b)[xs.length >> 1];
const browser = await launchBrowser();
const times = { import: [], saves: [] };
try {
  for (let r = 0; r < RUNS; r++) for (const how of ['import', 'saves']) times[how].push(await once(browser, how));
} finally {
  await browser.close();
  rmSync(folder, { recursive: true, force: true });
}
const imp = median(times.import), saves = median(times.saves);
const load = os.loadavg().map((x) => x.toFixed(1)).join(', ');
const section = `## Import through the page

Run of bench/import_bench.mjs on ${new Date().toISOString().slice(0, 16).replace('T', ' ')} UTC: headless Chromium through lighttpd,
${COUNT} notes of 4 KiB into an empty store, medians of ${RUNS} runs each, load average at the end ${load}.

| Case | ms | Baseline | ms | Ratio | Goal |
|---|---:|---|---:|---:|---|
| import of a folder from the page | ${Math.round(imp)} | ${COUNT} saves from the page, one after another | ${Math.round(saves)} | ${(imp / saves).toFixed(3)} | at most 0.1 |

Runs (ms): import ${times.import.map(Math.round).join(', ')}; saves ${times.saves.map(Math.round).join(', ')}.
`;
process.stdout.write(section);
const file = process.env.BENCH_RESULTS || path.join(ROOT, 'bench/RESULTS.md');
const old = existsSync(file) ? readFileSync(file, 'utf8') : '# Benchmark results\n';
const at = old.indexOf('## Import through the page');
const rest = at < 0 ? '' : old.slice(at).replace(/^## Import through the page[\s\S]*?(?=^## |(?![\s\S]))/m, '');
writeFileSync(file, (at < 0 ? old.trimEnd() : old.slice(0, at).trimEnd()) + '\n\n' + section + (rest ? '\n' + rest : ''));
