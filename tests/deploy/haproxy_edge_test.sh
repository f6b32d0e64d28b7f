#!/usr/bin/env bash
# HAProxy's TLS front end, with the repository's configuration, in front of a native vrns and a
# managed application (EdgeTestApp.exe) on loopback: HTTP/2 over TLS reaches both, and so do
# HTTP/1.1 over TLS and the plain front end; each server is told the client's address and scheme,
# whatever the client claimed under those names, and none of the client's own forwarding fields;
# the status path is refused over TLS too, and in every spelling a back end reads as it; an idle
# WebSocket outlives the client and server time-outs; and a POST that a stopping server cut is
# answered 502, never sent again to the other server.
#   haproxy_edge_test.sh path/to/vrns path/to/vrns.cfg path/to/EdgeTestApp.exe
vrns=${1:?usage: haproxy_edge_test.sh VRNS CONFIG EDGE_APP}
config=${2:?usage: haproxy_edge_test.sh VRNS CONFIG EDGE_APP}
app=${3:?usage: haproxy_edge_test.sh VRNS CONFIG EDGE_APP}
for tool in haproxy curl openssl; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
curl -V | grep -qw HTTP2 || { echo "SKIP: this curl has no HTTP/2"; exit 77; }
source "$(dirname "$0")/haproxy_common.sh"
haproxy_setup edge

mkdir "$work/root"
printf native >"$work/root/who.txt"
start_vrns native --status-path /-/status
"$vrns" "$app" >"$work/managed.out" 2>"$work/managed.err" &
pid_managed=$!
pids+=("$pid_managed")
wait_for 30 grep -qs 'listening on' "$work/managed.out" || fail "the managed server did not start: $(cat "$work/managed.err")"
port_managed=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/managed.out")

# A certificate for the name vrns.test, which curl resolves to loopback and checks.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=vrns.test \
  -addext subjectAltName=DNS:vrns.test -keyout "$work/key.pem" -out "$work/cert.pem" 2>"$work/openssl.err" ||
  fail "openssl: $(cat "$work/openssl.err")"
cat "$work/cert.pem" "$work/key.pem" >"$work/edge.pem"
start_haproxy --tls "$work/edge.pem" "$config" /who.txt VRNS_STATUS_PATH=/-/status \
  VRNS_BACKEND1=127.0.0.1:$port_native VRNS_BACKEND2=127.0.0.1:$port_managed

# curl that trusts the certificate and finds vrns.test on loopback.
edge_curl() { curl -sS --max-time 10 --cacert "$work/cert.pem" --resolve "vrns.test:$tls_front:127.0.0.1" "$@"; }
https=https://vrns.test:$tls_front

# front end  curl's protocol  the version that must come back  what the managed server must be told
rows=(
  "$https --http2 2 proto=https for=127.0.0.1"
  "$https --http1.1 1.1 proto=https for=127.0.0.1"
  "http://127.0.0.1:$front --http1.1 1.1 proto=http for=127.0.0.1"
)
for row in "${rows[@]}"; do
  read -r url protocol version told <<<"$row"
  seen=""
  # Round robin: a few requests reach both servers.
  for _ in 1 2 3 4 5 6; do
    answer=$(edge_curl "$protocol" -w ' %{http_version}' -H 'X-Forwarded-For: 192.0.2.66' \
      -H 'X-Forwarded-Proto: gopher' "$url/who.txt") || fail "$url $protocol: curl failed"
    case "$answer" in
      "native $version") seen+=n ;;
      "managed $told $version") seen+=m ;;
      *) fail "$url $protocol: answered '$answer', not 'native $version' or 'managed $told $version'" ;;
    esac
    [[ $seen == *n* && $seen == *m* ]] && break
  done
  [[ $seen == *n* && $seen == *m* ]] || fail "$url $protocol reached only '$seen' (n native, m managed)"
done

for path in /-/status /%2D/status; do
  code=$(edge_curl --http2 -o /dev/null -w '%{http_code}' "$https$path")
  [ "$code" = 404 ] || fail "the status path $path is answered $code over TLS"
done

# Every spelling a back end reads as the status path is refused: the managed one merges slashes,
# resolves "." and "..", decodes escapes and serves "/a/" as "/a", so each is tried until both
# servers were asked (round robin), as curl sends it (--path-as-is).
for path in //-/status /-//status /./-/status /x/../-/status /-/./status /-/status/ /-/status/. \
  /-/status// /%2D/%73tatus /%2e/-/status /x/%2E%2E/-/status /-%2Fstatus; do
  for _ in 1 2 3 4; do
    code=$(curl -sS --max-time 10 --path-as-is -o /dev/null -w '%{http_code}' "http://127.0.0.1:$front$path")
    [ "$code" = 404 ] || fail "the status path spelled $path is answered $code"
  done
done

# A client's own Forwarded, X-Real-IP and X-Forwarded-* fields never reach a server: only what
# the edge sets itself (asked until the managed server answers; the native one has no /fields).
said=""
for _ in 1 2 3 4; do
  said=$(edge_curl --http1.1 -H 'Forwarded: for=192.0.2.66;proto=https' -H 'X-Real-IP: 192.0.2.66' \
    -H 'X-Forwarded-Host: evil.test' -H 'X-Forwarded-Port: 1' "$https/fields")
  [[ $said == managed* ]] && break
done
[ "$said" = "managed forwarded=- real=- host=- port=-" ] || fail "the managed server was told: '$said'"

# An idle WebSocket through the edge outlives the client and server time-outs: the recipe's
# tunnel time-out (an hour) applies once the connection is upgraded. To show it in seconds, a
# copy of the recipe has 2 s client and server time-outs, and the socket sits idle for 4 s.
sed 's/^\( *timeout \(client\|server\)\) 30s$/\1 2s/' "$config" >"$work/short.cfg"
[ "$(grep -cE '^ *timeout (client|server) 2s$' "$work/short.cfg")" = 2 ] || fail "the time-outs to shorten are not in $config"
grep -qE '^ *timeout tunnel ' "$work/short.cfg" || fail "no tunnel time-out in $config"
plain_front=$front tls_plain_front=$tls_front
start_haproxy "$work/short.cfg" /who.txt VRNS_STATUS_PATH=/-/status \
  VRNS_BACKEND1=127.0.0.1:$port_native VRNS_BACKEND2=127.0.0.1:$port_managed
short_front=$front
front=$plain_front tls_front=$tls_plain_front

# Opens a WebSocket on /ws through the short recipe as file descriptor ws; false when the server
# that took it did not upgrade (the native one).
open_ws() {
  exec {ws}<>"/dev/tcp/127.0.0.1/$short_front" || return 1
  printf 'GET /ws HTTP/1.1\r\nHost: vrns\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n' >&"$ws"
  local status line
  IFS= read -r -t 10 -u "$ws" status || return 1
  while IFS= read -r -t 10 -u "$ws" line && [ "$line" != $'\r' ]; do :; done
  [[ $status == "HTTP/1.1 101"* ]] && return 0
  exec {ws}>&-
  return 1
}
upgraded=no
for _ in 1 2 3 4; do
  if open_ws; then
    upgraded=yes
    break
  fi
done
[ $upgraded = yes ] || fail "no WebSocket was upgraded through the edge"
sleep 4 # the idleness under test: twice the client and server time-outs
# A masked text frame "hi" (a zero mask leaves the bytes as they are); the echo comes unmasked.
printf '\x81\x82\x00\x00\x00\x00hi' >&"$ws" 2>/dev/null || fail "the idle WebSocket was closed by the edge"
echo=""
LC_ALL=C IFS= read -r -t 10 -N 4 -u "$ws" echo
[ "$echo" = $'\x81\x02hi' ] || fail "the idle WebSocket gave '$(printf %q "$echo")', not the echo"
exec {ws}>&-

# A POST held by the managed server (the native one answers 405 at once, so round robin decides
# which gets it: try until the managed one holds one), then cut by its stop. Sent again, it would
# get the native server's 405; not sent again, HAProxy answers 502.
holds() { grep -c 'holding a POST' "$work/managed.out"; }
post_done() { ! kill -0 "$post_pid" 2>/dev/null; }
post_placed() { [ "$(holds)" -gt 0 ] || post_done; }
for _ in 1 2 3 4; do
  edge_curl --http2 -o /dev/null -w '%{http_code}' -d order=1 "$https/hold" >"$work/post.code" 2>"$work/post.err" &
  post_pid=$!
  pids+=("$post_pid")
  wait_for 10 post_placed || fail "a POST was neither answered nor held"
  [ "$(holds)" -gt 0 ] && break
  wait "$post_pid"
  [ "$(cat "$work/post.code")" = 405 ] || fail "a POST was answered $(cat "$work/post.code") $(cat "$work/post.err")"
done
[ "$(holds)" -gt 0 ] || fail "no POST reached the managed server"
kill -TERM "$pid_managed"
wait_for 10 post_done || fail "the held POST was not answered after the managed server's stop"
code=$(cat "$work/post.code")
[ "$code" = 502 ] || fail "the POST cut by the stopping server was answered $code: it was sent again"
echo "haproxy edge: HTTP/2 and HTTP/1.1 over TLS and plain HTTP reached both servers with the" \
  "client's address and scheme and none of its own forwarding fields; the status path is refused" \
  "however spelled; an idle WebSocket outlived the client and server time-outs; a cut POST got 502"
