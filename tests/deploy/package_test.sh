#!/usr/bin/env bash
# The Debian package built by CPack installs, runs and uninstalls cleanly: dpkg -i, the
# installed vrns serving a file with the packaged options, a small application built with
# mcs -pkg:vrns in an empty folder and run there by the installed vrns until SIGTERM, dpkg -r
# (the options file, a conffile, stays), dpkg -P (nothing left); an upgrade restarting the
# running services (under a stand-in for systemd). No systemd needs to run: the units are
# checked with systemd-analyze where that is installed. Needs root; skipped otherwise, and skipped when a
# vrns package is already installed (this test must not replace it). Runs of this test on the
# same machine take turns through a lock file.
#   package_test.sh BUILD_DIR
set -u
build=${1:?usage: package_test.sh BUILD_DIR}
[ "$(id -u)" -eq 0 ] || { echo "SKIP: dpkg -i needs root"; exit 77; }
# Test runs of several checkouts on one machine take turns: the package is machine-wide.
exec 9>/tmp/vrns-package-test.lock
flock -w 100 9 || { echo "FAIL: another package test holds the machine for too long"; exit 1; }
if dpkg-query -W -f='${db:Status-Status}' vrns 2>/dev/null | grep -qv not-installed; then
  echo "SKIP: a vrns package is installed already"
  exit 77
fi
work=$(mktemp -d /tmp/vrns-package-XXXXXX)
server=0
installed=0
# The files the package installs, besides the executable and its host library.
packaged=(/usr/lib/vrns/managed/Vrns.dll /usr/lib/vrns/managed/VrnsHttp.dll /usr/lib/pkgconfig/vrns.pc
  /usr/lib/systemd/system/vrns.service /usr/lib/systemd/system/vrns-app@.service /usr/share/vrns/haproxy.cfg)
cleanup() {
  [ "$server" -eq 0 ] || { kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; }
  [ "$installed" -eq 0 ] || dpkg -P vrns >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/pkg") >"$work/cpack.log" 2>&1 || fail "cpack: $(cat "$work/cpack.log")"
deb=$(ls "$work"/pkg/vrns_*.deb)
installed=1
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$work/dpkg.log")"
for f in /usr/bin/vrns /usr/lib/vrns/vrns /usr/lib/vrns/runtime/lib/liborvanta.so "${packaged[@]}" \
  /etc/default/vrns /etc/vrns/apps; do
  [ -e "$f" ] || fail "$f is not installed"
done
grep -qx 'ExecStart=/usr/bin/vrns $VRNS_OPTS' /usr/lib/systemd/system/vrns.service || fail "ExecStart"
grep -qx 'EnvironmentFile=-/etc/default/vrns' /usr/lib/systemd/system/vrns.service || fail "EnvironmentFile"
app_unit=/usr/lib/systemd/system/vrns-app@.service
grep -qx 'ExecStart=/usr/bin/vrns ${VRNS_APP} $VRNS_APP_ARGS' "$app_unit" || fail "the application unit's ExecStart"
grep -qx 'EnvironmentFile=/etc/vrns/apps/%i' "$app_unit" || fail "the application unit's EnvironmentFile"
if command -v systemd-analyze >/dev/null; then
  for unit in vrns.service vrns-app@.service; do
    systemd-analyze verify "/usr/lib/systemd/system/$unit" >"$work/verify.log" 2>&1 ||
      fail "systemd-analyze verify $unit: $(cat "$work/verify.log")"
  done
fi

# An upgrade restarts the services that run (try-restart through deb-systemd-invoke), a first
# install none. No systemd runs here, so the package is installed again (dpkg calls that an
# upgrade: postinst configure OLD-VERSION) in a mount namespace of its own, where
# /run/systemd/system exists, with systemctl and deb-systemd-invoke stubs that log their calls;
# the stub's systemctl says vrns.service and vrns-app@blog.service run.
mkdir "$work/stubs"
cat >"$work/stubs/systemctl" <<EOF
#!/bin/sh
echo "systemctl \$*" >>"$work/systemd.log"
[ "\$1" != list-units ] || printf 'vrns.service loaded active running vrns\nvrns-app@blog.service loaded active running app\n'
EOF
printf '#!/bin/sh\necho "deb-systemd-invoke $*" >>"%s"\n' "$work/systemd.log" >"$work/stubs/deb-systemd-invoke"
chmod 755 "$work/stubs/systemctl" "$work/stubs/deb-systemd-invoke"
with_systemd() {
  # shellcheck disable=SC2016 # expanded by the inner shell
  PATH="$work/stubs:$PATH" unshare -m sh -c 'mount -t tmpfs vrns-test /run/systemd && mkdir /run/systemd/system && "$@"' \
    with_systemd "$@"
}
if unshare -m true 2>/dev/null; then
  with_systemd dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || fail "dpkg -i again: $(cat "$work/dpkg.log")"
  grep -qx 'deb-systemd-invoke try-restart vrns.service vrns-app@blog.service' "$work/systemd.log" ||
    fail "the upgrade did not restart the running services: $(cat "$work/systemd.log")"
  : >"$work/systemd.log"
  with_systemd sh /var/lib/dpkg/info/vrns.postinst configure >"$work/postinst.log" 2>&1 ||
    fail "postinst configure: $(cat "$work/postinst.log")"
  grep -q try-restart "$work/systemd.log" && fail "a first install restarted services: $(cat "$work/systemd.log")"
  grep -qx 'systemctl daemon-reload' "$work/systemd.log" || fail "a first install did not reload systemd"
else
  echo "note: no mount namespace here, so the upgrade's restart is not checked"
fi

mkdir "$work/root" && chmod 755 "$work" "$work/root" && echo "packaged" >"$work/root/a.txt"
eval "$(grep '^VRNS_OPTS=' /etc/default/vrns)"
# shellcheck disable=SC2086 # the options are words, as systemd splits them
vrns $VRNS_OPTS --listen 127.0.0.1:0 --root "$work/root" --access-log off >"$work/out" 2>&1 &
server=$!
for _ in $(seq 200); do grep -qs 'http://' "$work/out" && break; sleep 0.05; done
url=$(sed -n 's|.* on \(http://[^ ]*\)$|\1|p' "$work/out")
[ -n "$url" ] || fail "the packaged server did not start: $(cat "$work/out")"
[ "$(curl -sS --max-time 10 "${url}a.txt")" = packaged ] || fail "curl did not get the file"
kill -TERM "$server"
wait "$server"
rc=$?
server=0
[ $rc -eq 0 ] || fail "the packaged server exited with $rc"

# An application built in an empty folder against the installed libraries, run there.
mkdir "$work/app"
cat >"$work/app/App.cs" <<'EOF'
using System; using System.Threading.Tasks; using Vrns.Http;
static class App {
    static int Main() {
        var server = new HttpServer(new HttpServerOptions { Listen = { "127.0.0.1:0" } });
        server.Map("GET", "/", c => { c.Response.Send("installed app"); return Task.CompletedTask; });
        server.Start();
        Console.WriteLine("app: listening on {0}", server.Endpoints[0]);
        return server.Completion.Result;
    }
}
EOF
(cd "$work/app" && mcs -pkg:vrns -out:App.exe App.cs) >"$work/mcs.log" 2>&1 || fail "mcs -pkg:vrns: $(cat "$work/mcs.log")"
[ "$(ls "$work/app" | tr '\n' ' ')" = "App.cs App.exe " ] || fail "the application's folder holds more: $(ls "$work/app")"
(cd "$work/app" && exec vrns App.exe) >"$work/app.out" 2>&1 &
server=$!
for _ in $(seq 300); do grep -qs 'listening on' "$work/app.out" && break; sleep 0.05; done
address=$(sed -n 's/^app: listening on //p' "$work/app.out")
[ -n "$address" ] || fail "the application did not start: $(cat "$work/app.out")"
[ "$(curl -sS --max-time 10 "http://$address/")" = "installed app" ] || fail "curl did not get the application's answer"
kill -TERM "$server"
wait "$server"
rc=$?
server=0
[ $rc -eq 0 ] || fail "the application exited with $rc after SIGTERM: $(cat "$work/app.out")"

dpkg -r vrns >"$work/dpkg.log" 2>&1 || fail "dpkg -r: $(cat "$work/dpkg.log")"
for f in /usr/bin/vrns /usr/lib/vrns "${packaged[@]}" /etc/vrns; do
  [ ! -e "$f" ] && [ ! -L "$f" ] || fail "$f is left after dpkg -r"
done
[ -f /etc/default/vrns ] || fail "dpkg -r removed the conffile"
dpkg -P vrns >"$work/dpkg.log" 2>&1 || fail "dpkg -P: $(cat "$work/dpkg.log")"
installed=0
[ ! -e /etc/default/vrns ] || fail "/etc/default/vrns is left after dpkg -P"
dpkg-query -W vrns >/dev/null 2>&1 && fail "dpkg still knows vrns after dpkg -P"
echo "package: dpkg -i, an upgrade restarting running services, curl, an application built with" \
  "mcs -pkg:vrns, dpkg -r, dpkg -P: ok"
