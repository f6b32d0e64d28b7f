#!/usr/bin/env bash
# The managed sample on the exports, its handlers on the handler pool (the default) and inline on
# the pump workers (--unsafe-inline-handlers), against the same job on Mono's
# System.Net.HttpListener and on Mono's own async sockets, and against the native server on a
# static file, on loopback under wrk: req/s, p99 and server CPU time per request.
#
#   bench/managed_http.sh [SECONDS_PER_RUN] [ROUNDS]      (defaults: 5 and 3)
#
# Tests: plaintext (GET /plaintext), pipelined (the same, 16 requests per batch with
# bench/pipeline.lua), json (GET /json) and 1k (a 1 KiB file under --root; the native server
# takes part in this one only); storm, the handler pool under a storm of computing and of
# blocking handlers (see run_storm; STORM_CONNS, STORM_CPU_USEC, STORM_BLOCKERS). The two Mono peers (bench/mono/, compiled here with mcs into
# OUT/mono/) run under plain `mono`, with the runtime's defaults, as the sample's embedded
# runtime runs. A server that does not answer a test's path with 200 (or, for pipelined, does
# not answer two requests sent together) is left out of that test, with a line saying so; Mono's
# HttpListener answers only the first of pipelined requests. Each server first gets one
# unmeasured second per test (the Mono servers compile their code on first use); then, for each
# test and connection count, every round runs each server once, in an order that rotates from
# round to round. CPU time per request is utime + stime of the server's process (all threads,
# from /proc/PID/stat) around each wrk run over the requests wrk completed. Prints a row per
# test, connection count and server with the ratios of both managed modes to it, then the goals
# with the measured ratios.
#
# The sample's static files run inline in both modes (the library's StaticFiles never blocks), so
# 1k compares the two modes' framing alike; plaintext, pipelined and json are handlers of the
# application's, and show what the hop to the handler pool costs.
#
# Environment: VRNS (the executable, default build/vrns), OUT (results, default build-bench),
# MANAGED (the managed server's command before --listen and --root; default
# "$VRNS build/managed/VrnsSample.exe", e.g. MANAGED="build/vrns build/managed/VrnsStaticServer.exe"
# for the static-file server, which takes part in 1k only), TESTS and CONNS to change the grid
# (TESTS="plaintext 1k" CONNS="16"), DEPTH (requests per pipelined batch, default 16), PORT_BASE
# (the first of five loopback ports, default 18210).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-5}
rounds=${2:-3}
vrns=${VRNS:-build/vrns}
out=${OUT:-build-bench}
tests=(${TESTS:-plaintext pipelined json 1k storm})
conns=(${CONNS:-16 256})
depth=${DEPTH:-16}
read -ra managed_cmd <<<"${MANAGED:-$vrns $(dirname "$vrns")/managed/VrnsSample.exe}"
port_base=${PORT_BASE:-18210}
servers=(managed inline listener sockets native)
declare -A label=([managed]="managed sample" [inline]="managed sample, inline handlers"
  [listener]="Mono HttpListener" [sockets]="Mono async sockets" [native]="native vrns")
declare -A test_path=([plaintext]=/plaintext [pipelined]=/plaintext [json]=/json [1k]=/1k)
declare -A test_servers=([plaintext]="managed inline listener sockets"
  [pipelined]="managed inline listener sockets" [json]="managed inline listener sockets"
  [1k]="managed inline listener sockets native")

bash scripts/install-deps.sh bench >/dev/null
[ -x "$vrns" ] || { echo "missing $vrns: build it first (bash scripts/run.sh --version)" >&2; exit 1; }
for f in "${managed_cmd[@]}"; do
  case $f in *.exe | *.dll) [ -f "$f" ] || {
    echo "missing $f: build it first, or set MANAGED (see the head of $0)" >&2; exit 1; } ;;
  esac
done
# The pool storm has servers of its own (run_storm below).
storm=0
grid=()
for t in "${tests[@]}"; do
  if [ "$t" = storm ]; then storm=1; continue; fi
  [ -n "${test_path[$t]:-}" ] || { echo "unknown test $t (plaintext, pipelined, json, 1k, storm)" >&2; exit 2; }
  grid+=("$t")
done
tests=("${grid[@]}")

source bench/common.sh  # the script runs from the repository root
source bench/http_common.sh
bench_setup managed
mkdir -p "$out/mono"

# The peers, compiled when their sources are newer than the assemblies.
for peer in Listener Socket; do
  exe=$out/mono/Mono${peer}Peer.exe
  sources=(bench/mono/Peer.cs "bench/mono/${peer}Peer.cs")
  if [ ! -f "$exe" ] || [ -n "$(find "${sources[@]}" -newer "$exe")" ]; then
    mcs -nologo -warnaserror+ -optimize+ -debug- -r:System.dll -out:"$exe" "${sources[@]}"
  fi
done

head -c 1024 /dev/urandom >"$work/root/1k"

# The pool storm (bench/PoolStorm.cs): handlers that compute (STORM_CPU_USEC of CPU each, 20 ms
# by default: long enough that the pool sees its queue stall) on the handler
# pool and inline, STORM_CONNS connections: req/s, and the most threads the process had (from
# /proc, every 0.1 s) against its threads at rest; then STORM_BLOCKERS connections to a route
# whose handlers sleep 2 s, and meanwhile 4 connections to a route that answers at once and 4 to
# a 1 KiB static file behind a middleware: their p50 and p99, and the most threads.
storm_conns=${STORM_CONNS:-200}
storm_cpu_usec=${STORM_CPU_USEC:-20000}
storm_blockers=${STORM_BLOCKERS:-2000}
storm_exe=$out/PoolStorm.exe
build_dir=$(dirname "$vrns")
mcs -nologo -warnaserror+ -optimize+ -debug- -r:"$build_dir/managed/Vrns.dll" -r:"$build_dir/managed/VrnsHttp.dll" \
  -out:"$storm_exe" bench/PoolStorm.cs
cp "$build_dir/managed/Vrns.dll" "$build_dir/managed/VrnsHttp.dll" "$out/"

threads_of() { awk '/^Threads:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }

# Runs COMMAND... in the background, sampling the threads of PID until it ends: sets peak.
peak_threads_during() { # pid command...
  local pid=$1 job n
  shift
  "$@" &
  job=$!
  peak=$(threads_of "$pid")
  while kill -0 "$job" 2>/dev/null; do
    n=$(threads_of "$pid")
    ((n > peak)) && peak=$n
    sleep 0.1
  done
  wait "$job" || true
}

# One storm on a server of its own (a storm's backlog would spill into the next): cpu-pool,
# cpu-inline or block.
storm_once() { # kind
  local kind=$1 name=storm-$1 sp=$((port_base + 5)) log=$work/storm-$1.log rest
  start_server "$name" "$sp" "$vrns" "$storm_exe" --listen "127.0.0.1:$sp" --root "$work/root" \
    --cpu-usec "$storm_cpu_usec" $([ "$kind" = cpu-inline ] && echo --inline)
  wait_server "$name" /fast
  wrk_warm "$name" /fast
  rest=$(threads_of "${server_pid[$name]}")
  if [ "$kind" != block ]; then
    peak_threads_during "${server_pid[$name]}" wrk_at "$name" /cpu -t2 -c"$storm_conns" -d"${seconds}s" >"$log" 2>&1
    wrk_parse "$log"
    echo "  storm $kind: $wrk_rps req/s, threads $rest at rest, $peak at most" >&2
    echo "| cpu $((storm_cpu_usec / 1000)) ms, $storm_conns conns | ${kind#cpu-} | $wrk_rps | $rest | $peak | - | - | - | - |"
  else
    local fast=$work/storm-fast.log file=$work/storm-file.log fast50 fast99 file50 file99
    wrk_at "$name" /block -t2 -c"$storm_blockers" -d"$((seconds + 4))s" --timeout 30s >"$log" 2>&1 &
    local storm_job=$!
    sleep 2  # the blockers connect and fill the route
    peak_threads_during "${server_pid[$name]}" bash -c "
      $(declare -f wrk_at); $(declare -p server_port)
      wrk_at $name /fast -t1 -c4 -d${seconds}s --latency >$fast 2>&1 &
      wrk_at $name /1k -t1 -c4 -d${seconds}s --latency >$file 2>&1
      wait"
    wait "$storm_job" || true
    wrk_parse "$log"
    fast50=$(to_ms "$(awk '$1 == "50%" {print $2}' "$fast")")
    fast99=$(to_ms "$(awk '$1 == "99%" {print $2}' "$fast")")
    file50=$(to_ms "$(awk '$1 == "50%" {print $2}' "$file")")
    file99=$(to_ms "$(awk '$1 == "99%" {print $2}' "$file")")
    echo "  storm block: /fast p50 $fast50 p99 $fast99 ms, file p50 $file50 p99 $file99 ms, threads $peak" >&2
    echo "| block 2 s, $storm_blockers conns | pool | $wrk_rps | $rest | $peak | $fast50 | $fast99 | $file50 | $file99 |"
  fi
  kill "${server_pid[$name]}" 2>/dev/null || true
  wait "${server_pid[$name]}" 2>/dev/null || true
}

run_storm() {
  local kind
  {
    run_conditions
    echo
    echo "| storm | server | req/s | threads at rest | most threads | other route p50 ms | p99 ms | static file p50 ms | p99 ms |"
    echo "|---|---|---|---|---|---|---|---|---|"
    for kind in cpu-pool cpu-inline block; do storm_once "$kind"; done
  } >"$out/storm.md"
  cat "$out/storm.md"
}

if ((storm)); then run_storm; fi
((${#tests[@]})) || exit 0

p=$port_base
start_server managed $p "${managed_cmd[@]}" --listen 127.0.0.1:$p --root "$work/root"
start_server inline $((p + 1)) "${managed_cmd[@]}" --listen 127.0.0.1:$((p + 1)) --root "$work/root" \
  --unsafe-inline-handlers
start_server listener $((p + 2)) mono "$out/mono/MonoListenerPeer.exe" --listen 127.0.0.1:$((p + 2)) --root "$work/root"
start_server sockets $((p + 3)) mono "$out/mono/MonoSocketPeer.exe" --listen 127.0.0.1:$((p + 3)) --root "$work/root"
start_vrns native $((p + 4))
for s in "${servers[@]}"; do wait_server "$s" /1k; done

# Two requests in one write, and the server's answer within two seconds: true if both came.
pipelines() { # name path
  local port=${server_port[$1]} reply
  printf 'GET %s HTTP/1.1\r\nHost: 127.0.0.1:%s\r\n\r\nGET %s HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nConnection: close\r\n\r\n' \
    "$2" "$port" "$2" "$port" >"$work/two.req"
  reply=$(
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    cat "$work/two.req" >&3  # one write, where the shell's printf may make several
    timeout 2 cat <&3
  ) || true
  # A response's status line follows the previous body on the same line.
  [ "$(grep -ao 'HTTP/1\.1 200 ' <<<"$reply" | wc -l)" = 2 ]
}

# Which servers take part in each test: those that answer it.
declare -A runs_in
for t in "${tests[@]}"; do
  runs_in[$t]=""
  for s in ${test_servers[$t]}; do
    if ! answers "$s" "${test_path[$t]}"; then
      echo "${label[$s]}: no 200 for ${test_path[$t]}, left out of $t" >&2
    elif [ "$t" = pipelined ] && ! pipelines "$s" "${test_path[$t]}"; then
      echo "${label[$s]}: does not answer pipelined requests, left out of $t" >&2
    else
      runs_in[$t]+=" $s"
    fi
  done
done

# The Mono servers compile their code on first use: one unmeasured second per server and test.
for t in "${tests[@]}"; do
  for s in ${runs_in[$t]}; do
    if [ "$t" = pipelined ]; then
      wrk_warm "$s" "${test_path[$t]}" -s bench/pipeline.lua -- "$depth"
    else
      wrk_warm "$s" "${test_path[$t]}"
    fi
  done
done

for ((r = 0; r < rounds; r++)); do
  echo "round $((r + 1)) of $rounds" >&2
  for t in "${tests[@]}"; do
    read -ra in_test <<<"${runs_in[$t]}"
    for c in "${conns[@]}"; do
      for ((i = 0; i < ${#in_test[@]}; i++)); do
        s=${in_test[(i + r) % ${#in_test[@]}]}
        if [ "$t" = pipelined ]; then
          wrk_run "$s" "$s $t $c" "${test_path[$t]}" "$c" -s bench/pipeline.lua -- "$depth"
          # wrk times a pipelined batch, not a request, and prints 0 for some percentiles.
          sum_p99["$s $t $c"]=-
        else
          wrk_run "$s" "$s $t $c" "${test_path[$t]}" "$c"
        fi
      done
    done
  done
done

# a/b ratio of one figure in one cell; "-" when either is not in the test.
vs() { # figure test conns a b
  if [[ " ${runs_in[$2]} " != *" $4 "* ]] || [[ " ${runs_in[$2]} " != *" $5 "* ]]; then echo -; return; fi
  ratio "$("cell_$1" "$4 $2 $3")" "$("cell_$1" "$5 $2 $3")"
}

table=$out/managed_http.md
{
  run_conditions
  echo "pipelined: $depth requests per batch; managed: ${managed_cmd[*]}; inline: the same with --unsafe-inline-handlers"
  echo
  echo "| test | conns | server | req/s | p99 ms | CPU µs/req | managed/server req/s | managed/server CPU | inline/server req/s | inline/server CPU |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
  for t in "${tests[@]}"; do
    for c in "${conns[@]}"; do
      for s in ${runs_in[$t]}; do
        k="$s $t $c"
        err=$(cell_errors "$k")
        note=""
        ((err)) && note=" ($err errors)"
        echo "| $t | $c | ${label[$s]}$note | $(cell_rps "$k") | $(cell_p99 "$k") | $(cell_cpu "$k") |" \
          "$(vs rps "$t" "$c" managed "$s") | $(vs cpu "$t" "$c" managed "$s") |" \
          "$(vs rps "$t" "$c" inline "$s") | $(vs cpu "$t" "$c" inline "$s") |"
      done
    done
  done
  echo
  echo "| goal | conns | measured | goal |"
  echo "|---|---|---|---|"
  for c in "${conns[@]}"; do
    for t in plaintext pipelined json; do
      [[ " ${tests[*]} " == *" $t "* ]] || continue
      # The goals name plaintext in the default mode; the rest are shown beside them.
      [ "$t" = plaintext ] && goals=("≥ 3" "≥ 2") || goals=(- -)
      echo "| $t req/s, managed / HttpListener | $c | $(vs rps "$t" "$c" managed listener) | ${goals[0]} |"
      echo "| $t req/s, managed / Mono sockets | $c | $(vs rps "$t" "$c" managed sockets) | ${goals[1]} |"
      echo "| $t CPU, managed / inline | $c | $(vs cpu "$t" "$c" managed inline) | - |"
    done
    if [[ " ${tests[*]} " == *" 1k "* ]]; then
      echo "| 1k CPU, managed / native | $c | $(vs cpu 1k "$c" managed native) | ≤ 1.3 |"
      echo "| 1k CPU, inline / native | $c | $(vs cpu 1k "$c" inline native) | ≤ 1.15 |"
      echo "| 1k req/s, managed / native | $c | $(vs rps 1k "$c" managed native) | ≥ 0.8 |"
      echo "| 1k p99, managed / native | $c | $(vs p99 1k "$c" managed native) | ≤ 1.5 |"
    fi
  done
} >"$table"
cat "$table"
