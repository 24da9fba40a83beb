#!/usr/bin/env bash
# The memory a huge record costs: imports one record of SIZE MiB (200 by
# default) without a line end into SQLite with korvane, read ahead from the
# file and read from a pipe, as one value and as a quoted value that holds
# separators, and prints each run's peak resident memory beside the record's
# size and beside a run of a one-byte record (the floor: what the command
# costs without any record). A record should cost at most about twice its
# length: (peak - floor) / size about 2 or less. bench/peak_mappings.py
# shows what a run's peak is made of.
#
#   bench/huge_record.sh [SIZE_MIB]
# Needs python3 and /usr/bin/time (Debian: time).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
mib=${1:-200}
work="${KORVANE_BENCH_DIR:-$root/build/bench-huge-record}"
mkdir -p "$work"
korvane="$root/build/release/cli/korvane"
command -v /usr/bin/time >/dev/null || { echo "huge_record.sh: /usr/bin/time is missing" >&2; exit 2; }
"$root/korvane" --version >/dev/null  # builds the release binary when needed

# plain: one value of x; quoted: "x,x,...x" with a doubled quote every MiB.
python3 - "$work" "$mib" <<'PY'
import os, sys
work, mib = sys.argv[1], int(sys.argv[2])
one = b"x" * (1 << 20)
quoted = b'x,' * ((1 << 19) - 1) + b'""'
for name, head, chunk, tail in (("plain", b"", one, b""), ("quoted", b'"', quoted, b'"')):
    path = os.path.join(work, name + ".txt")
    if os.path.exists(path) and os.path.getsize(path) == mib * len(chunk) + len(head) + len(tail):
        continue
    with open(path, "wb") as f:
        f.write(head)
        for _ in range(mib):
            f.write(chunk)
        f.write(tail)
with open(os.path.join(work, "tiny.txt"), "wb") as f:
    f.write(b"x")
PY

# peak_kb file|pipe INPUT: the peak resident memory in KiB of an import of
# INPUT, read from the file or from a pipe (where nothing is read ahead).
peak_kb() {
  local db="$work/t.db"
  rm -f "$db" "$db-journal"
  local import=("$korvane" import --db "$db" --table t --create --columns "v TEXT" -s comma
                -q '"' --dialect standard)
  if [ "$1" = file ]; then
    /usr/bin/time -f "%M" -o "$work/time.out" "${import[@]}" "$2" >/dev/null 2>"$work/err"
  else
    /usr/bin/time -f "%M" -o "$work/time.out" sh -c 'cat "$0" | "$@" -' "$2" "${import[@]}" \
      >/dev/null 2>"$work/err"
  fi || { echo "huge_record.sh: import of $2 failed:" >&2; cat "$work/err" >&2; exit 1; }
  tail -n1 "$work/time.out"
}

floor=$(peak_kb file "$work/tiny.txt")
printf 'a record of %d MiB without a line end, imported into SQLite (floor: %d MiB)\n' \
  "$mib" "$((floor / 1024))"
printf '%-28s %10s %16s\n' "run" "peak MiB" "(peak-floor)/size"
for name in plain quoted; do
  for how in file pipe; do
    kb=$(peak_kb "$how" "$work/$name.txt")
    printf '%-28s %10d %16.2f\n' "$name, $how" "$((kb / 1024))" \
      "$(echo "$kb $floor $mib" | awk '{ print ($1 - $2) / 1024 / $3 }')"
  done
done
