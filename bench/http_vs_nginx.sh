#!/usr/bin/env bash
# vrns against nginx and h2o serving the same static files on loopback, measured with wrk.
#
#   bench/http_vs_nginx.sh [SECONDS_PER_RUN] [ROUNDS]      (defaults: 10 and 3)
#
# Servers: vrns (--access-log off), nginx (Debian nginx-light: sendfile on, tcp_nopush on,
# access_log off) with 1 and with 2 worker processes, and h2o (Debian h2o: one thread,
# file.dir, no access log), all four running side by side on their own ports. Files of 1 KiB, 64 KiB, 1 MiB and 16 MiB; wrk with 16 and 256 keep-alive
# connections. Each round runs every server once per cell, in an order that rotates from round
# to round, and the figures are the means over the rounds. Prints a table of requests per
# second, throughput and p99 latency with the vrns/peer ratio per cell and peer, and draws a PNG chart
# when gnuplot is installed. Everything stays on 127.0.0.1.
#
# Environment: VRNS (the executable, default build/vrns), OUT (results, default build-bench),
# FILES, CONNS and PEERS to narrow the grid, e.g. FILES="1k 64k" CONNS="16" PEERS="nginx1 h2o".
# PEERS may also name "managed": the managed static-file server on the same executable
# (managed/VrnsStaticServer.exe beside it), so that PEERS="managed nginx1" measures it beside the
# native server and nginx.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-10}
rounds=${2:-3}
vrns=${VRNS:-build/vrns}
out=${OUT:-build-bench}
files=(${FILES:-1k 64k 1m 16m})
conns=(${CONNS:-16 256})
peers=(${PEERS:-nginx1 nginx2 h2o})
servers=(vrns "${peers[@]}")
declare -A port=([vrns]=18180 [nginx1]=18181 [nginx2]=18182 [h2o]=18183 [managed]=18184)
declare -A label=([nginx1]="nginx, 1 worker" [nginx2]="nginx, 2 workers" [h2o]="h2o, 1 thread"
  [managed]="managed server")

bash scripts/install-deps.sh bench
[ -x "$vrns" ] || { echo "missing $vrns: build it first (bash scripts/run.sh --version)" >&2; exit 1; }

source bench/common.sh  # the script runs from the repository root
source bench/http_common.sh
declare -A sum_mib
bench_setup bench
mkdir -p "$out"

head -c 1024 /dev/urandom >"$work/root/1k"
head -c 65536 /dev/urandom >"$work/root/64k"
head -c 1048576 /dev/urandom >"$work/root/1m"
head -c 16777216 /dev/urandom >"$work/root/16m"

start_vrns vrns "${port[vrns]}"
for peer in "${peers[@]}"; do
  case $peer in
    nginx1) start_nginx nginx1 "${port[nginx1]}" 1 ;;
    nginx2) start_nginx nginx2 "${port[nginx2]}" 2 ;;
    h2o) start_h2o h2o "${port[h2o]}" ;;
    managed)
      start_server managed "${port[managed]}" "$vrns" "$(dirname "$vrns")/managed/VrnsStaticServer.exe" \
        --listen "127.0.0.1:${port[managed]}" --root "$work/root" ;;
    *) echo "unknown peer $peer (nginx1, nginx2, h2o, managed)" >&2; exit 2 ;;
  esac
done
for s in "${servers[@]}"; do wait_server "$s" /1k; done

for ((r = 0; r < rounds; r++)); do
  echo "round $((r + 1)) of $rounds" >&2
  for f in "${files[@]}"; do
    for c in "${conns[@]}"; do
      for ((i = 0; i < ${#servers[@]}; i++)); do
        s=${servers[(i + r) % ${#servers[@]}]}
        wrk_run "$s" "$s $f $c" "/$f" "$c"
        sum_mib["$s $f $c"]=$(add "${sum_mib["$s $f $c"]:-0}" "$wrk_mib")
      done
    done
  done
done

mib() { awk -v s="${sum_mib[$1]:-0}" -v n="$rounds" 'BEGIN {printf "%.1f", s / n}'; }

table=$out/http_vs_nginx.md
data=$out/http_vs_nginx.dat
{
  run_conditions
  echo
  echo "| file | conns | peer | vrns req/s | peer req/s | ratio | vrns MiB/s | peer MiB/s | ratio | vrns p99 ms | peer p99 ms | ratio |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
} >"$table"
: >"$data"
for f in "${files[@]}"; do
  for c in "${conns[@]}"; do
    v="vrns $f $c"
    vr=$(cell_rps "$v") vm=$(mib "$v") vp=$(cell_p99 "$v")
    line="$f/c$c"
    for peer in "${peers[@]}"; do
      n="$peer $f $c"
      nr=$(cell_rps "$n") nm=$(mib "$n") np=$(cell_p99 "$n")
      echo "| $f | $c | ${label[$peer]} | $vr | $nr | $(ratio "$vr" "$nr") | $vm | $nm | $(ratio "$vm" "$nm") | $vp | $np | $(ratio "$vp" "$np") |" >>"$table"
      line+=" $(ratio "$vr" "$nr")"
    done
    echo "$line" >>"$data"
  done
done
cat "$table"

if command -v gnuplot >/dev/null; then
  plots="\"$data\" using 2:xtic(1) title \"vs ${label[${peers[0]}]}\""
  for ((i = 1; i < ${#peers[@]}; i++)); do plots+=", \"\" using $((i + 2)) title \"vs ${label[${peers[i]}]}\""; done
  gnuplot <<EOF
set terminal png size 900,500
set output "$out/http_vs_nginx.png"
set title "vrns / peer requests per second (1.0 = equal)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set yrange [0:*]
set ylabel "ratio"
set grid ytics
set key outside bottom center horizontal
plot $plots, 1 with lines lc rgb "black" notitle
EOF
  echo "chart: $out/http_vs_nginx.png"
fi
