#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the fuzz targets (the main project with VELMORTEV_FUZZ: clang,
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer) in build-fuzz/
# and runs them.
#
#   fuzz/run.sh TARGET SECONDS     one target, e.g. fuzz/run.sh label_name 60
#   fuzz/run.sh all SECONDS        every target in turn
#   fuzz/run.sh list               the targets
#
# FUZZ_JOBS=N runs N targets side by side (default 1). Each run starts from
# the seed corpus in fuzz/corpus/TARGET and keeps what it finds new in
# build-fuzz/corpus/TARGET; a crashing or failing input lands in
# build-fuzz/findings/ and makes the script fail. The last lines of each log
# (build-fuzz/logs/TARGET.log) give the executions done.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${FUZZ_BUILD:-$here/../build-fuzz}

usage() {
  sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
[ $# -ge 1 ] || usage

# A build-fuzz/ left by the former stand-alone fuzz project is configured
# afresh for the main project.
if [ -f "$build/CMakeCache.txt" ] && ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$(cd "$here/.." && pwd)" "$build/CMakeCache.txt"; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
# Configuring says little; the build shows its progress, since it takes a
# minute or more from scratch.
cmake -S "$here/.." -B "$build" -DVELMORTEV_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_COMPILER=clang -DVELMORTEV_TESTS=OFF -DVELMORTEV_BENCH=OFF >/dev/null
echo "run.sh: building the fuzz targets in $build" >&2
cmake --build "$build" -j"$(nproc)" --target fuzz_targets >&2

targets=()
for exe in "$build"/fuzz_*; do
  [ -x "$exe" ] && targets+=("${exe##*/fuzz_}")
done
if [ "$1" = list ]; then
  printf '%s\n' "${targets[@]}"
  exit 0
fi
[ $# -eq 2 ] && [[ $2 =~ ^[1-9][0-9]*$ ]] || usage
seconds=$2
if [ "$1" != all ]; then
  [ -x "$build/fuzz_$1" ] || { echo "run.sh: no fuzz target '$1'" >&2; exit 2; }
  targets=("$1")
fi

mkdir -p "$build/findings" "$build/logs"
# Runs one target; prints a summary line and fails on a finding.
fuzz_one() {
  local target=$1 work=$build/corpus/$1 log=$build/logs/$1.log status=0
  mkdir -p "$work"
  "$build/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=8192 -print_final_stats=1 -artifact_prefix="$build/findings/$target-" \
    "$work" "$here/corpus/$target" >"$log" 2>&1 || status=$?
  local runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$status" -ne 0 ]; then
    echo "FAIL $target after ${runs:-?} runs: see $log and $build/findings/"
    grep -m1 -E 'ERROR|fuzz finding|runtime error' "$log" || true
    return 1
  fi
  echo "ok   $target: ${runs:-?} runs in ${seconds}s, corpus $(ls "$work" | wc -l) inputs"
}

jobs=${FUZZ_JOBS:-1}
failed=0
pids=()
for target in "${targets[@]}"; do
  fuzz_one "$target" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do
  wait "$pid" || failed=1
done
exit "$failed"
