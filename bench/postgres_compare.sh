#!/usr/bin/env bash
# Times whole processes side by side in one run against a throwaway local
# PostgreSQL server, on the generated people file (1,000,000 records by
# default), loading
#   people (id integer, name text, city text, amount numeric(12,2), born date,
#           active boolean)
#   import: korvane import   vs  psql -c "\copy people from FILE csv" (datestyle MDY)
#   export: korvane export   vs  psql -c "\copy people to FILE csv"
# Both tools reach the server the same way (TCP on 127.0.0.1). Each import
# starts from an empty table, and every run from a settled server: a
# checkpoint and a sync first, so that no run pays for writing out the pages
# of the one before, and no autovacuum on the table, which would otherwise
# analyse a fresh import while the next run is timed; the exports read a
# vacuumed table, so that the first of them does not set the hint bits of
# every row for the second. Runs are interleaved (one round = one run of
# each tool) so that a noisy neighbour hurts both alike; the table gives
# medians, ratios to psql, the median of the per-round ratios, the client's
# CPU time and its peak resident memory (the server's work is in the wall
# time only).
#
#   bench/postgres_compare.sh [RECORDS [ROUNDS]]      (defaults: 1000000 and 5)
# Needs psql, the server binaries (Debian: postgresql), python3 and /usr/bin/time.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
records=${1:-1000000}
rounds=${2:-5}
work="${KORVANE_BENCH_DIR:-$root/build/bench-postgres}"
mkdir -p "$work"
korvane="$root/build/release/cli/korvane"

for tool in psql python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "postgres_compare.sh: $tool is missing" >&2; exit 2; }
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

gen() { python3 "$root/bench/gen_people.py" "$1" "$2"; }  # gen N FILE
input="$work/people-$records.csv"
[ -s "$input" ] || { echo "generating $input ..." >&2; gen "$records" "$input"; }
small="$work/people-$((records / 10)).csv"
[ -s "$small" ] || gen "$((records / 10))" "$small"
cat "$input" >/dev/null  # into the page cache

columns="id integer, name text, city text, amount numeric(12,2), born date, active boolean"
sql() { psql "$conn" -qAt -v ON_ERROR_STOP=1 -c "$1"; }
sql "CREATE TABLE people ($columns) WITH (autovacuum_enabled = false)"
settle() { sql "CHECKPOINT"; sync; }
empty() { sql "TRUNCATE people"; settle; }

rm -f "$work"/*.times
for ((r = 1; r <= rounds; r++)); do
  echo "round $r of $rounds ..." >&2
  empty
  timed psql_import psql "$uri" -v ON_ERROR_STOP=1 -c "SET datestyle = 'ISO, MDY'" \
    -c "\\copy people from '$input' csv"
  empty
  timed korvane_import "$korvane" import "$input" --db "$uri" --table people
  sql "VACUUM people"
  settle
  timed korvane_export "$korvane" export "$work/k-out.csv" --db "$uri" --table people
  settle
  timed psql_export psql "$uri" -v ON_ERROR_STOP=1 -c "\\copy people to '$work/p-out.csv' csv"
done
rows=$(sql "SELECT count(*) FROM people")
[ "$rows" = "$records" ] || { echo "postgres_compare.sh: korvane imported $rows of $records" >&2; exit 1; }
[ "$(wc -l <"$work/k-out.csv")" = "$records" ] || { echo "postgres_compare.sh: export is short" >&2; exit 1; }
# Peak memory against the file's size: the same import of a tenth of the file.
empty
timed korvane_import_small "$korvane" import "$small" --db "$uri" --table people

report "Import into PostgreSQL" psql_import korvane_import psql_import
report "Export from PostgreSQL" psql_export korvane_export psql_export
printf '\nPeak memory: korvane import of %s records %s MiB, of %s records %s MiB\n' \
  "$((records / 10))" "$(peak <"$work/korvane_import_small.times")" "$records" \
  "$(peak <"$work/korvane_import.times")"
printf 'Targets: korvane import <= 0.80x psql \\copy from, korvane export <= 0.80x psql \\copy to\n'
