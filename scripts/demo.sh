#!/usr/bin/env bash
# Scans the bundled sample in a fresh folder and lists what was extracted. -skip32 hides the
# few-byte streams that ordinary bytes decode to by chance.
set -euo pipefail
korvel=$(realpath "$1")
sample=$(realpath "$2")
work=$(dirname "$korvel")/demo
rm -rf "$work"
mkdir -p "$work"
cd "$work"
echo "== korvel -skip32 $(basename "$sample") ($(stat -c %s "$sample") bytes), run in $work"
status=0
"$korvel" -skip32 "$sample" || status=$?
echo
echo "== extracted files"
find . -type f -printf '%P\t%s bytes\n' | sort
exit "$status"
