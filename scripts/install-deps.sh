#!/usr/bin/env bash
# Installs the Debian 12 packages a command of this project needs, as root.
#   scripts/install-deps.sh run    build and run the executable
#   scripts/install-deps.sh test   everything test-all.sh needs (run's packages included)
#   scripts/install-deps.sh fuzz   clang and libFuzzer for scripts/fuzz.sh (run's included)
#   scripts/install-deps.sh bench  nginx, h2o, wrk and gnuplot for bench/http_vs_nginx.sh (test's included)
# Idempotent: when every package is already installed it changes nothing and reaches no
# network; otherwise it refreshes the package lists once and installs only what is missing.
set -euo pipefail

# Building vrns: compiler and build tools, the Mono runtime and support libraries the
# executable and liborvanta.so link, the runtime's class libraries and the C# compiler for
# managed applications, the HTTP parser and the media types table the server uses.
RUN_PACKAGES=(
  cmake ninja-build g++ pkg-config binutils
  mono-runtime-common libmono-2.0-dev mono-runtime mono-mcs
  libhttp-parser-dev media-types
)
# Testing: GoogleTest sources (built by each configuration with its own compiler and flags),
# Google Benchmark and libuv for the benchmarks, the AArch64 cross compiler and qemu-user to
# run its tests, curl for the end-to-end tests, HAProxy and wrk for the load-balancer test.
TEST_PACKAGES=(
  googletest libbenchmark-dev libuv1-dev
  g++-aarch64-linux-gnu qemu-user
  curl haproxy wrk
)
# The request fuzzer: clang with its libFuzzer and sanitizer runtimes.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# The HTTP benchmark: the peer servers, the load generator and the chart.
BENCH_PACKAGES=(nginx-light h2o wrk gnuplot-nox)

usage() {
  echo "usage: $0 run|test|fuzz|bench" >&2
  exit 2
}

is_installed() {
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

main() {
  local group=${1:-test}
  local wanted=("${RUN_PACKAGES[@]}")
  case "$group" in
    run) ;;
    test) wanted+=("${TEST_PACKAGES[@]}") ;;
    fuzz) wanted+=("${FUZZ_PACKAGES[@]}") ;;
    bench) wanted+=("${TEST_PACKAGES[@]}" "${BENCH_PACKAGES[@]}") ;;
    *) usage ;;
  esac

  local missing=() pkg
  for pkg in "${wanted[@]}"; do
    is_installed "$pkg" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0

  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "install-deps: run as root to install: ${missing[*]}" >&2; exit 1; }
    sudo=(sudo)
  fi
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"
}

main "$@"
