#!/usr/bin/env bash
# Installs the Debian packages of a Release tree on this machine (root only), builds and runs the C, C++ and
# Python hosts against the installed files, and removes the packages again. The service's user and
# /var/lib/karvexd stay, as a purge leaves them.
#   bash scripts/install-check.sh [build/release]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build/release}
if [ "$(id -u)" -ne 0 ]; then
    echo "install-check: needs root (dpkg -i); skipped"
    exit 0
fi
packages=(libkarvex0 libkarvex-dev karvex-tools karvexd python3-karvex)
scratch=$(mktemp -d)
# The installed library makes root's installation key in /etc/karvex at its first run; a machine that had
# none gets none left behind.
had_key_dir=0
[ -e /etc/karvex ] && had_key_dir=1
cleanup() {
    dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
    rm -rf "$scratch"
    [ "$had_key_dir" = 1 ] || rm -rf /etc/karvex
}
trap cleanup EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/deb" >/dev/null
debs=()
for p in "${packages[@]}"; do debs+=("$scratch"/deb/"$p"_*.deb); done
# Without systemd running here the service's scripts only make its user and directory.
dpkg -i "${debs[@]}" >/dev/null

# Nothing of the source tree may be reached from here: plain hosts in a scratch folder.
cd "$scratch"
export QT_QPA_PLATFORM=offscreen
cc "$root/tests/capi/host/host.c" $(pkg-config --cflags --libs karvex) -o c-host
./c-host | grep -q '^karvex 0\.2\.'
cmake -S "$root/tests/capi/host" -B cmake-host >/dev/null
cmake --build cmake-host >/dev/null
./cmake-host/karvex_host | grep -q '^karvex '
./cmake-host/karvex_cpp_host | grep -q '^karvex++ '
for tool in karvex karvex-sim karvexd; do
    "$tool" --version | grep -q "^$tool 0\.2\."
    man -w "$tool" >/dev/null 2>&1 || test -f "/usr/share/man/man1/$tool.1.gz"
done
# The Python package: the module from dist-packages, the library through the system's loader, the virtual
# processor from the PATH; Debian's own interpreter, the one the package is for.
cp "$root/bindings/python/example_issue.py" .
env -u KARVEX_LIBRARY -u KARVEX_SIM -u PYTHONPATH HOME="$scratch" /usr/bin/python3 example_issue.py --sim >python.out
grep -q "FiscalMakeInv: 0" python.out || { cat python.out; exit 1; }
/usr/bin/python3 -c 'import karvex, sys; sys.exit(0 if karvex.__file__.startswith("/usr/lib/python3/dist-packages") else 1)'
# An installed library keeps its store under a key of the installation's own, in a file only root reads.
test "$(stat -c %a /etc/karvex/store.key)" = 600
# The Python package through pip, into a virtual environment over Debian's interpreter (whose setuptools and
# wheel build it without reaching a package index).
/usr/bin/python3 -m venv --system-site-packages venv
./venv/bin/pip install --quiet --no-build-isolation --no-index "$root/bindings/python"
rm -rf "$root/bindings/python/build" "$root/bindings/python/karvex.egg-info"
./venv/bin/python -c 'import karvex, karvexd_client, karvex_sim, sys; sys.exit(0 if "/venv/" in karvex.__file__ else 1)'
echo "install-check: the five packages installed, the C, C++ and Python hosts ran against them, removed again"
