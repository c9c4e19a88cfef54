#!/usr/bin/env bash
# Checks the README's run command as a newcomer would use it: runs
# scripts/run.sh (its demo) with a time limit, waits until the client prints
# "Starting Sync...", then presses Ctrl-C (SIGINT to the whole process group)
# and expects both programs to stop cleanly, the client with
# "Stopping Sync..." and exit code 0.
# RUN_CHECK_SECONDS (default 120) bounds the wait for the start.
# CHECK_RUN_FILES=1 also waits (as long again) for the demo's sample files to
# appear in the demo sync folder before pressing Ctrl-C: a check of the first
# sync pass itself.
set -euo pipefail
cd "$(dirname "$0")/.."
limit="${RUN_CHECK_SECONDS:-120}"
out="$(mktemp)"
trap 'rm -f "$out"' EXIT

CLOUDSYNC_DEMO=1 setsid bash scripts/run.sh > "$out" 2>&1 &
group=$!
started=0
for _ in $(seq 1 $((limit * 10))); do
  if grep -q "Starting Sync..." "$out"; then started=1; break; fi
  kill -0 "$group" 2>/dev/null || break
  sleep 0.1
done
if [ "$started" != 1 ]; then
  echo "check-run: the demo did not reach \"Starting Sync...\" within ${limit}s:" >&2
  cat "$out" >&2
  kill -KILL -- "-$group" 2>/dev/null || true
  exit 1
fi

if [ "${CHECK_RUN_FILES:-0}" = 1 ]; then
  synced="build/demo/Vaultpine/My Files"
  samples="clients/cloudsync/runner/samples/demo-files"
  arrived=0
  for _ in $(seq 1 $((limit * 10))); do
    if diff -r "$samples" "$synced" > /dev/null 2>&1; then arrived=1; break; fi
    sleep 0.1
  done
  if [ "$arrived" != 1 ]; then
    echo "check-run: the demo files did not appear in $synced within ${limit}s:" >&2
    cat "$out" >&2
    kill -KILL -- "-$group" 2>/dev/null || true
    exit 1
  fi
fi

kill -INT -- "-$group"
status=0
for _ in $(seq 1 300); do
  kill -0 "$group" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$group" 2>/dev/null; then
  echo "check-run: the demo did not stop within 30s of Ctrl-C:" >&2
  cat "$out" >&2
  kill -KILL -- "-$group" 2>/dev/null || true
  exit 1
fi
wait "$group" || status=$?
if [ "$status" != 0 ] || ! grep -q "Stopping Sync..." "$out"; then
  echo "check-run: the demo did not stop cleanly (exit code $status):" >&2
  cat "$out" >&2
  exit 1
fi
echo "check-run: the demo reached \"Starting Sync...\" and stopped cleanly"
