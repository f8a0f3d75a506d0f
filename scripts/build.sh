#!/usr/bin/env bash
# Configures and builds the project.
#   scripts/build.sh release   -> build/release (optimised; launcher, tools, benchmarks)
#   scripts/build.sh sanitize  -> build/sanitize (ASan + UBSan, warnings are errors; tests)
set -euo pipefail
cd "$(dirname "$0")/.."
kind="${1:-release}"
case "$kind" in
  release)
    cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_WERROR=ON >/dev/null ;;
  sanitize)
    cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON \
      -DORVANE_WERROR=ON -DORVANE_BUILD_BENCH=OFF >/dev/null ;;
  *) echo "usage: $0 release|sanitize" >&2; exit 2 ;;
esac
cmake --build "build/$kind" -j "$(nproc)"
