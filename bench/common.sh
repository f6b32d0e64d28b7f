# Sourced by the benchmark scripts. bench_setup NAME makes the script's work folder ($work, with
# an empty $work/root) and its list of background processes ($pids, to which the script appends
# every server and client it starts); at exit they are stopped and the folder removed.
bench_setup() {
  work=$(mktemp -d "/tmp/vrns-$1-XXXXXX")
  mkdir -p "$work/root"
  pids=()
  trap bench_cleanup EXIT
}

bench_cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
