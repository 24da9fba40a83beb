#!/usr/bin/env bash
# Times keyed loads as whole processes, side by side in one run, on the
# generated people file (1,000,000 records by default) into a table whose
# primary key is id and which holds half of the file's ids already (every
# other one, with other values):
#   PostgreSQL (a throwaway local server, TCP on 127.0.0.1):
#     korvane import --mode upsert                      (the merge)
#     korvane import into an empty table                (the plain import)
#     both again with --jobs 2                          (keys dealt out)
#     psql: \copy into a temporary table, then INSERT ... SELECT ... ON
#           CONFLICT (id) DO UPDATE, in one session     (the peer)
#   SQLite:
#     korvane import --mode upsert  vs  korvane import into an empty table
# Every run starts from the same table (the half restored, a checkpoint and
# a sync first); runs are interleaved, one round being one run of each, and
# each load is checked to have left the file's rows in the table.
#
#   bench/upsert_compare.sh [RECORDS [ROUNDS]]      (defaults: 1000000 and 5)
# Needs psql, sqlite3, the server binaries (Debian: postgresql), python3 and
# /usr/bin/time.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
records=${1:-1000000}
rounds=${2:-5}
work="${KORVANE_BENCH_DIR:-$root/build/bench-upsert}"
mkdir -p "$work"
korvane="$root/build/release/cli/korvane"

for tool in psql sqlite3 python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "upsert_compare.sh: $tool is missing" >&2; exit 2; }
done
"$root/korvane" --version >/dev/null  # builds the release binary when needed
# shellcheck source=bench/whole_process.sh
. "$root/bench/whole_process.sh"
# shellcheck source=scripts/postgres_server.sh
. "$root/scripts/postgres_server.sh"
trap korvane_pg_stop EXIT
korvane_pg_start "$work/server"
conn=$KORVANE_TEST_POSTGRES
uri="postgresql://postgres@127.0.0.1:$KORVANE_TEST_POSTGRES_PORT/postgres"

input="$work/people-$records.csv"
[ -s "$input" ] || { echo "generating $input ..." >&2; python3 "$root/bench/gen_people.py" "$records" "$input"; }
cat "$input" >/dev/null  # into the page cache

columns="id integer PRIMARY KEY, name text, city text, amount numeric(12,2), born date, active boolean"
set_list="name = EXCLUDED.name, city = EXCLUDED.city, amount = EXCLUDED.amount, born = EXCLUDED.born, active = EXCLUDED.active"
sql() { psql "$conn" -qAt -v ON_ERROR_STOP=1 -c "$1"; }
for t in people plain; do sql "CREATE TABLE $t ($columns) WITH (autovacuum_enabled = false)"; done
# The half the table holds before each merge: every other id, other values.
sql "CREATE TABLE half AS SELECT g AS id, 'old' AS name, 'nowhere' AS city, 0::numeric(12,2) AS amount,
     date '2000-01-01' AS born, false AS active FROM generate_series(2, $records, 2) g"
settle() { sql "CHECKPOINT"; sync; }
restore() { sql "TRUNCATE people, plain; INSERT INTO people SELECT * FROM half"; sql "VACUUM ANALYZE people"; settle; }
merged() {  # the table holds every record, the old values all replaced
  local got
  got=$(sql "SELECT count(*) || ' ' || count(*) FILTER (WHERE name = 'old') FROM people")
  [ "$got" = "$records 0" ] || { echo "upsert_compare.sh: after the merge: $got" >&2; exit 1; }
}

db="$work/people.db"
half_db="$work/half.db"
rm -f "$half_db"
sqlite3 "$half_db" "CREATE TABLE people (id INTEGER PRIMARY KEY, name TEXT, city TEXT, amount MONEY, born DATE, active BOOLEAN);
  WITH RECURSIVE g(i) AS (SELECT 2 UNION ALL SELECT i + 2 FROM g WHERE i + 2 <= $records)
  INSERT INTO people SELECT i, 'old', 'nowhere', 0, '2000-01-01', 0 FROM g;"
sqlite_empty() { rm -f "$db"; sqlite3 "$db" "$(sqlite3 "$half_db" .schema)"; sync; }
sqlite_half() { rm -f "$db"; cp "$half_db" "$db"; sync; }

rm -f "$work"/*.times
for ((r = 1; r <= rounds; r++)); do
  echo "round $r of $rounds ..." >&2
  restore
  timed pg_plain "$korvane" import "$input" --db "$uri" --table plain
  timed pg_upsert "$korvane" import "$input" --db "$uri" --table people --mode upsert
  merged
  restore
  timed pg_plain_j2 "$korvane" import "$input" --db "$uri" --table plain --jobs 2
  timed pg_upsert_j2 "$korvane" import "$input" --db "$uri" --table people --mode upsert --jobs 2
  merged
  restore
  timed psql_merge psql "$uri" -v ON_ERROR_STOP=1 -c "SET datestyle = 'ISO, MDY'" \
    -c "CREATE TEMP TABLE s (LIKE people)" -c "\\copy s from '$input' csv" \
    -c "INSERT INTO people SELECT * FROM s ON CONFLICT (id) DO UPDATE SET $set_list"
  merged
  sqlite_empty
  timed sqlite_plain "$korvane" import "$input" --db "$db" --table people
  sqlite_half
  timed sqlite_upsert "$korvane" import "$input" --db "$db" --table people --mode upsert
  got=$(sqlite3 "$db" "SELECT count(*) || ' ' || count(*) FILTER (WHERE name = 'old') FROM people")
  [ "$got" = "$records 0" ] || { echo "upsert_compare.sh: SQLite after the merge: $got" >&2; exit 1; }
done

report "Upsert into PostgreSQL, half the keys present" psql_merge pg_upsert pg_upsert_j2 psql_merge \
  pg_plain pg_plain_j2
report "Upsert into SQLite, half the keys present" sqlite_plain sqlite_upsert sqlite_plain
report "PostgreSQL upsert against the plain import" pg_plain pg_upsert pg_upsert_j2 pg_plain \
  pg_plain_j2
report "PostgreSQL upsert over 2 connections against the plain import over 2" pg_plain_j2 \
  pg_upsert_j2 pg_plain_j2
printf '\nTargets: PostgreSQL upsert <= 0.80x psql merge and <= 2x plain import; SQLite upsert <= 2x plain import\n'
