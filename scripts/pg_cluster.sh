#!/usr/bin/env bash
# Throwaway PostgreSQL cluster for the tests.
#   scripts/pg_cluster.sh start DIR   -> creates and starts a cluster in DIR, prints
#                                        the environment the tests read (export lines)
#   scripts/pg_cluster.sh stop DIR    -> stops it and removes DIR
# The server refuses to run as root, so everything runs as the postgres user.
set -euo pipefail

cmd=${1:?start or stop}
dir=${2:?directory}
pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -n "$pgbin" ] || { echo "no PostgreSQL server installed" >&2; exit 1; }

as_postgres() {
  if [ "$(id -u)" = 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

free_port() {
  python3 - <<'PY' 2>/dev/null || echo 54329
import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()
PY
}

case "$cmd" in
  start)
    password=kvrtest
    mkdir -p "$dir"
    [ "$(id -u)" = 0 ] && chown postgres "$dir"
    as_postgres bash -c "echo $password > '$dir/pwfile'"
    as_postgres "$pgbin/initdb" -D "$dir/data" -U kvrtest --pwfile="$dir/pwfile" \
      --auth=scram-sha-256 -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 \
      || { cat "$dir/initdb.log" >&2; exit 1; }
    mkdir -p "$dir/sock"
    [ "$(id -u)" = 0 ] && chown postgres "$dir/sock"
    port=$(free_port)
    as_postgres "$pgbin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-p $port -k $dir/sock -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=200" \
      start >/dev/null || { cat "$dir/server.log" >&2; exit 1; }
    echo "export KVR_TEST_PG_HOST=127.0.0.1"
    echo "export KVR_TEST_PG_PORT=$port"
    echo "export KVR_TEST_PG_USER=kvrtest"
    echo "export KVR_TEST_PG_PASSWORD=$password"
    echo "export KVR_TEST_PG_SOCKET_DIR=$dir/sock"
    echo "export KVR_TEST_PG_DATA=$dir/data"
    echo "export KVR_TEST_PG_BIN=$pgbin"
    echo "export KVR_TEST_REQUIRE_PG=1"
    ;;
  stop)
    if [ -d "$dir/data" ]; then
      as_postgres "$pgbin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
    ;;
  *) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
