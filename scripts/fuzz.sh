#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 20), starting
# from the seed corpus in fuzz/corpus/<target> when there is one. The targets run one after the
# other, one process each. An input that crashes, leaks or takes over 20 s fails the run; it is
# kept with the log in the directory printed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DESM_BUILD_FUZZ=ON \
  -DESM_BUILD_TESTS=OFF -DESM_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

status=0
for bin in "$build"/fuzz/fuzz_*; do
  [[ -x "$bin" ]] || continue
  name=$(basename "$bin")
  work=$(mktemp -d)
  seeds=()
  [[ -d "fuzz/corpus/$name" ]] && seeds=("fuzz/corpus/$name")
  dict=()
  [[ -f "fuzz/$name.dict" ]] && dict=("-dict=fuzz/$name.dict")
  echo "== $name (${seconds}s)"
  if ! "$bin" "${dict[@]}" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
        -timeout=20 -artifact_prefix="$work/" "$work" "${seeds[@]}" 2>"$work/log"; then
    tail -n 40 "$work/log"
    echo "$name: the failing input and the log are kept in $work"
    status=1
  else
    grep -E '^#[0-9]+.*DONE' "$work/log" | tail -n 1 || true
    rm -rf "$work"
  fi
done
exit $status
