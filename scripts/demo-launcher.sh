#!/usr/bin/env bash
# Shows the launcher at work on this machine: publishes a demo client and a launcher build, serves
# them with nginx on 127.0.0.1 and runs the real launcher from an application bundle of its own.
# Its first launch installs the client and starts it, a plain second start starts it at once, and
# a launcher build with another version on the service makes it update its own bundle and restart.
#   scripts/demo-launcher.sh [WORK_DIR]
# Everything lives in WORK_DIR (kept) or in a temporary folder (removed at the end); the launcher's
# home, data folder and settings are private to it. ORVANE_DEMO_BUILD=build/dev uses an existing
# build instead of building build/release.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$PWD"
build="${ORVANE_DEMO_BUILD:-}"
if [ -z "$build" ]; then
  scripts/setup.sh
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_WERROR=ON >/dev/null
  cmake --build build/release -j "$(nproc)" --target OrvaneLauncher orvane-publish >/dev/null
  build=build/release
fi
launcher="$repo/$build/launcher/OrvaneLauncher"
tool="$repo/$build/tools/orvane-publish/orvane-publish"

if [ -n "${1:-}" ]; then
  mkdir -p "$1"
  work="$(cd "$1" && pwd)"
  keep=1
else
  work="$(mktemp -d)"
  keep=0
fi
mkdir -p "$work/home/data" "$work/home/config" "$work/home/cache" "$work/runtime" "$work/tmp"
chmod 700 "$work/runtime"
export HOME="$work/home" XDG_DATA_HOME="$work/home/data" XDG_CONFIG_HOME="$work/home/config"
export XDG_CACHE_HOME="$work/home/cache" XDG_RUNTIME_DIR="$work/runtime" TMPDIR="$work/tmp"
export ORVANE_LAUNCHER_CLOSE_DIALOGS=1 # a message box answers itself instead of waiting
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM=offscreen
fi
export DEMO_CLIENT_LOG="$work/client-starts.log" # the demo client writes its starts here
data="$XDG_DATA_HOME/Kettrel GmbH/Orvane Online"
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  if [ "$keep" = 0 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT

os=linux
arch="$(uname -m)"
[ "$(uname -s)" = Darwin ] && os=macos
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
url="http://127.0.0.1:$port"

echo "== publish a demo client (an executable script, a 20 MB data file, a readme)"
client="$work/client-build"
mkdir -p "$client/Contents/MacOS" "$client/data"
cat > "$client/Contents/MacOS/orvane-client" <<'SCRIPT'
#!/bin/sh
echo "demo client started in $(pwd) with arguments: $*" | tee -a "$DEMO_CLIENT_LOG"
SCRIPT
chmod +x "$client/Contents/MacOS/orvane-client"
head -c 20000000 /dev/urandom > "$client/data/world.pak"
echo "Orvane Online demo client, build 1" > "$client/readme.txt"
"$tool" package "$client" "$work/web/client" --version 1.0.0 --executable Contents/MacOS/orvane-client \
  --parameter -windowed --assets 'data/*'
"$tool" catalogue "$work/web/vammetadata.json" --name "Orvane Online" --directory OrvaneOnline \
  --os "$os" --arch "$arch" --install-automatically yes \
  --package "$work/web/client/package.json" --assets "$work/web/client/assets.json"

echo "== serve it at $url"
scripts/serve-nginx.sh "$work/web" "$port" >/dev/null &
server_pid=$!
for _ in $(seq 100); do curl -sf "$url/vammetadata.json" >/dev/null && break; sleep 0.1; done

echo "== the launcher in its own bundle, its settings pointing at the service"
bundle="$work/Orvane Online.app"
exe="$bundle/Contents/MacOS/OrvaneLauncher"
mkdir -p "$bundle/Contents/MacOS"
cp "$launcher" "$exe"
sed "s#^launcherConfiguration=.*#launcherConfiguration=$url/vammetadata.json#" \
  launcher/resources/settings/launchersettings.ini > "$bundle/Contents/MacOS/launchersettings.ini"

run_launcher() {
  local status=0
  "$exe" "$@" || status=$?
  echo "launcher exit code: $status"
}

echo
echo "== 1. first launch: installs the client marked for automatic installation and starts it"
run_launcher --first-launch
sleep 1
echo "installed: $(cd "$data/packages/OrvaneOnline.app" && ls -A | tr '\n' ' ')"
cmp -s "$data/packages/OrvaneOnline.app/package.json" "$work/web/client/package.json" &&
  echo "package.json in the client folder is the served package document"

echo
echo "== 2. a plain start: the installed default client starts at once, nothing is downloaded"
run_launcher
sleep 1
if grep -q installOrUpdatePackage "$data/OrvaneLauncher.log"; then
  echo "this run installed something"
else
  echo "nothing was installed or downloaded in this run"
fi

echo
echo "== 3. a launcher build 0.1.0 (this bundle plus one new file) on the service: the launcher updates itself"
lbuild="$work/launcher-build"
mkdir -p "$lbuild"
cp -a "$bundle/Contents" "$lbuild/"
mkdir -p "$lbuild/Contents/Resources"
echo "What is new in launcher 0.1.0" > "$lbuild/Contents/Resources/whats-new.txt"
"$tool" package "$lbuild" "$work/web/launcher" --version 0.1.0 \
  --executable Contents/MacOS/OrvaneLauncher --codec 3
"$tool" catalogue "$work/web/vammetadata.json" --launcher --name "Orvane Launcher" \
  --os "$os" --arch "$arch" --package "$work/web/launcher/package.json"
starts_before="$(wc -l < "$DEMO_CLIENT_LOG")"
run_launcher
# The restarted launcher runs detached; it starts the client in turn and ends.
for _ in $(seq 600); do
  [ "$(wc -l < "$DEMO_CLIENT_LOG")" -gt "$starts_before" ] &&
    grep -q onClientLaunchCheck "$data/OrvaneLauncher.log" && break
  sleep 0.2
done
sleep 1
echo "the restarted launcher's log:"
grep -E 'Arguments:|Self update|cleanupOldLauncherVersion|Client started' "$data/OrvaneLauncher.log" | cut -c 21-
echo "new file in the bundle: $(cat "$bundle/Contents/Resources/whats-new.txt")"
echo "backups left in the bundle: $(find "$bundle" -name '*.old' | wc -l)"

echo
echo "== the demo client's starts"
cat "$DEMO_CLIENT_LOG"
[ "$keep" = 1 ] && echo "everything is in $work (the service stops now)"
exit 0
