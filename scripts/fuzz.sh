#!/usr/bin/env bash
# Builds one libFuzzer target with clang (AddressSanitizer and UndefinedBehaviorSanitizer) in
# build/fuzz and runs it for the given number of seconds, at the lowest CPU priority.
#
#   scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
#   scripts/fuzz.sh --list
#
# Targets: fuzz_container, fuzz_packageconfiguration, fuzz_launcherconfiguration, fuzz_hints,
# fuzz_cdntrace.
# The corpus grows in build/fuzz/corpus/TARGET (seeded from fuzz/seeds/NAME, NAME being TARGET
# without "fuzz_", and, for the
# container, the codec vectors in ../shared/formats/vectors); inputs that crash are written to
# build/fuzz/artifacts/TARGET/.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$ROOT/build/fuzz"
TARGETS=$(sed -n 's/^orvane_add_fuzzer(\([a-z_]*\) .*/\1/p' "$ROOT/fuzz/CMakeLists.txt")

if [ "${1:-}" = "--list" ]; then
  echo "$TARGETS"
  exit 0
fi
if [ $# -lt 2 ]; then
  echo "usage: $0 TARGET SECONDS [libFuzzer options...]   (targets: $(echo $TARGETS))" >&2
  exit 2
fi
TARGET="$1"
SECONDS_TO_RUN="$2"
shift 2
if ! grep -qx "$TARGET" <<<"$TARGETS"; then
  echo "unknown target '$TARGET' (targets: $(echo $TARGETS))" >&2
  exit 2
fi

if [ ! -f "$BUILD/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVANE_BUILD_FUZZ=ON -DORVANE_BUILD_TESTS=OFF -DORVANE_BUILD_BENCH=OFF >/dev/null
fi
nice -n 19 cmake --build "$BUILD" --target "$TARGET" -j"${FUZZ_JOBS:-2}"

CORPUS="$BUILD/corpus/$TARGET"
ARTIFACTS="$BUILD/artifacts/$TARGET"
mkdir -p "$CORPUS" "$ARTIFACTS"
SEEDS="$ROOT/fuzz/seeds/${TARGET#fuzz_}"
if [ -d "$SEEDS" ]; then
  cp -n "$SEEDS"/* "$CORPUS"/ 2>/dev/null || true
fi
VECTORS="$ROOT/../shared/formats/vectors"
if [ "$TARGET" = fuzz_container ] && [ -d "$VECTORS" ]; then
  # The small vectors only: seeds of several MiB slow every mutation down.
  find "$VECTORS" -name '*.c*' -size -128k -exec cp -n {} "$CORPUS"/ \;
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$ROOT/fuzz/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export QT_QPA_PLATFORM=offscreen
exec nice -n 19 "$BUILD/fuzz/$TARGET" -max_total_time="$SECONDS_TO_RUN" -rss_limit_mb=2560 -timeout=25 \
  -print_final_stats=1 -artifact_prefix="$ARTIFACTS/" "$@" "$CORPUS"
