#!/usr/bin/env bash
# `make bench`: builds in release mode with the benchmarks, builds the baseline programs, and runs
# every case against its baseline in one run (bench/run_bench.py), then the editor page in the browser
# (bench/browser_bench.mjs) and the import through it (bench/import_bench.mjs), writing bench/RESULTS.md.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cmake g++ make python3 libbenchmark-dev cmark libcmark-dev libmd4c-dev libmd4c-html0-dev \
  wrk lighttpd zip
build=${BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DNOTES_BENCH=ON -DNOTES_TESTS=OFF >/dev/null
cmake --build "$build" -j2
tools=$build/bench-tools
mkdir -p "$tools"
cc -O2 -Wall -o "$tools/runner" bench/runner.c
cc -O2 -static -o "$tools/minimal" bench/minimal.c
cc -O2 -static -o "$tools/minimal_cgi" bench/minimal_cgi.c
cc -O2 -Wall -o "$tools/minimal_save" bench/minimal_save.c
cc -O2 -Wall -o "$tools/md4c_render" bench/md4c_render.c -lmd4c-html -lmd4c
[ -x "$build/bench/compare_bench" ] && cp "$build/bench/compare_bench" "$tools/"
BENCH_BUILD=$build python3 bench/run_bench.py
BENCH_BUILD=$build python3 bench/search_bench.py
# The editor page in the browser (2000 notes) and its Lighthouse audit; needs Chromium and the npm
# packages, which the test tools bring.
scripts/deps-extra.sh
BENCH_BUILD=$build node bench/browser_bench.mjs
# Importing 2000 notes through the page against 2000 saves from it.
BENCH_BUILD=$build node bench/import_bench.mjs
