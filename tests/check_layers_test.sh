#!/bin/sh
# tools/check-layers passes on the tree, and fails, naming the file, on copies of it with an
# include planted up a floor, beside one, or on a chain from the service to the window model.
set -eu
root=$1
"$root/tools/check-layers" "$root"
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT
fails() {  # FILE INCLUDE FAULT: planted in a fresh copy, the check fails and says FAULT
  rm -rf "$copy/src" && cp -r "$root/src" "$copy/src"
  printf '#include "%s"\n' "$2" >>"$copy/src/$1"
  if "$root/tools/check-layers" "$copy" 2>"$copy/said"; then
    echo "passed with $2 in $1" >&2
    exit 1
  fi
  grep -qF "src/$1: $3" "$copy/said" || { cat "$copy/said" >&2; exit 1; }
}
fails seam/Network.h app/Text.h "includes app/Text.h, which is above it"
fails app/Text.h gui/MainWindow.h "includes gui/MainWindow.h, which is above it"
fails cli/Commands.h service/Http.h "includes service/Http.h, which is beside it"
fails service/Digest.h db/Mobidex.h "reaches the window model: service/Digest.h -> db/Mobidex.h"
