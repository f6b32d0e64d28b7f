# What the documentation checks share: a scratch folder removed at exit (with the server a check
# started, if it still runs), failures counted, free loopback ports, and a bounded wait for a
# process to end. Sourced by the check scripts beside it.

work=$(mktemp -d)
server_pid=
cleanup() {
    if [ -n "$server_pid" ]; then kill -KILL "$server_pid" 2>/dev/null; fi
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
    echo "FAIL $1: $2" >&2
    failures=$((failures + 1))
}

# A loopback port nothing listens on now, below the kernel's ephemeral range, where a client
# socket of another test could hold it.
free_port() {
    local port low
    read -r low _ </proc/sys/net/ipv4/ip_local_port_range
    if [ "$low" -le 11024 ]; then low=60000; fi
    for _ in $(seq 1 50); do
        port=$((10000 + RANDOM % (low - 10000)))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

# Waits for the process to end within the deadline; its status, or 124 when it did not end.
wait_exit() {
    local pid=$1 deadline=$((SECONDS + $2))
    while kill -0 "$pid" 2>/dev/null; do
        if [ $SECONDS -ge $deadline ]; then
            kill -KILL "$pid" 2>/dev/null
            wait "$pid" 2>/dev/null
            return 124
        fi
        sleep 0.1
    done
    wait "$pid"
}
