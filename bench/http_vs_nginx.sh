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
bench_setup bench
mkdir -p "$out"

head -c 1024 /dev/urandom >"$work/root/1k"
head -c 65536 /dev/urandom >"$work/root/64k"
head -c 1048576 /dev/urandom >"$work/root/1m"
head -c 16777216 /dev/urandom >"$work/root/16m"

start_nginx() { # name workers
  local conf=$work/$1.conf
  cat >"$conf" <<EOF
daemon off;
master_process on;
worker_processes $2;
user root;
pid $work/$1.pid;
error_log $work/$1.error.log;
events { worker_connections 4096; }
http {
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  access_log off;
  keepalive_requests 100000000;
  client_body_temp_path $work/$1.body;
  proxy_temp_path $work/$1.proxy;
  fastcgi_temp_path $work/$1.fastcgi;
  uwsgi_temp_path $work/$1.uwsgi;
  scgi_temp_path $work/$1.scgi;
  server { listen 127.0.0.1:${port[$1]}; root $work/root; }
}
EOF
  nginx -c "$conf" -e "$work/$1.error.log" &
  pids+=($!)
}

start_h2o() {
  local conf=$work/h2o.conf
  cat >"$conf" <<EOF
num-threads: 1
user: $(id -un)
pid-file: $work/h2o.pid
error-log: $work/h2o.error.log
listen:
  host: 127.0.0.1
  port: ${port[h2o]}
hosts:
  default:
    paths:
      /:
        file.dir: $work/root
EOF
  h2o -c "$conf" >"$work/h2o.out" 2>&1 &
  pids+=($!)
}

"$vrns" --listen "127.0.0.1:${port[vrns]}" --root "$work/root" --access-log off >"$work/vrns.out" 2>&1 &
pids+=($!)
for peer in "${peers[@]}"; do
  case $peer in
    nginx1) start_nginx nginx1 1 ;;
    nginx2) start_nginx nginx2 2 ;;
    h2o) start_h2o ;;
    managed)
      "$vrns" "$(dirname "$vrns")/managed/VrnsStaticServer.exe" --listen "127.0.0.1:${port[managed]}" \
        --root "$work/root" >"$work/managed.out" 2>&1 &
      pids+=($!) ;;
    *) echo "unknown peer $peer (nginx1, nginx2, h2o, managed)" >&2; exit 2 ;;
  esac
done
for s in "${servers[@]}"; do
  for _ in $(seq 100); do
    curl -sf -o /dev/null "http://127.0.0.1:${port[$s]}/1k" && break
    sleep 0.1
  done
  curl -sf -o /dev/null "http://127.0.0.1:${port[$s]}/1k" || { echo "$s did not start" >&2; exit 1; }
done

# wrk's p99 in milliseconds, whatever unit it printed.
to_ms() {
  [ -n "$1" ] || { echo -; return; }
  awk -v v="$1" 'BEGIN {
    n = v + 0; u = v; sub(/^[0-9.]+/, "", u)
    if (u == "us") n /= 1000; else if (u == "s") n *= 1000; else if (u == "m") n *= 60000
    printf "%.3f", n }'
}
# wrk's Transfer/sec in MiB/s.
to_mib() {
  awk -v v="$1" 'BEGIN {
    n = v + 0; u = v; sub(/^[0-9.]+/, "", u)
    if (u == "B") n /= 1048576; else if (u == "KB") n /= 1024; else if (u == "GB") n *= 1024
    printf "%.1f", n }'
}

declare -A sum_rps sum_mib sum_p99
run_one() { # server file conns
  local log=$work/wrk.log
  wrk -t2 -c"$3" -d"${seconds}s" --latency "http://127.0.0.1:${port[$1]}/$2" >"$log" 2>&1 || true
  local rps mib p99
  rps=$(awk '/^Requests\/sec:/ {print $2}' "$log")
  mib=$(to_mib "$(awk '/^Transfer\/sec:/ {print $2}' "$log")")
  p99=$(to_ms "$(awk '$1 == "99%" {print $2}' "$log")")
  local key="$1 $2 $3"
  sum_rps[$key]=$(awk -v a="${sum_rps[$key]:-0}" -v b="${rps:-0}" 'BEGIN {print a + b}')
  sum_mib[$key]=$(awk -v a="${sum_mib[$key]:-0}" -v b="${mib:-0}" 'BEGIN {print a + b}')
  # A run without a p99 (no request finished) leaves the cell's p99 unknown.
  if [ "$p99" = - ] || [ "${sum_p99[$key]:-0}" = - ]; then sum_p99[$key]=-
  else sum_p99[$key]=$(awk -v a="${sum_p99[$key]:-0}" -v b="$p99" 'BEGIN {print a + b}'); fi
  printf '  %-7s %-4s c=%-4s %10s req/s %8s MiB/s p99 %8s ms\n' "$1" "$2" "$3" "${rps:-?}" "$mib" "$p99" >&2
}

for ((r = 0; r < rounds; r++)); do
  echo "round $((r + 1)) of $rounds" >&2
  for f in "${files[@]}"; do
    for c in "${conns[@]}"; do
      for ((i = 0; i < ${#servers[@]}; i++)); do
        run_one "${servers[(i + r) % ${#servers[@]}]}" "$f" "$c"
      done
    done
  done
done

mean() { [ "$1" = - ] && echo - || awk -v s="$1" -v n="$rounds" 'BEGIN {printf "%.1f", s / n}'; }
ratio() { [ "$1" = - ] || [ "$2" = - ] && echo - || awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%.2f", a / b; else print "-"}'; }

table=$out/http_vs_nginx.md
data=$out/http_vs_nginx.dat
{
  echo "wrk -t2, ${seconds} s per run, mean of $rounds rounds, keep-alive, loopback; $(nproc) CPUs"
  echo
  echo "| file | conns | peer | vrns req/s | peer req/s | ratio | vrns MiB/s | peer MiB/s | ratio | vrns p99 ms | peer p99 ms | ratio |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
} >"$table"
: >"$data"
for f in "${files[@]}"; do
  for c in "${conns[@]}"; do
    v="vrns $f $c"
    vr=$(mean "${sum_rps[$v]}") vm=$(mean "${sum_mib[$v]}") vp=$(mean "${sum_p99[$v]}")
    line="$f/c$c"
    for peer in "${peers[@]}"; do
      n="$peer $f $c"
      nr=$(mean "${sum_rps[$n]}") nm=$(mean "${sum_mib[$n]}") np=$(mean "${sum_p99[$n]}")
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
