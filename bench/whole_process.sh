# Timing whole processes, shared by the benchmark scripts (sourced; they set
# $work, $records and $rounds): timed runs a command and keeps its wall time,
# peak memory and CPU time; report prints medians and ratios against a floor.

# --- timing -----------------------------------------------------------------
# timed NAME COMMAND...: runs the command, appends "wall_s max_rss_kb cpu_s"
# to $work/NAME.times; a failing command stops the script.
timed() {
  local name=$1; shift
  /usr/bin/time -f "%e %M %U %S" -o "$work/time.out" "$@" >/dev/null 2>"$work/$name.err" || {
    echo "$(basename "$0"): $name failed:" >&2; cat "$work/$name.err" >&2; exit 1; }
  awk '{ printf "%s %s %.2f\n", $1, $2, $3 + $4 }' "$work/time.out" >>"$work/$name.times"
}
median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
peak() { awk '{ if ($2 > m) m = $2 } END { printf "%.0f", m / 1024 }'; }

report() {  # report TITLE FLOOR NAME...
  local title=$1 floor=$2; shift 2
  local base cbase
  base=$(cut -d' ' -f1 "$work/$floor.times" | median)
  cbase=$(cut -d' ' -f3 "$work/$floor.times" | median)
  printf '\n%s (%s records, %s rounds, medians; ratios against %s)\n' "$title" "$records" \
    "$rounds" "$floor"
  printf '%-16s %8s %8s %12s %8s %8s %9s\n' "tool" "wall s" "ratio" "per-round" "cpu s" "ratio" \
    "peak MiB"
  for name in "$@"; do
    local m c per
    m=$(cut -d' ' -f1 "$work/$name.times" | median)
    c=$(cut -d' ' -f3 "$work/$name.times" | median)
    per=$(paste -d' ' "$work/$name.times" "$work/$floor.times" | awk '{print $1/$4}' | median)
    printf '%-16s %8.2f %7.2fx %11.2fx %8.2f %7.2fx %9s\n' "$name" "$m" \
      "$(echo "$m $base" | awk '{print $1/$2}')" "$per" "$c" \
      "$(echo "$c $cbase" | awk '{print $1/$2}')" "$(peak <"$work/$name.times")"
  done
}
