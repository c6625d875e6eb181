#!/usr/bin/env bash
# Fresh-machine test run: dependencies, a sanitizer build, every test, the fuzz targets for a bounded time,
# and a Release build of the benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# The layers point one way (docs/DESIGN.md): seconds, so before anything is built.
python3 scripts/check_layers.py
JOBS=$(nproc)
# A compiler cache, where there is one, keyed on paths relative to this tree: a second run (or another clone on
# the same machine) compiles only what changed.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$PWD"
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DKARVEX_SANITIZE=ON -DKARVEX_BUILD_TESTS=ON "${launcher[@]}" >/dev/null
cmake --build build/asan -j"$JOBS"
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/asan --output-on-failure -j"$JOBS" --timeout 300
# Every parser of outside bytes fuzzed for a bounded time (clang, libFuzzer, ASan and UBSan) in build/fuzz;
# any finding fails the run.
bash scripts/fuzz.sh
# The Python module and the installed package are tried against a build without sanitizers: a Python
# interpreter cannot load an ASan-instrumented library.
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DKARVEX_BUILD_TESTS=ON -DKARVEX_BUILD_BENCH=ON "${launcher[@]}" >/dev/null
cmake --build build/release -j"$JOBS"
# The fault campaign's small setting (100 sales in separate tool processes, about two minutes) runs here too.
# A client generated from docs/openapi.json (npm packages) drives the service.
ctest --test-dir build/release --output-on-failure -L "python|package|campaign|client" --timeout 600
# The README's Python example, exactly as written there.
python3 bindings/python/example_issue.py --sim >/dev/null
# The packages installed on this machine (as root) and the hosts built against the installed files.
bash scripts/install-check.sh build/release
# Host calls against a faulty line: memory, descriptors and threads must level off (about 40 s).
build/release/bench/soak/soak_bench
# karvexd under concurrent clients: every sale once in the answers, the journal and the processor, and the
# service asleep while it waits (a few seconds; the full run is bench/service/load_bench.py without options).
python3 bench/service/load_bench.py --clients 4 --requests 25 --idle-seconds 1
# karvexd against clients that pipeline without reading, event streams that never read and more slow
# connections than slots: memory under 100 MB, every sale answered, good clients answered within a second
# (a few seconds; the full run is bench/service/abuse_bench.py without options).
python3 bench/service/abuse_bench.py --small
# The central sync's small settings (well under a minute together): 20 registers' background syncs through
# PgBouncer (idle, an outage, the catch-up), and a first sync of 20,000 rows beside a plain COPY of them.
build/release/bench/sync/fleet_bench --registers 20 --idle-seconds 2 --outage-seconds 1
build/release/bench/sync/sync_bench --rows 20000 --steady 200
