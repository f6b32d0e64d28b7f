#!/usr/bin/env bash
# What the binding's Task form costs per callback beside the interface form: one process per
# run, each delivering CALLBACKS write-readiness callbacks one after another on one socket,
# "task" (await Events.WaitAsync, the continuation hopping to the thread pool) and "target" (an
# IEventTarget re-arming itself on the pump worker) alternating run by run.
#
#   bench/managed_callback_forms.sh [CALLBACKS] [ROUNDS]      (defaults: 200000 and 3)
#
# Prints wall and CPU microseconds per callback for each run, then the means and the task/target
# ratios. Environment: BUILD (the build folder, default build).
set -euo pipefail
cd "$(dirname "$0")/.."

count=${1:-200000}
rounds=${2:-3}
build=${BUILD:-build}
[ -x "$build/vrns" ] && [ -f "$build/managed/Vrns.dll" ] ||
  { echo "missing $build/vrns or $build/managed/Vrns.dll: build first" >&2; exit 1; }

source bench/common.sh
bench_setup callbackforms
cp "$build/managed/Vrns.dll" "$work/"
mcs -nologo -r:"$work/Vrns.dll" -out:"$work/ManagedCallbackForms.exe" bench/ManagedCallbackForms.cs

for round in $(seq "$rounds"); do
  for form in task target; do
    echo "$form $("$build/vrns" "$work/ManagedCallbackForms.exe" "$form" "$count")"
  done
done | awk -v rounds="$rounds" '
  { printf "round %d  %-6s  wall %7.2f us  cpu %7.2f us\n", int((NR + 1) / 2), $1, $2, $3
    wall[$1] += $2 / rounds; cpu[$1] += $3 / rounds }
  END {
    for (f in wall) printf "mean     %-6s  wall %7.2f us  cpu %7.2f us\n", f, wall[f], cpu[f]
    printf "task/target: wall %.2f, cpu %.2f\n", wall["task"] / wall["target"], cpu["task"] / cpu["target"] }'
