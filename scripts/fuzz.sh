#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each of
# them for the given number of seconds (default 30), two at a time. Fails when
# any target finds a crash, a leak, undefined behaviour or a slow input.
#   scripts/fuzz.sh [seconds] [target...]     (targets by name, e.g. fuzz_trailer)
# Seeds and regression inputs: corpus/<name>/ in the fuzz folder beside the
# program (sensor/fuzz, platform/com/fuzz, controller/fuzz; kept in the tree);
# what a run adds goes to build-fuzz/corpus/<name>/, findings to
# build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
jobs=${FUZZ_JOBS:-2}

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUZZ=ON \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build build-fuzz --target fuzz_targets -j "$(nproc)"

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for binary in build-fuzz/fuzz/fuzz_*; do
    [ -x "$binary" ] && targets+=("$(basename "$binary")")
  done
fi
mkdir -p build-fuzz/logs build-fuzz/findings

# Both programs log on standard output and error; libFuzzer keeps its own
# reports when the target's are closed (-close_fd_mask=3).
export ARA_LOG_LEVEL=off LOGLEVEL=QUIET
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0

# The seeds of a target, from the fuzz folder that holds them.
seeds() {
  local dir
  for dir in sensor/fuzz platform/com/fuzz controller/fuzz; do
    if [ -d "$dir/corpus/$1" ]; then
      echo "$dir/corpus/$1"
      return
    fi
  done
  echo "fuzz: no corpus/$1 in any fuzz folder" >&2
  return 1
}

run_one() {
  local target=$1 name=${1#fuzz_} seeds
  seeds=$(seeds "$name") || return 1
  mkdir -p "build-fuzz/corpus/$name"
  # -timeout: one input taking longer is a finding; the outer timeout only
  # guards against a hang of libFuzzer itself.
  timeout --kill-after=10 $((seconds + 120)) \
    "build-fuzz/fuzz/$target" "build-fuzz/corpus/$name" "$seeds" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
      -close_fd_mask=3 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/findings/$name-" >"build-fuzz/logs/$name.log" 2>&1
}

status=0
declare -A pids=()
report() {
  local target=$1 rc=$2 name=${1#fuzz_}
  local log=build-fuzz/logs/$name.log
  local runs cov
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  if [ "$rc" -eq 0 ]; then
    echo "fuzz: $target ok: ${runs:-?} executions, ${cov:-no coverage line}"
  else
    echo "fuzz: $target FAILED (exit $rc), see $log and build-fuzz/findings/"
    grep -E 'ERROR:|runtime error:|SUMMARY:|Test unit written|==[0-9]+==' "$log" | head -20 || true
    status=1
  fi
}

for target in "${targets[@]}"; do
  while [ "${#pids[@]}" -ge "$jobs" ]; do
    wait -n -p done_pid && rc=0 || rc=$?
    report "${pids[$done_pid]}" "$rc"
    unset "pids[$done_pid]"
  done
  run_one "$target" &
  pids[$!]=$target
done
while [ "${#pids[@]}" -gt 0 ]; do
  wait -n -p done_pid && rc=0 || rc=$?
  report "${pids[$done_pid]}" "$rc"
  unset "pids[$done_pid]"
done
exit $status
