#!/usr/bin/env bash
# Installs what is missing (with apt-get, saying so first), checks that each
# library includes only the headers of those it depends on, builds with
# -Werror, runs every test; then builds again with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the tests there too. Exits non-zero on any failure.
#   TARVEL_SKIP_SLOW=1   leave out the tests labelled "slow"
#   TARVEL_SKIP_SANITIZE=1  only the plain build
#   TARVEL_PACKAGE_CHECK=1  also build the Debian package, install it on this
#                           machine, try it and purge it (scripts/package.sh --check)
#   TARVEL_SKIP_FUZZ=1   leave out the fuzz smoke run (each harness 20 s, with clang)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

"$root/scripts/install-deps.sh"

echo "== include order"
"$root/scripts/check-includes"

jobs=$(nproc 2>/dev/null || echo 2)
ctest_args=(--output-on-failure -j "$jobs" --timeout 900)

configure_and_build() {
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -DTARVEL_WERROR=ON "$@"
  cmake --build "$dir" -j "$jobs"
}

echo "== plain build"
configure_and_build "$root/build-test"
(cd "$root/build-test" && ctest "${ctest_args[@]}" -LE slow)

# The example unit, with its paths pointed at the binary just built.
if command -v systemd-analyze >/dev/null 2>&1; then
  echo "== systemd-analyze verify contrib/tarvelsvc.service"
  unit_dir=$(mktemp -d)
  sed "s|/opt/tarvel/bin/tarvelsvc|$root/build-test/tarvelsvc|" \
    "$root/contrib/tarvelsvc.service" >"$unit_dir/tarvelsvc.service"
  systemd-analyze verify "$unit_dir/tarvelsvc.service"
  rm -rf "$unit_dir"
fi

# The slow tests spend minutes waiting (gentle-stop time-outs, the restart
# throttle) and hardly use the processor: they run in the background, all at
# once, while the other builds compile, and are waited for before the
# sanitizer tests start.
slow_pid=
slow_log=$root/build-test/slow-tests.log
if [ "${TARVEL_SKIP_SLOW:-0}" != 1 ]; then
  echo "== slow tests of the plain build, in the background"
  (cd "$root/build-test" && ctest --output-on-failure -j 16 --timeout 900 -L slow) >"$slow_log" 2>&1 &
  slow_pid=$!
fi

fuzz=0
if [ "${TARVEL_SKIP_FUZZ:-0}" != 1 ]; then
  if command -v clang >/dev/null && command -v clang++ >/dev/null; then
    fuzz=1
  else
    echo "== fuzz smoke run skipped: clang is not installed"
  fi
fi

if [ "${TARVEL_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== AddressSanitizer and UndefinedBehaviorSanitizer build"
  configure_and_build "$root/build-asan" -DTARVEL_SANITIZE=ON -DTARVEL_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
fi
if [ "$fuzz" = 1 ]; then
  echo "== fuzz build"
  TARVEL_FUZZ_BUILD_ONLY=1 "$root/scripts/fuzz.sh"
fi

if [ -n "$slow_pid" ]; then
  slow_status=0
  wait "$slow_pid" || slow_status=$?
  echo "== slow tests of the plain build (status $slow_status)"
  cat "$slow_log"
  if [ "$slow_status" != 0 ]; then
    exit "$slow_status"
  fi
fi

if [ "${TARVEL_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== AddressSanitizer and UndefinedBehaviorSanitizer tests"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  # The slow tests only wait; the plain build runs them, here they would add
  # minutes and find nothing.
  (cd "$root/build-asan" && ctest "${ctest_args[@]}" -LE slow)
fi

if [ "$fuzz" = 1 ]; then
  echo "== fuzz smoke run: each harness for 20 s, $jobs at a time"
  TARVEL_FUZZ_JOBS=$jobs "$root/scripts/fuzz.sh" 20
fi

if [ "${TARVEL_PACKAGE_CHECK:-0}" = 1 ]; then
  echo "== Debian package: build, install, try, purge"
  "$root/scripts/package.sh" --check
fi
