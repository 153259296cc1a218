#!/usr/bin/env python3
"""Runs every benchmark case against its baseline in one run and writes a table of medians and
ratios to standard output and to bench/RESULTS.md. Called by scripts/bench.sh after building."""
import json
import os
import platform
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("BENCH_BUILD", os.path.join(ROOT, "build-bench"))
EXE = os.path.join(BUILD, "plugin_notes")
TOOLS = os.path.join(BUILD, "bench-tools")
RUNS = int(os.environ.get("BENCH_RUNS", "30"))
WARM = int(os.environ.get("BENCH_WARMUP", "5"))

WORDS = ("alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima mike "
         "november oscar papa quebec romeo sierra tango uniform victor whiskey xray yankee").split()


def words(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n))


def make_notes(folder, count, body_bytes, rng):
    """Writes count notes with bodies of body_bytes each and their index; returns the ids."""
    os.makedirs(os.path.join(folder, ".trash"), exist_ok=True)
    ids, lines = [], []
    for i in range(count):
        nid = "n%011d" % i
        ids.append(nid)
        text = ""
        while len(text) < body_bytes:
            text += words(rng, 12) + "\n"
        with open(os.path.join(folder, nid + ".md"), "w") as f:
            f.write(text[:body_bytes])
        lines.append('  {"id":"%s","title":"%s","pinned":%d,"created":"2024-01-01T00:00:00Z",'
                     '"updated":"2024-01-%02dT00:00:00Z"}' % (nid, words(rng, 4), i % 50 == 0, 1 + i % 28))
    with open(os.path.join(folder, "index.json"), "w") as f:
        f.write('{"version":1,"notes":[\n' + ",\n".join(lines) + "\n]}\n")
    return ids


def mixed_markdown(size, rng):
    """A Markdown document of about size bytes mixing every construct of the dialect."""
    parts, total = [], 0
    blocks = [
        lambda: "# " + words(rng, 4) + "\n\n",
        lambda: "## " + words(rng, 3) + "\n",
        lambda: words(rng, 30) + " **" + words(rng, 2) + "** and *" + words(rng, 2) + "* with `code` "
        "and [a link](https://example.org/" + rng.choice(WORDS) + ") <b>&amp;</b>\n\n",
        lambda: "".join("- " + words(rng, 6) + "\n" for _ in range(4)) + "\n",
        lambda: "".join("%d. " % (k + 1) + words(rng, 5) + "\n" for _ in range(3) for k in [_]) + "\n",
        lambda: "> " + words(rng, 12) + "\n\n",
        lambda: "```\n" + "".join("int x = %d; // <tag> & \"q\"\n" % k for k in range(5)) + "```\n\n",
        lambda: "---\n\n",
    ]
    while total < size:
        piece = rng.choice(blocks)()
        parts.append(piece)
        total += len(piece)
    return "".join(parts)[:size]


def run(cmd, stdin=None, env=None, runs=RUNS):
    """Median wall time (ms) and peak memory (KiB) of a whole process, through the runner."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    out = subprocess.run([os.path.join(TOOLS, "runner"), str(runs), str(WARM), stdin or "-"] + cmd,
                         env=full_env, capture_output=True, text=True, check=True).stdout
    r = json.loads(out)
    return r["median_us"] / 1000.0, r["maxrss_kb"]


def check(cmd, stdin, env, expect):
    """Runs the command once and makes sure its answer holds expect: a benchmark of an error
    answer would measure the wrong thing."""
    with open(stdin or os.devnull, "rb") as f:
        out = subprocess.run(cmd, stdin=f, env=dict(os.environ, **(env or {})), capture_output=True).stdout
    if expect.encode() not in out:
        raise RuntimeError("%s answered %r" % (" ".join(cmd), out[:300]))


def cgi_env(query, notes, method="GET", length=None):
    env = {"QUERY_STRING": query, "REQUEST_METHOD": method, "NOTES_DIR": notes}
    if length is not None:
        env["CONTENT_LENGTH"] = str(length)
    return env


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wrk_rps(url, seconds):
    out = subprocess.run(["wrk", "-t2", "-c8", "-d%ds" % seconds, url], capture_output=True, text=True).stdout
    for line in out.splitlines():
        if line.startswith("Requests/sec:"):
            return float(line.split()[1])
    raise RuntimeError("wrk gave no rate:\n" + out)


def lighttpd_rps(cgi_exe, notes, seconds):
    """Requests per second for action=list through lighttpd running cgi_exe at /plugin_notes."""
    port = free_port()
    conf_dir = tempfile.mkdtemp(prefix="bench-lighttpd-")
    conf = os.path.join(conf_dir, "lighttpd.conf")
    subprocess.run([os.path.join(ROOT, "scripts", "lighttpd-conf.sh"), conf, str(port), notes, cgi_exe],
                   check=True, capture_output=True)
    server = subprocess.Popen(["lighttpd", "-D", "-f", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              env=dict(os.environ, ORVIK_PASSWORD=""))
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), 0.2).close()
                break
            except OSError:
                time.sleep(0.05)
        url = "http://127.0.0.1:%d/plugin_notes?action=list" % port
        wrk_rps(url, 1)  # warm-up
        return wrk_rps(url, seconds)
    finally:
        server.terminate()
        server.wait()
        shutil.rmtree(conf_dir, ignore_errors=True)


def main():
    rng = random.Random(7)
    work = tempfile.mkdtemp(prefix="notes-bench-")
    rows = []

    def add(case, ours, base_name, base, unit="ms", better="lower"):
        ratio = ours / base if better == "lower" else base / ours
        rows.append((case, ours, base_name, base, unit, ratio))
        print("%-44s %10.3f %-28s %10.3f %s  ratio %.2f" % (case, ours, base_name, base, unit, ratio), flush=True)

    try:
        n2000 = os.path.join(work, "n2000")
        make_notes(n2000, 2000, 4096, rng)
        n100 = os.path.join(work, "n100")
        make_notes(n100, 100, 512, rng)
        big = os.path.join(work, "big")
        make_notes(big, 1, 512 * 1024, rng)
        # The render request must fit the 532479-byte request limit once JSON-escaped, so the
        # document is as close to 512 KiB as its escaped form allows.
        doc = mixed_markdown(512 * 1024, rng)
        while len(json.dumps({"body": doc})) > 532479:
            doc = doc[:len(doc) - (len(json.dumps({"body": doc})) - 532479) - 16]
        doc_file = os.path.join(work, "doc.md")
        with open(doc_file, "w") as f:
            f.write(doc)
        render_req = os.path.join(work, "render.json")
        with open(render_req, "w") as f:
            json.dump({"body": doc}, f)
        print("render document: %d bytes" % len(doc.encode()))
        save_req = os.path.join(work, "save.json")
        with open(save_req, "w") as f:
            json.dump({"id": "n00000000007", "title": "bench", "body": "s" * 4096}, f)

        minimal = os.path.join(TOOLS, "minimal")
        t_min, _ = run([minimal])
        t, _ = run([EXE, "--version"])
        add("start-up (--version)", t, "minimal static C", t_min)

        check([EXE], None, cgi_env("action=list", n2000), '"count":2000')
        t_list, rss_list = run([EXE], env=cgi_env("action=list", n2000))
        add("list, 2000 notes", t_list, "minimal static C", t_min)

        check([EXE], None, cgi_env("action=search&q=zzzqqq", n2000), '"count":0')
        t_search, rss_search = run([EXE], env=cgi_env("action=search&q=zzzqqq", n2000))
        t_grep, _ = run(["/usr/bin/env", "LC_ALL=C", "grep", "-rFil", "--include=*.md", "zzzqqq", n2000])
        add("search, no match, 2000 x 4 KiB", t_search, "grep -rFil", t_grep)

        check([EXE], None, cgi_env("action=get&id=n00000000000", big), '"ok":true')
        t_get, _ = run([EXE], env=cgi_env("action=get&id=n00000000000", big))
        t_cat, _ = run(["/bin/cat", os.path.join(big, "n00000000000.md")])
        add("get, 512 KiB note", t_get, "cat", t_cat)

        index_size = os.path.getsize(os.path.join(n2000, "index.json"))
        check([EXE], save_req, cgi_env("action=save", n2000, "POST", os.path.getsize(save_req)), '"ok":true')
        t_save, _ = run([EXE], stdin=save_req, env=cgi_env("action=save", n2000, "POST", os.path.getsize(save_req)))
        t_msave, _ = run([os.path.join(TOOLS, "minimal_save"), n2000, "4096", str(index_size)])
        add("save, 4 KiB into 2000", t_save, "two durable replacements", t_msave)

        check([EXE], render_req, cgi_env("action=render", n100, "POST", os.path.getsize(render_req)), '"ok":true')
        t_render, rss_render = run([EXE], stdin=render_req,
                                   env=cgi_env("action=render", n100, "POST", os.path.getsize(render_req)))
        t_cmark, _ = run(["/usr/bin/cmark", doc_file])
        t_md4c, _ = run([os.path.join(TOOLS, "md4c_render")], stdin=doc_file)
        add("render process, 512 KiB", t_render, "cmark process", t_cmark)
        add("render process, 512 KiB", t_render, "md4c process", t_md4c)

        inproc = os.path.join(TOOLS, "compare_bench")
        if os.path.exists(inproc):
            out = subprocess.run([inproc, "--benchmark_format=json", "--benchmark_min_time=1"],
                                 env=dict(os.environ, BENCH_DOC=doc_file), capture_output=True, text=True,
                                 check=True).stdout
            speed = {b["name"]: b["bytes_per_second"] / 1e6 for b in json.loads(out)["benchmarks"]}
            for lib, name in (("cmark", "BM_Cmark"), ("md4c", "BM_Md4c")):
                add("render in-process (MB/s)", speed["BM_Ours"], lib + " in-process", speed[name], "MB/s",
                    "higher")

        if shutil.which("lighttpd") and shutil.which("wrk") and os.path.exists(
                os.path.join(ROOT, "scripts", "lighttpd-conf.sh")):
            secs = int(os.environ.get("BENCH_WRK_SECONDS", "5"))
            ours = lighttpd_rps(EXE, n100, secs)
            base = lighttpd_rps(os.path.join(TOOLS, "minimal_cgi"), n100, secs)
            add("lighttpd list, 100 notes (req/s)", ours, "minimal CGI (req/s)", base, "req/s", "higher")

        mem = [("list, 2000 notes", rss_list, 2048), ("search, 2000 notes", rss_search, 2048),
               ("render, 512 KiB", rss_render, 3072)]
        for case, kb, limit in mem:
            print("peak memory %-30s %6d KiB (goal at most %d KiB)" % (case, kb, limit))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    write_results(rows, mem)


def machine():
    cpu = "unknown cpu"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem_kb = 0
    try:
        for line in open("/proc/meminfo"):
            if line.startswith("MemTotal"):
                mem_kb = int(line.split()[1])
    except OSError:
        pass
    return "%s, %d cores, %.0f GiB, %s %s" % (cpu, os.cpu_count(), mem_kb / 1048576, platform.system(),
                                              platform.release())


def write_results(rows, mem):
    lines = ["# Benchmark results", "",
             "Run of `make bench` on %s." % time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
             "Machine: %s." % machine(),
             "Medians of %d runs after %d warm-up runs; ratio is ours over the baseline for times "
             "and the baseline over ours for rates (MB/s, req/s), so below 1 is faster than the baseline either way." % (RUNS, WARM), "",
             "| Case | Ours | Baseline | Baseline value | Unit | Ratio |", "|---|---:|---|---:|---|---:|"]
    for case, ours, base_name, base, unit, ratio in rows:
        lines.append("| %s | %.3f | %s | %.3f | %s | %.2f |" % (case, ours, base_name, base, unit, ratio))
    lines += ["", "| Peak resident memory | KiB | Goal |", "|---|---:|---|"]
    for case, kb, limit in mem:
        lines.append("| %s | %d | at most %d |" % (case, kb, limit))
    with open(os.path.join(ROOT, "bench", "RESULTS.md"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    sys.exit(main())
