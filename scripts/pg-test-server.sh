#!/bin/sh
# A throw-away PostgreSQL 15 server for tests.
#   pg-test-server.sh start <dir>   initialises <dir>/data, starts the server on
#                                   127.0.0.1 at a free port and prints the port
#   pg-test-server.sh stop <dir>    stops it
# The server refuses to run as root, so as root it runs as the 'postgres'
# system user (created if missing) and <dir> is handed to that user.
# Connections over the socket are trusted; over TCP they need a password
# (SCRAM), so a test can check logins. The superuser 'postgres' has the
# password 'postgres'. Exit status 3: the PostgreSQL binaries are not installed.
set -eu

BIN=${PG_BIN:-/usr/lib/postgresql/15/bin}
action=${1:-}
dir=${2:-}
if [ -z "$action" ] || [ -z "$dir" ]; then
    echo "usage: $0 start|stop <dir>" >&2
    exit 2
fi
if [ ! -x "$BIN/initdb" ] || [ ! -x "$BIN/pg_ctl" ]; then
    echo "PostgreSQL binaries not found in $BIN" >&2
    exit 3
fi

as_server_user() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}

case "$action" in
start)
    mkdir -p "$dir"
    if [ "$(id -u)" -eq 0 ]; then
        if ! id postgres >/dev/null 2>&1; then
            useradd --system --no-create-home --shell /usr/sbin/nologin postgres
        fi
        chown -R postgres: "$dir"
        # The server user must be able to reach the folder.
        p=$(dirname "$dir")
        while [ "$p" != "/" ]; do
            chmod o+x "$p" 2>/dev/null || true
            p=$(dirname "$p")
        done
    fi
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
    echo postgres >"$dir/pwfile"
    [ "$(id -u)" -ne 0 ] || chown postgres: "$dir/pwfile"
    as_server_user "$BIN/initdb" -D "$dir/data" --auth-local=trust --auth-host=scram-sha-256 -U postgres \
        --pwfile="$dir/pwfile" --no-sync -E UTF8 --locale=C >"$dir/initdb.log" 2>&1
    as_server_user "$BIN/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null
    echo "$port"
    ;;
stop)
    [ -d "$dir/data" ] || exit 0
    as_server_user "$BIN/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
    ;;
*)
    echo "usage: $0 start|stop <dir>" >&2
    exit 2
    ;;
esac
