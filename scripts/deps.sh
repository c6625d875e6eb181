#!/usr/bin/env bash
# Installs the build and test dependencies on a Debian machine when they are missing. clang with its
# runtime libraries (libFuzzer, the sanitizers) and llvm's symbolizer are for the fuzz step (scripts/fuzz.sh).
# chromium and a Chinese font are for the test of the service's status page.
# qt6-translations-l10n: Qt's own dialogues (the browser's save dialogue) speak Chinese.
# qt6-base-private-dev: the console tests queue keys as the window system does.
# libssl-dev: the store derives its file keys with OpenSSL's SHA-1.
# lintian checks the Debian packages; man-db finds the installed manual pages; Debian's setuptools, wheel,
# venv and pip install the Python package without a package index.
# libpq is the central sync's client; the PostgreSQL server (and PgBouncer in front of it) are started by the
# sync tests on their own.
set -euo pipefail
PACKAGES=(
  build-essential cmake pkg-config git ccache
  qt6-base-dev qt6-serialport-dev
  qt6-charts-dev libqt6opengl6-dev qt6-translations-l10n qt6-base-private-dev
  libsqlcipher-dev sqlcipher libssl-dev
  libpq-dev postgresql pgbouncer
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  python3
  chromium fonts-noto-cjk
  clang libclang-rt-dev llvm
  lintian man-db
  python3-setuptools python3-wheel python3-venv python3-pip
)
missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
# node and npm for the client generated from the service's API document; a machine that already has them
# (from any source) keeps its own.
if ! command -v npm >/dev/null || ! command -v node >/dev/null; then
  missing+=(nodejs npm)
fi
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
