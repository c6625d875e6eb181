#!/usr/bin/env bash
# The demo: builds the library, starts the virtual processor on a pseudo-terminal, points port 1 at it and
# runs host methods through the karvex tool, then shows the command log.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
BUILD=build/demo
mkdir -p build
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKARVEX_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target karvex-tool karvex-sim karvex-host >"$BUILD.log" 2>&1 || { cat "$BUILD.log"; exit 1; }

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
run command --code 0x32
run number
run issue --pay-unit "示例商贸有限公司" --items "矿泉水:2:1.50:3.00:1;笔记本:1:12.80:12.80:2"
ISSUED=$("$BUILD/tools/karvex/karvex" --port 1 print | sed -n 's/.*"InvNum": "\([0-9]*\)".*/\1/p')
run return --o-inv-num "$ISSUED" --pay-unit "示例商贸有限公司" --items "矿泉水:2:1.50:3.00:1;笔记本:1:12.80:12.80:2"
run issue --items "面包:1:5.00:5.00:1"
NEXT=$("$BUILD/tools/karvex/karvex" --port 1 number | sed -n 's/.*"InvNum": "\([0-9]*\)".*/\1/p')
run void --inv-num "$NEXT"
run print --inv-num "$ISSUED"
run summary --inv-num "$ISSUED"
run dump --table InvoiceNumber
run dump --table UserInformation

echo "--- command log (CommandFM.Vrm, GBK) ---"
iconv -f GBK -t UTF-8 "$DATA/CommandFM.Vrm"
