#!/usr/bin/env bash
# One vrns process against two sharing the port with --reuse-port (SO_REUSEPORT), on loopback,
# measured with wrk.
#
#   bench/reuse_port.sh [SECONDS_PER_RUN] [ROUNDS]      (defaults: 5 and 3)
#
# Both set-ups run side by side on their own ports (one process on one, two processes on the
# other), with --access-log off. Files of 1 KiB and 64 KiB; wrk with 2 threads and 64 keep-alive
# connections (each connection stays with the process that accepted it, so many connections
# are needed for the kernel to spread them). Each round runs both set-ups once per cell, the
# order alternating from round to round; the figures are means over the rounds, with the
# two-process/one-process ratio. wrk runs on the same machine and takes CPU from the servers:
# read the ratio as what a second process buys on this machine, not as a scaling limit.
#
# Environment: VRNS (the executable, default build/vrns), FILES and CONNS to change the grid.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-5}
rounds=${2:-3}
vrns=${VRNS:-build/vrns}
files=(${FILES:-1k 64k})
conns=(${CONNS:-64})
one_port=18190
two_port=18191

bash scripts/install-deps.sh bench
[ -x "$vrns" ] || { echo "missing $vrns: build it first (bash scripts/run.sh --version)" >&2; exit 1; }

source bench/common.sh  # the script runs from the repository root
bench_setup reuseport
head -c 1024 /dev/urandom >"$work/root/1k"
head -c 65536 /dev/urandom >"$work/root/64k"

start() { # port extra-options...
  local port=$1
  shift
  "$vrns" --listen "127.0.0.1:$port" --root "$work/root" --access-log off "$@" >/dev/null 2>>"$work/stderr" &
  pids+=($!)
}
start $one_port
start $two_port --reuse-port
start $two_port --reuse-port
for port in $one_port $two_port; do
  for _ in $(seq 100); do curl -sf -o /dev/null "http://127.0.0.1:$port/1k" && break; sleep 0.1; done
done

# run PORT FILE CONNS: requests per second of one wrk run.
run() {
  wrk -t2 -c"$3" -d"${seconds}s" "http://127.0.0.1:$1/$2" | awk '/^Requests\/sec:/ {print $2}'
}

declare -A sum
for ((r = 0; r < rounds; r++)); do
  for f in "${files[@]}"; do
    for c in "${conns[@]}"; do
      order=(one two)
      ((r % 2)) && order=(two one)
      for setup in "${order[@]}"; do
        port=$one_port
        [ "$setup" = two ] && port=$two_port
        rps=$(run "$port" "$f" "$c")
        sum[$setup.$f.$c]=$(awk -v a="${sum[$setup.$f.$c]:-0}" -v b="$rps" 'BEGIN {print a + b}')
        echo "round $((r + 1)) $setup process(es) $f c$c: $rps req/s" >&2
      done
    done
  done
done

echo
echo "| file | connections | 1 process, req/s | 2 processes (--reuse-port), req/s | 2 / 1 |"
echo "| --- | --- | --- | --- | --- |"
for f in "${files[@]}"; do
  for c in "${conns[@]}"; do
    awk -v f="$f" -v c="$c" -v one="${sum[one.$f.$c]}" -v two="${sum[two.$f.$c]}" -v n="$rounds" \
      'BEGIN {printf "| %s | %s | %.0f | %.0f | %.2f |\n", f, c, one / n, two / n, two / one}'
  done
done
echo
echo "$(nproc) CPUs, ${seconds}s per run, $rounds rounds, wrk -t2 on the same machine"
