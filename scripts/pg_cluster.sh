#!/usr/bin/env bash
# Throwaway PostgreSQL cluster for the tests.
#   scripts/pg_cluster.sh start DIR   -> creates and starts a cluster in DIR, prints
#                                        the environment the tests read (export lines)
#   scripts/pg_cluster.sh stop DIR    -> stops it (and its standby) and removes DIR
#   scripts/pg_cluster.sh start-pair DIR -> the same cluster with a database
#                                        "kvr" and a streaming standby of it
#                                        (pg_basebackup -R) in DIR/standby;
#                                        also prints KVR_TEST_PG_STANDBY_PORT
#   scripts/pg_cluster.sh failover DIR -> waits until the standby has received
#                                        all of the primary's WAL, stops the
#                                        primary (fast) and promotes the standby
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

# Starts the server of a data folder on a port, its socket in DIR/sock.
start_server() {
  local data=$1 port=$2 log=$3
  as_postgres "$pgbin/pg_ctl" -D "$data" -l "$log" -w -t 60 \
    -o "-p $port -k $dir/sock -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=200" \
    start >/dev/null || { cat "$log" >&2; exit 1; }
}

# One statement on the server at the port; the rows unaligned.
query() {
  PGPASSWORD=kvrtest PGCONNECT_TIMEOUT=5 psql -X -q -At -h 127.0.0.1 -p "$1" -U kvrtest \
    -d "${3:-postgres}" -c "$2"
}

# Waits (up to 60 s) until the condition's query answers "t".
wait_until() {
  local port=$1 sql=$2 what=$3
  for _ in $(seq 1 300); do
    [ "$(query "$port" "$sql" 2>/dev/null)" = t ] && return 0
    sleep 0.2
  done
  echo "$what: not within 60 s" >&2
  exit 1
}

case "$cmd" in
  start-pair)
    exports=$("$0" start "$dir")
    eval "$exports"
    query "$KVR_TEST_PG_PORT" "create database kvr" >/dev/null
    as_postgres mkdir -p "$dir/standby"
    as_postgres env PGPASSWORD=kvrtest "$pgbin/pg_basebackup" -h 127.0.0.1 -p "$KVR_TEST_PG_PORT" \
      -U kvrtest -D "$dir/standby/data" -R -X stream -c fast >"$dir/basebackup.log" 2>&1 \
      || { cat "$dir/basebackup.log" >&2; exit 1; }
    port=$(free_port)
    echo "$port" | as_postgres tee "$dir/standby/port" >/dev/null
    start_server "$dir/standby/data" "$port" "$dir/standby/server.log"
    wait_until "$KVR_TEST_PG_PORT" \
      "select count(*) > 0 from pg_stat_replication where state = 'streaming'" "streaming"
    echo "$exports"
    echo "export KVR_TEST_PG_STANDBY_PORT=$port"
    ;;
  failover)
    primary=$(cat "$dir/port")
    standby=$(cat "$dir/standby/port")
    # A fast stop sends the WAL to a streaming standby that is connected; a
    # standby that has caught up loses no commit.
    wait_until "$primary" "select count(*) > 0 from pg_stat_replication where \
      state = 'streaming' and flush_lsn = pg_current_wal_lsn()" "standby caught up"
    as_postgres "$pgbin/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null
    as_postgres "$pgbin/pg_ctl" -D "$dir/standby/data" -w -t 60 promote >/dev/null
    wait_until "$standby" "select not pg_is_in_recovery()" "promotion"
    ;;
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
    echo "$port" | as_postgres tee "$dir/port" >/dev/null
    start_server "$dir/data" "$port" "$dir/server.log"
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
    for data in "$dir/data" "$dir/standby/data"; do
      if [ -d "$data" ]; then
        as_postgres "$pgbin/pg_ctl" -D "$data" -m immediate -w stop >/dev/null 2>&1 || true
      fi
    done
    rm -rf "$dir"
    ;;
  *) echo "usage: $0 start|start-pair|failover|stop DIR" >&2; exit 2 ;;
esac
