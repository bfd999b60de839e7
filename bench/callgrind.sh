#!/usr/bin/env bash
# Instructions per output unit of every benchmark case: callgrind counts the instructions executed
# inside StreamRead (everything it calls included: the in-memory FileRead, de-interleaving,
# conversion) over one iteration, and the count is divided by the units that iteration produced.
# Instruction counts do not depend on the machine's load, unlike wall or CPU time.
#   bench/callgrind.sh [BUILD_DIR] [FILTER]    BUILD_DIR defaults to build, FILTER to every case
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
filter=${2:-.}
bench="$build/bench/velmdsd_bench"
command -v valgrind >/dev/null || { echo "valgrind is needed (apt-get install valgrind)" >&2; exit 1; }
[ -x "$bench" ] || { echo "build $bench first (cmake --build $build --target velmdsd_bench)" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf '%-34s %14s %12s %10s\n' case instructions units 'per unit'
"$bench" --benchmark_list_tests=true --benchmark_filter="$filter" | grep -v '^build_filter_tables$' |
while read -r name; do
  valgrind --tool=callgrind --toggle-collect='StreamRead*' --callgrind-out-file="$tmp/out" \
    "$bench" --benchmark_filter="^${name}\$" --benchmark_min_time=0 --benchmark_format=json \
    >"$tmp/json" 2>"$tmp/log"
  total=$(awk '/^totals:/ { print $2 }' "$tmp/out")
  units=$(awk -F': ' '/"samples"/ { gsub(/,/, "", $2); printf "%.0f", $2 }' "$tmp/json")
  iterations=$(awk -F': ' '/"iterations"/ { gsub(/,/, "", $2); print $2; exit }' "$tmp/json")
  awk -v n="$name" -v t="$total" -v u="$units" -v i="$iterations" \
    'BEGIN { printf "%-34s %14d %12d %10.1f\n", n, t, u * i, t / (u * i) }'
done
