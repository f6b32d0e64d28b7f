#!/usr/bin/env bash
# Server CPU time per request of vrns, h2o (one thread), nginx (one worker) and the contract
# floor in both its forms, serving the same static files on loopback under wrk, with requests per
# second and p99 latency.
#
#   bench/http_cpu.sh [SECONDS_PER_RUN] [ROUNDS]      (defaults: 5 and 3)
#
# All run side by side on their own ports over one root. For each file (1 KiB, 64 KiB) and
# connection count (16, 256) every round runs each server once, in an order that rotates from
# round to round. The server's CPU time is utime + stime of its processes (all threads) from
# /proc/PID/stat, read before and after each wrk run; divided by the requests wrk completed it
# gives CPU µs per request, a figure that does not depend on how many cores a server can use
# (vrns uses both, the peers one each). Prints one row per cell and server (mean req/s, mean p99,
# CPU per request over all its runs) with the ratio vrns / that server for each figure.
#
# The contract floor (contract-floor.cpp from the shared tools beside the main checkout, built
# here with g++ -O2) is the least a server can spend under the executable's contract: a loop
# thread in epoll with one-shot interest hands each ready socket to one worker, which reads,
# answers from memory with one writev and re-arms with one EPOLL_CTL_MOD ("loop + worker"); with
# --inline it answers on the loop thread, a one-thread server like h2o. It serves one body size,
# so one instance of each form runs per file. Without its source the floor is left out.
#
# Environment: VRNS (the executable, default build/vrns), OUT (results, default build-bench),
# FILES and CONNS to change the grid (FILES="1k" CONNS="16"), EXTRA (more vrns options), PEER
# (another vrns executable run beside it, such as an older build), FLOOR_SRC (the floor's
# source), WRK_THREADS (wrk's threads, default 1, as the floor was first measured), PORT_BASE
# (default 18200: vrns takes it, the others the ports after it).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-5}
rounds=${2:-3}
vrns=${VRNS:-build/vrns}
out=${OUT:-build-bench}
files=(${FILES:-1k 64k})
conns=(${CONNS:-16 256})
port_base=${PORT_BASE:-18200}
export WRK_THREADS=${WRK_THREADS:-1}
servers=(vrns h2o nginx1)
declare -A label=([vrns]="vrns" [h2o]="h2o, 1 thread" [nginx1]="nginx, 1 worker"
  [peer]="vrns (PEER)" [floor]="contract floor, loop + worker" [floor1]="contract floor, 1 thread (--inline)")
common_dir=$(git rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)
floor_src=${FLOOR_SRC:-${common_dir:+$common_dir/../../shared/tools/contract-floor.cpp}}

bash scripts/install-deps.sh bench >/dev/null
[ -x "$vrns" ] || { echo "missing $vrns: build it first (bash scripts/run.sh --version)" >&2; exit 1; }

source bench/common.sh  # the script runs from the repository root
source bench/http_common.sh
bench_setup cpu
mkdir -p "$out"

declare -A sizes=([1k]=1024 [64k]=65536 [1m]=1048576 [16m]=16777216)
for f in "${files[@]}"; do
  [ -n "${sizes[$f]:-}" ] || { echo "unknown file $f (1k, 64k, 1m, 16m)" >&2; exit 2; }
  head -c "${sizes[$f]}" /dev/urandom >"$work/root/$f"
done

# The process that serves server S for file F: the floor serves one body size per instance.
instance() { # server file
  case $1 in
    floor*) echo "$1-$2" ;;
    *) echo "$1" ;;
  esac
}

# shellcheck disable=SC2086
start_vrns vrns "$port_base" ${EXTRA:-}
start_h2o h2o $((port_base + 1))
start_nginx nginx1 $((port_base + 2)) 1
if [ -n "${PEER:-}" ]; then
  # shellcheck disable=SC2086
  vrns=$PEER start_vrns peer $((port_base + 3)) ${EXTRA:-}
  servers+=(peer)
fi
for s in "${servers[@]}"; do wait_server "$s" "/${files[0]}"; done
if [ -n "$floor_src" ] && [ -f "$floor_src" ]; then
  g++ -O2 -pthread -o "$work/contract-floor" "$floor_src"
  port=$((port_base + 4))
  for f in "${files[@]}"; do
    start_server "$(instance floor "$f")" "$port" "$work/contract-floor" "$port" "${sizes[$f]}"
    start_server "$(instance floor1 "$f")" $((port + 1)) "$work/contract-floor" $((port + 1)) \
      "${sizes[$f]}" --inline
    port=$((port + 2))
    wait_server "$(instance floor "$f")" "/$f"
    wait_server "$(instance floor1 "$f")" "/$f"
  done
  servers+=(floor floor1)
else
  echo "no contract floor (FLOOR_SRC=${floor_src:-unset} not found): left out" >&2
fi

for ((r = 0; r < rounds; r++)); do
  echo "round $((r + 1)) of $rounds" >&2
  for f in "${files[@]}"; do
    for c in "${conns[@]}"; do
      for ((i = 0; i < ${#servers[@]}; i++)); do
        s=${servers[(i + r) % ${#servers[@]}]}
        wrk_run "$(instance "$s" "$f")" "$s $f $c" "/$f" "$c"
      done
    done
  done
done

table=$out/http_cpu.md
{
  run_conditions
  echo
  echo "| file | conns | server | req/s | p99 ms | CPU µs/req | vrns/server req/s | vrns/server p99 | vrns/server CPU |"
  echo "|---|---|---|---|---|---|---|---|---|"
  for f in "${files[@]}"; do
    for c in "${conns[@]}"; do
      v="vrns $f $c"
      for s in "${servers[@]}"; do
        k="$s $f $c"
        err=$(cell_errors "$k")
        note=""
        ((err)) && note=" ($err errors)"
        echo "| $f | $c | ${label[$s]}$note | $(cell_rps "$k") | $(cell_p99 "$k") | $(cell_cpu "$k") |" \
          "$(ratio "$(cell_rps "$v")" "$(cell_rps "$k")") | $(ratio "$(cell_p99 "$v")" "$(cell_p99 "$k")") |" \
          "$(ratio "$(cell_cpu "$v")" "$(cell_cpu "$k")") |"
      done
    done
  done
} >"$table"
cat "$table"
