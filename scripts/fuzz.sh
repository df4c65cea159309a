#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, ASan + UBSan) and runs each fuzz target for
# KIVO_FUZZ_SECONDS seconds (default 30) from the project's seed corpus. Fails on any crash, leak,
# time-out or sanitizer report; the input that caused it is kept as build/fuzz/crash-*/leak-*/
# timeout-* for `build/fuzz/fuzz/TARGET FILE` to replay. Prints the executions per target.
# Longer runs: KIVO_FUZZ_SECONDS=3600 scripts/fuzz.sh (the corpus grows in build/fuzz/corpus/
# and is reused by the next run).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${KIVO_FUZZ_SECONDS:-30}"
targets=(fuzz_rom fuzz_state fuzz_ini fuzz_debugger fuzz_runner_text)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
corpus=build/fuzz/corpus
build/fuzz/fuzz/make_seeds "$corpus/seeds"
mkdir -p "$corpus"
for dir in fuzz/seeds/*/; do
  mkdir -p "$corpus/seeds/$(basename "$dir")"
  cp "$dir"* "$corpus/seeds/$(basename "$dir")/"
done
# UBSan reports end the run (the build does not recover); leaks are checked at every input.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
summary=()
for target in "${targets[@]}"; do
  name="${target#fuzz_}"
  mkdir -p "$corpus/$name"
  log="build/fuzz/$target.log"
  echo "== $target for ${seconds}s =="
  status=0
  (cd build/fuzz && "./fuzz/$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
      -max_len=65536 -print_final_stats=1 "corpus/$name" "corpus/seeds/$name") >"$log" 2>&1 ||
    status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  summary+=("$target: ${runs:-?} executions")
  if ((status != 0)); then
    tail -60 "$log"
    echo "fuzz: $target failed (status $status); full log in $log" >&2
    exit 1
  fi
done
printf '%s\n' "${summary[@]}"
