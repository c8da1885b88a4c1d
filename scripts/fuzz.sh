#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 20), starting
# from the seed corpus in fuzz/corpus/<target> when there is one. The targets run one after the
# other, one process each. An input that crashes, leaks or takes over 20 s fails the run; it is
# kept with the log in the directory printed. So does a target that was not built: the run fails
# unless every target listed in fuzz/CMakeLists.txt ran. The last line says how many ran, how long.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
build=build-fuzz

cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Debug -DESM_BUILD_FUZZ=ON -DESM_BUILD_TESTS=OFF -DESM_BUILD_BENCH=OFF \
  >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

mapfile -t targets < <(sed -n 's/^esm_fuzz(\(fuzz_[a-z_]*\) .*/\1/p' fuzz/CMakeLists.txt)
status=0
ran=0
start=$SECONDS
for name in "${targets[@]}"; do
  bin="$build/fuzz/$name"
  if [[ ! -x "$bin" ]]; then
    echo "$name: not built ($bin is missing)"
    status=1
    continue
  fi
  work=$(mktemp -d)
  seeds=()
  [[ -d "fuzz/corpus/$name" ]] && seeds=("fuzz/corpus/$name")
  dict=()
  [[ -f "fuzz/$name.dict" ]] && dict=("-dict=fuzz/$name.dict")
  echo "== $name (${seconds}s)"
  ran=$((ran + 1))
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
echo "fuzz: $ran of ${#targets[@]} targets ran, ${seconds} s each, $((SECONDS - start)) s in all"
if ((ran == 0)); then
  echo "fuzz: no target ran"
  status=1
fi
exit $status
