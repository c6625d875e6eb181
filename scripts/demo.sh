#!/usr/bin/env bash
# The demo: builds the library, starts the virtual processor on a pseudo-terminal, points port 1 at it and
# runs host methods through the karvex tool, then shows the command log.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
BUILD=build/demo
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKARVEX_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target karvex-tool karvex-sim >/dev/null

DATA=$(mktemp -d /tmp/karvex-demo-XXXXXX)
SIM_PID=""
cleanup() {
    if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true; fi
}
trap cleanup EXIT

"$BUILD/tools/sim/karvex-sim" --quiet --rolls 2 --invoices 20 --device-file "$DATA/device" --log "$DATA/sim.log" &
SIM_PID=$!
for _ in $(seq 1 100); do [ -s "$DATA/device" ] && break; sleep 0.05; done
export KARVEX_COM1
KARVEX_COM1=$(cat "$DATA/device")
export KARVEX_DATA_DIR="$DATA"
echo "virtual processor on $KARVEX_COM1, data in $DATA"
echo

run() {
    echo "\$ karvex $*"
    "$BUILD/tools/karvex/karvex" --port 1 "$@" || true
    echo
}

run online

echo "--- command log (CommandFM.Vrm, GBK) ---"
iconv -f GBK -t UTF-8 "$DATA/CommandFM.Vrm"
