#!/usr/bin/env bash
# What the TLS edge costs: static files fetched through HAProxy's TLS front end with HTTP/2
# (deploy/haproxy/vrns.cfg, many streams per connection) beside the same load sent straight to
# vrns over HTTP/1.1, and through HAProxy's plain front end over HTTP/1.1, which separates the
# proxying from TLS and HTTP/2. h2load makes every load, so the client side is the same tool.
#
#   bench/edge_tls.sh [SECONDS_PER_RUN] [ROUNDS]      (defaults: 5 and 3)
#
# One vrns serves the files; HAProxy's two backends both name it. Each round runs every route
# once, in an order that rotates from round to round, after one unmeasured second per route.
# The CPU time of HAProxy and of vrns (utime + stime of all their threads, from /proc/PID/stat
# before and after each run) divided by the requests completed gives each one's CPU per
# request: what an operator sizes the edge by, whatever the cores each one managed to use.
#
# Environment: VRNS (the executable, default build/vrns), OUT (results, default build-bench),
# FILES (1k 64k), CONNS (h2load clients, 16), STREAMS (HTTP/2 streams per connection, 32),
# PORT_BASE (18300: vrns there, HAProxy's plain and TLS front ends on the next two ports).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-5}
rounds=${2:-3}
vrns=${VRNS:-build/vrns}
out=${OUT:-build-bench}
files=(${FILES:-1k 64k})
conns=${CONNS:-16}
streams=${STREAMS:-32}
base=${PORT_BASE:-18300}
routes=(direct edge-h2 edge-h1)
declare -A label=([direct]="straight to vrns, HTTP/1.1" [edge-h2]="HAProxy TLS, HTTP/2 ($streams streams/conn)"
  [edge-h1]="HAProxy plain, HTTP/1.1")

bash scripts/install-deps.sh bench >/dev/null
[ -x "$vrns" ] || { echo "missing $vrns: build it first (bash scripts/run.sh --version)" >&2; exit 1; }
for port in $base $((base + 1)) $((base + 2)); do
  ! ss -ltnH "sport = :$port" | grep -q . || { echo "port $port is taken: set PORT_BASE" >&2; exit 1; }
done

source bench/common.sh  # the script runs from the repository root
source bench/http_common.sh
bench_setup edge
mkdir -p "$out"

declare -A sizes=([1k]=1024 [64k]=65536 [1m]=1048576)
for f in "${files[@]}"; do
  [ -n "${sizes[$f]:-}" ] || { echo "unknown file $f (1k, 64k, 1m)" >&2; exit 2; }
  head -c "${sizes[$f]}" /dev/urandom >"$work/root/$f"
done

start_vrns vrns "$base" --status-path /-/status
wait_server vrns "/${files[0]}"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
cat "$work/cert.pem" "$work/key.pem" >"$work/edge.pem"
VRNS_FRONTEND=127.0.0.1:$((base + 1)) VRNS_TLS_FRONTEND=127.0.0.1:$((base + 2)) \
  VRNS_TLS_CERT=$work/edge.pem VRNS_BACKEND1=127.0.0.1:$base VRNS_BACKEND2=127.0.0.1:$base \
  VRNS_STATUS_PATH=/-/status start_server haproxy $((base + 1)) haproxy -db -f deploy/haproxy/vrns.cfg
wait_server haproxy "/${files[0]}"

# h2load ROUTE PATH SECONDS: one load along the route, its report on standard output.
h2load_route() {
  local -a args=(-t2 -c"$conns" -D"$3")
  case $1 in
    direct) args+=(--h1 "http://127.0.0.1:$base$2") ;;
    edge-h1) args+=(--h1 "http://127.0.0.1:$((base + 1))$2") ;;
    edge-h2) args+=(-m"$streams" "https://127.0.0.1:$((base + 2))$2") ;;
  esac
  h2load "${args[@]}"
}

declare -A runs req rps haproxy_ticks vrns_ticks failed
measure() { # route file
  local key="$1 $2" log=$work/h2load.log hb vb ha va n r f
  hb=$(proc_ticks "${server_pid[haproxy]}")
  vb=$(proc_ticks "${server_pid[vrns]}")
  h2load_route "$1" "/$2" "$seconds" >"$log" 2>&1 || true
  ha=$(proc_ticks "${server_pid[haproxy]}")
  va=$(proc_ticks "${server_pid[vrns]}")
  n=$(awk '/^requests:/ {print $8}' "$log")
  r=$(awk '/^finished in/ {print $4}' "$log")
  f=$(awk '/^requests:/ {print $10 + $12 + $14}' "$log")
  n=${n:-0} r=${r:-0} f=${f:-0}
  runs[$key]=$((${runs[$key]:-0} + 1))
  req[$key]=$((${req[$key]:-0} + n))
  rps[$key]=$(add "${rps[$key]:-0}" "$r")
  haproxy_ticks[$key]=$((${haproxy_ticks[$key]:-0} + ha - hb))
  vrns_ticks[$key]=$((${vrns_ticks[$key]:-0} + va - vb))
  failed[$key]=$((${failed[$key]:-0} + f))
  printf '  %-10s %-4s %10s req/s  %s failed\n' "$1" "$2" "$r" "$f" >&2
}

per_request() { # ticks requests
  awk -v t="$1" -v n="$2" -v hz="$clock_ticks" 'BEGIN {if (n > 0) printf "%.1f", t * 1e6 / hz / n; else print "-"}'
}

for route in "${routes[@]}"; do h2load_route "$route" "/${files[0]}" 1 >/dev/null 2>&1 || true; done
for ((round = 0; round < rounds; round++)); do
  echo "round $((round + 1)) of $rounds" >&2
  for f in "${files[@]}"; do
    for ((i = 0; i < ${#routes[@]}; i++)); do
      measure "${routes[(i + round) % ${#routes[@]}]}" "$f"
    done
  done
done

table=$out/edge_tls.md
{
  echo "h2load -t2 -c$conns, ${seconds} s per run, $rounds rounds alternating routes, loopback;" \
    "$(nproc) CPUs, load average before: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  echo "| file | route | req/s | / straight | HAProxy CPU µs/req | vrns CPU µs/req | failed |"
  echo "|---|---|---|---|---|---|---|"
  for f in "${files[@]}"; do
    direct_rps=$(awk -v s="${rps[direct $f]}" -v n="${runs[direct $f]}" 'BEGIN {printf "%.0f", s / n}')
    for route in "${routes[@]}"; do
      k="$route $f"
      mean=$(awk -v s="${rps[$k]}" -v n="${runs[$k]}" 'BEGIN {printf "%.0f", s / n}')
      hcpu=$(per_request "${haproxy_ticks[$k]}" "${req[$k]}")
      [ "$route" = direct ] && hcpu=-
      echo "| $f | ${label[$route]} | $mean | $(ratio "$mean" "$direct_rps") | $hcpu |" \
        "$(per_request "${vrns_ticks[$k]}" "${req[$k]}") | ${failed[$k]} |"
    done
  done
} | tee "$table"
echo "(also in $table)" >&2
