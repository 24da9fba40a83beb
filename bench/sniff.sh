#!/usr/bin/env bash
# Times what sniffing costs, in one run, on the generated people file
# (1,000,000 records by default, the file of compare.sh):
#   korvane sniff FILE                          against  the import with -s and -q given
#   korvane import FILE (separator sniffed)     against  the import with -s and -q given
#   korvane import --create without --columns   (types inferred from the sample), for reference
# Runs are interleaved (one round = one run of each), every import into a new
# database. Prints the medians of the wall times and of the per-round ratios.
# Targets: sniff under 0.05x of the import; the sniffing import within 1.03x.
#
#   bench/sniff.sh [RECORDS [ROUNDS]]      (defaults: 1000000 and 7)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
records=${1:-1000000}
rounds=${2:-7}
work="${KORVANE_BENCH_DIR:-$root/build/bench-compare}"
mkdir -p "$work"
korvane="$root/build/release/cli/korvane"
columns="id INTEGER, name TEXT, city TEXT, amount MONEY, born DATE, active BOOLEAN"
"$root/korvane" --version >/dev/null  # builds the release binary when needed

input="$work/people-$records.csv"
[ -s "$input" ] || { echo "generating $input ..." >&2; python3 "$root/bench/gen_people.py" \
  "$records" "$input"; }
cat "$input" >/dev/null  # into the page cache

# timed NAME COMMAND...: appends the command's wall time in seconds to NAME.times.
timed() {
  local name=$1; shift
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>"$work/$name.err" || {
    echo "sniff.sh: $name failed:" >&2; cat "$work/$name.err" >&2; exit 1; }
  end=$(date +%s.%N)
  echo "$start $end" | awk '{ printf "%.4f\n", $2 - $1 }' >>"$work/$name.times"
}
median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
db() { rm -f "$work/$1.db" "$work/$1.db-journal"; echo "$work/$1.db"; }

rm -f "$work"/{given,sniffed,sniff,inferred}.times
for ((r = 1; r <= rounds; r++)); do
  echo "round $r of $rounds ..." >&2
  timed given "$korvane" import "$input" --db "$(db given)" --table people --create \
    --columns "$columns" -s comma -q '"'
  timed sniff "$korvane" sniff "$input"
  timed sniffed "$korvane" import "$input" --db "$(db sniffed)" --table people --create \
    --columns "$columns"
  timed inferred "$korvane" import "$input" --db "$(db inferred)" --table people --create
done
for name in given sniffed inferred; do
  rows=$(sqlite3 "$work/$name.db" "SELECT count(*) FROM people")
  [ "$rows" = "$records" ] || { echo "sniff.sh: $name imported $rows of $records" >&2; exit 1; }
done

base=$(median <"$work/given.times")
printf '\nSniffing (%s records, %s rounds, medians; ratios against the import with -s and -q given)\n' \
  "$records" "$rounds"
printf '%-34s %8s %8s %10s\n' "run" "wall s" "ratio" "per-round"
for name in given sniff sniffed inferred; do
  m=$(median <"$work/$name.times")
  per=$(paste -d' ' "$work/$name.times" "$work/given.times" | awk '{print $1/$2}' | median)
  case $name in
    given) label="import, -s comma -q '\"' given" ;;
    sniff) label="korvane sniff" ;;
    sniffed) label="import, separator sniffed" ;;
    inferred) label="import --create, types inferred" ;;
  esac
  printf '%-34s %8.3f %7.3fx %9.3fx\n' "$label" "$m" "$(echo "$m $base" | awk '{print $1/$2}')" \
    "$per"
done
printf 'Targets: korvane sniff < 0.05x; import with the separator sniffed <= 1.03x\n'
