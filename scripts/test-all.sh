#!/usr/bin/env bash
# Builds and runs every test, as CI does. Four runs, each in its own build directory:
#   release   optimised full build (executable, link tests, benchmarks compiled), ctest, and
#             the check that no includes form a cycle (scripts/check-include-cycles.sh)
#   asan      AddressSanitizer + UndefinedBehaviorSanitizer: the executable, the stand-in host
#             library, the unit, server and host-library tests
#   tsan      ThreadSanitizer, the same tests
#   aarch64   cross-built for AArch64 against the arm64 sysroot (executable, stand-in host
#             library, every test but the benchmarks and the deployment tests), run under
#             qemu-aarch64, the managed tests on the sysroot's arm64 Mono
# The sanitizer runs leave out the benchmarks, the link checks (the sanitizer runtimes change
# the needed libraries), the managed tests (Mono is not run under the sanitizers) and the
# deployment tests.
# Every run goes ahead even when an earlier one failed; the last line is
# "N passed, N failed, N skipped" over all runs (a failed configure or build counts as one
# failure more), and the exit status is non-zero when anything failed. A test that cannot run
# in a run (under qemu-user, say) skips itself with a reason; the summary lists each skip.
set -uo pipefail
cd "$(dirname "$0")/.."
top=$PWD

bash scripts/install-deps.sh test || exit 1

total_passed=0
total_failed=0
total_skipped=0
failed_runs=()
timings=()
skips=()

section() {
  echo
  echo "================================================================"
  echo "== $*"
  echo "================================================================"
}

# Adds the counts from ctest's summary line ("X% tests passed, F tests failed out of T", where
# skipped tests count as passed) and its list of skipped tests; sets run_counts for the summary.
count_results() {
  local log=$1 line failed total skipped
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    total_failed=$((total_failed + 1))
    run_counts="no test results"
    return
  fi
  failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  skipped=$(grep -cE '^\s+[0-9]+ - .* \(Skipped\)$' "$log")
  total_passed=$((total_passed + total - failed - skipped))
  total_failed=$((total_failed + failed))
  total_skipped=$((total_skipped + skipped))
  run_counts="$((total - failed - skipped)) passed, $failed failed, $skipped skipped"
}

# Each skipped test of a run with the first line of its reason, from ctest's full log.
collect_skips() {
  local name=$1 testlog=$2/Testing/Temporary/LastTest.log
  [ -f "$testlog" ] || return 0
  local line
  while IFS= read -r line; do
    skips+=("$name: $line")
  done < <(awk '/^[0-9]+\/[0-9]+ Testing: / { test = $3 }
    reason { print test ": " $0; reason = 0 }
    /: Skipped$/ { reason = 1 }' "$testlog")
}

# run_suite NAME CMAKE_ARGS...: configure, build and test in build/ci-NAME, with the variables
# in suite_env (sanitizer options) set for the build too, which lists each test binary's cases.
suite_env=()
run_suite() {
  local name=$1 dir=$top/build/ci-$1 log start ok=1
  shift
  run_counts="not tested"
  section "$name: $*"
  start=$SECONDS
  log=$(mktemp)
  if ! cmake -S "$top" -B "$dir" -G Ninja "$@"; then
    echo "$name: configure failed"
    total_failed=$((total_failed + 1))
    ok=0
  else
    # Keep going past a target that fails, so the tests that did build still run.
    if ! env "${suite_env[@]}" cmake --build "$dir" -j2 -- -k 0; then
      echo "$name: build failed"
      total_failed=$((total_failed + 1))
      ok=0
    fi
    (cd "$dir" && env "${suite_env[@]}" ctest --output-on-failure -j2 --timeout 300 --no-tests=error) 2>&1 | tee "$log" || ok=0
    count_results "$log"
    collect_skips "$name" "$dir"
  fi
  rm -f "$log"
  [ $ok -eq 1 ] || failed_runs+=("$name")
  timings+=("$(printf '%-8s %4ds  %-6s  %s' "$name" $((SECONDS - start)) \
    "$([ $ok -eq 1 ] && echo ok || echo FAILED)" "$run_counts")")
}

# The engine's records are never freed on purpose. Should LeakSanitizer ever report one,
# tests/lsan.supp names it, with the reason beside the entry; likewise tests/tsan.supp.
lsan_options() {
  local opts=print_suppressions=0
  [ -f "$top/tests/lsan.supp" ] && opts+=":suppressions=$top/tests/lsan.supp"
  echo "$opts"
}

tsan_options() {
  local opts=halt_on_error=1:second_deadlock_stack=1
  [ -f "$top/tests/tsan.supp" ] && opts+=":suppressions=$top/tests/tsan.supp"
  echo "$opts"
}

run_suite release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRNS_CORE_ONLY=OFF -DVRNS_BENCH=ON

suite_env=(
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:strict_init_order=1
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  LSAN_OPTIONS="$(lsan_options)"
)
run_suite asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRNS_CORE_ONLY=OFF -DVRNS_BENCH=OFF \
  -DVRNS_SANITIZE=address,undefined

suite_env=(TSAN_OPTIONS="$(tsan_options)")
run_suite tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRNS_CORE_ONLY=OFF -DVRNS_BENCH=OFF \
  -DVRNS_SANITIZE=thread

suite_env=()
run_suite aarch64 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRNS_CORE_ONLY=OFF -DVRNS_BENCH=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/aarch64-linux-gnu.cmake"

section "summary"
printf '%s\n' "${timings[@]}"
[ ${#skips[@]} -eq 0 ] || printf 'skipped: %s\n' "${skips[@]}"
[ ${#failed_runs[@]} -eq 0 ] || echo "failed runs: ${failed_runs[*]}"
echo "${total_passed} passed, ${total_failed} failed, ${total_skipped} skipped"
[ ${#failed_runs[@]} -eq 0 ]
