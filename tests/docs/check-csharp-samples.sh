#!/usr/bin/env bash
# Every C# sample in the documentation compiles against the built assemblies, and the samples
# meant to run do run under the built vrns: a sample that no longer builds or answers as its page
# says fails here, not in a reader's hands.
#
#   check-csharp-samples.sh VRNS MANAGED_DIR ROOT
#
# ROOT is the repository: its README.md and every *.md under docs/ (less the drafts in
# docs/pending/) are read. MCS names the compiler (default: mcs). Each ```csharp block must follow a marker line, an HTML comment the
# rendered page does not show:
#
#   <!-- sample: program -->           compiled as a program
#   <!-- sample: run -->               compiled, run under vrns with a deadline, status 0 wanted
#   <!-- sample: serve CHECK ; ... --> compiled with its 127.0.0.1:8080 moved to a free port, run
#                                      under vrns in a scratch folder holding hello.txt, spoken to
#                                      with curl once it answers, stopped with SIGTERM, status 0
#                                      wanted. CHECK is PATH|TEXT (a GET) or PATH<BODY|TEXT (a POST
#                                      of BODY); TEXT must appear in `curl -si`'s output.
#   <!-- sample: fragment -->          statements compiled inside the template below, with a
#                                      variable `server` (an HttpServer) in scope
#   <!-- sample: excerpt FILE -->      lines quoted from FILE (a path under ROOT): each non-empty
#                                      line must be one of FILE's, in the same order (leading and
#                                      trailing blanks aside), so a quote cannot drift from its code
#
# A block without a marker fails: a sample nobody checks is how a page drifts from the library.
set -u

if [ $# -ne 3 ]; then
    echo "usage: $0 VRNS MANAGED_DIR ROOT" >&2
    exit 2
fi
vrns=$(realpath "$1")
managed=$(realpath "$2")
root=$(realpath "$3")
mcs=${MCS:-mcs}

readonly START_DEADLINE_SEC=60    # the runtime's start on a loaded machine, or under an emulator
readonly RUN_DEADLINE_SEC=60      # a "run" sample from start to exit
readonly STOP_DEADLINE_SEC=30     # SIGTERM to exit: the drain's 5 s and the runtime's way out
readonly REQUEST_DEADLINE_SEC=30

. "$(dirname "$0")/common.sh"

# Whether every non-empty line of the excerpt is a line of the file, in order.
is_excerpt_of() {
    awk '
        function trim(t) { sub(/^[ \t]+/, "", t); sub(/[ \t\r]+$/, "", t); return t }
        FNR == NR { lines[++n] = trim($0); next }
        {
            want = trim($0)
            if (want == "") next
            while (at < n && lines[++at] != want) {}
            if (lines[at] != want) { missing = want; exit 1 }
        }
        END { if (missing != "") print "not in order in the file: " missing > "/dev/stderr" }
    ' "$2" "$1"
}

# Writes each ```csharp block of a file to WORK/sN.cs and its place and marker to WORK/sN.meta;
# numbering goes on from the count in WORK/count.
extract() {
    local file=$1 first
    first=$(cat "$work/count")
    awk -v out="$work" -v file="$file" -v n="$first" '
        inblock && /^```[ \t]*$/ { inblock = 0; close(cs); next }
        inblock { print > cs; next }
        /^```csharp[ \t]*$/ {
            n++
            cs = out "/s" n ".cs"
            marker = ""
            if (prev ~ /^<!-- sample: .* -->$/) {
                marker = prev
                sub(/^<!-- sample: /, "", marker)
                sub(/ -->$/, "", marker)
            }
            printf "%s:%d\t%s\n", file, NR, marker > (out "/s" n ".meta")
            close(out "/s" n ".meta")
            printf "" > cs
            inblock = 1
            next
        }
        { prev = $0 }
        END {
            if (inblock) { print file ": a ```csharp block is never closed" > "/dev/stderr"; exit 1 }
            print n > (out "/count")
        }' "$file"
}

# The template a fragment is compiled in.
wrap_fragment() {
    cat <<'EOF'
using System; using System.Collections.Generic; using System.IO; using System.Net;
using System.Net.WebSockets; using System.Text; using System.Threading; using System.Threading.Tasks;
using Vrns; using Vrns.Http;
static class DocFragment {
    static void Fragment(HttpServer server) {
EOF
    cat "$1"
    cat <<'EOF'
    }
    static void Main() { }
}
EOF
}

compile() {
    local src=$1 exe=$2 log=$3
    "$mcs" -nologo -warnaserror+ -target:exe -r:"$managed/Vrns.dll" -r:"$managed/VrnsHttp.dll" \
        -out:"$exe" "$src" >"$log" 2>&1
}

run_sample() {
    local where=$1 exe=$2 dir=$3 status
    (cd "$dir" && exec timeout -s KILL "$RUN_DEADLINE_SEC" "$vrns" "$exe") >"$dir/out.log" 2>&1
    status=$?
    if [ $status -ne 0 ]; then
        fail "$where" "exited with status $status; its output:"
        cat "$dir/out.log" >&2
    fi
}

# Starts the sample, waits until it answers, makes each check's request, stops it.
serve_sample() {
    local where=$1 exe=$2 dir=$3 port=$4 checks=$5
    local base="http://127.0.0.1:$port" deadline check target text path body output status
    (cd "$dir" && exec "$vrns" "$exe") >"$dir/out.log" 2>&1 &
    server_pid=$!
    deadline=$((SECONDS + START_DEADLINE_SEC))
    until curl -s -o /dev/null --noproxy '*' --max-time 2 "$base/"; do
        if ! kill -0 "$server_pid" 2>/dev/null && grep -q 'errno 98' "$dir/out.log"; then
            # EADDRINUSE: another program took the port after it was found free.
            wait "$server_pid" 2>/dev/null
            server_pid=
            return 2
        fi
        if ! kill -0 "$server_pid" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
            fail "$where" "never answered on port $port; its output:"
            cat "$dir/out.log" >&2
            kill -KILL "$server_pid" 2>/dev/null
            wait "$server_pid" 2>/dev/null
            server_pid=
            return
        fi
        sleep 0.1
    done
    # Checks are separated by " ; ", so a TEXT may hold a bare ";" (a Set-Cookie's attributes).
    IFS=$'\x1f' read -r -a list <<<"${checks// ; /$'\x1f'}"
    for check in "${list[@]}"; do
        check=$(echo "$check" | sed 's/^ *//; s/ *$//')
        target=${check%%|*}
        text=${check#*|}
        if [ "$target" = "$check" ] || [ -z "$text" ]; then
            fail "$where" "a check is not PATH|TEXT: '$check'"
            continue
        fi
        if [[ $target == *"<"* ]]; then
            path=${target%%<*}
            body=${target#*<}
            output=$(curl -si --noproxy '*' --max-time "$REQUEST_DEADLINE_SEC" --data-binary "$body" "$base$path")
        else
            output=$(curl -si --noproxy '*' --max-time "$REQUEST_DEADLINE_SEC" "$base$target")
        fi
        if ! grep -qF -- "$text" <<<"$output"; then
            fail "$where" "$target: wanted '$text' in the answer, got:"
            echo "$output" >&2
        fi
    done
    kill -TERM "$server_pid"
    wait_exit "$server_pid" "$STOP_DEADLINE_SEC"
    status=$?
    server_pid=
    if [ $status -ne 0 ]; then
        fail "$where" "after SIGTERM: status $status (124: still running after ${STOP_DEADLINE_SEC}s); its output:"
        cat "$dir/out.log" >&2
    fi
}

cd "$root" || exit 2
files=$( (echo README.md; find docs -name '*.md' -not -path 'docs/pending/*') | sort)
echo 0 >"$work/count"
for f in $files; do
    extract "$f" || exit 2
done
count=$(cat "$work/count")
if [ "$count" -eq 0 ]; then
    echo "FAIL: no \`\`\`csharp block found under $root" >&2
    exit 1
fi

ran=0
for i in $(seq 1 "$count"); do
    IFS=$'\t' read -r where marker <"$work/s$i.meta"
    kind=${marker%% *}
    args=
    if [ "$kind" != "$marker" ]; then args=${marker#* }; fi
    src=$work/s$i.cs
    exe=$work/s$i.exe
    dir=$work/run$i
    mkdir -p "$dir"
    echo "hello from a file" >"$dir/hello.txt"
    port=
    case "$kind" in
        fragment)
            wrap_fragment "$work/s$i.cs" >"$work/s$i.wrapped.cs"
            src=$work/s$i.wrapped.cs
            ;;
        program | run) ;;
        excerpt)
            if [ -z "$args" ] || [ ! -f "$root/$args" ]; then
                fail "$where" "an excerpt names no file of the repository: '$args'"
            elif ! is_excerpt_of "$src" "$root/$args" 2>"$work/s$i.excerpt.log"; then
                fail "$where" "is no longer an excerpt of $args: $(cat "$work/s$i.excerpt.log")"
            fi
            continue
            ;;
        serve)
            if ! grep -q '127\.0\.0\.1:8080' "$src"; then
                fail "$where" "a serve sample must listen on 127.0.0.1:8080"
                continue
            fi
            ;;
        "")
            fail "$where" "a csharp block without a <!-- sample: KIND --> marker line before it"
            continue
            ;;
        *)
            fail "$where" "unknown sample kind '$kind'"
            continue
            ;;
    esac
    if [ "$kind" = serve ]; then
        # The port is compiled in: a port taken meanwhile by another program costs a new one.
        for attempt in 1 2 3; do
            if ! port=$(free_port); then
                fail "$where" "no free port"
                break
            fi
            sed "s/127\.0\.0\.1:8080/127.0.0.1:$port/g" "$work/s$i.cs" >"$work/s$i.port.cs"
            if ! compile "$work/s$i.port.cs" "$exe" "$work/s$i.mcs.log"; then
                fail "$where" "does not compile:"
                cat "$work/s$i.mcs.log" >&2
                break
            fi
            serve_sample "$where" "$exe" "$dir" "$port" "$args"
            if [ $? -ne 2 ]; then
                ran=$((ran + 1))
                break
            fi
            if [ $attempt -eq 3 ]; then fail "$where" "three ports in a row were taken"; fi
        done
        continue
    fi
    if ! compile "$src" "$exe" "$work/s$i.mcs.log"; then
        fail "$where" "does not compile:"
        cat "$work/s$i.mcs.log" >&2
        continue
    fi
    if [ "$kind" = run ]; then
        run_sample "$where" "$exe" "$dir"
        ran=$((ran + 1))
    fi
done

echo "$count C# samples checked, $ran of them run; $failures failures"
[ $failures -eq 0 ]
