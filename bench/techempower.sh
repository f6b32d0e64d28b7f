#!/usr/bin/env bash
# The TechEmpower test types on the vrns sample (VrnsTechEmpower.exe) against the same
# application on Mono's System.Net.HttpListener (bench/mono/TechEmpowerListenerPeer.cs: the same
# database code, JSON and HTML), on SQLite and on PostgreSQL through ODBC, on loopback under wrk:
# req/s and server CPU time per request.
#
#   bench/techempower.sh [SECONDS_PER_RUN] [ROUNDS]      (defaults: 5 and 3)
#
# Types: plaintext, json, db, queries (?queries=20), updates (?queries=20), fortunes and
# cached-queries (?count=20); DATABASES="sqlite postgres" (the default) picks the databases. For
# PostgreSQL the script starts a server of its own (initdb in its work folder, a loopback port,
# as nobody when run as root, pg_stat_statements off) from Debian's postgresql. Each server gets
# its own SQLite file. The servers alternate: in every round each type runs on each server once,
# the order rotating from round to round, after one unmeasured second per server and type. CPU
# per request is the server process's utime + stime (all threads) over the requests wrk
# completed; the database server's own CPU is not in it (PostgreSQL's backends are processes of
# their own; SQLite runs inside the server, so it is).
#
# Environment: VRNS (default build/vrns), OUT (results, default build-bench), CONNS (default 16),
# TYPES, DATABASES, PORT_BASE (the first of three loopback ports, default 18260).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-5}
rounds=${2:-3}
vrns=${VRNS:-build/vrns}
out=${OUT:-build-bench}
conns=${CONNS:-16}
types=(${TYPES:-plaintext json db queries updates fortunes cached-queries})
databases=(${DATABASES:-sqlite postgres})
port_base=${PORT_BASE:-18260}
managed=$(dirname "$vrns")/managed
servers=(vrns listener)
declare -A label=([vrns]="vrns sample" [listener]="Mono HttpListener")
declare -A type_path=([plaintext]=/plaintext [json]=/json [db]=/db [queries]="/queries?queries=20"
  [updates]="/updates?queries=20" [fortunes]=/fortunes [cached-queries]="/cached-queries?count=20")

bash scripts/install-deps.sh bench >/dev/null
for f in "$vrns" "$managed/VrnsTechEmpower.exe" "$managed/VrnsHttp.dll"; do
  [ -f "$f" ] || { echo "missing $f: build it first (cmake --build build --target vrns vrns_managed)" >&2; exit 1; }
done

source bench/common.sh  # the script runs from the repository root
source bench/http_common.sh
bench_setup techempower

# The peer, beside the libraries it shares with the sample.
peer=$out/mono/TechEmpowerListenerPeer.exe
mkdir -p "$out/mono"
mcs -nologo -warnaserror+ -optimize+ -debug- -r:System.dll -r:System.Data.dll -r:Mono.Data.Sqlite.dll \
  -r:"$managed/VrnsHttp.dll" -r:"$managed/Vrns.dll" -out:"$peer" bench/mono/TechEmpowerListenerPeer.cs \
  managed/samples/techempower/Database.cs managed/samples/techempower/Render.cs
cp "$managed/VrnsHttp.dll" "$managed/Vrns.dll" "$out/mono/"

# PostgreSQL of the run's own, as nobody when root (PostgreSQL refuses root).
as_db_user() { if [ "$(id -u)" = 0 ]; then setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; else "$@"; fi; }
start_postgres() {
  local bin port=$((port_base + 2)) _
  bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)
  pg=$work/pg
  mkdir -p "$pg"
  if [ "$(id -u)" = 0 ]; then chmod o+x "$work"; chown 65534:65534 "$pg"; fi
  as_db_user "$bin/initdb" -D "$pg/data" -U postgres -A trust -E UTF8 --no-locale --no-sync >"$work/initdb.log"
  as_db_user "$bin/postgres" -D "$pg/data" -p "$port" -k "$pg" -c listen_addresses=127.0.0.1 \
    -c max_connections=200 >"$work/postgres.log" 2>&1 &
  pids+=($!)
  psql=("$bin/psql" -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$port" -U postgres)
  for _ in $(seq 300); do "${psql[@]}" -d postgres -c 'SELECT 1' >/dev/null 2>&1 && break; sleep 0.1; done
  "${psql[@]}" -d postgres -c 'CREATE DATABASE hello_world' >/dev/null
  "${psql[@]}" -d hello_world -f managed/samples/techempower/create-postgresql.sql >/dev/null
  odbc="Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$port;Database=hello_world;Uid=postgres;Pwd=unused"
}

stop_servers() {
  for s in "${servers[@]}"; do kill "${server_pid[$s]}" 2>/dev/null || true; wait "${server_pid[$s]}" 2>/dev/null || true; done
}

table=$out/techempower.md
rows=$work/rows.md
: >"$rows"
goals=()

for d in "${databases[@]}"; do
  case $d in
    sqlite) db_vrns=(--sqlite "$work/vrns.sqlite") db_peer=(--sqlite "$work/peer.sqlite") ;;
    postgres)
      start_postgres
      db_vrns=(--odbc "$odbc") db_peer=(--odbc "$odbc") ;;
    *) echo "unknown database $d (sqlite, postgres)" >&2; exit 2 ;;
  esac
  start_server vrns $port_base "$vrns" "$managed/VrnsTechEmpower.exe" --listen 127.0.0.1:$port_base "${db_vrns[@]}"
  start_server listener $((port_base + 1)) mono "$peer" --listen 127.0.0.1:$((port_base + 1)) "${db_peer[@]}"
  for s in "${servers[@]}"; do wait_server "$s" /db; done
  for t in "${types[@]}"; do for s in "${servers[@]}"; do wrk_warm "$s" "${type_path[$t]}"; done; done
  for ((r = 0; r < rounds; r++)); do
    echo "$d: round $((r + 1)) of $rounds" >&2
    for t in "${types[@]}"; do
      for ((i = 0; i < ${#servers[@]}; i++)); do
        s=${servers[(i + r) % ${#servers[@]}]}
        wrk_run "$s" "$d $t $s" "${type_path[$t]}" "$conns"
      done
    done
  done
  stop_servers
  for t in "${types[@]}"; do
    for s in "${servers[@]}"; do
      k="$d $t $s"
      err=$(cell_errors "$k")
      note=""
      ((err)) && note=" ($err errors)"
      echo "| $d | $t | ${label[$s]}$note | $(cell_rps "$k") | $(cell_cpu "$k") |" \
        "$(ratio "$(cell_rps "$d $t vrns")" "$(cell_rps "$d $t listener")") |" \
        "$(ratio "$(cell_cpu "$d $t listener")" "$(cell_cpu "$d $t vrns")") |" >>"$rows"
    done
  done
  goals+=("| $d | json CPU per request / plaintext's, vrns | $(ratio "$(cell_cpu "$d json vrns")" "$(cell_cpu "$d plaintext vrns")") | ≤ 1.5 |")
  for t in db queries fortunes; do
    goals+=("| $d | $t requests per CPU second, vrns / HttpListener | $(ratio "$(cell_cpu "$d $t listener")" "$(cell_cpu "$d $t vrns")") | ≥ 3 |")
  done
done

{
  run_conditions
  echo "connections: $conns; queries and updates ?queries=20, cached-queries ?count=20"
  echo
  echo "| database | type | server | req/s | CPU µs/req | vrns/HttpListener req/s | vrns/HttpListener requests per CPU s |"
  echo "|---|---|---|---|---|---|---|"
  cat "$rows"
  echo
  echo "| database | goal | measured | goal |"
  echo "|---|---|---|---|"
  printf '%s\n' "${goals[@]}"
} >"$table"
cat "$table"
