#!/usr/bin/env bash
# Installs the Debian package made by scripts/package, runs the installed
# server as a service would (no console, its own folder), talks to it with the
# installed marlin-panel, stops it with SIGTERM and removes the package.
# Needs root (dpkg); elsewhere it is skipped (exit 77).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing a package needs root"
  exit 77
fi

deb="$("$root/scripts/package" | tail -1)"
echo "package: $deb"
work="$(mktemp -d)"
server_pid=""
cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then kill -KILL "$server_pid" || true; fi
  dpkg --purge marlin-server >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; exit 1; }

dpkg -i "$deb" >/dev/null
for f in /usr/bin/marlin-server /usr/bin/marlin-routersim /usr/bin/marlin-panel \
         /lib/systemd/system/marlin-server.service /usr/share/man/man1/marlin-server.1.gz \
         /usr/share/man/man1/marlin-panel.1.gz /usr/share/man/man1/marlin-routersim.1.gz \
         /usr/share/marlin-server/keepalived/marlin-notify.sh; do
  [ -e "$f" ] || fail "$f is not installed"
done
# Each man page says what its program is, and the server's says where its
# files are, what the signals do and what the exit codes mean.
for program in marlin-server marlin-panel marlin-routersim; do
  name_line="$(zcat "/usr/share/man/man1/$program.1.gz" | grep -A1 '^\.SH NAME' | tail -1)"
  case "$name_line" in
    "$program \\- $program" | "") fail "the man page of $program has no one-line description" ;;
    "$program \\- "*" "*) ;;
    *) fail "the man page of $program names itself oddly: $name_line" ;;
  esac
done
for section in FILES SIGNALS '"EXIT STATUS"'; do
  zcat /usr/share/man/man1/marlin-server.1.gz | grep -q "^\.SH $section" || fail "the server's man page has no $section"
done
getent passwd marlin-server >/dev/null || fail "no marlin-server user"
id -nG marlin-server | grep -qw dialout || fail "marlin-server is not in the dialout group"
[ "$(stat -c %U /var/lib/marlin-server)" = marlin-server ] || fail "/var/lib/marlin-server is not the service's"
grep -q '^ExecStart=/usr/bin/marlin-server --no-console --app-dir /var/lib/marlin-server$' \
  /lib/systemd/system/marlin-server.service || fail "the unit does not start the service as expected"
# The installed program's own folder is /var/lib/marlin-server, never /usr/bin.
/usr/bin/marlin-server --help | grep -q "by default /var/lib/marlin-server" || fail "--help does not name the folder"
/usr/bin/marlin-server --check-config | grep -q "^application folder /var/lib/marlin-server$" \
  || fail "--check-config does not read /var/lib/marlin-server"

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
printf '[Network_Settings]\r\nNetwork_Card_1_IP_Address=127.0.0.1\r\nNetwork_Card_1_TCP_Port=%s\r\n' "$port" > "$work/WREN.INI"
/usr/bin/marlin-server --no-console --app-dir "$work" > "$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do grep -q "listening on 127.0.0.1:$port" "$work/server.log" && break; sleep 0.1; done
grep -q "listening on 127.0.0.1:$port" "$work/server.log" || { cat "$work/server.log"; fail "the installed server did not listen"; }
/usr/bin/marlin-panel --port "$port" flags > "$work/panel.txt" || { cat "$work/panel.txt"; fail "marlin-panel got no answer"; }
kill -TERM "$server_pid"
code=0
wait "$server_pid" || code=$?
server_pid=""
[ "$code" -eq 0 ] || fail "the server ended with $code on SIGTERM"
grep -q "Server Closed Down" "$work"/Logs/Error\ Log\ For\ *.TXT || fail "no \"Server Closed Down\" in the log"

dpkg --purge marlin-server >/dev/null
[ ! -e /usr/bin/marlin-server ] || fail "removing the package left /usr/bin/marlin-server"
echo "package installed, served a panel, stopped cleanly and was removed"
