#!/usr/bin/env bash
# The managed sample's memory under a flood of held form uploads.
#
#   bench/form_flood.sh [CLIENTS]       (default 150)
#
# Starts the managed sample (VrnsSample.exe beside the executable), then CLIENTS connections each
# send an 8 MiB multipart/form-data body of 60 KiB text fields to /upload, all but its last 100
# bytes, and hold it. Prints the server's resident set (VmRSS) before and while the uploads are
# held, and the first line each connection was answered: the forms the body budget
# (MaxBufferedBodyBytes, 64 MiB) has room for are held, the others answered 503.
#
# Environment: VRNS (the executable, default build/vrns); PORT (default 18196).
set -euo pipefail
cd "$(dirname "$0")/.."

clients=${1:-150}
vrns=${VRNS:-build/vrns}
port=${PORT:-18196}
[ -x "$vrns" ] || { echo "missing $vrns: build it first (bash scripts/run.sh --version)" >&2; exit 1; }
command -v python3 >/dev/null || { echo "python3 is missing" >&2; exit 1; }

source bench/common.sh  # the script runs from the repository root
bench_setup form-flood
ulimit -n "$((clients + 1000))"
"$vrns" "$(dirname "$vrns")/managed/VrnsSample.exe" --listen "127.0.0.1:$port" --root "$work/root" \
  >"$work/vrns.out" 2>&1 &
server=$!
pids+=($server)
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/" && break
  sleep 0.1
done

cat >"$work/flood.py" <<'PY'
import socket, sys, threading, time
port, pid, clients = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
field = b"v" * (60 << 10)
body = b"".join(b"--XyZ\r\nContent-Disposition: form-data; name=\"f%d\"\r\n\r\n" % i + field + b"\r\n"
                for i in range(136)) + b"--XyZ--\r\n"
head = (b"POST /upload HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=XyZ\r\n"
        b"Content-Length: %d\r\n\r\n" % len(body))
socks, lock = [], threading.Lock()
def rss():
    for line in open("/proc/%d/status" % pid):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) // 1024
def upload():
    s = socket.create_connection(("127.0.0.1", port))
    with lock:
        socks.append(s)
    try:
        s.sendall(head + body[:-100])
    except OSError:
        pass  # answered 503 and closed while sending
before = rss()
threads = [threading.Thread(target=upload) for _ in range(clients)]
for t in threads: t.start()
for t in threads: t.join(120)
time.sleep(2)
held = rss()
answers = {}
for s in socks:
    s.settimeout(0.5)
    try:
        line = s.recv(64).split(b"\r\n")[0].decode() or "closed"
    except OSError:
        line = "none (held)"
    answers[line] = answers.get(line, 0) + 1
print("%d uploads of %d bytes: VmRSS %d MiB before, %d MiB while held; answers %s"
      % (clients, len(body), before, held, answers))
PY
python3 "$work/flood.py" "$port" "$server" "$clients"
