#!/usr/bin/env bash
# Configures and builds everything (program, libraries, tests, benchmarks) in ./build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build_type="${BUILD_TYPE:-RelWithDebInfo}"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE="$build_type" >/dev/null
cmake --build build -j "$(nproc)"
