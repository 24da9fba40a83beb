# A throwaway PostgreSQL server for the tests and benchmarks (sourced).
#
#   korvane_pg_start DIR [SERVER-OPTION...]
#       creates a cluster in DIR/data with initdb (as an unprivileged user:
#       the server refuses to run as root), starts it on a free TCP port of
#       127.0.0.1 with its socket in DIR/socket, and exports
#       KORVANE_TEST_POSTGRES, a libpq connection string for it (superuser
#       postgres, database postgres, no password), and
#       KORVANE_TEST_POSTGRES_PASSWORD_ROLE, a role that must sign in over
#       TCP with a password (for the tests of a wrong one). Returns non-zero
#       when the server binaries are missing or it does not start.
#   korvane_pg_stop
#       stops it (safe to call more than once; meant for a trap).

korvane_pg_dir=""
korvane_pg_bin=""
korvane_pg_as=()

korvane_pg_find_bin() {
  local d
  d=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  [ -n "$d" ] && [ -x "$d/initdb" ] && [ -x "$d/pg_ctl" ] && echo "$d"
}

korvane_pg_free_port() {
  local p
  for _ in $(seq 1 200); do
    p=$((20000 + RANDOM % 20000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
      echo "$p"
      return 0
    fi
  done
  return 1
}

korvane_pg_start() {
  local dir=$1
  shift
  korvane_pg_bin=$(korvane_pg_find_bin) || { echo "postgres_server.sh: no PostgreSQL server binaries (Debian: postgresql)" >&2; return 1; }
  korvane_pg_as=()
  local owner
  owner=$(id -un)
  if [ "$(id -u)" -eq 0 ]; then
    owner=postgres
    id -u "$owner" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$owner"
    korvane_pg_as=(runuser -u "$owner" --)
  fi
  rm -rf "$dir"
  mkdir -p "$dir"
  [ "$(id -u)" -eq 0 ] && chown "$owner" "$dir"
  # The server's user must reach the folder; a build folder under a private
  # home is not reachable, so a private folder in /tmp takes its place.
  if ! "${korvane_pg_as[@]}" test -w "$dir" 2>/dev/null; then
    rm -rf "$dir"
    dir=$(mktemp -d /tmp/korvane-pg.XXXXXX)
    [ "$(id -u)" -eq 0 ] && chown "$owner" "$dir"
  fi
  chmod 700 "$dir"
  korvane_pg_dir=$dir
  "${korvane_pg_as[@]}" mkdir -p "$dir/socket"
  "${korvane_pg_as[@]}" "$korvane_pg_bin/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 \
    --locale=C --no-sync >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; return 1; }
  # Every login is trusted but this role's, which is asked for its password.
  local hba="$dir/data/pg_hba.conf"
  "${korvane_pg_as[@]}" sh -c "{ echo 'host all korvane_password 127.0.0.1/32 scram-sha-256'; \
    cat '$hba'; } >'$hba.new' && mv '$hba.new' '$hba'"
  local port
  port=$(korvane_pg_free_port) || { echo "postgres_server.sh: no free port" >&2; return 1; }
  local opts="-p $port -k $dir/socket -c listen_addresses=127.0.0.1 $*"
  "${korvane_pg_as[@]}" "$korvane_pg_bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "$opts" start >/dev/null || { cat "$dir/server.log" >&2; return 1; }
  chmod 711 "$dir"
  export KORVANE_TEST_POSTGRES="host=$dir/socket port=$port user=postgres dbname=postgres"
  export KORVANE_TEST_POSTGRES_PORT=$port
  export KORVANE_TEST_POSTGRES_PASSWORD_ROLE=korvane_password
  echo "PostgreSQL test server on port $port ($dir)" >&2
}

korvane_pg_stop() {
  if [ -n "$korvane_pg_dir" ] && [ -d "$korvane_pg_dir/data" ]; then
    "${korvane_pg_as[@]}" "$korvane_pg_bin/pg_ctl" -D "$korvane_pg_dir/data" -m immediate -w stop \
      >/dev/null 2>&1 || true
    rm -rf "$korvane_pg_dir"
  fi
  korvane_pg_dir=""
}
