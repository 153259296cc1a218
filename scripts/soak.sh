#!/usr/bin/env bash
# `make soak`: the longer versions of the reliability checks that `make test` runs briefly.
#   SOAK_REQUESTS   requests per client in the lighttpd load test (default 2000, 8 clients)
#   SOAK_KILL_ROUNDS processes killed at random moments (default 1000)
#   SOAK_FUZZ_SECONDS seconds per fuzz target (default 600)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
echo "== load: 8 clients x ${SOAK_REQUESTS:-2000} requests through lighttpd"
LOAD_CLIENTS=8 LOAD_REQUESTS=${SOAK_REQUESTS:-2000} NOTES_EXE=$build/plugin_notes \
  node --test tests/load/load.test.mjs
echo "== crashes: ${SOAK_KILL_ROUNDS:-1000} random kills"
SOAK_KILL_ROUNDS=${SOAK_KILL_ROUNDS:-1000} "$build/tests/e2e_tests" --gtest_filter='Faults.*'
echo "== fuzzing: ${SOAK_FUZZ_SECONDS:-600} s per target"
FUZZ_SECONDS=${SOAK_FUZZ_SECONDS:-600} scripts/fuzz.sh
