#!/usr/bin/env bash
# cmake --install into a temporary prefix: bin/vrns reaches its runtime/lib through the link,
# the units and vrns.pc name this prefix, and the installed server serves a file.
#   install_test.sh BUILD_DIR
set -u
build=${1:?usage: install_test.sh BUILD_DIR}
work=$(mktemp -d /tmp/vrns-install-XXXXXX)
server=0
cleanup() {
  [ "$server" -eq 0 ] || { kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; }
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || fail "cmake --install: $(cat "$work/install.log")"
[ "$(readlink "$prefix/bin/vrns")" = ../lib/vrns/vrns ] || fail "bin/vrns is not a link to lib/vrns/vrns"
[ -f "$prefix/lib/vrns/runtime/lib/liborvanta.so" ] || fail "no runtime/lib/liborvanta.so"
unit=$prefix/lib/systemd/system/vrns.service
grep -qx "ExecStart=$prefix/bin/vrns \$VRNS_OPTS" "$unit" || fail "the unit's ExecStart: $(grep Exec "$unit")"
grep -qx "EnvironmentFile=-$prefix/etc/default/vrns" "$unit" || fail "the unit's EnvironmentFile"
grep -q '^VRNS_OPTS=' "$prefix/etc/default/vrns" || fail "no options file"
grep -qx "EnvironmentFile=$prefix/etc/vrns/apps/%i" "$prefix/lib/systemd/system/vrns-app@.service" ||
  fail "the application unit's EnvironmentFile"
libs=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --libs vrns)
[ "${libs% }" = "-r:$prefix/lib/vrns/managed/Vrns.dll -r:$prefix/lib/vrns/managed/VrnsHttp.dll" ] ||
  fail "vrns.pc's Libs: $libs"
"$prefix/bin/vrns" --check-exports >"$work/exports" || fail "--check-exports: $(grep -v '^ok' "$work/exports")"

# The options file's own command line, with a port and root of the test's.
mkdir "$work/root" && echo "installed" >"$work/root/index.html"
eval "$(grep '^VRNS_OPTS=' "$prefix/etc/default/vrns")"
# shellcheck disable=SC2086 # the options are words, as systemd splits them
"$prefix/bin/vrns" $VRNS_OPTS --listen 127.0.0.1:0 --root "$work/root" >"$work/out" 2>&1 &
server=$!
for _ in $(seq 200); do grep -qs 'http://' "$work/out" && break; sleep 0.05; done
url=$(sed -n 's|.* on \(http://[^ ]*\)$|\1|p' "$work/out")
[ -n "$url" ] || fail "the installed server did not start: $(cat "$work/out")"
[ "$(curl -sS --max-time 10 "$url")" = installed ] || fail "the installed server did not serve the file"
curl -sS --max-time 10 "${url}-/status" | grep -q '^vrns_pump_workers ' || fail "no status at the default path"
kill -TERM "$server"
wait "$server"
rc=$?
server=0
[ $rc -eq 0 ] || fail "the installed server exited with $rc"
echo "install layout, unit and installed server: ok"
