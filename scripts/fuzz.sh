#!/usr/bin/env bash
# Runs every fuzz target for the given number of seconds; fails on the first finding.
# usage: fuzz.sh <fuzz build folder> <seconds per target>
set -euo pipefail
build=$1
seconds=$2
seeds="$build/fuzz-seeds"
rm -rf "$seeds"
mkdir -p "$seeds"
"$build/make_fuzz_seeds" "$seeds"
status=0
for target in "$build"/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="$build/fuzz-corpus/$name"
  artifacts="$build/fuzz-findings/$name/"
  mkdir -p "$corpus" "$artifacts"
  log="$build/fuzz-logs/$name.log"
  mkdir -p "$(dirname "$log")"
  if "$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
       -artifact_prefix="$artifacts" "$corpus" "$seeds" >"$log" 2>&1; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
    echo "$name: clean, $runs runs in ${seconds} s, $cov"
  else
    echo "$name: FINDING (see $log and $artifacts)"
    grep -E 'ERROR|check failed|runtime error|SUMMARY' "$log" | head -5 || true
    status=1
  fi
done
exit "$status"
