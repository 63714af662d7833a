#!/usr/bin/env bash
# The Debian package as a user gets it: built from this tree, checked by lintian,
# installed on this machine, its daemon and command run against a temporary folder,
# a client project built against the installed library (find_package and
# pkg-config), and the package removed again.
# Usage: tests/package_install_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
work=$(mktemp -d /tmp/ledgerwick-package-XXXXXX)
daemon_pid=""
cleanup() {
  if [ -n "$daemon_pid" ]; then kill "$daemon_pid" 2>/dev/null || true; fi
  $sudo dpkg --purge ledgerwick >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package test: $*" >&2; exit 1; }

# A package someone installed is not this test's to remove.
if dpkg-query -W -f='${Status}' ledgerwick 2>/dev/null | grep -q 'install ok installed'; then
  trap - EXIT
  rm -rf "$work"
  fail "a ledgerwick package is installed on this machine; remove it before running this test"
fi

# A package of its own, so that `make package`'s output is left alone.
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/ledgerwick_*.deb)
if ! lintian --fail-on error --tag-display-limit 0 "$deb" > "$work/lintian.out" 2>&1; then
  fail "lintian reports errors: $(cat "$work/lintian.out")"
fi

$sudo dpkg -i "$deb" >/dev/null
[ "$(/usr/bin/ledgerwickd --version)" = "ledgerwickd 10.0" ] || fail "ledgerwickd --version"
[ "$(/usr/bin/ledgerwick --version)" = "ledgerwick 10.0" ] || fail "ledgerwick --version"
getent passwd ledgerwick >/dev/null || fail "no system user ledgerwick"
[ -f /etc/Ledgwk.ini ] || fail "no /etc/Ledgwk.ini"
/usr/bin/ledgerwickd --check-config --config-dir /etc --home "$work" >/dev/null ||
  fail "--check-config on the installed settings: $(/usr/bin/ledgerwickd --check-config --config-dir /etc --home "$work")"

# The installed daemon and command, everything in the temporary folder.
cat > "$work/Ledgwk.ini" <<INI
[General]
TextPath=$work
StorageType=0
INI
# Its readiness line is waited for as it is written.
coproc DAEMON { exec /usr/bin/ledgerwickd --config-dir "$work" --home "$work" --socket "$work/d.sock" 2>&1; }
daemon_pid=$DAEMON_PID
exec 4<&"${DAEMON[0]}"
ready=""
while IFS= read -r -t 30 -u 4 line; do
  echo "$line" >> "$work/daemon.err"
  if [[ $line == "ledgerwickd: ready on"* ]]; then ready=1; break; fi
done
[ -n "$ready" ] || fail "the daemon did not get ready: $(cat "$work/daemon.err")"
export LEDGERWICK_SOCKET="$work/d.sock" LEDGERWICK_NO_AUTOSTART=1
/usr/bin/ledgerwick log AppName=from-command Description=installed

# A client project that knows nothing of this tree.
mkdir "$work/project"
cat > "$work/project/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(client C CXX)
find_package(Ledgerwick 10 REQUIRED)
add_executable(client main.cpp)
target_link_libraries(client PRIVATE Ledgerwick::client)
CMAKE
cat > "$work/project/main.cpp" <<'CPP'
#include "client/application.h"

int main(int argc, char** argv) try {
  ledgerwick::client::Application app;
  app.Properties().Item("AppName").SetValue(automation::Variant::String(argc > 1 ? argv[1] : "from-client"));
  app.Loggit();
} catch (const automation::AutomationError& e) {
  return 1;
}
CPP
cmake -S "$work/project" -B "$work/project/build" >/dev/null
cmake --build "$work/project/build" >/dev/null
"$work/project/build/client" from-find-package
g++ -o "$work/project/client-pc" "$work/project/main.cpp" $(pkg-config --cflags --libs ledgerwick)
"$work/project/client-pc" from-pkg-config

kill -TERM "$daemon_pid"
cat <&4 >> "$work/daemon.err"
wait "$daemon_pid" || fail "the daemon's stop: $(cat "$work/daemon.err")"
daemon_pid=""
for app in from-command from-find-package from-pkg-config; do
  grep -q "^$app	" "$work/Ledgwk.log" || fail "no $app line in the text log: $(cat "$work/Ledgwk.log")"
done

$sudo dpkg --purge ledgerwick >/dev/null
[ ! -e /usr/bin/ledgerwickd ] || fail "the package left /usr/bin/ledgerwickd"
echo "package test: passed ($deb)"
