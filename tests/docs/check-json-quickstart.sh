#!/usr/bin/env bash
# The JSON-on-SQLite quick start works as its pages print it: the `mcs` line builds the TodoApi
# sample, the `build/vrns` line runs it on SQLite, and each `curl` line gets the answer written
# beside it (a trailing "# TEXT", or a "# TEXT" line under it). The commands are taken from the
# pages, not copied here, so a page whose line stops working fails this test.
#
#   check-json-quickstart.sh VRNS MANAGED_DIR ROOT
#
# Each page's section whose heading starts "## " and holds "JSON API on SQLite" is read: its
# indented lines are the commands. They run in a scratch folder laid out as a clone after
# `scripts/run.sh --version`: build/vrns, build/managed/ and managed/samples/ lead to the built
# and checked-in files. 127.0.0.1:8080 is moved to a free port.
set -u

if [ $# -ne 3 ]; then
    echo "usage: $0 VRNS MANAGED_DIR ROOT" >&2
    exit 2
fi
vrns=$(realpath "$1")
managed=$(realpath "$2")
root=$(realpath "$3")
readonly PAGES="README.md docs/csharp/samples.md"

readonly START_DEADLINE_SEC=60    # the runtime's start on a loaded machine
readonly STOP_DEADLINE_SEC=30     # SIGTERM to exit: the drain's 5 s and the runtime's way out
readonly REQUEST_DEADLINE_SEC=30

. "$(dirname "$0")/common.sh"

# The section's indented lines, the indent removed.
commands_of() {
    awk '
        /^## / { inside = ($0 ~ /JSON API on SQLite/); next }
        inside && /^    [^ ]/ { sub(/^    /, ""); print }
    ' "$1"
}

stop_server() {
    local where=$1 status
    kill -TERM "$server_pid" 2>/dev/null
    wait_exit "$server_pid" "$STOP_DEADLINE_SEC"
    status=$?
    server_pid=
    if [ $status -ne 0 ]; then
        fail "$where" "after SIGTERM: status $status (124: still running after ${STOP_DEADLINE_SEC}s)"
    fi
}

check_page() {
    local page=$1 dir port commands line compile run expected output i deadline
    dir=$work/$(echo "$page" | tr / _)
    mkdir -p "$dir/build" "$dir/managed"
    ln -s "$vrns" "$dir/build/vrns"
    ln -s "$managed" "$dir/build/managed"
    ln -s "$root/managed/samples" "$dir/managed/samples"
    if ! port=$(free_port); then
        fail "$page" "no free port"
        return
    fi
    mapfile -t commands < <(commands_of "$root/$page" | sed "s/127\.0\.0\.1:8080/127.0.0.1:$port/g")
    compile=$(printf '%s\n' "${commands[@]}" | grep -m1 '^mcs ')
    run=$(printf '%s\n' "${commands[@]}" | grep -m1 '^build/vrns ')
    if [ -z "$compile" ] || [ -z "$run" ]; then
        fail "$page" "its JSON API on SQLite section has no 'mcs' or no 'build/vrns' line"
        return
    fi
    if ! (cd "$dir" && eval "$compile") >"$dir/mcs.log" 2>&1; then
        fail "$page" "'$compile' failed:"
        cat "$dir/mcs.log" >&2
        return
    fi
    (cd "$dir" && eval "exec $run") >"$dir/out.log" 2>&1 &
    server_pid=$!
    deadline=$((SECONDS + START_DEADLINE_SEC))
    until curl -s -o /dev/null --noproxy '*' --max-time 2 "http://127.0.0.1:$port/"; do
        if ! kill -0 "$server_pid" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
            fail "$page" "'$run' never answered; its output:"
            cat "$dir/out.log" >&2
            kill -KILL "$server_pid" 2>/dev/null
            wait "$server_pid" 2>/dev/null
            server_pid=
            return
        fi
        sleep 0.1
    done
    for ((i = 0; i < ${#commands[@]}; i++)); do
        line=${commands[$i]}
        [[ $line == curl\ * ]] || continue
        expected=
        if [[ $line == *" # "* ]]; then
            expected=${line#*' # '}
            line=${line%%' # '*}
        elif [[ ${commands[$((i + 1))]:-} == "# "* ]]; then
            expected=${commands[$((i + 1))]#'# '}
        fi
        output=$(cd "$dir" && eval "curl -s --noproxy '*' --max-time $REQUEST_DEADLINE_SEC ${line#curl }")
        if [ -z "$expected" ]; then
            # An answer the page does not print must still be an item.
            expected='"name":"walk dog"'
        fi
        if ! grep -qF -- "$(echo "$expected" | sed 's/ *$//')" <<<"$output"; then
            fail "$page" "'$line': wanted '$expected', got '$output'"
        fi
    done
    stop_server "$page"
    if [[ $run == *"--store sqlite"* ]] && [ ! -s "$dir/todo.sqlite" ]; then
        fail "$page" "no todo.sqlite was made in the working folder"
    fi
}

for page in $PAGES; do
    check_page "$page"
done
echo "JSON API quick start checked on: $PAGES; $failures failures"
[ $failures -eq 0 ]
