#!/usr/bin/env bash
# Installs what is missing, builds everything and starts the console sync client.
#
# With syncconconfig.xml beside the program (build/clients/cloudsync/runner/,
# see the samples in clients/cloudsync/runner/samples/) it runs against the
# configured server. Without one it runs a demo: the project's test server on
# 127.0.0.1 with a demo account holding the sample files of
# clients/cloudsync/runner/samples/demo-files, and the client in build/demo
# (program, both configuration files, data folder and sync folder, made
# afresh at every start). Ctrl-C stops both. CLOUDSYNC_DEMO=1 runs the demo
# even when a configuration exists.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
bash scripts/build.sh
program_dir=build/clients/cloudsync/runner
if [ ! -x "$program_dir/cloudsync" ]; then
  echo "The console program was not built: $program_dir/cloudsync is missing." >&2
  exit 1
fi
if [ -f "$program_dir/syncconconfig.xml" ] && [ "${CLOUDSYNC_DEMO:-0}" != 1 ]; then
  exec "$program_dir/cloudsync"
fi

demo="$root/build/demo"
rm -rf "$demo"
mkdir -p "$demo"
# The program reads its configuration from its own folder: it gets a copy there.
cp "$program_dir/cloudsync" "$demo/cloudsync"

build/testserver/vaultpine-testserver --port 0 --port-file "$demo/server.port" \
  --account demo:demo-password --seed "demo=$root/clients/cloudsync/runner/samples/demo-files" \
  > "$demo/server.log" 2>&1 &
server=$!
client=
stop() {
  [ -n "$client" ] && kill -TERM "$client" 2>/dev/null || true
  kill -TERM "$server" 2>/dev/null || true
}
trap stop INT TERM

for _ in $(seq 1 300); do
  [ -s "$demo/server.port" ] && break
  if ! kill -0 "$server" 2>/dev/null; then
    cat "$demo/server.log" >&2
    exit 1
  fi
  sleep 0.1
done
if [ ! -s "$demo/server.port" ]; then
  echo "The test server did not start; see $demo/server.log" >&2
  stop
  exit 1
fi
port="$(cat "$demo/server.port")"

cat > "$demo/syncconconfig.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<config>
  <url>http://127.0.0.1:$port</url>
  <account>demo</account>
  <password>demo-password</password>
</config>
XML
chmod 600 "$demo/syncconconfig.xml"
cat > "$demo/syncclientconfig.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<config>
  <syncclientlocation>$demo/data</syncclientlocation>
  <syncfolderlocation>$demo/Vaultpine</syncfolderlocation>
  <loglevel>debug</loglevel>
  <syncfrequency>5</syncfrequency>
</config>
XML

echo "Demo: test server on http://127.0.0.1:$port, account demo (password demo-password)"
echo "Synced folder: $demo/Vaultpine/My Files"
echo "Log: $demo/data/syncclient.log. Stop with Ctrl-C."
"$demo/cloudsync" &
client=$!
status=0
wait "$client" || status=$?
# A signal interrupts the first wait; wait again for the ends.
if kill -0 "$client" 2>/dev/null; then
  wait "$client" || status=$?
fi
stop
wait "$server" 2>/dev/null || true
exit "$status"
