#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) in build/bench-fuzz and runs each for a bounded time
# on a scratch copy of its corpus. Exits non-zero on a finding; the input that
# caused it is left in build/bench-fuzz/findings/<target>/.
#   fuzz/run_fuzzers.sh [seconds per target, default 60]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/bench-fuzz"
seconds="${1:-60}"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DZOLK_FUZZ=ON -DZOLK_SANITIZE=ON -DZOLK_BUILD_SIM=OFF >/dev/null
cmake --build "$build" --target fuzz_args fuzz_exchanges -j2 >/dev/null

status=0
for target in fuzz_args fuzz_exchanges; do
  work="$build/corpus/$target"
  findings="$build/findings/$target"
  rm -rf "$work" "$findings"
  mkdir -p "$work" "$findings"
  cp "$root/fuzz/corpus/$target/"* "$work/"
  # The exchange target talks over a pseudo-terminal and waits out short
  # silences: a few hundred inputs a second at most; 2 s per input is a hang.
  echo "== $target: ${seconds} s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -max_len=8192 \
      -artifact_prefix="$findings/" -print_final_stats=1 "$work" >"$build/$target.log" 2>&1; then
    echo "!! $target found a fault:"
    tail -n 60 "$build/$target.log"
    ls -l "$findings"
    status=1
  else
    grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|Done)" "$build/$target.log" || true
  fi
done
exit $status
