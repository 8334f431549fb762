#!/usr/bin/env bash
# Scans the bundled sample in a fresh folder and lists what was extracted, then finds the real
# streams in a zip archive made on the spot: --real keeps what the input around them
# corroborates; then scans streams inside streams (--depth) in a zip, LZO-compressed, in a raw
# deflate stream; and draws the map of the zip archive's findings. On the samples, -skip32 and
# -skip100 hide the few-byte streams that ordinary bytes decode to by chance.
set -euo pipefail
korvel=$(realpath "$1")
sample=$(realpath "$2")
make_sample=$(dirname "$korvel")/make_sample
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
echo

"$make_sample" --zip demo.zip
echo "== finding the real streams in demo.zip ($(stat -c %s demo.zip) bytes, four deflated members)"
echo "-- korvel -deflate --list demo.zip: every deflate stream, spurious ones included; nothing written"
"$korvel" -deflate --list demo.zip || status=$?
echo "-- korvel --real --list demo.zip: only the streams judged real, every format; the zip headers say so"
"$korvel" --real --list demo.zip | tee real.txt || status=$?
offset=$(sed -n '2s/.*(0x\([0-9a-f]*\)).*/\1/p' real.txt)
echo "-- korvel -deflate -offs$offset -stop1 -skip32 demo.zip: extract the second member alone"
mkdir -p one
(cd one && "$korvel" -deflate "-offs$offset" -stop1 -skip32 ../demo.zip) || status=$?
find one -type f -printf '%P\t%s bytes\n'
echo "-- korvel --list --map=map.svg demo.zip: the picture of where the streams lie, by verdict"
"$korvel" --list --map=map.svg demo.zip > /dev/null || status=$?
echo "the map of demo.zip is $work/map.svg: open it in a browser, hover a bar for its stream"
echo

"$make_sample" --nested nested.bin
echo "== streams inside streams: nested.bin ($(stat -c %s nested.bin) bytes), a zip, LZO-compressed, in a raw deflate stream"
echo "-- korvel -skip100 --depth=2 --outer nested.bin: each line says what the stream lies inside"
mkdir -p nested
(cd nested && "$korvel" -skip100 --depth=2 --outer ../nested.bin) || status=$?
echo "-- what it wrote: the streams inside a stream go to a folder beside its file"
(cd nested && find . -type f -printf '%P\t%s bytes\n' | sort)
exit "$status"
