#!/usr/bin/env bash
# Times the import of the generated people file (1,000,000 records by
# default, the file of compare.sh) plain, gzip-compressed and zstd-compressed,
# in one run: rounds interleave one import of each, every one into a new
# database. Prints the medians of the wall times and of the per-round ratios
# against the plain import. Target: zstd within 1.15x of plain.
#
#   bench/compressed.sh [RECORDS [ROUNDS]]      (defaults: 1000000 and 7)
# KORVANE_BIN names another korvane binary than the release build.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
records=${1:-1000000}
rounds=${2:-7}
work="${KORVANE_BENCH_DIR:-$root/build/bench-compare}"
mkdir -p "$work"
if [ -n "${KORVANE_BIN:-}" ]; then
  korvane="$KORVANE_BIN"
else
  korvane="$root/build/release/cli/korvane"
  "$root/korvane" --version >/dev/null  # builds the release binary when needed
fi
columns="id INTEGER, name TEXT, city TEXT, amount MONEY, born DATE, active BOOLEAN"

input="$work/people-$records.csv"
[ -s "$input" ] || { echo "generating $input ..." >&2; python3 "$root/bench/gen_people.py" \
  "$records" "$input"; }
[ -s "$input.gz" ] || gzip -6 -k -c "$input" >"$input.gz"
[ -s "$input.zst" ] || zstd -q -3 -c "$input" >"$input.zst"
cat "$input" "$input.gz" "$input.zst" >/dev/null  # into the page cache

# timed NAME COMMAND...: appends the command's wall time in seconds to NAME.times.
timed() {
  local name=$1; shift
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>"$work/$name.err" || {
    echo "compressed.sh: $name failed:" >&2; cat "$work/$name.err" >&2; exit 1; }
  end=$(date +%s.%N)
  echo "$start $end" | awk '{ printf "%.4f\n", $2 - $1 }' >>"$work/$name.times"
}
median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
db() { rm -f "$work/$1.db" "$work/$1.db-journal"; echo "$work/$1.db"; }

rm -f "$work"/{plain,gzip,zstd}.times
for ((r = 1; r <= rounds; r++)); do
  echo "round $r of $rounds ..." >&2
  for name in plain gzip zstd; do
    case $name in plain) file=$input ;; gzip) file=$input.gz ;; zstd) file=$input.zst ;; esac
    timed "$name" "$korvane" import "$file" --db "$(db "$name")" --table people --create \
      --columns "$columns" -s comma -q '"'
  done
done
for name in plain gzip zstd; do
  rows=$(sqlite3 "$work/$name.db" "SELECT count(*) FROM people")
  [ "$rows" = "$records" ] || { echo "compressed.sh: $name imported $rows of $records" >&2; exit 1; }
done

base=$(median <"$work/plain.times")
printf '\nCompressed input (%s records, %s rounds, medians; ratios against the plain import)\n' \
  "$records" "$rounds"
printf '%-8s %12s %8s %8s %10s\n' "file" "bytes" "wall s" "ratio" "per-round"
for name in plain gzip zstd; do
  case $name in plain) file=$input ;; gzip) file=$input.gz ;; zstd) file=$input.zst ;; esac
  m=$(median <"$work/$name.times")
  per=$(paste -d' ' "$work/$name.times" "$work/plain.times" | awk '{print $1/$2}' | median)
  printf '%-8s %12s %8.3f %7.3fx %9.3fx\n' "$name" "$(stat -c %s "$file")" "$m" \
    "$(echo "$m $base" | awk '{print $1/$2}')" "$per"
done
printf 'Target: zstd <= 1.15x\n'
