#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang (ASan and UBSan) in
# build-fuzz/ and runs each in turn for the given number of seconds
# (default 60). Every harness starts from the inputs of tests/config/data and
# tests/foundation/data and keeps what it finds in build-fuzz/corpus/<name>;
# a crashing input lands in build-fuzz/artifacts/<name>/. Prints executions
# and coverage per harness; exits non-zero when a harness fails.
#   scripts/fuzz.sh [seconds] [harness...]
#   TARVEL_FUZZ_JOBS=n   run up to n harnesses at a time (default 1)
#   TARVEL_FUZZ_BUILD_ONLY=1  build the harnesses and stop
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
shift || true

if ! command -v clang >/dev/null || ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang is not installed (scripts/install-deps.sh installs it)" >&2
  exit 2
fi

build=$root/build-fuzz
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTARVEL_FUZZ=ON -DTARVEL_TESTS=OFF -DTARVEL_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"
if [ "${TARVEL_FUZZ_BUILD_ONLY:-0}" = 1 ]; then
  exit 0
fi

harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  for source in "$root"/fuzz/*_fuzz.cpp; do
    harnesses+=("$(basename "$source" _fuzz.cpp)")
  done
fi

# Runs one harness; its summary line goes to build-fuzz/logs/<name>.summary.
run_harness() {
  local name=$1 corpus=$build/corpus/$1 artifacts=$build/artifacts/$1
  local log=$build/logs/$1.log status=0 execs cov
  mkdir -p "$corpus" "$artifacts" "$build/logs"
  rm -f "$build/logs/$name.summary"
  local options=(-max_total_time="$seconds" -timeout=60 -print_final_stats=1
                 -artifact_prefix="$artifacts/")
  if [ -f "$root/fuzz/$name.dict" ]; then
    options+=(-dict="$root/fuzz/$name.dict")
  fi
  echo "== fuzzing $name for ${seconds} s"
  "$build/fuzz/${name}_fuzz" "${options[@]}" "$corpus" \
    "$root/tests/config/data" "$root/tests/foundation/data" >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  if [ "$status" != 0 ]; then
    echo "fuzz.sh: $name failed (status $status); the end of $log:" >&2
    tail -40 "$log" >&2
  fi
  printf '%-20s status %-3s execs %-10s %s\n' "$name" "$status" "${execs:-?}" "${cov:-?}" \
    >"$build/logs/$name.summary"
  return "$status"
}

jobs=${TARVEL_FUZZ_JOBS:-1}
failed=0
running=0
for name in "${harnesses[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  run_harness "$name" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done

echo "== fuzz summary (${seconds} s each)"
for name in "${harnesses[@]}"; do
  printf '  %s' "$(cat "$build/logs/$name.summary" 2>/dev/null || echo "$name: no result")"
  echo
done
exit $failed
