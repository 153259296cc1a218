#!/usr/bin/env python3
"""Search benchmarks against `LC_ALL=C grep -rFil` over the same files in one run: smart search
(smart=1) with no match and with a hit in every note, the plain search over random words with one
large mixed note among them, and the peak memory of both searches over 2000 notes of 512 KiB.
Writes its section of bench/RESULTS.md. Run by scripts/bench.sh after run_bench.py."""
import os
import random
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_bench import ROOT, RUNS, WARM, check, cgi_env, machine, mixed_markdown, run, words  # noqa: E402

EXE = os.path.join(os.environ.get("BENCH_BUILD", os.path.join(ROOT, "build-bench")), "plugin_notes")


def make_notes(folder, count, body_bytes, rng, mark=None):
    """count notes of random words, body_bytes each (mark, when given, in the middle of every body)."""
    os.makedirs(os.path.join(folder, ".trash"), exist_ok=True)
    lines = []
    for i in range(count):
        nid = "n%011d" % i
        text = ""
        while len(text) < body_bytes:
            text += words(rng, 12) + "\n"
        text = text[:body_bytes]
        if mark:
            text = text[:body_bytes // 2] + " " + mark + " " + text[body_bytes // 2:]
        with open(os.path.join(folder, nid + ".md"), "w", encoding="utf-8") as f:
            f.write(text)
        lines.append('  {"id":"%s","title":"%s","pinned":%d,"created":"2024-01-01T00:00:00Z",'
                     '"updated":"2024-01-%02dT00:00:00Z"}' % (nid, words(rng, 4), i % 50 == 0, 1 + i % 28))
    with open(os.path.join(folder, "index.json"), "w") as f:
        f.write('{"version":1,"notes":[\n' + ",\n".join(lines) + "\n]}\n")


ROUNDS = int(os.environ.get("SEARCH_ROUNDS", "9"))
ROUND_RUNS = int(os.environ.get("SEARCH_ROUND_RUNS", "7"))


def median(xs):
    xs = sorted(xs)
    return xs[len(xs) // 2]


def grep(term, folder, runs=RUNS):
    return run(["/usr/bin/env", "LC_ALL=C", "grep", "-rFil", "--include=*.md", term, folder], runs=runs)


def main():
    rng = random.Random(11)
    work = tempfile.mkdtemp(prefix="notes-search-bench-")
    rows, mem = [], []
    try:
        plain = os.path.join(work, "plain")
        make_notes(plain, 2000, 4096, rng)
        hit = os.path.join(work, "hit")
        make_notes(hit, 2000, 4096, rng, "Zürich")
        mixed = os.path.join(work, "mixed")
        make_notes(mixed, 2000, 4096, rng)
        with open(os.path.join(mixed, "n00000001000.md"), "w") as f:
            f.write(mixed_markdown(512 * 1024, rng))
        cases = [
            # case, folder, query, count expected, grep term, goal
            ("smart search, no match, 2000 x 4 KiB", plain, "action=search&smart=1&q=zzzqqq", 0, "zzzqqq", 0.6),
            ("smart search, hit in every note, 2000 x 4 KiB", hit, "action=search&smart=1&q=zurich", 2000, "zürich", 1.0),
            ("plain search, no match, 2000 x 4 KiB", plain, "action=search&q=zzzqqq", 0, "zzzqqq", 0.6),
            ("plain search, no match, 2000 notes with one of 512 KiB", mixed, "action=search&q=zzzqqq", 0, "zzzqqq", 0.6),
        ]
        for case, folder, query, count, term, goal in cases:
            check([EXE], None, cgi_env(query, folder), '"count":%d' % count)
            # The machine may be shared: ours and grep take turns in short rounds, and the ratio is
            # the median of the rounds' ratios, so a change of load hits both sides of a round alike.
            ratios, ours_t, grep_t, rss = [], [], [], 0
            for _ in range(ROUNDS):
                t, kb = run([EXE], env=cgi_env(query, folder), runs=ROUND_RUNS)
                g, _ = grep(term, folder, runs=ROUND_RUNS)
                ratios.append(t / g)
                ours_t.append(t)
                grep_t.append(g)
                rss = max(rss, kb)
            ratio = median(ratios)
            rows.append((case, median(ours_t), median(grep_t), min(ratios), max(ratios), ratio, goal))
            mem.append((case, rss))
            print("%-56s ours %8.3f ms  grep %8.3f ms  ratio %.2f (rounds %.2f to %.2f; goal %.1f)" % (
                case, median(ours_t), median(grep_t), ratio, min(ratios), max(ratios), goal), flush=True)
        for d in (plain, hit, mixed):
            shutil.rmtree(d, ignore_errors=True)
        huge = os.path.join(work, "huge")
        make_notes(huge, 2000, 512 * 1024, rng)
        for case, query in (("plain search, no match, 2000 x 512 KiB", "action=search&q=zzzqqq"),
                            ("smart search, no match, 2000 x 512 KiB", "action=search&smart=1&q=zzzqqq")):
            check([EXE], None, cgi_env(query, huge), '"count":0')
            t, rss = run([EXE], env=cgi_env(query, huge), runs=3)
            mem.append((case, rss))
            print("peak memory %-50s %6d KiB (%.0f ms)" % (case, rss, t), flush=True)
        with open("/proc/loadavg") as f:
            load = " ".join(f.read().split()[:3])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    write_section(rows, mem, load)


def write_section(rows, mem, load):
    lines = ["## Search", "",
             "Run of `bench/search_bench.py` on %s (load average at the end: %s)." % (
                 time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), load),
             "Machine: %s. %d rounds, each a median of %d runs (after %d warm-up runs) of ours and then of "
             "grep; the ratio is the median of the rounds' ratios, the times are the medians of the rounds." % (
                 machine(), ROUNDS, ROUND_RUNS, WARM), "",
             "| Case | Ours (ms) | grep -rFil (ms) | Rounds' ratios | Ratio | Goal |",
             "|---|---:|---:|---|---:|---:|"]
    for case, a, g, lo, hi, ratio, goal in rows:
        lines.append("| %s | %.3f | %.3f | %.2f to %.2f | %.2f | at most %.1f |" % (case, a, g, lo, hi, ratio, goal))
    lines += ["", "| Peak resident memory | KiB | Goal |", "|---|---:|---|"]
    for case, kb in mem:
        lines.append("| %s | %d | at most 2048 |" % (case, kb))
    section = "\n".join(lines) + "\n"
    path = os.path.join(ROOT, "bench", "RESULTS.md")
    old = open(path).read() if os.path.exists(path) else "# Benchmark results\n"
    at = old.find("## Search\n")
    if at >= 0:
        end = old.find("\n## ", at + 1)
        old = old[:at].rstrip() + ("\n\n" + old[end + 1:] if end >= 0 else "")
    open(path, "w").write(old.rstrip() + "\n\n" + section)


if __name__ == "__main__":
    sys.exit(main())
