#!/usr/bin/env bash
# Builds with ThreadSanitizer in build-tsan/ and runs the quick tests there
# (the slow ones only wait). Reports proven false are suppressed by
# scripts/tsan-suppressions.txt, which says why for each. Exits non-zero on a
# failed test or a report.
#   scripts/tsan.sh [ctest arguments...]     e.g. -R thread
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S "$root" -B "$root/build-tsan" -G Ninja -DTARVEL_TSAN=ON \
  -DTARVEL_BENCH=OFF >/dev/null
cmake --build "$root/build-tsan" -j "$jobs"

export TSAN_OPTIONS="suppressions=$root/scripts/tsan-suppressions.txt halt_on_error=0 exitcode=66 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
cd "$root/build-tsan"
ctest --output-on-failure -j "$jobs" --timeout 900 -LE slow "$@"
