#!/bin/sh
# Runs a command beside a private, throwaway PostgreSQL cluster: made with
# initdb in a temporary folder, reached through a Unix socket only (no TCP
# port), run as an unprivileged user when we are root (the server refuses
# root), and stopped and removed at the end whatever the command returns.
# The command finds the cluster's address in VRFLEET_PG_ADDRESS (database
# "postgres"; it may create databases of its own).
# VRFLEET_PG_SERVER_OPTIONS: server options (default -c fsync=off: the
# cluster is thrown away anyway; the bench sets its own).
# Usage: with_postgres.sh COMMAND [ARG...]
set -eu
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bin/initdb" ] || { echo "with_postgres: no PostgreSQL server installed (make deps)" >&2; exit 2; }
dir=$(mktemp -d /tmp/vrfleet-pg.XXXXXX)
as=""
if [ "$(id -u)" -eq 0 ]; then
  chown nobody "$dir"
  as="runuser -u nobody --"
fi
stop() {
  $as "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap stop EXIT
trap 'exit 2' INT TERM HUP
$as "$bin/initdb" -D "$dir/data" -U vrfleet -A trust -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 ||
  { cat "$dir/initdb.log" >&2; exit 2; }
$as "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w \
  -o "-c listen_addresses='' -c unix_socket_directories='$dir' ${VRFLEET_PG_SERVER_OPTIONS--c fsync=off}" start >/dev/null ||
  { cat "$dir/server.log" >&2; exit 2; }
export VRFLEET_PG_ADDRESS="postgresql:///postgres?host=$dir&user=vrfleet"
set +e
"$@"
rc=$?
set -e
exit $rc
