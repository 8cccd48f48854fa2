#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for the given number of seconds (default 60) on a copy of its seed corpus in
# fuzz/corpus/<target>. Fails when any target finds a crash, a leak, undefined behaviour or a
# broken invariant; the input is kept in build/fuzz/run/<target>/ and the command to replay it is
# printed. FUZZ_JOBS=n runs n targets at a time (default 1); FUZZ_NICE=n lowers their priority.
set -euo pipefail
cd "$(dirname "$0")"

seconds=${1:-60}
jobs=${FUZZ_JOBS:-1}
niceness=${FUZZ_NICE:-0}
build=build/fuzz

CC=clang CXX=clang++ cmake -S fuzz -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j 2
mapfile -t targets < "$build/fuzz-targets.txt"
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz.sh: no fuzz targets were built (clang with -fsanitize=fuzzer is needed)" >&2
  exit 1
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_target() {
  local target=$1 dir=$build/run/$1
  rm -rf "$dir"
  mkdir -p "$dir/corpus"
  # A copy: what the run adds never reaches the committed corpus.
  cp -r "fuzz/corpus/$target/." "$dir/corpus/"
  local status=0
  nice -n "$niceness" "$build/$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 \
    -print_final_stats=1 -artifact_prefix="$dir/" "$dir/corpus" >"$dir/log" 2>&1 || status=$?
  local execs rate done_line
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log")
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$dir/log" | tail -1 || true)
  if [ "$status" -ne 0 ]; then
    echo "FAIL $target (exit $status): see $dir/log"
    grep -E 'ERROR|FUZZ_CHECK|runtime error|SUMMARY' "$dir/log" | head -5 || true
    for crash in "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-*; do
      [ -e "$crash" ] && echo "  replay: $build/$target $crash"
    done
    return 1
  fi
  printf '%-18s %10s execs %8s exec/s  corpus %5s files  %s\n' "$target" "${execs:-?}" "${rate:-?}" \
    "$(ls "$dir/corpus" | wc -l)" "${done_line#*DONE }"
}

failed=0
running=0
pids=()
names=()
for target in "${targets[@]}"; do
  if [ ! -d "fuzz/corpus/$target" ]; then
    echo "FAIL $target: no seed corpus in fuzz/corpus/$target"
    failed=1
    continue
  fi
  run_target "$target" &
  pids+=($!)
  names+=("$target")
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done

if [ "$failed" -ne 0 ]; then
  echo "fuzz.sh: findings or failures above" >&2
  exit 1
fi
echo "fuzz.sh: ${#targets[@]} targets, ${seconds} s each, no findings"
