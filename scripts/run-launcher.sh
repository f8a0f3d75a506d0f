#!/usr/bin/env bash
# Installs what is needed, builds the launcher and starts it. Extra arguments go to the launcher.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh release
exe=build/release/launcher/OrvaneLauncher
status=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  # No screen: run inside a virtual X server, where nobody could answer a message box, so every
  # box is logged and answered at once.
  export ORVANE_LAUNCHER_CLOSE_DIALOGS="${ORVANE_LAUNCHER_CLOSE_DIALOGS:-1}"
  xvfb-run -a "$exe" "$@" || status=$?
else
  "$exe" "$@" || status=$?
fi
log="${XDG_DATA_HOME:-$HOME/.local/share}/Kettrel GmbH/Orvane Online/OrvaneLauncher.log"
echo "Launcher ended with exit code $status. Its log file, $log:"
cat "$log" 2>/dev/null || echo "(no log file)"
exit "$status"
