#!/usr/bin/env bash
# Times two korvel binaries against each other, run after run alternating so that the machine's
# noise falls on both alike, and checks that they print the same lines.
# usage: scripts/compare_builds.sh <before> <after> <corpus folder> [runs (5)] [files...]
# Prints one row per file and format switch: the best time of each, and after/before.
set -euo pipefail
before=$1 after=$2 corpus=$3
runs=${4:-5}
shift $(( $# < 4 ? $# : 4 ))
files=("$@")
[ ${#files[@]} -eq 0 ] && files=(random.bin text.bin x86-64.bin zeros.bin worst-ones.bin worst-stored-chain.bin
                                 worst-dcl-literals.bin)
switches=(-deflate -pkware -lzo -ucl2b -ucl2d all)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Nanoseconds of one --list run, one thread, its lines in $scratch/$2.
run() {
    local binary=$1 lines=$2 file=$3 switch=$4 start
    local args=(--list --jobs=1)
    [ "$switch" != all ] && args+=("$switch")
    start=$(date +%s%N)
    "$binary" "${args[@]}" "$file" > "$scratch/$lines"
    echo $(( $(date +%s%N) - start ))
}

printf '%-24s %-8s %9s %9s %7s\n' file switch before after ratio
status=0
for name in "${files[@]}"; do
    for switch in "${switches[@]}"; do
        best_before='' best_after=''
        for ((i = 0; i < runs; ++i)); do
            t=$(run "$before" before "$corpus/$name" "$switch")
            if [ -z "$best_before" ] || (( t < best_before )); then best_before=$t; fi
            t=$(run "$after" after "$corpus/$name" "$switch")
            if [ -z "$best_after" ] || (( t < best_after )); then best_after=$t; fi
        done
        same=''
        if ! cmp -s "$scratch/before" "$scratch/after"; then same='  LINES DIFFER'; status=1; fi
        awk -v n="$name" -v s="$switch" -v b="$best_before" -v a="$best_after" -v d="$same" \
            'BEGIN { printf "%-24s %-8s %9.3f %9.3f %7.3f%s\n", n, s, b / 1e9, a / 1e9, a / b, d }'
    done
done
exit $status
