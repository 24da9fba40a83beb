#!/usr/bin/env bash
# Times whole processes side by side in one run against a throwaway local
# PostgreSQL server, on the generated people file (1,000,000 records by
# default), loading
#   people (id integer, name text, city text, amount numeric(12,2), born date,
#           active boolean)
#   import: korvane import (--jobs 1, 2, 4)   vs  psql -c "\copy people from FILE csv"
#           (datestyle MDY)
#   export: korvane export (--jobs 1, 2, 4)   vs  psql -c "\copy people to FILE csv"
# Both tools reach the server the same way (TCP on 127.0.0.1). Each import
# starts from an empty table, and every run from a settled server: a
# checkpoint and a sync first, so that no run pays for writing out the pages
# of the one before, and no autovacuum on the table, which would otherwise
# analyse a fresh import while the next run is timed; the exports read a
# vacuumed table, so that the first of them does not set the hint bits of
# every row for the second. Runs are interleaved (one round = one run of
# each tool) so that a noisy neighbour hurts both alike; the table gives
# medians, ratios to psql, the median of the per-round ratios, the client's
# CPU time and its peak resident memory; a second table gives the server's
# CPU time per run and per connection: the CPU time of the server processes
# that served the run's connections, read from the postmaster's count of its
# ended children (/proc/PID/stat, cutime + cstime) before and after each run.
# On a machine whose cores the client and the server share, the wall time of
# N jobs shows what N connections buy here; the server's CPU time per
# connection shows what they would buy on a server with N cores of its own.
# A last table gives the client's CPU time by thread (bench/thread_cpu.py):
# the caller's thread is the part of the client that N jobs do not share.
#
#   bench/postgres_compare.sh [RECORDS [ROUNDS]]      (defaults: 1000000 and 5)
# The jobs' figures need a server that can read a range of pages (PostgreSQL
# 14 or later); with an older one the runs of 2 and 4 jobs read the table over
# one connection, as the command says.
# Needs psql, the server binaries (Debian: postgresql), python3 and /usr/bin/time.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
records=${1:-1000000}
rounds=${2:-5}
work="${KORVANE_BENCH_DIR:-$root/build/bench-postgres}"
mkdir -p "$work"
# KORVANE_BENCH_BIN: another build of the command to measure (else the release build).
korvane="${KORVANE_BENCH_BIN:-$root/build/release/cli/korvane}"

for tool in psql python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "postgres_compare.sh: $tool is missing" >&2; exit 2; }
done
[ -n "${KORVANE_BENCH_BIN:-}" ] || "$root/korvane" --version >/dev/null  # builds the release binary when needed
# shellcheck source=bench/whole_process.sh
. "$root/bench/whole_process.sh"
# shellcheck source=scripts/postgres_server.sh
. "$root/scripts/postgres_server.sh"
trap korvane_pg_stop EXIT
korvane_pg_start "$work/server"
conn=$KORVANE_TEST_POSTGRES
uri="postgresql://postgres@127.0.0.1:$KORVANE_TEST_POSTGRES_PORT/postgres"

# The CPU seconds of the server's ended backends so far.
server_cpu() {
  local pid
  pid=$(head -n 1 "$korvane_pg_dir/data/postmaster.pid")
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f\n", ($16 + $17) / hz }' "/proc/$pid/stat"
}
# serve NAME JOBS COMMAND...: timed, keeping the server's CPU time of the run
# and per connection in $work/NAME.server.
serve() {
  local name=$1 jobs=$2 before after; shift 2
  before=$(server_cpu)
  timed "$name" "$@"
  sleep 0.2  # the postmaster reaps the run's backends
  after=$(server_cpu)
  echo "$before $after $jobs" | awk '{ printf "%.2f %.2f\n", $2 - $1, ($2 - $1) / $3 }' \
    >>"$work/$name.server"
}
server_report() {  # server_report TITLE NAME...
  printf '\n%s: server CPU s per run and per connection (medians)\n' "$1"; shift
  printf '%-16s %8s %14s\n' "tool" "server s" "per connection"
  for name in "$@"; do
    printf '%-16s %8.2f %14.2f\n' "$name" "$(cut -d' ' -f1 "$work/$name.server" | median)" \
      "$(cut -d' ' -f2 "$work/$name.server" | median)"
  done
}

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

rm -f "$work"/*.times "$work"/*.server
for ((r = 1; r <= rounds; r++)); do
  echo "round $r of $rounds ..." >&2
  empty
  serve psql_import 1 psql "$uri" -v ON_ERROR_STOP=1 -c "SET datestyle = 'ISO, MDY'" \
    -c "\\copy people from '$input' csv"
  for j in 2 4 1; do
    empty
    serve "korvane_import_j$j" "$j" "$korvane" import "$input" --db "$uri" --table people \
      --jobs "$j"
  done
  sql "VACUUM people"
  settle
  for j in 1 2 4; do
    serve "korvane_export_j$j" "$j" "$korvane" export "$work/k-out-$j.csv" --db "$uri" \
      --table people --jobs "$j"
    settle
  done
  cmp -s "$work/k-out-1.csv" "$work/k-out-4.csv" ||
    { echo "postgres_compare.sh: the export over 4 connections differs" >&2; exit 1; }
  serve psql_export 1 psql "$uri" -v ON_ERROR_STOP=1 -c "\\copy people to '$work/p-out.csv' csv"
  settle
done
rows=$(sql "SELECT count(*) FROM people")
[ "$rows" = "$records" ] || { echo "postgres_compare.sh: korvane imported $rows of $records" >&2; exit 1; }
[ "$(wc -l <"$work/k-out-1.csv")" = "$records" ] || { echo "postgres_compare.sh: export is short" >&2; exit 1; }
# Peak memory against the file's size: the same import of a tenth of the file.
empty
timed korvane_import_small "$korvane" import "$small" --db "$uri" --table people

# The client's CPU time by thread, one more run of each: the caller's thread
# (in an import it converts the values and posts the records; in an export it
# decodes and writes them) is one whatever --jobs, the others are the
# read-ahead, the connections' threads and the background writer.
threads=""
for j in 1 2 4; do
  empty
  threads+="korvane_import_j$j $(python3 "$root/bench/thread_cpu.py" "$korvane" import "$input" \
    --db "$uri" --table people --jobs "$j")"$'\n'
done
for j in 1 2 4; do
  threads+="korvane_export_j$j $(python3 "$root/bench/thread_cpu.py" "$korvane" export \
    "$work/k-out-$j.csv" --db "$uri" --table people --jobs "$j")"$'\n'
done

report "Import into PostgreSQL" psql_import korvane_import_j1 korvane_import_j2 korvane_import_j4 \
  psql_import
server_report "Import into PostgreSQL" psql_import korvane_import_j1 korvane_import_j2 \
  korvane_import_j4
report "Export from PostgreSQL" psql_export korvane_export_j1 korvane_export_j2 korvane_export_j4 \
  psql_export
server_report "Export from PostgreSQL" psql_export korvane_export_j1 korvane_export_j2 \
  korvane_export_j4
printf '\nClient CPU s by thread (one run each)\n%-16s %8s %8s %8s  %s\n' "tool" "wall s" "caller" \
  "others" "each of the others"
printf '%s' "$threads" | awk '{ printf "%-16s %8.2f %8.2f %8.2f ", $1, $2, $3, $4;
  for (i = 5; i <= NF; i++) printf " %s", $i; printf "\n" }'
printf '\nPeak memory: korvane import of %s records %s MiB, of %s records %s MiB\n' \
  "$((records / 10))" "$(peak <"$work/korvane_import_small.times")" "$records" \
  "$(peak <"$work/korvane_import_j1.times")"
printf 'Targets: korvane import <= 0.80x psql \\copy from (0.65x with --jobs 2), korvane export <= 0.80x psql \\copy to (0.70x with --jobs 2)\n'
