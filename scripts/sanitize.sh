#!/usr/bin/env bash
# Sanitizer and fuzzing runs, built with clang in their own build directories.
#   scripts/sanitize.sh asan        C++ tests and the Python suite (CPython) under
#                                   AddressSanitizer + UndefinedBehaviorSanitizer, leaks on
#   scripts/sanitize.sh tsan        C++ tests under ThreadSanitizer
#   scripts/sanitize.sh fuzz SECS   the libFuzzer targets of fuzz/, SECS seconds each, in
#                                   parallel; prints the executions of each
# Any sanitizer report or fuzzer finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD="${BUILD:-build}"
JOBS="${JOBS:-2}"
CMAKE="${CMAKE:-cmake}"
PYTHON="${PYTHON:-python3}"
CXX_SAN="${CXX_SAN:-clang++}"
CLANG_FLAGS=(-DCMAKE_CXX_COMPILER="$CXX_SAN")

# Tests that ask for more memory than exists (2^32 slots, 2^40 slots) to check the
# bad_alloc path. The sanitizers' operator new reports out-of-memory and aborts instead
# of throwing, whatever allocator_may_return_null says, so these run in the plain
# builds only.
HUGE_ALLOCATION_TESTS="DatabaseTest.TopIdCountsWithoutOverflow:StorageTest.ReserveFailsCleanlyWhenTheSlotsCannotExist:FullScanTest.VisitsOnlyStoredLiveIds"
HUGE_ALLOCATION_PYTESTS=(--deselect tests/python/test_platform.py::test_largest_id_round_trips_or_fails_cleanly
  # ASan reserves terabytes of shadow address space and quarantines freed memory, so
  # address-space limits and resident-memory checks mean nothing under it.
  --deselect tests/python/test_faults.py::test_address_space_limit_makes_a_huge_id_fail_without_changing_anything
  --deselect tests/python/test_faults.py::test_a_large_id_costs_address_space_but_not_resident_memory
  --deselect tests/python/test_alloc_faults.py::test_under_address_space_limits_each_call_fails_cleanly_or_succeeds
  --deselect tests/python/test_leaks.py::test_repeated_calls_keep_resident_memory_flat
  --deselect tests/python/test_leaks.py::test_dropped_databases_give_their_memory_back
  --deselect tests/python/test_plain_sequences.py::test_long_plain_vectors_keep_memory_flat
  --deselect tests/python/test_leaks.py::test_vector_conversion_keeps_memory_flat_under_either_interpreter
  # The stub checks run mypy (and its compiled helpers), whose own leaks are not ours.
  --ignore tests/python/test_typing.py)
# ThreadSanitizer cannot start threads in the child of a threaded fork.
TSAN_ONLY_SKIPS="WorkerPoolTest.ForkedChildGetsAWorkingPool"

SUPPRESSIONS="$PWD/scripts/sanitizers/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

build() {  # build directory, extra CMake arguments...
  local dir="$1"; shift
  "$CMAKE" -S . -B "$dir" "${CLANG_FLAGS[@]}" "$@" >/dev/null
  "$CMAKE" --build "$dir" -j "$JOBS"
}

seconds_since() { echo $(( $(date +%s) - $1 )); }

run_asan() {
  local dir="$BUILD/asan" start
  start=$(date +%s)
  build "$dir" -DTOVIK_SANITIZE=address,undefined -DTOVIK_PYTHON="$(command -v "$PYTHON")"
  echo "asan: built in $(seconds_since "$start") s"

  start=$(date +%s)
  ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=1" \
    "$dir/tovik_tests" --gtest_brief=1 --gtest_filter="-$HUGE_ALLOCATION_TESTS"
  echo "asan: C++ tests in $(seconds_since "$start") s"

  # CPython under the preloaded runtime. PYTHONMALLOC=malloc puts every object where
  # the leak checker can see (and scan) it; allocation stacks two frames deep keep the
  # interpreter's own exit-time leaks apart from ours (see lsan.supp). Child
  # interpreters that the suite starts inherit all of it.
  local py runtime
  py="$("$PYTHON" -c 'import sys; print(sys.executable)')"
  runtime="$("$CXX_SAN" -print-file-name=libclang_rt.asan-x86_64.so)"
  local -a env=(env LD_PRELOAD="$runtime" PYTHONMALLOC=malloc PYTHONPATH="$PWD/$dir"
                ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=1:malloc_context_size=2"
                LSAN_OPTIONS="suppressions=$SUPPRESSIONS:print_suppressions=0")
  # The suppressions must not hide a leak made outside the interpreter: one malloc'd
  # block from a foreign library (libffi) must still be reported.
  if "${env[@]}" "$py" -c 'import ctypes; ctypes.CDLL(None).malloc(4096)' 2>/dev/null; then
    echo "asan: a deliberate leak went unreported; the suppressions hide too much" >&2
    exit 1
  fi
  start=$(date +%s)
  "${env[@]}" "$py" -m pytest -q -p no:cacheprovider tests/python "${HUGE_ALLOCATION_PYTESTS[@]}"
  echo "asan: Python suite in $(seconds_since "$start") s"
}

run_tsan() {
  local dir="$BUILD/tsan" start
  start=$(date +%s)
  build "$dir" -DTOVIK_SANITIZE=thread -DTOVIK_BUILD_MODULE=OFF
  echo "tsan: built in $(seconds_since "$start") s"
  start=$(date +%s)
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
    "$dir/tovik_tests" --gtest_brief=1 --gtest_filter="-$HUGE_ALLOCATION_TESTS:$TSAN_ONLY_SKIPS"
  echo "tsan: C++ tests in $(seconds_since "$start") s"
}

run_fuzz() {
  local seconds="${1:-60}" dir="$BUILD/fuzz" start
  start=$(date +%s)
  build "$dir" -DTOVIK_SANITIZE=address,undefined,fuzzer-no-link -DTOVIK_BUILD_TESTS=OFF \
    -DTOVIK_BUILD_MODULE=OFF -DTOVIK_BUILD_FUZZ=ON
  echo "fuzz: built in $(seconds_since "$start") s"
  local -a pids=() names=()
  for src in fuzz/*_fuzz.cpp; do
    local name seeds work
    name="$(basename "$src" .cpp)"
    seeds="fuzz/corpus/${name%_fuzz}"
    work="$dir/corpus/${name%_fuzz}"   # grows as the fuzzer finds new paths; never committed
    mkdir -p "$work" "$dir/findings"
    local -a extra=()
    [ -f "fuzz/${name%_fuzz}.dict" ] && extra+=("-dict=fuzz/${name%_fuzz}.dict")
    ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=1" \
      "$dir/$name" -max_total_time="$seconds" -max_len=4096 -timeout=20 -print_final_stats=1 \
      -artifact_prefix="$dir/findings/$name-" "${extra[@]}" "$work" "$seeds" >"$dir/$name.log" 2>&1 &
    pids+=($!); names+=("$name")
  done
  local failed=0
  for i in "${!pids[@]}"; do
    local name="${names[$i]}"
    if wait "${pids[$i]}"; then
      echo "fuzz: $name: $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$dir/$name.log" | grep -o '[0-9]*$') executions in ${seconds} s"
    else
      failed=1
      echo "fuzz: $name FAILED; log follows (inputs in $dir/findings)" >&2
      tail -n 60 "$dir/$name.log" >&2
    fi
  done
  return "$failed"
}

case "${1:-}" in
  asan) run_asan ;;
  tsan) run_tsan ;;
  fuzz) run_fuzz "${2:-60}" ;;
  *) echo "usage: $0 asan|tsan|fuzz [seconds]" >&2; exit 2 ;;
esac
