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
CLI_LINES=10000000
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
cmake --build "$BUILD" -j"$(nproc)" --target vettrix vettrix-cli vettrix_compare vettrix_bench
COMPARE="$BUILD/bench/vettrix_compare"
CLI="$BUILD/vettrix-cli"

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

step "vettrix-cli: check over $CLI_LINES lines, generate $CLI_LINES IMEIs"
# One file for every check: half valid, TACs from the shipped database. The databases of 60 and
# 99,999 lines are the shipped one's first 59 device lines, and all of them filled up with
# generated lines, each with the version line.
"$COMPARE" lines "$CLI_LINES" "$SEED" data/mobidex.csv "$WORK/lines.txt"
DB=data/mobidex.csv
{ head -n 59 "$DB"; tail -n 1 "$DB"; } >"$WORK/db-60.csv"
{
  head -n -1 "$DB"
  awk -v n="$(($(wc -l <"$DB") - 1))" 'BEGIN { for (k = n + 1; k < 99999; ++k)
    printf "%d,Maker %d,Model %d\r\n", 10000000 + (k * 7919) % 89999999, k, k }'
  tail -n 1 "$DB"
} >"$WORK/db-99999.csv"
timed() { /usr/bin/python3 bench/compare/cli_timed.py "$@" | tee -a "$RESULTS"; }
timed vettrix-cli "cli: check" "$CLI_LINES" 3 "$CLI" check --db "$DB" "$WORK/lines.txt"
for lines in 1000000 2000000 5000000; do
  head -n "$lines" "$WORK/lines.txt" >"$WORK/lines-$lines.txt"
  timed vettrix-cli "cli: check $lines lines" "$lines" 3 "$CLI" check --db "$DB" \
    "$WORK/lines-$lines.txt"
  rm "$WORK/lines-$lines.txt"
done
for lines in 60 99999; do
  timed vettrix-cli "cli: check, database of $lines lines" "$CLI_LINES" 3 "$CLI" check --summary \
    --db "$WORK/db-$lines.csv" "$WORK/lines.txt"
done
timed python-stdnum "cli: stdnum check script" "$CLI_LINES" 1 /usr/bin/python3 \
  bench/compare/stdnum_check.py "$WORK/lines.txt"
timed vettrix-cli "cli: generate --random" "$CLI_LINES" 3 "$CLI" generate -n "$CLI_LINES" --random
"$CLI" generate -n "$GENERATED" --random >"$WORK/gen-cli-random.txt"
rm "$WORK/lines.txt"

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
