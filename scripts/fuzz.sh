#!/usr/bin/env bash
# Builds the HTTP request fuzzer with clang (libFuzzer, ASan, UBSan) and runs it for a bounded
# time. Usage: scripts/fuzz.sh [SECONDS] (default 60). Build and corpus go to $FUZZ_DIR
# (default build-fuzz/); a crash leaves its input there and makes the exit status non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
dir=${FUZZ_DIR:-build-fuzz}
mkdir -p "$dir/corpus"
bash scripts/install-deps.sh fuzz

clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I. \
  tests/fuzz/request_fuzz.cpp orvanta/http/*.cpp orvanta/static/*.cpp -o "$dir/request_fuzz"

# Seeds: the shapes of request the server meets, so the fuzzer starts past the request line.
seed() { printf '%b' "$2" > "$dir/corpus/$1"; }
seed get '\x10GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n'
seed pipeline '\x05GET /sub/ HTTP/1.1\r\n\r\nHEAD /in HTTP/1.0\r\nConnection: keep-alive\r\n\r\n'
seed range '\x30GET /a.txt HTTP/1.1\r\nRange: bytes=2-5\r\nIf-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n'
seed traversal '\x01GET /%2e%2e/secret HTTP/1.1\r\n\r\nGET /out HTTP/1.1\r\n\r\n'
seed body '\x20POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n'
seed absolute '\x02GET http://h/sub?x=1 HTTP/1.1\r\n\r\n'

cd "$dir"
exec ./request_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 corpus
