#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time on its corpus, then
# folds what it found into tests/fuzz/corpus/<target>/, minimised to the inputs that add coverage.
# FUZZ_SECONDS (default 60) bounds each target's run; FUZZ_TARGETS picks targets.
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS=${FUZZ_SECONDS:-60}
FUZZ_TARGETS=${FUZZ_TARGETS:-"blocks json_string query json_fields index request"}
BUILD=${FUZZ_BUILD:-build-fuzz}

if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  scripts/deps.sh clang libclang-rt-14-dev
fi

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DNOTES_FUZZ=ON -DNOTES_TESTS=OFF >/dev/null
targets=()
for t in $FUZZ_TARGETS; do targets+=("fuzz_$t"); done
cmake --build "$BUILD" -j2 --target "${targets[@]}"

# Longest input per target: block texts need room for lines past the 4095-byte cut.
max_len() {
  case "$1" in
    blocks) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

status=0
for t in $FUZZ_TARGETS; do
  exe="$BUILD/tests/fuzz/fuzz_$t"
  corpus="tests/fuzz/corpus/$t"
  found="$BUILD/found-$t"
  merged="$BUILD/merged-$t"
  mkdir -p "$corpus" "$BUILD/artifacts"
  rm -rf "$found" "$merged"
  mkdir -p "$found" "$merged"
  echo "== fuzz_$t: ${FUZZ_SECONDS}s"
  if ! "$exe" -max_total_time="$FUZZ_SECONDS" -max_len="$(max_len "$t")" -timeout=10 \
       -artifact_prefix="$BUILD/artifacts/$t-" -print_final_stats=1 "$found" "$corpus"; then
    echo "fuzz_$t found a failure; the input is in $BUILD/artifacts/"
    status=1
    continue
  fi
  # Edge coverage alone decides what stays, which keeps the committed corpus small and stable.
  "$exe" -merge=1 -use_counters=0 -max_len="$(max_len "$t")" "$merged" "$corpus" "$found" >/dev/null 2>&1
  if [ -n "$(ls -A "$merged")" ]; then
    find "$corpus" -maxdepth 1 -type f -delete
    cp "$merged"/* "$corpus"/
  fi
  echo "== fuzz_$t: corpus now $(ls "$corpus" | wc -l) inputs"
done
exit $status
