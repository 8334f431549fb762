#!/usr/bin/env bash
# Builds the corpus (once) and prints the throughput table. BENCH_SECONDS limits each run.
set -euo pipefail
build=${1:-build}
shift || true
"$build/korvel_bench" "$build/korvel" "$build/bench-corpus" "${BENCH_SECONDS:-30}" "$@"
