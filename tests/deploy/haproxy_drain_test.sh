#!/usr/bin/env bash
# HAProxy in front of two vrns processes on loopback, with the repository's configuration. Under
# a bounded load (wrk, a few seconds) one vrns gets SIGTERM; no request may fail: HAProxy sees
# no error, every response is 2xx, and a slow download from the stopping vrns completes whole.
# The status path is refused to the public.
#   haproxy_drain_test.sh path/to/vrns path/to/vrns.cfg
vrns=${1:?usage: haproxy_drain_test.sh VRNS CONFIG}
config=${2:?usage: haproxy_drain_test.sh VRNS CONFIG}
for tool in haproxy wrk curl; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
source "$(dirname "$0")/haproxy_common.sh"
haproxy_setup haproxy

mkdir "$work/root"
head -c 4096 /dev/urandom | base64 >"$work/root/page.html"
head -c 8388608 /dev/urandom >"$work/root/big.bin"

start_vrns a --status-path /-/status
start_vrns b --status-path /-/status
start_haproxy "$config" /page.html VRNS_BACKEND1=127.0.0.1:$port_a VRNS_BACKEND2=127.0.0.1:$port_b \
  VRNS_STATUS_PATH=/-/status

# The status path is refused through the front end, however it is spelled; the health checks
# reach it on each vrns directly.
for path in /-/status /-/status?x=1 /%2D/status; do
  code=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$front$path")
  [ "$code" = 404 ] || fail "the status path $path is answered $code through HAProxy"
done
code=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port_a/-/status")
[ "$code" = 200 ] || fail "the status path answers $code on vrns a itself"

# Both servers take requests (round robin) before the load starts.
both_serving() {
  curl -sf -o /dev/null "http://127.0.0.1:$front/page.html" &&
    [ "$(lines "$work/a.log")" -gt 1 ] && [ "$(lines "$work/b.log")" -gt 1 ]
}
wait_for 10 both_serving || fail "requests did not reach both servers"

wrk -t2 -c16 -d6s "http://127.0.0.1:$front/page.html" >"$work/wrk.out" 2>&1 &
wrk_pid=$!
wrk_start=$SECONDS
pids+=("$wrk_pid")
# A slow download straight from a, in flight when a is told to stop.
curl -sS --limit-rate 4M -o "$work/big.download" "http://127.0.0.1:$port_a/big.bin" 2>"$work/curl.err" &
curl_pid=$!
pids+=("$curl_pid")

# Mid-load: once a has served a good share of the load, stop it.
a_before=$(lines "$work/a.log")
# The middle of the load: two of its six seconds gone, and a busy.
a_grown() { [ $((SECONDS - wrk_start)) -ge 2 ] && [ "$(lines "$work/a.log")" -gt $((a_before + 2000)) ]; }
wait_for 10 a_grown || fail "the load did not reach a"
kill -TERM "$pid_a"
a_at_stop=$(lines "$work/a.log")
b_at_stop=$(lines "$work/b.log")

wait "$curl_pid" || fail "the download in flight failed: $(cat "$work/curl.err")"
cmp -s "$work/big.download" "$work/root/big.bin" || fail "the download in flight arrived damaged"
wait_for 10 bash -c "! kill -0 $pid_a 2>/dev/null" || fail "vrns a did not exit after SIGTERM"
wait "$pid_a"
rc=$?
[ $rc -eq 0 ] || fail "vrns a exited with $rc"
wait "$wrk_pid" || fail "wrk failed: $(cat "$work/wrk.out")"

cat "$work/wrk.out"
total=$(sed -n 's/^ *\([0-9]*\) requests in .*/\1/p' "$work/wrk.out")
[ -n "$total" ] && [ "$total" -gt 1000 ] || fail "too few requests: '$total'"
grep -q 'Socket errors' "$work/wrk.out" && fail "wrk saw socket errors"
grep -q 'Non-2xx or 3xx' "$work/wrk.out" && fail "some responses were not 2xx"
b_after=$(lines "$work/b.log")
[ "$b_after" -gt $((b_at_stop + 100)) ] || fail "b took no load after a stopped"
echo "haproxy drain: $total requests through HAProxy, none failed; a served $a_at_stop before SIGTERM" \
  "and $(($(lines "$work/a.log") - a_at_stop)) while draining, b $b_at_stop then $((b_after - b_at_stop)) more;" \
  "an 8 MiB download from a in flight at SIGTERM completed"
