#!/usr/bin/env bash
# Installs the Debian 12 packages a command of this project needs, as root.
#   scripts/install-deps.sh run    build and run the executable
#   scripts/install-deps.sh aarch64  the cross compiler and the arm64 sysroot for build-aarch64.sh
#   scripts/install-deps.sh test   everything test-all.sh needs (run's and aarch64's included)
#   scripts/install-deps.sh fuzz   clang and libFuzzer for scripts/fuzz.sh, GoogleTest for the
#                                  framing fuzzer's build (scripts/framing-fuzz.sh) (run's included)
#   scripts/install-deps.sh bench  nginx, h2o, wrk, h2load, gnuplot, perf and strace for the HTTP benchmarks (test's included)
# Idempotent: when every package is already installed (and the arm64 sysroot is complete) it
# changes nothing and reaches no network; otherwise it refreshes the package lists once and
# installs only what is missing. The machine's own packages are never changed beyond that;
# for the sysroot it only enables the arm64 architecture, so arm64 packages can be downloaded.
set -euo pipefail

# Building vrns: compiler and build tools, the Mono runtime and support libraries the
# executable and liborvanta.so link, the runtime's class libraries and the C# compiler for
# managed applications, and the media types table the server uses; the ADO.NET providers (SQLite,
# ODBC with the PostgreSQL driver) the samples are built with and reach their databases through.
RUN_PACKAGES=(
  cmake ninja-build g++ pkg-config binutils
  mono-runtime-common libmono-2.0-dev mono-runtime mono-mcs
  media-types
  libmono-sqlite4.0-cil libsqlite3-0 libmono-system-data4.0-cil unixodbc odbc-postgresql
)
# Cross-building for AArch64: the cross compiler, and qemu-user to run what it builds.
AARCH64_PACKAGES=(g++-aarch64-linux-gnu qemu-user)
# Testing: GoogleTest sources (built by each configuration with its own compiler and flags),
# Google Benchmark and libuv for the benchmarks, curl for the end-to-end tests, HAProxy and wrk
# for the load-balancer tests, openssl for their TLS certificate, Chromium for the test of the
# sample's chat page in a real browser, PostgreSQL (pg_stat_statements is in the server package)
# for the samples' tests' own database server and the sqlite3 shell they read SQLite files with.
TEST_PACKAGES=(
  googletest libbenchmark-dev libuv1-dev
  curl haproxy wrk openssl chromium
  postgresql sqlite3
)
# The request fuzzer: clang with its libFuzzer and sanitizer runtimes; the framing fuzzer is
# built with the tests, which need GoogleTest's sources.
FUZZ_PACKAGES=(clang libclang-rt-14-dev googletest)
# The HTTP benchmark: the peer servers, the load generators (h2load for HTTP/2 over TLS) and the
# chart; perf and strace to see where a server's time and system calls go.
BENCH_PACKAGES=(nginx-light h2o wrk nghttp2-client gnuplot-nox linux-perf strace)

# The arm64 sysroot: Debian's own arm64 packages unpacked (never installed) into a directory of
# their own, beside the cross compiler's /usr/aarch64-linux-gnu. The executable is linked
# against the Mono libraries in it, and it is the library prefix qemu-user
# runs every AArch64 program with, so it holds a whole run-time: the C and C++ libraries, and
# what the Mono support libraries need (zlib, GSS-API and its Kerberos libraries). The managed
# tests run the arm64 Mono runtime from it; its class libraries (/usr/lib/mono) are not
# per-processor, and qemu finds the build machine's where the sysroot has none.
AARCH64_SYSROOT=${VRNS_AARCH64_SYSROOT:-/opt/vrns/aarch64-sysroot}
SYSROOT_PACKAGES=(
  libc6 libgcc-s1 libstdc++6
  mono-runtime-common libmonosgen-2.0-1 libmonosgen-2.0-dev libmono-2.0-dev
  zlib1g libgssapi-krb5-2 libkrb5-3 libk5crypto3 libkrb5support0 libcom-err2 libkeyutils1 libssl3
)
# Records which packages a finished sysroot holds; written last, so its presence means complete.
SYSROOT_STAMP=.vrns-packages

usage() {
  echo "usage: $0 run|aarch64|test|fuzz|bench" >&2
  exit 2
}

is_installed() {
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

as_root=()
set_as_root() {
  [ "$(id -u)" -eq 0 ] && return 0
  command -v sudo >/dev/null || { echo "install-deps: run as root to install: $*" >&2; exit 1; }
  as_root=(sudo)
}

sysroot_ready() {
  [ "$(cat "$AARCH64_SYSROOT/$SYSROOT_STAMP" 2>/dev/null)" = "${SYSROOT_PACKAGES[*]}" ]
}

arm64_enabled() {
  dpkg --print-foreign-architectures | grep -qx arm64
}

# Downloads the sysroot's packages (refreshing the package lists once if they are stale) and
# unpacks them into a new directory that replaces the old one only when it is complete.
build_sysroot() {
  local work pkg deb
  work=$("${as_root[@]}" mktemp -d "$(dirname "$AARCH64_SYSROOT")/.sysroot.XXXXXX")
  local debs=$work/debs root=$work/root
  "${as_root[@]}" mkdir -p "$debs" "$root"
  local names=()
  for pkg in "${SYSROOT_PACKAGES[@]}"; do names+=("$pkg:arm64"); done
  echo "install-deps: unpacking arm64 packages into $AARCH64_SYSROOT"
  if ! (cd "$debs" && "${as_root[@]}" apt-get download -q -o APT::Sandbox::User=root "${names[@]}"); then
    "${as_root[@]}" apt-get update -q
    (cd "$debs" && "${as_root[@]}" apt-get download -q -o APT::Sandbox::User=root "${names[@]}") || {
      "${as_root[@]}" rm -rf "$work"
      return 1
    }
  fi
  for deb in "$debs"/*.deb; do "${as_root[@]}" dpkg-deb -x "$deb" "$root"; done
  echo "${SYSROOT_PACKAGES[*]}" | "${as_root[@]}" tee "$root/$SYSROOT_STAMP" >/dev/null
  "${as_root[@]}" rm -rf "$AARCH64_SYSROOT"
  "${as_root[@]}" mv "$root" "$AARCH64_SYSROOT"
  "${as_root[@]}" rm -rf "$work"
}

# Packages that bring a service (haproxy, nginx) must not start it: the tests and benchmarks
# run their own instances, and a fresh machine or chroot should not keep a daemon running. A
# policy-rc.d that answers 101 tells the maintainer scripts so while installing; one already
# there is kept.
no_service_starts() {
  local policy=/usr/sbin/policy-rc.d
  [ -e "$policy" ] && return 0
  printf '#!/bin/sh\nexit 101\n' | "${as_root[@]}" tee "$policy" >/dev/null
  "${as_root[@]}" chmod 755 "$policy"
  trap "${as_root[*]} rm -f $policy" EXIT  # expanded now
}

main() {
  local group=${1:-test}
  local wanted=("${RUN_PACKAGES[@]}") sysroot=0
  case "$group" in
    run) ;;
    aarch64) wanted+=("${AARCH64_PACKAGES[@]}") sysroot=1 ;;
    test) wanted+=("${AARCH64_PACKAGES[@]}" "${TEST_PACKAGES[@]}") sysroot=1 ;;
    fuzz) wanted+=("${FUZZ_PACKAGES[@]}") ;;
    bench) wanted+=("${AARCH64_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${BENCH_PACKAGES[@]}") sysroot=1 ;;
    *) usage ;;
  esac

  local missing=() pkg refreshed=0
  for pkg in "${wanted[@]}"; do
    is_installed "$pkg" || missing+=("$pkg")
  done
  [ $sysroot -eq 1 ] && sysroot_ready && sysroot=0
  [ ${#missing[@]} -eq 0 ] && [ $sysroot -eq 0 ] && return 0

  set_as_root "${missing[@]}" "arm64 sysroot"
  export DEBIAN_FRONTEND=noninteractive
  # Enabling arm64 only makes its packages downloadable: nothing of it is installed.
  if [ $sysroot -eq 1 ] && ! arm64_enabled; then
    "${as_root[@]}" dpkg --add-architecture arm64
    "${as_root[@]}" apt-get update -q
    refreshed=1
  fi
  if [ ${#missing[@]} -ne 0 ]; then
    echo "install-deps: installing ${missing[*]}"
    [ $refreshed -eq 1 ] || "${as_root[@]}" apt-get update -q
    no_service_starts
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
  if [ $sysroot -eq 1 ]; then
    "${as_root[@]}" mkdir -p "$(dirname "$AARCH64_SYSROOT")"
    build_sysroot
  fi
}

main "$@"
