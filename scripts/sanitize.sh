#!/usr/bin/env bash
# Builds test binaries with ThreadSanitizer (./build-tsan) and with
# AddressSanitizer + UndefinedBehaviorSanitizer (./build-asan) and runs them.
# Usage: scripts/sanitize.sh [tsan|asan|both] [test target ...]
# Without targets it runs the engine, store database, job, runner and local
# services tests (the runner's program test runs the sanitized cloudsync as its
# child). Any sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
which="${1:-both}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(engine_tree_test engine_scan_test engine_monitor_test engine_worker_test engine_server_steps_test
    engine_transfer_test engine_apply_test store_db_records_test offline_records_test offline_db_test offline_job_test
    offline_manager_test runner_test runner_program_test local_endpoint_test local_quickedit_test)
fi
root="$(pwd)"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
export ASAN_OPTIONS="detect_leaks=1"
export LSAN_OPTIONS="suppressions=$root/tests/support/lsan.supp print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1"

run() {
  local dir="$1" flags="$2"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$flags -fno-omit-frame-pointer -g" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
  cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"
  for target in "${targets[@]}"; do
    binary="$(find "$dir" -type f -name "$target" -perm -u+x | head -n 1)"
    echo "== $target ($dir)"
    "$binary" --gtest_brief=1
  done
}

case "$which" in
  tsan) run build-tsan "-fsanitize=thread" ;;
  asan) run build-asan "-fsanitize=address,undefined" ;;
  both) run build-tsan "-fsanitize=thread"; run build-asan "-fsanitize=address,undefined" ;;
  *) echo "usage: $0 [tsan|asan|both] [test target ...]" >&2; exit 2 ;;
esac
