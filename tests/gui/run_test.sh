#!/bin/bash
# README's Run command on a machine without a display: tools/run brings the window up on a
# virtual X server, and ending tools/run ends the window and the server, leaving nothing behind.
# usage: run_test.sh SOURCE_FOLDER BUILD_FOLDER
set -euo pipefail
log=$(mktemp)
trap 'kill -TERM "${run-}" 2>/dev/null || true; rm -f "$log"' EXIT
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM VETTRIX_BUILD="$2" "$1/tools/run" >"$log" 2>&1 &
run=$!
descendants() { for child in $(pgrep -P "$1"); do echo "$child"; descendants "$child"; done; }
window=""
for _ in $(seq 600); do  # the build may have something to do first
  for pid in $(descendants "$run"); do
    [ "$(readlink "/proc/$pid/exe")" = "$(realpath "$2/vettrix")" ] && window=$pid
  done
  if [ -n "$window" ]; then
    export $(tr '\0' '\n' <"/proc/$window/environ" | grep -E '^(DISPLAY|XAUTHORITY)=')
    xwininfo -root -tree 2>/dev/null | grep -q '"Vettrix v[^"]*": ("vettrix"' && break
  fi
  kill -0 "$run" 2>/dev/null || { cat "$log"; echo "tools/run ended"; exit 1; }
  sleep 0.1
done
xwininfo -root -tree | grep '"Vettrix v' || { cat "$log"; echo "no window came up"; exit 1; }
pids="$run $(descendants "$run")"
kill -TERM "$run"
# A process that has ended and waits to be reaped (Z) runs no more.
running() { for pid in $pids; do [[ "$(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null)" =~ ^[^Z]$ ]] && echo "$pid"; done; }
for _ in $(seq 100); do [ -z "$(running)" ] && break; sleep 0.1; done
[ -z "$(running)" ] || { ps -o pid,stat,cmd -p "$(running | paste -sd,)"; echo "still running"; exit 1; }
echo "the window came up on $DISPLAY and ended with tools/run"
