#!/usr/bin/env bash
# Memory of vrns holding many idle keep-alive connections, per connection.
#
#   bench/idle_memory.sh [CONNECTIONS]       (default 10000)
#
# Starts vrns (--access-log off) with a descriptor limit above the count, measures its resident
# set (VmRSS) once it has answered one request, then opens CONNECTIONS keep-alive connections
# from one client process on loopback, asks one small file on each and keeps them all open and
# idle. The resident set then, less the first figure, divided by the count is what one idle
# connection costs the whole server (socket buffers are the kernel's and not counted). With
# SERVER=managed the server is the managed sample (VrnsSample.exe beside the executable) on the
# same executable; it first answers a thousand requests, so that its code is compiled and its
# pools are made before the first figure. With WEBSOCKET=1 (managed only) each connection is
# instead a WebSocket of the sample's chat (/chat/ws), opened and left idle: what an idle socket
# costs, its handler and the chat's own buffer included.
#
# Environment: VRNS (the executable, default build/vrns); SERVER (native or managed); EXTRA (more
# options); PORT (default 18195).
set -euo pipefail
cd "$(dirname "$0")/.."

count=${1:-10000}
vrns=${VRNS:-build/vrns}
port=${PORT:-18195}
server_kind=${SERVER:-native}
[ -x "$vrns" ] || { echo "missing $vrns: build it first (bash scripts/run.sh --version)" >&2; exit 1; }
command -v python3 >/dev/null || { echo "python3 is missing" >&2; exit 1; }

source bench/common.sh  # the script runs from the repository root
bench_setup idle
head -c 1024 /dev/urandom >"$work/root/f"

limit=$((count + 1000))
ulimit -n "$limit"
# The default connection bound leaves descriptors for files beside each connection: here every
# connection is idle, so the bound is set to the count.
if [ "$server_kind" = managed ]; then
  "$vrns" "$(dirname "$vrns")/managed/VrnsSample.exe" --listen "127.0.0.1:$port" --root "$work/root" \
    --read-timeout 200 --max-connections "$((count + 100))" ${EXTRA:-} >"$work/vrns.out" 2>&1 &
else
  "$vrns" --listen "127.0.0.1:$port" --root "$work/root" --access-log off --read-timeout 200 \
    --max-connections "$((count + 100))" ${EXTRA:-} >"$work/vrns.out" 2>&1 &
fi
server=$!
pids+=($server)
for _ in $(seq 100); do
  curl -sf -o /dev/null "http://127.0.0.1:$port/f" && break
  sleep 0.1
done
curl -sf -o /dev/null "http://127.0.0.1:$port/f" || { echo "vrns did not start" >&2; exit 1; }
if [ "$server_kind" = managed ]; then
  for _ in $(seq 10); do
    curl -sf -o /dev/null "http://127.0.0.1:$port/f?[1-100]" || { echo "warm-up failed" >&2; exit 1; }
  done
fi
rss() { awk '/^VmRSS:/ {print $2}' /proc/"$server"/status; }
before=$(rss)

# The client opens every connection, sends one request on each, reads every answer, then
# reports and holds the connections until it is killed.
cat >"$work/client.py" <<'PY'
import socket, sys, time, selectors
port, count = int(sys.argv[1]), int(sys.argv[2])
websocket = len(sys.argv) > 3 and sys.argv[3] == "1"
request = b"GET /f HTTP/1.1\r\nHost: x\r\n\r\n"
if websocket:
    request = (b"GET /chat/ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
conns = []
for _ in range(count):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(request)
    conns.append(s)
for s in conns:
    got = b""
    while b"\r\n\r\n" not in got or (not websocket and len(got) < got.index(b"\r\n\r\n") + 4 + 1024):
        chunk = s.recv(4096)
        if not chunk:
            sys.exit("connection closed early")
        got += chunk
    if websocket and not got.startswith(b"HTTP/1.1 101"):
        sys.exit("no upgrade: " + got[:40].decode("latin-1"))
print("ready", flush=True)
time.sleep(600)
PY
python3 "$work/client.py" "$port" "$count" "${WEBSOCKET:-0}" >"$work/client.out" 2>&1 &
pids+=($!)
for _ in $(seq 1200); do
  grep -q ready "$work/client.out" 2>/dev/null && break
  grep -q -i error "$work/client.out" 2>/dev/null && { cat "$work/client.out" >&2; exit 1; }
  sleep 0.1
done
grep -q ready "$work/client.out" || { echo "the client did not finish: $(cat "$work/client.out")" >&2; exit 1; }
sleep 1 # let the last answers' completions finish on the workers
after=$(rss)
kind="keep-alive connections"
[ "${WEBSOCKET:-0}" = 1 ] && kind=WebSockets
awk -v b="$before" -v a="$after" -v n="$count" -v kind="$kind" 'BEGIN {
  printf "%d idle %s: VmRSS %d KiB before, %d KiB after, %.2f KiB per connection\n",
    n, kind, b, a, (a - b) / n }'
