#!/usr/bin/env bash
# Cross-builds vrns for Linux on AArch64, optimised, into build-aarch64/ (or $BUILD_DIR): the
# executable with runtime/lib beside it (liborvanta.so and links to Debian's arm64 Mono
# support libraries in the arm64 sysroot that scripts/install-deps.sh prepares). The last line
# printed is the executable's path. On an x86_64 machine it runs as
#   qemu-aarch64 -L /opt/vrns/aarch64-sysroot build-aarch64/vrns --help
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${BUILD_DIR:-build-aarch64}

bash scripts/install-deps.sh aarch64
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" -DVRNS_TESTS=OFF -DVRNS_BENCH=OFF
cmake --build "$dir" --target vrns -j2
echo "$(cd "$dir" && pwd)/vrns"
