#!/usr/bin/env bash
# Builds test binaries with ThreadSanitizer (./build-tsan) and with
# AddressSanitizer + UndefinedBehaviorSanitizer (./build-asan) and runs their
# cases with ctest (in parallel, by the label each binary gives its cases).
# Usage: scripts/sanitize.sh [tsan|asan|both] [all | test target ...]
# "all" builds every test binary (target cloudsync_tests, not the benchmarks)
# and runs every case. Without targets it runs the shared layer's (common), the engine's, the store
# database's, the job library's, the runner's and the local services' tests
# (the runner's program test runs the sanitized cloudsync as its child, the
# engine's kill test its sanitized worker driver). Any sanitizer report fails
# the run.
# The sanitizer builds are optimised with -O1 and carry line tables only
# (-g1): enough for the reports' stacks, and quicker to build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
which="${1:-both}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(common_test scan_tree_test scan_test monitor_test engine_worker_test engine_server_steps_test
    engine_transfer_test engine_apply_test engine_pass_test engine_e2e_test engine_local_places_test engine_kill_test
    store_db_records_test
    offline_records_test offline_db_test offline_job_test offline_manager_test runner_test runner_program_test
    local_endpoint_test local_quickedit_test)
fi
root="$(pwd)"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/support/tsan.supp"
export ASAN_OPTIONS="detect_leaks=1"
export LSAN_OPTIONS="suppressions=$root/tests/support/lsan.supp print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1"

run() {
  local dir="$1" flags="$2"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS="$flags -fno-omit-frame-pointer" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
  if [ "${targets[*]}" = "all" ]; then
    cmake --build "$dir" -j "$(nproc)" --target cloudsync_tests
    echo "== every test ($dir)"
    (cd "$dir" && ctest --output-on-failure -j "$(nproc)" --timeout 600)
  else
    cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"
    local labels
    labels="^($(IFS='|'; echo "${targets[*]}"))\$"
    echo "== ${targets[*]} ($dir)"
    (cd "$dir" && ctest --output-on-failure -j "$(nproc)" --timeout 600 -L "$labels")
  fi
}

case "$which" in
  tsan) run build-tsan "-fsanitize=thread" ;;
  asan) run build-asan "-fsanitize=address,undefined" ;;
  both) run build-tsan "-fsanitize=thread"; run build-asan "-fsanitize=address,undefined" ;;
  *) echo "usage: $0 [tsan|asan|both] [all | test target ...]" >&2; exit 2 ;;
esac
