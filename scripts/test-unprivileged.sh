#!/usr/bin/env bash
# Runs the tests that need an unprivileged user as one, when the test command
# runs as root (CI does). Two tests check what happens when a folder cannot be
# listed or a file cannot be written; root may do both, so these tests skip
# themselves under root:
#   scan_test         Scan.FolderThatCannotBeListedKeepsTheRecordsOfItsItems
#   runner_test       LoggingTest.AnExistingFileThatCannotBeWrittenLeavesLoggingAsItWas
# As root, this script copies the two test binaries (they need only system
# libraries) into a fresh temporary folder that everyone may read, and runs
# each, filtered to its test, as uid/gid 65534 (nobody) with no groups through
# setpriv (util-linux), with HOME and TMPDIR in a folder of that user. It fails
# when a test fails, skips, or is not found. Not root: nothing to do (the
# tests run unskipped in the normal ctest run). Takes well under a second.
# Usage: scripts/test-unprivileged.sh [build folder, default ./build]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"

if [ "$(id -u)" -ne 0 ]; then
  exit 0
fi

user=65534
tests=(
  "clients/cloudsync/scan/scan_test Scan.FolderThatCannotBeListedKeepsTheRecordsOfItsItems"
  "clients/cloudsync/runner/runner_test LoggingTest.AnExistingFileThatCannotBeWrittenLeavesLoggingAsItWas"
)

work="$(mktemp -d /tmp/cloudsync-unprivileged.XXXXXX)"
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir "$work/bin" "$work/home" "$work/tmp"
chown "$user:$user" "$work/home" "$work/tmp"

failed=0
for entry in "${tests[@]}"; do
  read -r binary filter <<<"$entry"
  copy="$work/bin/$(basename "$binary")"
  install -m 755 "$build/$binary" "$copy"
  output="$(setpriv --reuid="$user" --regid="$user" --clear-groups \
    env HOME="$work/home" TMPDIR="$work/tmp/" "$copy" --gtest_filter="$filter" 2>&1)" && status=0 || status=$?
  # Exactly the one test ran and passed: not skipped, not filtered away.
  if [ "$status" -ne 0 ] || ! grep -q '^\[  PASSED  \] 1 test\.$' <<<"$output" ||
    grep -q '^\[  SKIPPED \]' <<<"$output"; then
    echo "$output"
    echo "FAILED as uid $user: $filter"
    failed=1
  else
    echo "Passed as uid $user: $filter"
  fi
done
exit "$failed"
