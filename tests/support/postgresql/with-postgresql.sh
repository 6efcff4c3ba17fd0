#!/usr/bin/env bash
# Runs a command against a private PostgreSQL cluster of its own, removed afterwards:
#   with-postgresql.sh COMMAND [ARGS...]
# The cluster listens on 127.0.0.1 on a free port; the command finds it in
# TAVREL_CATALOGD_DATABASE (postgresql://catalogd@127.0.0.1:PORT/), and PGHOST, PGPORT, PGUSER;
# TAVREL_POSTGRESQL_CTL names a script that stops and starts the cluster ("stop", "start"), for
# tests of an outage. fsync is off, for speed, unless TAVREL_POSTGRESQL_FSYNC=on.
# PostgreSQL refuses to run as root, so as root it runs as the unprivileged user "nobody".
set -euo pipefail

pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n1)
if [ -z "$pgbin" ] || [ ! -x "$pgbin/initdb" ]; then
    echo "with-postgresql: PostgreSQL is not installed (scripts/install-deps.sh --test)" >&2
    exit 1
fi

work=$(mktemp -d /tmp/catalogd-pg-XXXXXX)
as_owner=()
if [ "$(id -u)" -eq 0 ]; then
    chown nobody "$work"
    as_owner=(runuser -u nobody --)
fi
stop() {
    "${as_owner[@]}" "$pgbin/pg_ctl" -D "$work/db" -m immediate -w stop >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap stop EXIT

cd "$work"
"${as_owner[@]}" "$pgbin/initdb" -D "$work/db" -U catalogd --auth=trust -E UTF8 --locale=C.UTF-8 \
    >"$work/initdb.log" 2>&1 || { cat "$work/initdb.log" >&2; exit 1; }
# A port nobody listens on now; another process may take it before the cluster binds it, so a
# start that finds it taken tries another.
for attempt in 1 2 3 4 5; do
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    pg_ctl_start=("${as_owner[@]}" "$pgbin/pg_ctl" -D "$work/db" -l "$work/server.log" -w -t 60
        -o "-p $port -k $work -c listen_addresses=127.0.0.1 -c fsync=${TAVREL_POSTGRESQL_FSYNC:-off} -c max_connections=300" start)
    "${pg_ctl_start[@]}" >/dev/null && break
    if [ "$attempt" -eq 5 ] || ! grep -q "Address already in use" "$work/server.log"; then
        cat "$work/server.log" >&2
        exit 1
    fi
done
{
    echo '#!/usr/bin/env bash'
    echo 'case "$1" in'
    printf '  stop) exec'; printf ' %q' "${as_owner[@]}" "$pgbin/pg_ctl" -D "$work/db" -m fast -w stop; echo ' ;;'
    printf '  start) exec'; printf ' %q' "${pg_ctl_start[@]}"; echo ' ;;'
    echo '  *) echo "usage: $0 stop|start" >&2; exit 2 ;;'
    echo 'esac'
} >"$work/ctl"
chmod 755 "$work/ctl"

export PGHOST=127.0.0.1 PGPORT=$port PGUSER=catalogd
export TAVREL_CATALOGD_DATABASE="postgresql://catalogd@127.0.0.1:$port/"
export TAVREL_POSTGRESQL_CTL="$work/ctl"
cd - >/dev/null
"$@"
