#!/usr/bin/env bash
# How an import grows with its input: the people file of 10,000,000 records
# against the people file of 1,000,000 (bench/gen_people.py), each imported
# into a new SQLite table by korvane, interleaved over ROUNDS rounds. Prints
# the median wall and CPU times, the ratio of the large run to the small one
# (linear growth is 10; the target is at most 10.5) and the peak memory of
# both (which should be the same: nothing grows with the record count).
#
#   bench/growth.sh [ROUNDS]      (default 3)
# Needs python3 and /usr/bin/time (Debian: time).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
rounds=${1:-3}
work="${KORVANE_BENCH_DIR:-$root/build/bench-growth}"
mkdir -p "$work"
korvane="$root/build/release/cli/korvane"
command -v /usr/bin/time >/dev/null || { echo "growth.sh: /usr/bin/time is missing" >&2; exit 2; }
"$root/korvane" --version >/dev/null  # builds the release binary when needed

small=1000000
large=10000000
for n in $small $large; do
  f="$work/people-$n.csv"
  [ -s "$f" ] || { echo "generating $f ..." >&2; python3 "$root/bench/gen_people.py" "$n" "$f"; }
done
cat "$work/people-$small.csv" "$work/people-$large.csv" >/dev/null  # into the page cache

# shellcheck source=bench/whole_process.sh
. "$root/bench/whole_process.sh"
columns="id INTEGER, name TEXT, city TEXT, amount MONEY, born DATE, active BOOLEAN"
rm -f "$work"/*.times
for ((r = 1; r <= rounds; r++)); do
  echo "round $r of $rounds ..." >&2
  for n in $small $large; do
    rm -f "$work/p.db" "$work/p.db-journal"
    timed "import_$n" "$korvane" import "$work/people-$n.csv" --db "$work/p.db" --table people \
      --create --columns "$columns" -s comma -q '"'
  done
done
rm -f "$work/p.db" "$work/p.db-journal"

col() { cut -d' ' -f"$2" "$work/import_$1.times" | median; }
printf '\n%-22s %10s %10s %10s\n' "people import" "wall s" "cpu s" "peak MiB"
for n in $small $large; do
  printf '%-22s %10.2f %10.2f %10s\n' "$n records" "$(col "$n" 1)" "$(col "$n" 3)" \
    "$(peak <"$work/import_$n.times")"
done
wall=$(paste -d' ' "$work/import_$large.times" "$work/import_$small.times" | awk '{print $1/$4}' | median)
cpu=$(paste -d' ' "$work/import_$large.times" "$work/import_$small.times" | awk '{print $3/$6}' | median)
printf '10x the records: %.2fx the wall time, %.2fx the CPU time (medians of per-round ratios; target <= 10.5)\n' \
  "$wall" "$cpu"
