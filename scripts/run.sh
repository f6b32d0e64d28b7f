#!/usr/bin/env bash
# The main job: installs what the build needs, builds vrns optimised in build/ with the managed
# assemblies (build/managed/: Vrns.dll, VrnsHttp.dll and the sample VrnsSample.exe), and runs
# vrns with this script's arguments (e.g. `bash scripts/run.sh --help`, or
# `bash scripts/run.sh build/managed/VrnsSample.exe --listen 127.0.0.1:8080`).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh run
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRNS_TESTS=OFF -DVRNS_BENCH=OFF
cmake --build build --target vrns vrns_managed -j2
exec build/vrns "$@"
