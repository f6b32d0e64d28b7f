# shellcheck shell=bash
# Sourced after common.sh by the HTTP benchmark scripts (from the repository root, after
# bench_setup): servers started on loopback, one wrk run measured with the server's CPU time
# around it, and the sums that give each cell's figures over the rounds. The script sets $vrns
# (the executable), $seconds (per wrk run) and $rounds; bench_setup sets $work.
#
#   start_vrns NAME PORT [OPTION...]    the native server over $work/root, access log off
#   start_nginx NAME PORT WORKERS       nginx (sendfile, tcp_nopush, no access log) over $work/root
#   start_h2o NAME PORT                 h2o, one thread, file.dir over $work/root
#   start_server NAME PORT COMMAND...   any other server (its output goes to $work/NAME.out)
#   wait_server NAME PATH               until NAME answers PATH with 200 (fails after 30 s)
#   wrk_run NAME KEY PATH CONNS [WRK_OPTION...] [-- SCRIPT_ARGUMENT...]
#        one wrk run of $seconds s with $wrk_threads threads (WRK_THREADS, default 2) against NAME; prints a line to stderr and adds requests, CPU
#        ticks, req/s and p99 to the sums under KEY (e.g. "vrns 1k 16")
#   wrk_warm NAME PATH [WRK_OPTION...] [-- SCRIPT_ARGUMENT...]  one unmeasured second of wrk (16 connections)
#   cell_rps KEY, cell_p99 KEY, cell_cpu KEY, cell_errors KEY
#        mean req/s, mean p99 (ms), CPU µs per request (all CPU over all requests), and the
#        count of failed responses and socket errors, over the runs under KEY
#   ratio A B                           A / B to two places, "-" if either is unknown
#
# The server's CPU time is utime + stime from /proc/PID/stat of its process and every
# descendant (nginx's workers), all threads, read just before and just after wrk: CPU per request
# does not depend on how many cores a server manages to use.

declare -A server_pid server_port
declare -A sum_runs sum_req sum_ticks sum_rps sum_p99 sum_err
clock_ticks=$(getconf CLK_TCK)
wrk_threads=${WRK_THREADS:-2}

# Starts COMMAND in the background as server NAME; its pid is the one measured and stopped.
start_server() { # name port command...
  local name=$1 port=$2
  shift 2
  "$@" >"$work/$name.out" 2>&1 &
  pids+=($!)
  server_pid[$name]=$!
  server_port[$name]=$port
}

start_vrns() { # name port [option...]
  local name=$1 port=$2
  shift 2
  start_server "$name" "$port" "$vrns" --listen "127.0.0.1:$port" --root "$work/root" \
    --access-log off "$@"
}

start_nginx() { # name port workers
  local conf=$work/$1.conf
  cat >"$conf" <<EOF
daemon off;
master_process on;
worker_processes $3;
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
  server { listen 127.0.0.1:$2; root $work/root; }
}
EOF
  start_server "$1" "$2" nginx -c "$conf" -e "$work/$1.error.log"
}

start_h2o() { # name port
  local conf=$work/$1.conf
  cat >"$conf" <<EOF
num-threads: 1
user: $(id -un)
pid-file: $work/$1.pid
error-log: $work/$1.error.log
listen:
  host: 127.0.0.1
  port: $2
hosts:
  default:
    paths:
      /:
        file.dir: $work/root
EOF
  start_server "$1" "$2" h2o -c "$conf"
}

# 200 from the server, or false. A Mono server takes a second or more to start on a busy machine.
answers() { # name path
  [ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:${server_port[$1]}$2")" = 200 ]
}

wait_server() { # name path
  local _
  for _ in $(seq 300); do
    answers "$1" "$2" && return 0
    kill -0 "${server_pid[$1]}" 2>/dev/null || break
    sleep 0.1
  done
  echo "$1 did not answer $2 with 200; its output:" >&2
  cat "$work/$1.out" >&2
  return 1
}

# utime + stime, in clock ticks, of process PID and all its descendants (all their threads).
proc_ticks() { # pid
  # A process may end between the glob and the read; cat then fails, which is no error here.
  { cat /proc/[0-9]*/stat 2>/dev/null || true; } | awk -v root="$1" '
    { line = $0; pid = line + 0; sub(/^.*\) /, "", line); split(line, f, " ")
      parent[pid] = f[2]; ticks[pid] = f[12] + f[13] }
    END {
      total = 0
      for (p in ticks) {
        q = p
        while (q != root && q > 1 && (q in parent)) q = parent[q]
        if (q == root) total += ticks[p]
      }
      print total
    }'
}

# wrk's latency in milliseconds, whatever unit it printed.
to_ms() {
  [ -n "$1" ] || { echo -; return; }
  awk -v v="$1" 'BEGIN {
    n = v + 0; u = v; sub(/^[0-9.]+/, "", u)
    if (u == "us") n /= 1000; else if (u == "s") n *= 1000; else if (u == "m") n *= 60000
    printf "%.3f", n }'
}

# wrk's Transfer/sec in MiB/s.
to_mib() {
  [ -n "$1" ] || { echo 0; return; }
  awk -v v="$1" 'BEGIN {
    n = v + 0; u = v; sub(/^[0-9.]+/, "", u)
    if (u == "B") n /= 1048576; else if (u == "KB") n /= 1024; else if (u == "GB") n *= 1024
    printf "%.1f", n }'
}

add() { awk -v a="${1:-0}" -v b="${2:-0}" 'BEGIN {print a + b}'; }

# Sets wrk_requests, wrk_rps, wrk_p99 (ms), wrk_mib, wrk_errors from a wrk log.
wrk_parse() { # log
  wrk_requests=$(awk '/ requests in / {print $1}' "$1")
  wrk_rps=$(awk '/^Requests\/sec:/ {print $2}' "$1")
  wrk_p99=$(to_ms "$(awk '$1 == "99%" {print $2}' "$1")")
  # wrk prints 0 when it has no figure: with pipelining it times batches, not requests, and its
  # upper percentiles come out 0.
  [ "$wrk_p99" = 0.000 ] && wrk_p99=-
  wrk_mib=$(to_mib "$(awk '/^Transfer\/sec:/ {print $2}' "$1")")
  wrk_errors=$(awk '/^  Non-2xx or 3xx responses:/ {n += $NF}
    /^  Socket errors:/ {gsub(/,/, ""); n += $4 + $6 + $8 + $10} END {print n + 0}' "$1")
}

# wrk NAME PATH OPTION... [-- SCRIPT_ARGUMENT...]: wrk takes its options before the URL and its
# script's arguments after it.
wrk_at() {
  local url="http://127.0.0.1:${server_port[$1]}$2"
  shift 2
  local -a options=()
  while (($#)) && [ "$1" != -- ]; do
    options+=("$1")
    shift
  done
  wrk "${options[@]}" "$url" "$@"
}

wrk_run() { # name key path conns [wrk option...] [-- script argument...]
  local name=$1 key=$2 path=$3 conns=$4
  shift 4
  local log=$work/wrk.log before after
  before=$(proc_ticks "${server_pid[$name]}")
  wrk_at "$name" "$path" -t"$wrk_threads" -c"$conns" -d"${seconds}s" --latency "$@" >"$log" 2>&1 || true
  after=$(proc_ticks "${server_pid[$name]}")
  wrk_parse "$log"
  local ticks=$((after - before))
  wrk_cpu=$(awk -v t="$ticks" -v n="${wrk_requests:-0}" -v hz="$clock_ticks" \
    'BEGIN {if (n > 0) printf "%.1f", t * 1e6 / hz / n; else print "-"}')
  sum_runs[$key]=$((${sum_runs[$key]:-0} + 1))
  sum_req[$key]=$((${sum_req[$key]:-0} + ${wrk_requests:-0}))
  sum_ticks[$key]=$((${sum_ticks[$key]:-0} + ticks))
  sum_rps[$key]=$(add "${sum_rps[$key]:-0}" "${wrk_rps:-0}")
  sum_err[$key]=$((${sum_err[$key]:-0} + wrk_errors))
  # A run without a p99 (no request finished) leaves the cell's p99 unknown.
  if [ "$wrk_p99" = - ] || [ "${sum_p99[$key]:-0}" = - ]; then sum_p99[$key]=-
  else sum_p99[$key]=$(add "${sum_p99[$key]:-0}" "$wrk_p99"); fi
  printf '  %-28s %10s req/s  p99 %8s ms  %7s µs CPU/req  %8s MiB/s%s\n' "$key" "${wrk_rps:-?}" \
    "$wrk_p99" "$wrk_cpu" "$wrk_mib" "$( ((wrk_errors)) && echo "  $wrk_errors errors")" >&2
}

wrk_warm() { # name path [wrk option...] [-- script argument...]
  local name=$1 path=$2
  shift 2
  wrk_at "$name" "$path" -t2 -c16 -d1s "$@" >/dev/null 2>&1 || true
}

cell_rps() { awk -v s="${sum_rps[$1]:-0}" -v n="${sum_runs[$1]:-0}" 'BEGIN {if (n > 0) printf "%.0f", s / n; else print "-"}'; }
cell_p99() {
  local s=${sum_p99[$1]:--}
  [ "$s" = - ] && { echo -; return; }
  awk -v s="$s" -v n="${sum_runs[$1]:-0}" 'BEGIN {printf "%.2f", s / n}'
}
cell_cpu() {
  awk -v t="${sum_ticks[$1]:-0}" -v n="${sum_req[$1]:-0}" -v hz="$clock_ticks" \
    'BEGIN {if (n > 0) printf "%.1f", t * 1e6 / hz / n; else print "-"}'
}
cell_errors() { echo "${sum_err[$1]:-0}"; }

ratio() {
  { [ "$1" = - ] || [ "$2" = - ]; } && { echo -; return; }
  awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%.2f", a / b; else print "-"}'
}

# One line for the table's heading: the run's conditions, with the machine's load.
run_conditions() {
  echo "wrk -t$wrk_threads, ${seconds} s per run, $rounds rounds alternating servers, keep-alive, loopback;" \
    "$(nproc) CPUs, load average before: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg)"
}
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
