# shellcheck shell=bash
# Sourced by the HAProxy tests: haproxy_setup NAME makes $work and $pids (every process the test
# starts goes there; all are stopped and $work removed at exit); fail, wait_for SECONDS COMMAND
# (polls every 50 ms), lines FILE; start_vrns NAME [OPTION...] (native vrns over $work/root on an
# ephemeral port, access log $work/NAME.log; sets port_NAME and pid_NAME); start_haproxy [--tls
# CERT] CONFIG PATH [VAR=VALUE...] (HAProxy with that environment, its plain front end at $front
# answering PATH, its TLS one with CERT at $tls_front = $front + 1).
set -u

haproxy_setup() {
  work=$(mktemp -d "/tmp/vrns-$1-XXXXXX")
  pids=()
  trap haproxy_cleanup EXIT
}

haproxy_cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$work"
}

fail() {
  echo "FAIL: $*"
  exit 1
}

wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.05
  done
}

lines() { [ -f "$1" ] && wc -l <"$1" || echo 0; }

start_vrns() {
  local name=$1 pid port
  shift
  "$vrns" --listen 127.0.0.1:0 --root "$work/root" --access-log "$work/$name.log" "$@" \
    >"$work/$name.out" 2>"$work/$name.err" &
  pid=$!
  pids+=("$pid")
  wait_for 10 grep -qs 'http://' "$work/$name.out" || fail "vrns $name did not start: $(cat "$work/$name.err")"
  port=$(sed -n 's|.*http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/$name.out")
  printf -v "port_$name" '%s' "$port"
  printf -v "pid_$name" '%s' "$pid"
}

# HAProxy cannot report an ephemeral port, so a few random ones are tried. -dR turns
# SO_REUSEPORT off, so that a port another process holds fails the start instead of being shared.
start_haproxy() {
  local cert=""
  if [ "$1" = --tls ]; then
    cert=$2
    shift 2
  fi
  local config=$1 path=$2 attempt port
  shift 2
  local env=("$@")
  for attempt in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    local tls=()
    [ -z "$cert" ] || tls=(VRNS_TLS_FRONTEND=127.0.0.1:$((port + 1)) VRNS_TLS_CERT="$cert")
    env VRNS_FRONTEND=127.0.0.1:$port "${tls[@]}" "${env[@]}" \
      haproxy -db -dR -f "$config" >"$work/haproxy.log" 2>&1 &
    haproxy_pid=$!
    if wait_for 10 curl -sf -o /dev/null "http://127.0.0.1:$port$path"; then
      pids+=("$haproxy_pid")
      front=$port
      tls_front=$((port + 1))
      return 0
    fi
    kill "$haproxy_pid" 2>/dev/null
    wait "$haproxy_pid" 2>/dev/null
  done
  fail "haproxy did not start: $(cat "$work/haproxy.log")"
}
