#!/usr/bin/env bash
# Installs the build and test dependencies on a Debian machine when they are missing. clang with its
# runtime libraries (libFuzzer, the sanitizers) and llvm's symbolizer are for the fuzz step (scripts/fuzz.sh).
# chromium and a Chinese font are for the test of the service's status page.
# libssl-dev: the store derives its file keys with OpenSSL's SHA-1.
# libpq is the central sync's client; the PostgreSQL server (and PgBouncer in front of it) are started by the
# sync tests on their own.
set -euo pipefail
PACKAGES=(
  build-essential cmake pkg-config git
  qt6-base-dev qt6-serialport-dev
  qt6-charts-dev libqt6opengl6-dev
  libsqlcipher-dev sqlcipher libssl-dev
  libpq-dev postgresql pgbouncer
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  python3
  chromium fonts-noto-cjk
  clang libclang-rt-dev llvm
)
missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
