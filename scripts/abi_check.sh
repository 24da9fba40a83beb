#!/usr/bin/env bash
# The binary interface of the shared libkorvane.so.1 against the one this
# major version was released with (abi/libkorvane.so.1.abi.gz, written by
# abidw from libabigail, Debian's abigail-tools).
#
#   scripts/abi_check.sh LIBRARY INCLUDE-DIR
#       compares a shared build (LIBRARY, with debug information) whose
#       headers are installed under INCLUDE-DIR with the stored interface;
#       fails on any change to what a program built against the stored one
#       relies on: a removed or changed function or variable, a public class
#       or enumeration whose size, members, bases or virtual functions
#       changed. Added functions and classes pass.
#   scripts/abi_check.sh --refresh [BUILD-DIR]
#       builds the shared library in BUILD-DIR (build/abi by default), the
#       way scripts/install_test.sh does, and writes the stored interface
#       from it: after a deliberate change, together with a new major
#       version (see docs/library.md).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
baseline="$root/abi/libkorvane.so.1.abi.gz"
# What the stored interface holds: the exported functions and variables and
# the types they reach that the installed headers declare, without paths or
# source lines (they change with every edit), with type names that do not
# shift when a type is added.
abidw_options=(--exported-interfaces-only --drop-private-types --no-show-locs --no-comp-dir-path
               --no-corpus-path --no-architecture --type-id-style hash)

command -v abidiff >/dev/null || { echo "abi check: abidiff not found (Debian: abigail-tools)" >&2; exit 1; }
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

if [ "${1:-}" = "--refresh" ]; then
  build="${2:-$root/build/abi}"
  cmake -S "$root" -B "$build" -DBUILD_SHARED_LIBS=ON -DCMAKE_BUILD_TYPE= \
    -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_BENCH=OFF -DKORVANE_BUILD_CLI=OFF >/dev/null
  cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
  cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
  mkdir -p "$(dirname "$baseline")"
  abidw "${abidw_options[@]}" --headers-dir "$tmp/prefix/include" \
    --out-file "$tmp/libkorvane.so.1.abi" "$tmp/prefix/lib/libkorvane.so.1"
  gzip -9 -n -c "$tmp/libkorvane.so.1.abi" >"$baseline"
  echo "abi check: wrote $baseline"
  exit 0
fi

[ $# -eq 2 ] || { echo "usage: scripts/abi_check.sh LIBRARY INCLUDE-DIR | --refresh [BUILD-DIR]" >&2; exit 2; }
library=$1 headers=$2
gzip -dc "$baseline" >"$tmp/baseline.abi"
abidw "${abidw_options[@]}" --headers-dir "$headers" --out-file "$tmp/current.abi" "$library"
# abidiff's status is a set of bits: 1 error, 2 usage, 4 a change, 8 a change
# known to break programs. Added functions are left out of the report and of
# the status, so 4 means a change to what existed.
status=0
abidiff --no-added-syms "$tmp/baseline.abi" "$tmp/current.abi" >"$tmp/report" || status=$?
if [ "$status" -ne 0 ]; then
  cat "$tmp/report" >&2
  if [ $((status & 3)) -ne 0 ]; then
    echo "abi check: abidiff failed (status $status)" >&2
  else
    echo "abi check: the interface of libkorvane.so.1 changed (above); a change that programs built" \
         "against it cannot take needs a new major version and scripts/abi_check.sh --refresh" >&2
  fi
  exit 1
fi
echo "abi check: libkorvane.so.1 keeps the interface it was released with"
