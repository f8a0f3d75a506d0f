#!/usr/bin/env bash
# Shows an update end to end on this machine: publishes a small client build, serves it with
# nginx on 127.0.0.1, installs it with the launcher's installation engine (orvane-publish sync),
# changes 1 MiB of a 48 MiB file, publishes the new build and updates: only the changed chunk
# is fetched. Everything happens in a temporary folder that is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh release >/dev/null
tool="$PWD/build/release/tools/orvane-publish/orvane-publish"
work="$(mktemp -d)"
export TMPDIR="$work"           # the nginx state of serve-nginx.sh stays in here too
export XDG_DATA_HOME="$work/data"
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

echo "== a client build: one large file, two small ones, an executable"
mkdir -p "$work/build/bin"
python3 -c "import random,sys; r=random.Random(7); sys.stdout.buffer.write(r.randbytes(48<<20))" > "$work/build/data.pak"
echo "Orvane Online, build 1" > "$work/build/readme.txt"
printf '#!/bin/sh\necho "Orvane Online client"\n' > "$work/build/bin/client"
chmod +x "$work/build/bin/client"

echo "== publish build 1 and the launcher configuration"
"$tool" package "$work/build" "$work/site/launcher/client" --version 1 --executable bin/client --codec 3
"$tool" catalogue "$work/site/launcher/vammetadata.json" --name "Orvane Online" --os linux --arch x86_64 \
  --package "$work/site/launcher/client/package.json"

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
scripts/serve-nginx.sh "$work/site" "$port" &
server_pid=$!
for _ in $(seq 50); do curl -sf "http://127.0.0.1:$port/launcher/client/package.json" >/dev/null && break; sleep 0.1; done

echo "== install build 1 into an empty folder"
"$tool" sync --package "http://127.0.0.1:$port/launcher/client/package.json" --dir "$work/installed"

echo "== change 1 MiB in the middle of data.pak, publish build 2 into the same place"
python3 -c "import random,sys; sys.stdout.buffer.write(random.Random(8).randbytes(1<<20))" |
  dd of="$work/build/data.pak" bs=1M seek=20 conv=notrunc status=none
echo "Orvane Online, build 2" > "$work/build/readme.txt"
"$tool" package "$work/build" "$work/site/launcher/client" --version 2 --executable bin/client --codec 3

echo "== update the installation (fast scan from the recorded build, then a forced verification)"
"$tool" sync --package "http://127.0.0.1:$port/launcher/client/package.json" --dir "$work/installed" --fast-scan --verify

echo "== the installed client"
cmp "$work/build/data.pak" "$work/installed/data.pak" && echo "data.pak matches build 2"
cat "$work/installed/readme.txt"
"$work/installed/bin/client"
ls "$work/installed"
