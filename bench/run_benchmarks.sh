#!/usr/bin/env bash
# Builds a Release tree in build/bench, runs the benchmarks against the
# simulated board, prints the table and writes BENCHMARKS.md at the root.
#   bench/run_benchmarks.sh [--repeat N]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/bench"
repeat=3
if [ "${1:-}" = "--repeat" ] && [ -n "${2:-}" ]; then
  repeat="$2"
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZOLK_BUILD_BENCH=ON -DZOLK_BUILD_SIM=ON >/dev/null
cmake --build "$build" --target bench_runner -j2 >/dev/null
# shellcheck disable=SC1091
. "$build/bench_paths.sh"

"$BENCH_RUNNER" --zolk "$ZOLK_QEX" --zolk-chip "$ZOLK_QEX_CHIP" --sim "$QEX_SIM" \
  --repeat "$repeat" --notes "$root/bench/benchmark_notes.md" --build "Release ($(${CXX:-c++} --version | head -1))" --out "$root/BENCHMARKS.md"
echo "wrote $root/BENCHMARKS.md"
