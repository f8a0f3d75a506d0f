#!/usr/bin/env bash
# Installs what is needed, builds the launcher and starts it. Extra arguments go to the launcher.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh release
exe=build/release/launcher/OrvaneLauncher
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  # No screen: run inside a virtual X server.
  exec xvfb-run -a "$exe" "$@"
fi
exec "$exe" "$@"
