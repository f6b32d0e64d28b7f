#!/usr/bin/env bash
# The main job: installs what the build needs, builds vrns optimised in build/, and runs it
# with this script's arguments (e.g. `bash scripts/run.sh --help`).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh run
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRNS_TESTS=OFF -DVRNS_BENCH=OFF
cmake --build build --target vrns -j2
exec build/vrns "$@"
