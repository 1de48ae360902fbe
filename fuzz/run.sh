#!/bin/bash
# Builds the fuzz targets (when needed) and runs each for the given number of seconds, one after
# the other (FUZZ_JOBS=2 runs two at a time), after running its 1 MB inputs in fuzz/big once.
# Prints the executions of every target; a target that finds a crash or a broken invariant
# leaves the input in build-fuzz/artifacts/<target>/ and makes the script fail.
#   fuzz/run.sh 600            every target for ten minutes
#   fuzz/run.sh 60 FuzzDatabase one target for a minute
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(FuzzValidate FuzzDatabase FuzzVersion FuzzQuantity FuzzReportNumber)
build=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=${FUZZ_JOBS:-1}

if ! command -v clang++ >/dev/null; then
  echo "fuzz/run.sh needs clang and libFuzzer: apt-get install clang libclang-rt-14-dev" >&2
  exit 1
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DVETTRIX_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
fi
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null || exit 1

# Inputs up to 1 MB: a pasted text, a database file.
max_len() {
  case $1 in
    FuzzValidate | FuzzDatabase) echo 1048576 ;;
    *) echo 4096 ;;
  esac
}

run_one() {
  local target=$1
  # The fuzzer grows a working corpus of its own; the seeds in the repository stay as they are.
  local corpus="$build/corpus/$target" artifacts="$build/artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  # The 1 MB stand-ins in fuzz/big run once each; fuzzing them would crowd out everything else.
  local status=0
  if [ -d "fuzz/big/$target" ]; then
    VETTRIX_FUZZ_BIG=1 "$build/fuzz/$target" fuzz/big/"$target"/* >"$build/$target.big.log" 2>&1 ||
      status=$?
  fi
  if [ $status -ne 0 ]; then
    echo "$target: FAILED on an input of fuzz/big/$target, see $build/$target.big.log"
    return $status
  fi
  "$build/fuzz/$target" -max_total_time="$seconds" -max_len="$(max_len "$target")" \
    -print_final_stats=1 -artifact_prefix="$artifacts/" -timeout=30 -rss_limit_mb=4096 \
    "$corpus" "fuzz/corpus/$target" >"$build/$target.log" 2>&1
  status=$?
  local runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$target.log" | tail -1)
  if [ $status -eq 0 ]; then
    echo "$target: ${runs:-?} executions in ${seconds} s, no finding"
  else
    echo "$target: FAILED after ${runs:-?} executions, see $build/$target.log and $artifacts/"
  fi
  return $status
}

failed=0
running=0
for target in "${targets[@]}"; do
  if [ "$jobs" -gt 1 ]; then
    run_one "$target" &
    running=$((running + 1))
    if [ $running -ge "$jobs" ]; then
      wait -n || failed=1
      running=$((running - 1))
    fi
  else
    run_one "$target" || failed=1
  fi
done
while [ $running -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
exit $failed
