#!/bin/bash
# Builds the fuzz targets (when needed) and runs each for the given number of seconds, one after
# the other (FUZZ_JOBS=2 runs two at a time), after running its 1 MB inputs in fuzz/big once.
# Prints the executions and the coverage of every target; a target that finds a crash, a broken
# invariant, an input slower or an allocation larger than its bounds (limits below) leaves the
# input in build-fuzz/artifacts/<target>/ and makes the script fail.
#   fuzz/run.sh 600            every target for ten minutes
#   fuzz/run.sh 60 FuzzDatabase one target for a minute
# The targets: the normaliser and validation (FuzzValidate), the database reader (FuzzDatabase),
# the version files (FuzzVersion), the quantity (FuzzQuantity), the report's numbers
# (FuzzReportNumber), the service's handling of a connection's bytes (FuzzRequest), the
# submission form and the JSON bodies with the operator's listings (FuzzSubmission), the
# database update's checks of a download (FuzzDownload), convert's readers (FuzzConvert) and the
# settings files (FuzzSettings).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(FuzzValidate FuzzDatabase FuzzVersion FuzzQuantity FuzzReportNumber
  FuzzRequest FuzzSubmission FuzzDownload FuzzConvert FuzzSettings)
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

# Inputs up to 1 MB: a pasted text, a database file; a connection's bytes up to a 64 KiB form
# and a 16 KiB head; a few bodies, downloads or input files of 64 KiB.
max_len() {
  case $1 in
    FuzzValidate | FuzzDatabase) echo 1048576 ;;
    FuzzRequest) echo 81920 ;;
    FuzzSubmission | FuzzDownload | FuzzConvert) echo 65536 ;;
    *) echo 4096 ;;
  esac
}

# The bounds of one input: seconds, and the largest allocation in MB (larger is a finding); and
# the memory of the whole process in MB (its corpus, the sanitizers' quarantine). What takes
# bytes from the network or an operator's file answers each input within 5 s (10 s for a run
# of convert) and never allocates 64 MB at once (128 MB for convert, whose line reader alone
# holds 4 MiB).
limits() {
  case $1 in
    FuzzRequest | FuzzSubmission | FuzzDownload | FuzzSettings)
      echo -timeout=5 -malloc_limit_mb=64 -rss_limit_mb=2048 ;;
    FuzzConvert) echo -timeout=10 -malloc_limit_mb=128 -rss_limit_mb=2048 ;;
    *) echo -timeout=30 -rss_limit_mb=4096 ;;
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
  # shellcheck disable=SC2046
  "$build/fuzz/$target" -max_total_time="$seconds" -max_len="$(max_len "$target")" \
    -print_final_stats=1 -artifact_prefix="$artifacts/" $(limits "$target") \
    "$corpus" "fuzz/corpus/$target" >"$build/$target.log" 2>&1
  status=$?
  local runs speed coverage
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$target.log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$build/$target.log" | tail -1)
  coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$build/$target.log" | tail -1)
  if [ $status -eq 0 ]; then
    echo "$target: ${runs:-?} executions in ${seconds} s (${speed:-?}/s), ${coverage:-?}, no finding"
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
