#!/usr/bin/env bash
# Runs the differential fuzzer of the two HTTP/1.1 parsers (tests/framing/FramingFuzz.cs) for
# longer than the test command's minute: JOBS processes, each with a seed of its own, mutate the
# framing table's streams and frame each with the native and the managed parser.
#   scripts/framing-fuzz.sh [SECONDS] [JOBS]    (defaults 600 and 1)
# Builds into $BUILD (default build-framing-fuzz/) first. Each job prints its seed and how many
# streams it checked, the last line the total. A difference stops its job and leaves the stream,
# as a table row, in $BUILD/framing-fuzz/JOB/framing-difference.txt; the exit status is then 1.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
jobs=${2:-1}
build=${BUILD:-build-framing-fuzz}

bash scripts/install-deps.sh fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRNS_BENCH=OFF >/dev/null
cmake --build "$build" --target vrns vrns_framing_fuzz -j2

pids=()
for job in $(seq 1 "$jobs"); do
  out=$build/framing-fuzz/$job
  mkdir -p "$out"
  rm -f "$out/framing-difference.txt"
  seed=$(($(date +%s%N) / 1000 + job))
  "$build/vrns" "$build/managed/VrnsFramingFuzz.exe" tests/framing/framing.table "$seconds" "$out" "$seed" \
    >"$out/log" 2>&1 &
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
total=0
for job in $(seq 1 "$jobs"); do
  log=$build/framing-fuzz/$job/log
  sed "s/^/job $job: /" "$log"
  n=$(sed -nE 's/^framing fuzz: ([0-9]+) streams in .*/\1/p' "$log")
  total=$((total + ${n:-0}))
done
echo "framing fuzz: $total streams over $jobs job(s), $([ $status -eq 0 ] && echo "no difference" || echo "a difference found")"
exit $status
