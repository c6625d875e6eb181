#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer) in build/fuzz and
# runs each for a bounded time, starting from its committed seed corpus. Any finding (crash, sanitizer
# report, failed property, time-out, memory blow-up) fails the run; the input that found it is kept in
# build/fuzz/findings/<target>/.
#   FUZZ_SECONDS   seconds per target (default 20)
#   FUZZ_TARGETS   blank-separated target names to run (default all)
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${FUZZ_SECONDS:-20}
BUILD=build/fuzz
CC=${FUZZ_CC:-clang}
CXX=${FUZZ_CXX:-clang++}
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKARVEX_FUZZ=ON -DCMAKE_C_COMPILER="$CC" \
  -DCMAKE_CXX_COMPILER="$CXX" "${launcher[@]}" >/dev/null
cmake --build "$BUILD" -j"$(nproc)"

targets=${FUZZ_TARGETS:-$(ls fuzz/corpus)}
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:symbolize=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for t in $targets; do
  work="$BUILD/corpus/$t"    # grows while fuzzing; the committed seeds stay as they are
  findings="$BUILD/findings/$t"
  mkdir -p "$work" "$findings"
  log="$BUILD/$t.log"
  status=0
  "$BUILD/fuzz/fuzz_$t" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
    -artifact_prefix="$findings/" "$work" "fuzz/corpus/$t" >"$log" 2>&1 || status=$?
  done_line=$(grep -E '^Done [0-9]+ runs' "$log" | tail -1 || true)
  if [ "$status" -ne 0 ] || [ -z "$done_line" ]; then
    echo "fuzz $t: FINDING (exit $status)"
    tail -40 "$log"
    failed+=("$t")
  else
    echo "fuzz $t: $done_line"
  fi
done
if ((${#failed[@]})); then
  echo "fuzz: findings in ${failed[*]}; inputs kept in $BUILD/findings/"
  exit 1
fi
echo "fuzz: no findings"
