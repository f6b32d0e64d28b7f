#!/usr/bin/env bash
# CPU time of a directory listing, with and without the open-file cache.
#
#   bench/listing_cpu.sh [FILES] [ROUNDS] [LISTINGS]      (default 45000 3 40)
#
# Makes a directory of FILES empty files and starts `vrns --autoindex` on it twice, with the
# open-file cache (cached) and without (uncached), and PEER as a third when it is set (another
# vrns executable, e.g. an older build). Each round asks every peer in turn for LISTINGS listings
# over one keep-alive connection and adds the server's user and system CPU time (from
# /proc/PID/stat, in clock ticks) around them; the order of the peers is the same in each round,
# so the load of a busy machine falls on them alike. Prints microseconds of CPU per listing and
# the ratio of each peer to the uncached server.
#
# Environment: VRNS (the executable, default build/vrns); PEER (optional, as above).
set -euo pipefail
cd "$(dirname "$0")/.."

files=${1:-45000}
rounds=${2:-3}
listings=${3:-40}
vrns=${VRNS:-build/vrns}
[ -x "$vrns" ] || { echo "missing $vrns: build it first (bash scripts/run.sh --version)" >&2; exit 1; }

source bench/common.sh  # the script runs from the repository root
bench_setup listing
mkdir "$work/root/big"
(cd "$work/root/big" && seq -f 'file-%06g.txt' 0 $((files - 1)) | xargs touch)

peers=(cached uncached)
declare -A pid port
# start NAME EXECUTABLE OPTIONS...: a vrns on an ephemeral port.
start() {
  local name=$1 exe=$2
  shift 2
  "$exe" --listen 127.0.0.1:0 --root "$work/root" --autoindex --access-log off "$@" >"$work/$name.out" 2>&1 &
  pid[$name]=$!
  pids+=($!)
  for _ in $(seq 100); do
    grep -qs 'http://' "$work/$name.out" && break
    sleep 0.1
  done
  port[$name]=$(sed -n 's|.*http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/$name.out")
  [ -n "${port[$name]}" ] || { echo "vrns $name did not start: $(cat "$work/$name.out")" >&2; exit 1; }
}
start cached "$vrns"
start uncached "$vrns" --open-file-cache off
if [ -n "${PEER:-}" ]; then
  start peer "$PEER"
  peers+=(peer)
fi

ticks() { awk '{ print $14 + $15 }' /proc/"$1"/stat; }
declare -A total
for _ in $(seq "$rounds"); do
  for name in "${peers[@]}"; do
    urls=()
    for _ in $(seq "$listings"); do urls+=("http://127.0.0.1:${port[$name]}/big/"); done
    before=$(ticks "${pid[$name]}")
    curl -sf "${urls[@]}" >/dev/null
    total[$name]=$((${total[$name]:-0} + $(ticks "${pid[$name]}") - before))
  done
done

hz=$(getconf CLK_TCK)
count=$((rounds * listings))
echo "CPU per listing of $files files ($count listings each):"
for name in "${peers[@]}"; do
  awk -v t="${total[$name]}" -v u="${total[uncached]}" -v hz="$hz" -v n="$count" -v name="$name" \
    'BEGIN { printf "  %-9s %8.0f us   %.3f of uncached\n", name, t * 1e6 / hz / n, (u ? t / u : 0) }'
done
