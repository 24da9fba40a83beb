#!/usr/bin/env bash
# Times whole processes side by side in one run, on a generated people file
# (1,000,000 records by default: id,"name","city",amount,m/d/yyyy,true|false
# with CR LF line ends):
#   import: korvane import        vs  sqlite3 .import --csv  vs  Python csv + executemany
#   export: korvane export        vs  sqlite3 -csv           vs  Python csv.writer
#           (korvane with its default whole values, and with the classic
#           layout: --set WholeValues=false)
# Every tool starts from an empty database file and builds the same table
#   (id INTEGER, name TEXT, city TEXT, amount MONEY, born DATE, active BOOLEAN)
# in its own process. Runs are interleaved (one round = one run of every
# tool) so that a noisy neighbour hurts all of them alike. The table gives the
# median wall time, its ratio to sqlite3's median, the median of the per-round
# wall ratios (robust when the machine's load changes between rounds), the
# median CPU time (user + system) with its ratio, and the peak resident memory.
# korvane converts every value to its column's type (dates to YYYY-MM-DD,
# booleans to 0/1, money to its amount); sqlite3 .import stores the texts as
# they are; the Python importer converts like korvane.
#
#   bench/compare.sh [RECORDS [ROUNDS]]      (defaults: 1000000 and 5)
# Needs sqlite3, python3 and /usr/bin/time (Debian: sqlite3 python3 time).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
records=${1:-1000000}
rounds=${2:-5}
work="${KORVANE_BENCH_DIR:-$root/build/bench-compare}"
mkdir -p "$work"
korvane="$root/build/release/cli/korvane"
columns="id INTEGER, name TEXT, city TEXT, amount MONEY, born DATE, active BOOLEAN"
schema="CREATE TABLE people ($columns);"

for tool in sqlite3 python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "compare.sh: $tool is missing" >&2; exit 2; }
done
"$root/korvane" --version >/dev/null  # builds the release binary when needed

# --- the input --------------------------------------------------------------
gen() { python3 "$root/bench/gen_people.py" "$1" "$2"; }  # gen N FILE
input="$work/people-$records.csv"
[ -s "$input" ] || { echo "generating $input ..." >&2; gen "$records" "$input"; }
small="$work/people-$((records / 10)).csv"
[ -s "$small" ] || gen "$((records / 10))" "$small"
cat "$input" >/dev/null  # into the page cache

cat >"$work/py_import.py" <<'PY'
import csv, sqlite3, sys
src, db = sys.argv[1], sys.argv[2]
con = sqlite3.connect(db)
con.execute("CREATE TABLE people (id INTEGER, name TEXT, city TEXT, amount MONEY, born DATE, active BOOLEAN)")
def rows():
    with open(src, newline="") as f:
        for r in csv.reader(f):
            m, d, y = r[4].split("/")
            yield (int(r[0]), r[1], r[2], float(r[3]), "%04d-%02d-%02d" % (int(y), int(m), int(d)),
                   1 if r[5].strip().upper() in ("TRUE", "1", "YES") else 0)
with con:
    con.executemany("INSERT INTO people VALUES (?,?,?,?,?,?)", rows())
con.close()
PY
cat >"$work/py_export.py" <<'PY'
import csv, sqlite3, sys
db, dst = sys.argv[1], sys.argv[2]
con = sqlite3.connect(db)
with open(dst, "w", newline="") as f:
    csv.writer(f, lineterminator="\n").writerows(con.execute("SELECT * FROM people"))
PY

# shellcheck source=bench/whole_process.sh
. "$root/bench/whole_process.sh"

rm -f "$work"/*.times
db() { rm -f "$work/$1.db" "$work/$1.db-journal"; echo "$work/$1.db"; }
for ((r = 1; r <= rounds; r++)); do
  echo "round $r of $rounds ..." >&2
  timed korvane_import "$korvane" import "$input" --db "$(db k)" --table people --create \
    --columns "$columns"
  timed sqlite3_import sqlite3 "$(db s)" "$schema" ".import --csv $input people"
  timed python_import python3 "$work/py_import.py" "$input" "$(db p)"
  timed korvane_export "$korvane" export "$work/k-out.csv" --db "$work/k.db" --table people
  timed korvane_classic "$korvane" export "$work/kc-out.csv" --db "$work/k.db" \
    --table people --set WholeValues=false
  timed sqlite3_export sh -c "sqlite3 -csv '$work/k.db' 'SELECT * FROM people' >'$work/s-out.csv'"
  timed python_export python3 "$work/py_export.py" "$work/k.db" "$work/p-out.csv"
done
# Peak memory against the file's size: the same import on a tenth of the file.
timed korvane_import_small "$korvane" import "$small" --db "$(db ks)" --table people --create \
  --columns "$columns"

rows=$(sqlite3 "$work/k.db" "SELECT count(*) FROM people")
[ "$rows" = "$records" ] || { echo "compare.sh: korvane imported $rows of $records" >&2; exit 1; }
[ "$(sqlite3 "$work/k.db" "SELECT born, active FROM people WHERE id = 1")" != "" ] || exit 1

report "Import" sqlite3_import korvane_import sqlite3_import python_import
report "Export" sqlite3_export korvane_export korvane_classic sqlite3_export python_export
printf '\nPeak memory: korvane import of %s records %s MiB, of %s records %s MiB\n' \
  "$((records / 10))" "$(peak <"$work/korvane_import_small.times")" "$records" \
  "$(peak <"$work/korvane_import.times")"
printf 'Targets: korvane import <= 0.80x sqlite3 .import, korvane export <= 0.80x sqlite3 -csv\n'
