#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A throw-away PostgreSQL server for the accounting database tests and benchmark: a new
# cluster in a temporary folder, run by an unprivileged user, listening only on a Unix
# socket in that folder (no TCP). Source this file, then:
#
#   pg_server_start   # sets SPOOLGATE_TEST_PG_URL; returns 1 when no server could start
#   pg_server_stop    # stops the server and removes the folder (safe to call twice)
#
# PG_SERVER_FSYNC=off (the tests' setting) skips the server's flushes; the benchmark
# keeps them on. PG_SERVER_BASE is the folder the temporary folder is made in (/tmp).
# Call pg_server_stop from an EXIT trap so that the server goes away whatever happens.

pg_server_dir=""
pg_server_runner=()

pg_server_start() {
  local bin
  bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
  if [[ -z "$bin" || ! -x "$bin/initdb" ]]; then
    echo "pg-server: no PostgreSQL server installed (package postgresql)" >&2
    return 1
  fi
  # The server refuses to run as root: as root, it runs as the postgres system user.
  pg_server_runner=()
  if [[ $(id -u) -eq 0 ]]; then
    if ! id postgres >/dev/null 2>&1; then
      echo "pg-server: running as root and there is no postgres user to run the server" >&2
      return 1
    fi
    pg_server_runner=(runuser -u postgres --)
  fi
  pg_server_dir=$(mktemp -d "${PG_SERVER_BASE:-/tmp}/spoolgate-pg.XXXXXX") || return 1
  [[ $(id -u) -eq 0 ]] && chown postgres: "$pg_server_dir"
  chmod 700 "$pg_server_dir"
  if ! "${pg_server_runner[@]}" "$bin/initdb" -D "$pg_server_dir/data" -U spoolgate -A trust \
      -E UTF8 --locale=C >"$pg_server_dir/initdb.log" 2>&1; then
    cat "$pg_server_dir/initdb.log" >&2
    pg_server_stop
    return 1
  fi
  # listen_addresses='' : no TCP at all; the socket lives in the private folder.
  if ! "${pg_server_runner[@]}" "$bin/pg_ctl" -D "$pg_server_dir/data" -l "$pg_server_dir/server.log" \
      -o "-c listen_addresses='' -c unix_socket_directories='$pg_server_dir' -c fsync=${PG_SERVER_FSYNC:-on}" \
      -w -t 60 start >/dev/null; then
    cat "$pg_server_dir/server.log" >&2
    pg_server_stop
    return 1
  fi
  if ! "${pg_server_runner[@]}" "$bin/createdb" -h "$pg_server_dir" -U spoolgate spoolgate; then
    pg_server_stop
    return 1
  fi
  export SPOOLGATE_TEST_PG_URL="postgresql:///spoolgate?host=$pg_server_dir&user=spoolgate"
  echo "pg-server: PostgreSQL $("$bin/postgres" --version | awk '{print $3}') on $pg_server_dir (Unix socket only)"
}

pg_server_stop() {
  [[ -n "$pg_server_dir" ]] || return 0
  local bin
  bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
  if [[ -f "$pg_server_dir/data/postmaster.pid" ]]; then
    "${pg_server_runner[@]}" "$bin/pg_ctl" -D "$pg_server_dir/data" -m fast -w -t 30 stop >/dev/null 2>&1 ||
      "${pg_server_runner[@]}" "$bin/pg_ctl" -D "$pg_server_dir/data" -m immediate stop >/dev/null 2>&1
  fi
  rm -rf "$pg_server_dir"
  pg_server_dir=""
  unset SPOOLGATE_TEST_PG_URL
}
