#!/usr/bin/env bash
# WebSocket echo: VrnsHttp's AcceptWebSocketAsync on the engine and the writers against Mono's
# own server WebSocket on Mono's async sockets, the same echo loop on both (bench/WebSocketEcho.cs),
# on loopback under bench/ws_echo_load.cpp: messages per second and server CPU time per message.
#
#   bench/websocket_echo.sh [SECONDS_PER_RUN] [ROUNDS]      (defaults: 5 and 3)
#
# Mono's HttpListener does not implement the upgrade (its AcceptWebSocketAsync throws
# NotImplementedException in Mono 6.8), so the peer answers the handshake on a TcpListener's
# connection and hands the stream to WebSocket.CreateFromStream: the WebSocket HttpListener
# hands out where it has the upgrade. Each connection sends a masked binary message and waits
# for its whole echo before the next. Each server first gets one unmeasured second; then every
# round runs each server once per message size and connection count, in an order that rotates
# from round to round. CPU time per message is utime + stime of the server's process (all
# threads, /proc/PID/stat) around each run over the round trips completed. VrnsHttp runs in
# both modes: its handler on the handler pool (the default) and on the pump workers
# (--unsafe-inline, where the socket's Tasks complete inline). Prints a row per size, connection
# count and server with both modes' messages per CPU second relative to it; the goal is at least
# three times the Mono WebSocket's.
#
# Environment: VRNS (the executable, default build/vrns; its managed/ beside it holds the
# libraries and its bench/ the load generator), OUT (results, default build-bench), CONNS and
# SIZES to change the grid (defaults "16 256" and "32 4096"), PORT_BASE (the first of three
# loopback ports, default 18230).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-5}
rounds=${2:-3}
vrns=${VRNS:-build/vrns}
out=${OUT:-build-bench}
conns=(${CONNS:-16 256})
sizes=(${SIZES:-32 4096})
port_base=${PORT_BASE:-18230}
build=$(dirname "$vrns")
load=$build/bench/ws_echo_load
servers=(vrns inline mono)
declare -A label=([vrns]="VrnsHttp, handler pool" [inline]="VrnsHttp, inline" [mono]="Mono WebSocket, async sockets")

for f in "$vrns" "$build/managed/VrnsHttp.dll" "$load"; do
  [ -e "$f" ] || { echo "missing $f: build it first (bash scripts/run.sh --version)" >&2; exit 1; }
done

source bench/common.sh  # the script runs from the repository root
source bench/http_common.sh
bench_setup websocket
mkdir -p "$out/websocket"
exe=$out/websocket/WebSocketEcho.exe
peer=$out/websocket/MonoWebSocketEcho.exe
mcs -nologo -warnaserror+ -optimize+ -debug- -r:System.dll -r:"$build/managed/Vrns.dll" \
  -r:"$build/managed/VrnsHttp.dll" -out:"$exe" bench/WebSocketEcho.cs
mcs -nologo -warnaserror+ -optimize+ -debug- -define:MONO_PEER -r:System.dll -out:"$peer" bench/WebSocketEcho.cs

start_server vrns $port_base "$vrns" "$exe" 127.0.0.1:$port_base
start_server inline $((port_base + 1)) "$vrns" "$exe" 127.0.0.1:$((port_base + 1)) --unsafe-inline
start_server mono $((port_base + 2)) mono "$peer" 127.0.0.1:$((port_base + 2))
for s in "${servers[@]}"; do
  for _ in $(seq 300); do
    grep -q '^listening on' "$work/$s.out" 2>/dev/null && break
    sleep 0.1
  done
  grep -q '^listening on' "$work/$s.out" || { echo "$s did not start:" >&2; cat "$work/$s.out" >&2; exit 1; }
done

declare -A sum_msg sum_secs
# One load run against NAME, its figures added under KEY.
load_run() { # name key conns bytes seconds
  local name=$1 key=$2 log=$work/load.log before after messages took errors
  before=$(proc_ticks "${server_pid[$name]}")
  "$load" "127.0.0.1:${server_port[$name]}" /ws "$3" "$4" "$5" >"$log" 2>&1 || true
  after=$(proc_ticks "${server_pid[$name]}")
  messages=$(awk '$1 == "messages" {print $2}' "$log")
  took=$(awk '$1 == "seconds" {print $2}' "$log")
  errors=$(awk '$1 == "errors" {print $2}' "$log")
  [ -n "$key" ] || return 0
  sum_msg[$key]=$((${sum_msg[$key]:-0} + ${messages:-0}))
  sum_secs[$key]=$(add "${sum_secs[$key]:-0}" "${took:-0}")
  sum_ticks[$key]=$((${sum_ticks[$key]:-0} + after - before))
  sum_err[$key]=$((${sum_err[$key]:-0} + ${errors:-1}))
  printf '  %-18s %9s messages in %5s s  %s errors\n' "$key" "${messages:-?}" "${took:-?}" "${errors:-?}" >&2
}

cell_rate() { awk -v m="${sum_msg[$1]:-0}" -v s="${sum_secs[$1]:-0}" 'BEGIN {if (s > 0) printf "%.0f", m / s; else print "-"}'; }
cell_us() {
  awk -v t="${sum_ticks[$1]:-0}" -v m="${sum_msg[$1]:-0}" -v hz="$clock_ticks" \
    'BEGIN {if (m > 0) printf "%.1f", t * 1e6 / hz / m; else print "-"}'
}

# Mono compiles its code on first use: one unmeasured second per server.
for s in "${servers[@]}"; do load_run "$s" "" 16 32 1; done

for ((r = 0; r < rounds; r++)); do
  echo "round $((r + 1)) of $rounds" >&2
  for b in "${sizes[@]}"; do
    for c in "${conns[@]}"; do
      for ((i = 0; i < ${#servers[@]}; i++)); do
        s=${servers[(i + r) % ${#servers[@]}]}
        load_run "$s" "$s $b $c" "$c" "$b" "$seconds"
      done
    done
  done
done

table=$out/websocket_echo.md
{
  echo "ws_echo_load (one thread, one message in flight per connection), ${seconds} s per run, $rounds rounds" \
    "alternating servers, loopback; $(nproc) CPUs, load average before: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  echo "| bytes | conns | server | messages/s | CPU µs/msg | pool/server messages per CPU s | inline/server messages per CPU s |"
  echo "|---|---|---|---|---|---|---|"
  for b in "${sizes[@]}"; do
    for c in "${conns[@]}"; do
      for s in "${servers[@]}"; do
        k="$s $b $c"
        note=""
        ((${sum_err[$k]:-0})) && note=" (${sum_err[$k]} errors)"
        echo "| $b | $c | ${label[$s]}$note | $(cell_rate "$k") | $(cell_us "$k") |" \
          "$(ratio "$(cell_us "$k")" "$(cell_us "vrns $b $c")") | $(ratio "$(cell_us "$k")" "$(cell_us "inline $b $c")") |"
      done
    done
  done
  echo
  echo "Goal: VrnsHttp handles ≥ 3 times the Mono WebSocket's messages per CPU second (its row, last two columns)."
} >"$table"
cat "$table"
