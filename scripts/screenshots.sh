#!/usr/bin/env bash
# Renders the launcher window's main states headless into docs/screenshots/*.png: the empty list
# with the connection-problem box, five clients in two rows, the hint row, a download in progress
# (a small build published with orvane-publish, served by the program's own local server) and the
# download-failure box with the CDN diagnosis.
#   scripts/screenshots.sh [OUTPUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/screenshots}"
scripts/setup.sh
build="${ORVANE_BUILD_DIR:-build/release}"   # another configured build folder may be named
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_WERROR=ON >/dev/null
fi
cmake --build "$build" --target orvane-screenshots orvane-publish >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/source" "$work/home" "$work/data" "$work/config" "$work/cache" "$work/runtime"
chmod 700 "$work/runtime"
head -c 12000000 /dev/urandom > "$work/source/world.pak"
echo "demo" > "$work/source/readme.txt"
"$build/tools/orvane-publish/orvane-publish" package "$work/source" "$work/published" \
  --version 2.5.0 --plain >/dev/null
HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" \
XDG_CACHE_HOME="$work/cache" XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=offscreen \
  "$build/tools/screenshots/orvane-screenshots" "$out" "$work/published"
