#!/usr/bin/env bash
# An import of a file over 4 GiB: generates SIZE_GIB GiB (4.25 by default)
# of records "id,text" of about a kilobyte each, imports them into a new
# SQLite table with korvane, and checks that the table holds every record,
# that the run says it stored them all, and that the bytes the run reported
# (the iBytes of its OnImportRecord events, summed) are the file's size.
# Needs about twice SIZE_GIB of free disk; skips with a message otherwise.
#
#   bench/huge_file.sh [SIZE_GIB]
# Needs python3, sqlite3 and /usr/bin/time (Debian: sqlite3 time).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
gib=${1:-4.25}
work="${KORVANE_BENCH_DIR:-$root/build/bench-huge-file}"
mkdir -p "$work"
korvane="$root/build/release/cli/korvane"
for tool in python3 sqlite3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "huge_file.sh: $tool is missing" >&2; exit 2; }
done

input="$work/huge.csv"
db="$work/huge.db"
rm -f "$db" "$db-journal"
# The file, the table (about as large) and some room.
need_kb=$(awk -v g="$gib" 'BEGIN { printf "%d", (2 * g + 1) * 1024 * 1024 }')
have_kb=$(( $(df -Pk "$work" | awk 'NR == 2 { print $4 }') + $( [ -f "$input" ] && du -k "$input" | cut -f1 || echo 0) ))
if [ "$have_kb" -lt "$need_kb" ]; then
  echo "huge_file.sh: skipped: needs $((need_kb / 1024 / 1024)) GiB free in $work, has $((have_kb / 1024 / 1024)) GiB"
  exit 0
fi
"$root/korvane" --version >/dev/null  # builds the release binary when needed

# Records of 1000 bytes and their line end, in blocks of 1024, the last
# block cut short so that the file ends with a whole record.
records=$(python3 - "$input" "$gib" <<'PY'
import os, sys
path, gib = sys.argv[1], float(sys.argv[2])
size = int(gib * (1 << 30))
line = 1000
count = (size + line) // (line + 1)
if not (os.path.exists(path) and os.path.getsize(path) == count * (line + 1)):
    text = "".join(chr(97 + i % 26) for i in range(line))
    with open(path, "w", newline="") as f:
        for start in range(1, count + 1, 1024):
            f.write("".join("%010d,%s\n" % (i, text[11:]) for i in range(start, min(start + 1024, count + 1))))
print(count)
PY
)
size=$(stat -c %s "$input")
echo "$(basename "$input"): $size bytes ($(awk -v s="$size" 'BEGIN { printf "%.2f", s / 2^30 }') GiB), $records records"

mkfifo "$work/events" 2>/dev/null || true
awk -F'"iBytes":' '/OnImportRecord/ { s += $2 + 0 } END { printf "%.0f\n", s }' \
  <"$work/events" >"$work/bytes.out" &
summer=$!
/usr/bin/time -f "%e s wall, %U s user, peak %M KiB" -o "$work/time.out" \
  "$korvane" import "$input" --db "$db" --table t --create --columns "id INTEGER, v TEXT" \
  -s comma -q none --json --events "$work/events" >"$work/result.json"
wait "$summer"

stored=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["stored"])' "$work/result.json")
counted=$(sqlite3 "$db" "SELECT count(*) FROM t")
reported=$(cat "$work/bytes.out")
echo "import: $(cat "$work/time.out")"
echo "records: file $records, run stored $stored, table holds $counted"
echo "bytes:   file $size, reported $reported"
status=0
[ "$stored" = "$records" ] && [ "$counted" = "$records" ] || { echo "huge_file.sh: record counts differ" >&2; status=1; }
[ "$reported" = "$size" ] || { echo "huge_file.sh: bytes reported differ from the file's size" >&2; status=1; }
rm -f "$db" "$db-journal"
[ "$status" = 0 ] && echo "huge_file.sh: all counts exact"
exit "$status"
