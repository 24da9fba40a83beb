#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and builds examples/consumer
# against it twice, through find_package and through pkg-config, and runs
# both; checks that asking for another major version fails in CMake.
#   scripts/install_test.sh BUILD-DIR
set -euo pipefail
if [ $# -ne 1 ] || [ ! -d "$1" ]; then
  echo "usage: scripts/install_test.sh BUILD-DIR (a configured and built tree, e.g. build/rel)" >&2
  exit 2
fi
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "$1" && pwd)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
# Only the public headers: the components' run state and the reader, pipes
# and buffers behind it stay inside the library.
for private in import/import_run.h import/read_ahead.h import/record_scanner.h \
    import/posted_records.h import/import_props.h export/export_run.h export/export_props.h \
    export/export_output.h io/byte_source.h \
    io/spill_buffer.h io/batch_pipe.h; do
  [ ! -e "$tmp/prefix/include/korvane/$private" ] || fail "the private header $private is installed"
done
[ -e "$tmp/prefix/include/korvane/src/kvcsvimp.h" ] || fail "the earlier header path <korvane/src/kvcsvimp.h> is gone"

run_example() {  # the program imports people.csv into a new database and exports it
  mkdir -p "$tmp/out-$2"
  "$1" "$root/examples/people.csv" "$tmp/out-$2" || fail "$2: the example failed"
  [ -s "$tmp/out-$2/people.txt" ] || fail "$2: no export written"
}

cmake -S "$root/examples/consumer" -B "$tmp/cmake" -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/cmake" >/dev/null
run_example "$tmp/cmake/library_example" find_package

# The library guide's programs: a CSV into a new table with its counts and
# the reason of each failed record, a query to CSV with ISO dates, an import
# with the program's own filter and progress, and a table in memory matched
# by header names, the progress window drawn by the program's renderer.
guide="$tmp/guide"
mkdir -p "$guide"
"$tmp/cmake/csv_to_sqlite" "$root/examples/people.csv" "$guide/people.db" >"$guide/out" \
  || fail "csv_to_sqlite failed"
grep -qx 'stored 8, failed 0' "$guide/out" || fail "csv_to_sqlite: $(cat "$guide/out")"
printf 'id,name,born\n9,Ann,2/30/1950\n10,Bo,3/1/1950\n' >"$guide/bad.csv"
status=0
"$tmp/cmake/csv_to_sqlite" "$guide/bad.csv" "$guide/bad.db" >"$guide/out" 2>"$guide/err" || status=$?
[ "$status" = 3 ] && grep -qx 'stored 1, failed 1' "$guide/out" \
  && grep -q '^line 2: .*2/30/1950' "$guide/err" || fail "csv_to_sqlite: no reason: $(cat "$guide/err")"
"$tmp/cmake/query_to_csv" "$guide/people.db" "SELECT name, born FROM people WHERE id = 1" \
  "$guide/born.csv" >/dev/null || fail "query_to_csv failed"
[ "$(cat "$guide/born.csv")" = $'name,born\n"Ada Lovelace",1815-12-10' ] \
  || fail "query_to_csv wrote: $(cat "$guide/born.csv")"
"$tmp/cmake/filtered_import" "$root/examples/people.csv" "$guide/filtered.db" London \
  >"$guide/out" 2>"$guide/err" || fail "filtered_import failed"
grep -qx 'stored 7, left out 1, failed 0' "$guide/out" || fail "filtered_import: $(cat "$guide/out")"
grep -q 'of [0-9]* bytes read' "$guide/err" || fail "filtered_import showed no progress"
"$tmp/cmake/memory_table" "$root/examples/people.csv" "$guide/memory.csv" \
  >"$guide/out" 2>"$guide/err" || fail "memory_table failed: $(cat "$guide/err")"
grep -qx '8 rows in memory, 8 written' "$guide/out" && [ "$(head -1 "$guide/memory.csv")" = name,amount,born ] \
  || fail "memory_table: $(cat "$guide/out")"
grep -q 'Import Progress: 8 records, 100%' "$guide/err" || fail "memory_table's progress: $(cat "$guide/err")"
echo "install test: the library guide's programs build and run"

PKG_CONFIG_PATH="$tmp/prefix/lib/pkgconfig" pkg-config --exists korvane || fail "no korvane.pc"
# shellcheck disable=SC2046
c++ -o "$tmp/pc_example" "$root/examples/library_example.cpp" \
  $(PKG_CONFIG_PATH="$tmp/prefix/lib/pkgconfig" pkg-config --cflags --libs korvane)
run_example "$tmp/pc_example" pkg-config

if cmake -S "$root/examples/consumer" -B "$tmp/v2" -DCMAKE_PREFIX_PATH="$tmp/prefix" \
     -DKORVANE_VERSION=2 >"$tmp/v2.log" 2>&1; then
  fail "find_package(korvane 2) succeeded against 1.32"
fi
grep -q 'compatible with requested version "2"' "$tmp/v2.log" || { cat "$tmp/v2.log"; fail "no version error"; }
echo "install test: find_package, pkg-config and the version check passed"

# The shared library (built as a release, with debug information for the
# interface check): its soname carries the major version, it exports the
# public classes and not the private ones behind them, its binary interface is
# the stored one (scripts/abi_check.sh), and the consumer links and runs
# against it. It is built beside BUILD-DIR, not in a temporary folder, so
# that a second run, and the compiler cache (which takes paths relative to
# the checkout), compile only what changed.
shared="$build-shared"
cmake -S "$root" -B "$shared" -DBUILD_SHARED_LIBS=ON -DCMAKE_BUILD_TYPE= \
  -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_BENCH=OFF -DKORVANE_BUILD_CLI=OFF >/dev/null
cmake --build "$shared" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
cmake --install "$shared" --prefix "$tmp/shared-prefix" >/dev/null
so="$tmp/shared-prefix/lib/libkorvane.so.1"
# (grep reads whole outputs: with pipefail an early exit of grep -q would fail the pipe)
headers=$(objdump -p "$so")
grep -q 'SONAME *libkorvane\.so\.1$' <<<"$headers" || fail "no soname libkorvane.so.1"
exported=$(nm -D --defined-only -C "$so")
grep -q 'korvane::TCSVImport::Execute()' <<<"$exported" || fail "TCSVImport is not exported"
if grep -q 'korvane::TRecordScanner::\|korvane::TRecordPlan::\|korvane::TImportRun::' <<<"$exported"; then
  fail "private classes are exported"
fi
# Every exported name is one an installed header declares, and nothing else
# is exported (no instantiation of a standard template, no private helper).
others=$(grep -v ' korvane::\| for korvane::\| to korvane::' <<<"$exported" || true)
[ -z "$others" ] || { echo "$others" | head -20; fail "names outside the interface are exported"; }
for name in $(grep -o 'korvane::[A-Za-z_][A-Za-z_0-9]*' <<<"$exported" | sort -u); do
  grep -rqw "${name#korvane::}" "$tmp/shared-prefix/include/korvane" ||
    fail "$name is exported but no installed header declares it"
done
"$root/scripts/abi_check.sh" "$so" "$tmp/shared-prefix/include" || fail "the binary interface changed"
cmake -S "$root/examples/consumer" -B "$tmp/shared-consumer" \
  -DCMAKE_PREFIX_PATH="$tmp/shared-prefix" >/dev/null
cmake --build "$tmp/shared-consumer" --target library_example >/dev/null
linked=$(ldd "$tmp/shared-consumer/library_example")
grep -q 'libkorvane\.so\.1' <<<"$linked" || fail "not linked to libkorvane.so.1"
run_example "$tmp/shared-consumer/library_example" shared
echo "install test: the shared library exports only the public interface and a program runs on it"

# From the sources with add_subdirectory: the same target name, and the
# umbrella header found in the build tree (configuring checks the target).
cmake -S "$root/examples/consumer" -B "$tmp/subdir" -DKORVANE_SOURCES="$root" >/dev/null \
  || fail "add_subdirectory: korvane::korvane not found"
[ -f "$tmp/subdir/korvane/include/korvane/korvane.h" ] || fail "add_subdirectory: no umbrella header"
echo "install test: add_subdirectory gives korvane::korvane"

# Built without the PostgreSQL dataset, neither the CMake package nor
# korvane.pc names libpq (configuring is enough: both are written then).
cmake -S "$root" -B "$tmp/nopg" -DKORVANE_WITH_POSTGRES=OFF -DKORVANE_BUILD_TESTS=OFF \
  -DKORVANE_BUILD_BENCH=OFF >/dev/null
if grep -il libpq "$tmp/nopg/korvaneConfig.cmake" "$tmp/nopg/korvane.pc"; then
  fail "a build without PostgreSQL names libpq"
fi
echo "install test: a build without PostgreSQL does not name libpq"

# The Debian package: unpacked, its command runs and its manual page reads.
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/korvane_*.deb)
dpkg-deb -x "$deb" "$tmp/deb"
"$tmp/deb/usr/bin/korvane" --version | grep '^korvane 1\.' >/dev/null || fail "the packaged command does not run"
man -l "$tmp/deb/usr/share/man/man1/korvane.1.gz" 2>/dev/null | grep 'import' >/dev/null || fail "no manual page"
[ -f "$tmp/deb/usr/share/bash-completion/completions/korvane" ] || fail "no bash completion"
dpkg-deb -f "$deb" Depends | grep libsqlite3 >/dev/null || fail "the package does not depend on SQLite"
echo "install test: the Debian package unpacks, runs and has its manual page"
