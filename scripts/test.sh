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
if [ "${TARVEL_SKIP_SLOW:-0}" = 1 ]; then
  ctest_args+=(-LE slow)
fi

run_build() {
  local dir=$1 extra_ctest=$2; shift 2
  cmake -S "$root" -B "$dir" -G Ninja -DTARVEL_WERROR=ON "$@"
  cmake --build "$dir" -j "$jobs"
  # shellcheck disable=SC2086
  (cd "$dir" && ctest "${ctest_args[@]}" $extra_ctest)
}

echo "== plain build"
run_build "$root/build-test" ""

# The example unit, with its paths pointed at the binary just built.
if command -v systemd-analyze >/dev/null 2>&1; then
  echo "== systemd-analyze verify contrib/tarvelsvc.service"
  unit_dir=$(mktemp -d)
  sed "s|/opt/tarvel/bin/tarvelsvc|$root/build-test/tarvelsvc|" \
    "$root/contrib/tarvelsvc.service" >"$unit_dir/tarvelsvc.service"
  systemd-analyze verify "$unit_dir/tarvelsvc.service"
  rm -rf "$unit_dir"
fi

if [ "${TARVEL_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== AddressSanitizer and UndefinedBehaviorSanitizer build"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  # The slow tests only wait (gentle-stop time-outs, the restart throttle);
  # the plain build runs them, here they would add minutes and find nothing.
  run_build "$root/build-asan" "-LE slow" -DTARVEL_SANITIZE=ON -DTARVEL_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
fi

if [ "${TARVEL_PACKAGE_CHECK:-0}" = 1 ]; then
  echo "== Debian package: build, install, try, purge"
  "$root/scripts/package.sh" --check
fi

if [ "${TARVEL_SKIP_FUZZ:-0}" != 1 ]; then
  if command -v clang >/dev/null && command -v clang++ >/dev/null; then
    echo "== fuzz smoke run: each harness for 20 s, $jobs at a time"
    TARVEL_FUZZ_JOBS=$jobs "$root/scripts/fuzz.sh" 20
  else
    echo "== fuzz smoke run skipped: clang is not installed"
  fi
fi
