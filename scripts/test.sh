#!/usr/bin/env bash
# Installs what is missing, builds everything, checks the sync client's layers
# (scripts/check-layers.sh: no include from a folder above), runs every
# test with ctest (extra arguments go to that ctest), then, when run as root,
# the two tests that need an unprivileged user once more as uid 65534
# (scripts/test-unprivileged.sh), then checks the README's run command
# (scripts/check-run.sh: its demo reaches "Starting Sync...", its sample
# files appear in the demo sync folder, and it stops on Ctrl-C), then runs
# each fuzz target for a few seconds on its seed corpus in a clang +
# ASan/UBSan build of its own, then the sanitizer builds (scripts/sanitize.sh):
# the engine's tests (end to end and kill tests included) with the store
# database's, the job library's, the runner's and the local services' under
# ThreadSanitizer in ./build-tsan, and every test under AddressSanitizer +
# UndefinedBehaviorSanitizer in ./build-asan. CLOUDSYNC_SANITIZE=0 leaves the sanitizer builds
# out (for a quick local run; CI always runs them).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
bash scripts/check-layers.sh
(cd build && ctest --output-on-failure -j "$(nproc)" --timeout 300 "$@")
bash scripts/test-unprivileged.sh build
bash scripts/check-run.sh
bash scripts/fuzz.sh
if [ "${CLOUDSYNC_SANITIZE:-1}" != "0" ]; then
  bash scripts/sanitize.sh tsan
  bash scripts/sanitize.sh asan all
fi
