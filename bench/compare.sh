#!/usr/bin/env bash
# Vettrix side by side with python-stdnum and node-imei on the same inputs, and how Vettrix's
# cost grows with the size of its database. Run from the repository's folder, as root, on
# Debian 12:
#
#   bench/compare.sh
#
# Installs what it needs, builds the Release tree, runs everything once and writes
# bench/RESULTS.md. VETTRIX_BUILD_DIR names the build folder (default: build).
set -euo pipefail

cd "$(dirname "$0")/.."
BUILD=${VETTRIX_BUILD_DIR:-build}
SEED=20261206
INPUTS=200000
GENERATED=10000
NODE_IMEI=node-imei@1.0.8
export DEBIAN_FRONTEND=noninteractive

step() { printf '\n== %s\n' "$*"; }

step "Installing what is missing"
packages=()
command -v cmake >/dev/null && dpkg -s libbenchmark-dev qt6-base-dev >/dev/null 2>&1 ||
  tools/install-deps
[ -f /usr/lib/python3/dist-packages/stdnum/imei.py ] || packages+=(python3-stdnum)
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
[ -x /usr/bin/time ] || packages+=(time)
if ((${#packages[@]})); then
  apt-get update
  apt-get install -y --no-install-recommends "${packages[@]}"
fi

WORK=$(mktemp -d /tmp/vettrix-compare.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
# node-imei goes into the run's own folder, so nothing lands in the source tree.
npm install --prefix "$WORK/npm" --no-save --no-audit --no-fund --loglevel=error "$NODE_IMEI"
MODULES="$WORK/npm/node_modules"

step "Building $BUILD (Release)"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target vettrix vettrix_compare vettrix_bench
COMPARE="$BUILD/bench/vettrix_compare"

step "Inputs: $INPUTS 15-digit strings, seed $SEED"
"$COMPARE" inputs "$INPUTS" "$SEED" "$WORK/inputs.txt"
# Digit strings of other lengths, judged by each checker but not timed.
printf '%s\n' 490154203237518 49015420323751 4901542032375186 00000000000000 \
  0000000000000000 79927398713 4111111111111111 0 26 >"$WORK/probe.txt"

step "Validation"
RESULTS="$WORK/results.jsonl"
"$COMPARE" verdict "$WORK/inputs.txt" "$WORK/verdict-vettrix.txt" | tee -a "$RESULTS"
"$COMPARE" validate "$WORK/inputs.txt" "$WORK/verdict-vettrix-full.txt" | tee -a "$RESULTS"
/usr/bin/python3 bench/compare/stdnum_validate.py "$WORK/inputs.txt" "$WORK/verdict-stdnum.txt" |
  tee -a "$RESULTS"
node bench/compare/node_imei.js "$MODULES" validate "$WORK/inputs.txt" \
  "$WORK/verdict-node.txt" | tee -a "$RESULTS"
"$COMPARE" verdict "$WORK/probe.txt" "$WORK/probe-vettrix.txt" >/dev/null
/usr/bin/python3 bench/compare/stdnum_validate.py "$WORK/probe.txt" "$WORK/probe-stdnum.txt" \
  >/dev/null
node bench/compare/node_imei.js "$MODULES" validate "$WORK/probe.txt" "$WORK/probe-node.txt" \
  >/dev/null

step "Generation: $GENERATED valid IMEIs"
"$COMPARE" random "$GENERATED" "$WORK/gen-vettrix-random.txt" | tee -a "$RESULTS"
"$COMPARE" tac "$GENERATED" "$WORK/gen-vettrix-tac.txt" | tee -a "$RESULTS"
node bench/compare/node_imei.js "$MODULES" random "$GENERATED" "$WORK/gen-node-random.txt" |
  tee -a "$RESULTS"

step "Vettrix at 60, 1,000, 10,000 and 99,999 database lines (vettrix_bench)"
QT_QPA_PLATFORM=offscreen "$BUILD/bench/vettrix_bench" \
  --benchmark_out="$WORK/bench.json" --benchmark_out_format=json

step "Peak memory of the program started on a 99,999-line database"
# The program reads mobidex.csv from its own folder. It runs until `timeout` ends it; without
# a network namespace (where unshare is not allowed) its banner request simply fails.
NETLESS=()
unshare -n true 2>/dev/null && NETLESS=(unshare -n)
for lines in 60 99999; do
  mkdir -p "$WORK/program-$lines"
  cp "$BUILD/vettrix" "$WORK/program-$lines/"
  "$COMPARE" database "$lines" "$WORK/program-$lines"
  (cd "$WORK" && QT_QPA_PLATFORM=offscreen "${NETLESS[@]}" /usr/bin/time -v \
    -o "$WORK/rss-$lines.txt" timeout 3 "$WORK/program-$lines/vettrix" >/dev/null 2>&1 || true)
  grep 'Maximum resident' "$WORK/rss-$lines.txt" | sed "s/^\s*/$lines lines: /"
done

step "Report"
/usr/bin/python3 bench/compare/report.py "$WORK" bench/RESULTS.md
