#!/usr/bin/env bash
# Checks the sync client's layers: a source file (.h/.cpp, tests included)
# under clients/cloudsync/ may include headers of its own folder and of the
# folders below it, never of a folder above. The order, lowest first, is the
# one of clients/cloudsync/CMakeLists.txt. Includes are plain names (each
# library puts its folder on the include path), so a name is found by the
# header of that name under clients/cloudsync/ (its folder's tests/ count as
# the folder). Prints every include that goes up and fails if there is one.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 - "$@" <<'EOF'
import os
import re
import sys

LAYERS = ["store", "common", "scan", "monitor", "engine", "offline", "runner", "local"]
ROOT = "clients/cloudsync"

def layer_of(path):
    first = os.path.relpath(path, ROOT).split(os.sep)[0]
    return first if first in LAYERS else None

headers = {}
sources = []
for folder, _, files in os.walk(ROOT):
    for name in files:
        path = os.path.join(folder, name)
        if name.endswith(".h"):
            headers.setdefault(name, []).append(path)
        if name.endswith((".h", ".cpp")):
            sources.append(path)

include = re.compile(r'\s*#\s*include\s*"([^"]+)"')
bad = []
for source in sorted(sources):
    own = layer_of(source)
    if own is None:
        continue
    with open(source, encoding="utf-8", errors="replace") as text:
        for number, line in enumerate(text, 1):
            found = include.match(line)
            if not found:
                continue
            for header in headers.get(os.path.basename(found.group(1)), []):
                theirs = layer_of(header)
                if theirs is not None and LAYERS.index(theirs) > LAYERS.index(own):
                    bad.append(f"{source}:{number}: {own} includes {header} ({theirs} is above it)")

for line in bad:
    print(line)
if bad:
    print(f"check-layers: {len(bad)} include(s) from a layer above; order: {' < '.join(LAYERS)}", file=sys.stderr)
    sys.exit(1)
print("check-layers: every include under clients/cloudsync/ goes to its own layer or one below")
EOF
