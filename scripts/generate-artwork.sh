#!/usr/bin/env bash
# Draws the launcher's images again with tools/artwork (headless) into launcher/resources/images
# and rewrites launcher/resources/images.qrc, which compiles them in under ":/images/launcher/".
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_WERROR=ON >/dev/null
cmake --build build/release --target orvane-artwork >/dev/null
out=launcher/resources/images
rm -rf "$out"
QT_QPA_PLATFORM=offscreen build/release/tools/artwork/orvane-artwork "$out"
{
  echo '<!DOCTYPE RCC>'
  echo '<!-- Written by scripts/generate-artwork.sh. -->'
  echo '<RCC version="1.0">'
  echo '  <qresource prefix="/images/launcher">'
  for f in $(cd "$out" && LC_ALL=C ls); do
    echo "    <file alias=\"$f\">images/$f</file>"
  done
  echo '  </qresource>'
  echo '</RCC>'
} > launcher/resources/images.qrc
echo "wrote launcher/resources/images.qrc"
