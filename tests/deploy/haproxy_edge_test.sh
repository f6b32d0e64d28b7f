#!/usr/bin/env bash
# HAProxy's TLS front end, with the repository's configuration, in front of a native vrns and a
# managed application (EdgeTestApp.exe) on loopback: HTTP/2 over TLS reaches both, and so do
# HTTP/1.1 over TLS and the plain front end; each server is told the client's address and scheme,
# whatever the client claimed under those names; the status path is refused over TLS too; and a
# POST that a stopping server cut is answered 502, never sent again to the other server.
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
  "client's address and scheme; the status path is refused over TLS; a cut POST got 502"
