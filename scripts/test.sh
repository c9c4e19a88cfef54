#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test with ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
cd build
ctest --output-on-failure -j "$(nproc)" --timeout 300 "$@"
