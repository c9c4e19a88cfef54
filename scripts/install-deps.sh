#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing.
# Safe to run again: it only calls apt-get when a package is not installed yet.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config ccache
  libpoco-dev libboost-dev libutf8proc-dev libtinyxml-dev libsqlite3-dev
  libgraphicsmagick++1-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  openssl curl sqlite3 util-linux python3
  clang libclang-rt-14-dev llvm
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
if ! $SUDO apt-get install -y --no-install-recommends "${missing[@]}"; then
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
