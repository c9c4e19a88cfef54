#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer in ./build-fuzz and runs each on its seed corpus
# for FUZZ_SECONDS seconds (default 5). Extra arguments go to ctest, e.g.
# "-R fuzz_reply_parser" for one target. A crash leaves its input in
# build-fuzz/fuzz-artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
seconds="${FUZZ_SECONDS:-5}"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCLOUDSYNC_FUZZ=ON -DCLOUDSYNC_FUZZ_SECONDS="$seconds" >/dev/null
cmake --build build-fuzz --target cloudsync_fuzzers -j "$(nproc)"
cd build-fuzz
ctest --output-on-failure -L fuzz -j "$(nproc)" --timeout $((seconds + 120)) "$@"
