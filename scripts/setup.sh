#!/usr/bin/env bash
# Installs the Debian packages the launcher, its tools, tests and benchmarks need.
# Safe to run again: packages already present are left as they are.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build pkg-config
  qtbase5-dev qtbase5-dev-tools
  liblzma-dev zlib1g-dev liblz-dev libssl-dev
  qttools5-dev-tools
  xvfb xauth fonts-dejavu-core lzip xz-utils zpaq nginx curl python3
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
