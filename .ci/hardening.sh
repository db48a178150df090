#!/usr/bin/env bash
# Hardening runs, after the main build and tests (.ci/run calls this):
#   1. the whole test suite built with AddressSanitizer + UndefinedBehaviorSanitizer;
#   2. the concurrency test built with ThreadSanitizer;
#   3. a short libFuzzer run of every fuzz target (ASan + UBSan, clang),
#      seeded from tests/fuzz/corpus and from seeds generated in step 1.
# Exits non-zero on any failure, sanitizer report or fuzzer finding.
#
# Build folders can be moved with FPMATCH_ASAN_DIR, FPMATCH_TSAN_DIR and
# FPMATCH_FUZZ_DIR; FPMATCH_FUZZ_SECONDS sets the run time per target (10).
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=$(nproc)
ASAN_DIR=${FPMATCH_ASAN_DIR:-build-asan}
TSAN_DIR=${FPMATCH_TSAN_DIR:-build-tsan}
FUZZ_DIR=${FPMATCH_FUZZ_DIR:-build-fuzz}
FUZZ_SECONDS=${FPMATCH_FUZZ_SECONDS:-10}
FUZZ_TARGETS="decode match match_list quicksort short_reader writers adapt_iso prepared gallery filter compact"

started=$(date +%s)
stage() { echo "=== hardening: $* ($(($(date +%s) - started)) s)"; }

# Any sanitizer report ends the process with an error.
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

# ---------------------------------------------------------------- 1. ASan + UBSan
stage "ASan+UBSan build of the whole test suite in $ASAN_DIR"
# -O1 with line tables only: the usual level for sanitizer builds, and it
# roughly halves this build, the longest step of CI (reports keep file and
# line).
OPT="-O1 -g1 -DNDEBUG"
cmake -S . -B "$ASAN_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFPMATCH_SANITIZE=ON \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="$OPT" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$OPT" \
  -DFPMATCH_BUILD_TOOLS=ON -DFPMATCH_BUILD_JAVA=ON >/dev/null
cmake --build "$ASAN_DIR" -j"$JOBS"
stage "ASan+UBSan test run"
# (The JVM tests and the install test leave themselves out of sanitizer
# builds: neither a JVM nor a plain consumer program can load a library that
# needs the sanitizer runtime. test_jni_binding runs the JNI function here.)
ctest --test-dir "$ASAN_DIR" --output-on-failure -j"$JOBS"

# ---------------------------------------------------------------- 2. TSan
stage "ThreadSanitizer build of the concurrency test in $TSAN_DIR"
cmake -S . -B "$TSAN_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFPMATCH_TSAN=ON \
  -DFPMATCH_BUILD_TOOLS=OFF -DFPMATCH_BUILD_JAVA=OFF >/dev/null
cmake --build "$TSAN_DIR" -j"$JOBS" --target test_concurrency
stage "ThreadSanitizer run"
# Older TSan runtimes cannot map their shadow memory under the high ASLR
# entropy of recent kernels; running without address randomisation avoids it.
if "$TSAN_DIR/tests/test_concurrency" --gtest_list_tests >/dev/null 2>&1; then
  "$TSAN_DIR/tests/test_concurrency"
else
  setarch "$(uname -m)" -R "$TSAN_DIR/tests/test_concurrency"
fi

# ---------------------------------------------------------------- 3. fuzzing
stage "libFuzzer build (clang, ASan+UBSan) in $FUZZ_DIR"
cmake -S . -B "$FUZZ_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DFPMATCH_FUZZ=ON \
  -DFPMATCH_BUILD_TOOLS=OFF -DFPMATCH_BUILD_JAVA=OFF >/dev/null
cmake --build "$FUZZ_DIR" -j"$JOBS" --target fuzz_targets

stage "fuzzing every target for ${FUZZ_SECONDS} s"
seeds="$ASAN_DIR/tests/fuzz/seeds"  # written by the fuzz_make_seeds test of step 1
mkdir -p "$FUZZ_DIR/artifacts" "$FUZZ_DIR/logs"
max_len() {
  case "$1" in
    decode|writers) echo 400 ;;
    match) echo 700 ;;
    filter) echo 1024 ;;
    match_list) echo 2400 ;;
    quicksort) echo 1500 ;;
    short_reader) echo 512 ;;
    adapt_iso) echo 1400 ;;
    gallery) echo 8192 ;;
    id_gallery) echo 16384 ;;
    compact) echo 3400 ;;
  esac
}
run_fuzzer() {
  local target=$1 work="$FUZZ_DIR/work/$1"
  mkdir -p "$work"
  # Leak checking is off while fuzzing: libFuzzer's own bookkeeping of a
  # timed-out run is not a library fault.
  ASAN_OPTIONS="abort_on_error=1:detect_leaks=0" \
  "$FUZZ_DIR/tests/fuzz/fuzz_$target" -max_total_time="$FUZZ_SECONDS" -max_len="$(max_len "$target")" \
    -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 \
    -artifact_prefix="$FUZZ_DIR/artifacts/$target-" \
    "$work" tests/fuzz/corpus/"$target" "$seeds/$target" tests/golden \
    >"$FUZZ_DIR/logs/$target.log" 2>&1
}
failed=""
targets=($FUZZ_TARGETS)
for ((first = 0; first < ${#targets[@]}; first += JOBS)); do
  # One target per core at a time.
  pids=()
  names=()
  for ((k = first; k < first + JOBS && k < ${#targets[@]}; ++k)); do
    run_fuzzer "${targets[k]}" &
    pids+=($!)
    names+=("${targets[k]}")
  done
  for ((k = 0; k < ${#pids[@]}; ++k)); do
    wait "${pids[k]}" || failed="$failed ${names[k]}"
  done
done

printf '%-14s %12s %10s %10s %8s\n' target executions exec/s coverage features
for target in $FUZZ_TARGETS; do
  log="$FUZZ_DIR/logs/$target.log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  printf '%-14s %12s %10s %10s %8s\n' "$target" "${runs:--}" "${rate:--}" "${cov:--}" "${ft:--}"
done
if [ -n "$failed" ]; then
  for target in $failed; do
    echo "--- fuzz_$target failed; last lines of $FUZZ_DIR/logs/$target.log:"
    tail -40 "$FUZZ_DIR/logs/$target.log"
  done
  ls -l "$FUZZ_DIR/artifacts" || true
  stage "FAILED:$failed"
  exit 1
fi
stage "all hardening runs passed"
