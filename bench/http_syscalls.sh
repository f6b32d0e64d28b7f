#!/usr/bin/env bash
# System calls per request of vrns serving a small file, counted with strace.
#
#   bench/http_syscalls.sh [SECONDS] [CONNS] [SIZE]       (defaults: 3, 16 and 1024 bytes)
#
# Starts vrns (--access-log off) on a temporary root, attaches `strace -c -f` to all its threads
# once it answers, drives it with wrk on keep-alive connections, then divides strace's counts by
# the requests wrk completed. Prints the total and the calls per request by name, futex first.
# strace slows the server down many times over, which changes how often threads wait on each
# other; so a second pass counts all calls and futex calls at full speed with `perf stat` on
# the kernel's system-call trace points, when perf can read them.
#
# Environment: VRNS (the executable, default build/vrns); EXTRA (more vrns options).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-3}
conns=${2:-16}
size=${3:-1024}
vrns=${VRNS:-build/vrns}
port=18190

bash scripts/install-deps.sh bench >/dev/null
command -v strace >/dev/null || { echo "strace is missing" >&2; exit 1; }
[ -x "$vrns" ] || { echo "missing $vrns: build it first (bash scripts/run.sh --version)" >&2; exit 1; }

source bench/common.sh  # the script runs from the repository root
bench_setup syscalls
head -c "$size" /dev/urandom >"$work/root/f"

# shellcheck disable=SC2086
"$vrns" --listen "127.0.0.1:$port" --root "$work/root" --access-log off ${EXTRA:-} >"$work/vrns.out" 2>&1 &
server=$!
pids+=($server)
for _ in $(seq 100); do
  curl -sf -o /dev/null "http://127.0.0.1:$port/f" && break
  sleep 0.1
done
curl -sf -o /dev/null "http://127.0.0.1:$port/f" || { echo "vrns did not start" >&2; exit 1; }

strace -c -f -p "$server" -o "$work/strace.txt" 2>/dev/null &
tracer=$!
pids+=($tracer)
# strace announces nothing on stdout; give it a moment to attach to every thread.
for _ in $(seq 50); do
  [ "$(grep -c TracerPid:.*[1-9] /proc/"$server"/task/*/status 2>/dev/null | awk -F: '{s+=$2} END {print s+0}')" -gt 0 ] && break
  sleep 0.1
done
wrk -t1 -c"$conns" -d"${seconds}s" "http://127.0.0.1:$port/f" >"$work/wrk.log" 2>&1
kill -INT "$tracer"
wait "$tracer" 2>/dev/null || true

requests=$(awk '/requests in/ {print $1}' "$work/wrk.log")
echo "$requests requests, $conns connections, $size-byte file"
awk -v n="$requests" '
  $1 ~ /^[0-9.]+$/ && NF >= 5 { calls[$NF] = $4; if ($NF != "total") total += $4 }
  END {
    printf "%-16s %8.2f per request\n", "all", total / n
    if ("futex" in calls) printf "%-16s %8.2f per request\n", "futex", calls["futex"] / n
    for (c in calls) if (c != "total" && c != "futex" && calls[c] / n >= 0.01)
      printf "%-16s %8.2f per request\n", c, calls[c] / n
  }' "$work/strace.txt"

if perf stat -e raw_syscalls:sys_enter -- true >/dev/null 2>&1; then
  perf stat -x, -e raw_syscalls:sys_enter -e syscalls:sys_enter_futex -p "$server" -o "$work/perf.txt" &
  tracer=$!
  pids+=($tracer)
  sleep 0.5 # perf prints no sign of having attached; the counts are divided by wrk's own total
  wrk -t1 -c"$conns" -d"${seconds}s" "http://127.0.0.1:$port/f" >"$work/wrk.log" 2>&1
  kill -INT "$tracer"
  wait "$tracer" 2>/dev/null || true
  requests=$(awk '/requests in/ {print $1}' "$work/wrk.log")
  echo "at full speed (perf stat): $requests requests"
  awk -F, -v n="$requests" '$3 ~ /sys_enter/ {
    name = $3 == "raw_syscalls:sys_enter" ? "all" : "futex"
    printf "%-16s %8.2f per request\n", name, $1 / n }' "$work/perf.txt"
fi
