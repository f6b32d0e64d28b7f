#!/usr/bin/env bash
# The JSON serializers within reach of a C# application on Debian's Mono, on correctness and CPU
# per message (bench/JsonSerializers.cs): the library's own Vrns.Http.Json, and each of
# Newtonsoft.Json, DataContractJsonSerializer and JavaScriptSerializer whose assembly is found in
# LIBS (folders, default Debian's: /usr/lib/mono/4.5 and /usr/lib/cli/Newtonsoft.Json-5.0).
#
#   bench/json_serializers.sh [MESSAGES]          (default 200000 per measurement)
#
# Environment: BUILD (the build tree with managed/VrnsHttp.dll, default build), OUT (default
# build-bench), LIBS. Runs under plain mono, one thread.
set -euo pipefail
cd "$(dirname "$0")/.."
messages=${1:-200000}
build=${BUILD:-build}
out=${OUT:-build-bench}
libs=${LIBS:-/usr/lib/mono/4.5 /usr/lib/cli/Newtonsoft.Json-5.0}
mkdir -p "$out"
refs=(-r:"$build/managed/Vrns.dll" -r:"$build/managed/VrnsHttp.dll")
path="$build/managed"
find_lib() {
    for d in $libs; do [[ -e "$d/$1" ]] && { echo "$d/$1"; return; }; done
}
for pair in NEWTONSOFT:Newtonsoft.Json.dll DATACONTRACT:System.Runtime.Serialization.dll WEBEXTENSIONS:System.Web.Extensions.dll; do
    lib=$(find_lib "${pair#*:}")
    if [[ -n "$lib" ]]; then
        refs+=(-define:"${pair%%:*}" -r:"$lib")
        path="$path:$(dirname "$lib")"
    else
        echo "${pair#*:} not found in $libs: left out" >&2
    fi
done
mcs -nologo -optimize+ -out:"$out/JsonSerializers.exe" "${refs[@]}" bench/JsonSerializers.cs
MONO_PATH="$path" mono "$out/JsonSerializers.exe" "$messages" | tee "$out/json_serializers.md"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
