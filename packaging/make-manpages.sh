#!/usr/bin/env bash
# Makes the manual pages of the three tools from their --help and --version (help2man), into packaging/man.
# Run after a build when a tool's options change:  bash packaging/make-manpages.sh build/release
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
export QT_QPA_PLATFORM=offscreen
page() {  # name program section-name summary
    help2man --no-info --section 1 --source "Karvex" --name "$3" --output "packaging/man/$1.1" "$2"
}
page karvex "$build/tools/karvex/karvex" "run one method of the Karvex control against a tax-control processor"
page karvex-sim "$build/tools/sim/karvex-sim" "a virtual tax-control processor on a pseudo-terminal"
page karvexd "$build/tools/karvexd/karvexd" "local HTTP/JSON service of a tax-control processor"
