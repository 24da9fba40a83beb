# Run by `cmake --install`: installs the headers <korvane/korvane.h> reaches,
# and no others, under include/korvane. Their includes among each other
# become <korvane/...>, so a program needs only include/ on its path.
# Set by the caller: KORVANE_SOURCE, KORVANE_BINARY, KORVANE_INCLUDEDIR.
set(stage "${KORVANE_BINARY}/installed-headers")
file(REMOVE_RECURSE "${stage}")
set(pattern "#include \"((core|text|io|data|ui|components|import|export|registry|datasets)/[^\"]+)\"")
file(READ "${KORVANE_BINARY}/include/korvane/korvane.h" umbrella)
string(REGEX REPLACE "${pattern}" "#include <korvane/\\1>" umbrella "${umbrella}")
file(WRITE "${stage}/korvane/korvane.h" "${umbrella}")
string(REGEX MATCHALL "#include <korvane/[^>]+>" todo "${umbrella}")
set(seen)
while(todo)
  list(POP_FRONT todo header)
  string(REGEX REPLACE "^#include <korvane/(.*)>$" "\\1" header "${header}")
  list(FIND seen "${header}" index)
  if(NOT index EQUAL -1)
    continue()
  endif()
  list(APPEND seen ${header})
  file(READ "${KORVANE_SOURCE}/${header}" text)
  string(REGEX REPLACE "${pattern}" "#include <korvane/\\1>" text "${text}")
  file(WRITE "${stage}/korvane/${header}" "${text}")
  string(REGEX MATCHALL "#include <korvane/[^>]+>" found "${text}")
  list(APPEND todo ${found})
endwhile()
# Programs written before the library's folders were laid out by layer include
# the headers by their earlier paths; each installed header keeps one there
# that includes it from its present place.
set(earlier_paths
  platform/api.h core/api.h
  platform/sysutils.h core/sysutils.h
  platform/classes.h core/classes.h
  platform/published.h core/published.h
  platform/settings.h core/settings.h
  platform/sets.h core/sets.h
  platform/owned.h core/owned.h
  platform/formats.h text/formats.h
  platform/formats_internal.h text/formats_internal.h
  platform/speed_internal.h text/speed_internal.h
  platform/batch_pipe.h io/batch_pipe.h
  platform/fileio.h io/fileio.h
  platform/fileio_faults.h io/fileio_faults.h
  platform/byte_source.h io/byte_source.h
  platform/byte_sink.h io/byte_sink.h
  platform/text_encoding.h io/text_encoding.h
  platform/spill_buffer.h io/spill_buffer.h
  platform/db.h data/db.h
  platform/db_failure.h data/db_failure.h
  platform/fields_internal.h data/fields_internal.h
  platform/forms.h ui/forms.h
  platform/terminal_renderer.h ui/terminal_renderer.h
  platform/dialogs.h ui/dialogs.h
  platform/designer.h ui/designer.h
  datasets/memory_dataset.h datasets/memory/memory_dataset.h
  src/kvcsvimp.h import/kvcsvimp.h
  src/kvcsvexp.h export/kvcsvexp.h
  src/kvprops.h registry/kvprops.h
  src/kvreg.h registry/kvreg.h
  src/kvenums.h components/kvenums.h
  src/kvtypes.h components/kvtypes.h
  src/kvstrict.h components/strict_values.h
  src/kvfind.h components/byte_search.h
  src/kvprogress.h components/kvprogress.h
  src/kveditors.h components/kveditors.h
  datasets/sqlite_bulk_writer.h datasets/sqlite/sqlite_bulk_writer.h
  datasets/sqlite_codec.h datasets/sqlite/sqlite_codec.h
  datasets/sqlite_cursor.h datasets/sqlite/sqlite_cursor.h
  datasets/sqlite_dataset.h datasets/sqlite/sqlite_dataset.h
  datasets/sqlite_handles.h datasets/sqlite/sqlite_handles.h
  datasets/sqlite_schema.h datasets/sqlite/sqlite_schema.h
  datasets/postgres_codec.h datasets/postgres/postgres_codec.h
  datasets/postgres_connection.h datasets/postgres/postgres_connection.h
  datasets/postgres_copy_writer.h datasets/postgres/postgres_copy_writer.h
  datasets/postgres_dataset.h datasets/postgres/postgres_dataset.h
  datasets/postgres_numeric.h datasets/postgres/postgres_numeric.h
)
while(earlier_paths)
  list(POP_FRONT earlier_paths earlier present)
  list(FIND seen "${present}" index)
  if(NOT index EQUAL -1)
    file(WRITE "${stage}/korvane/${earlier}"
         "// Kept for programs that include this earlier path.\n#pragma once\n#include <korvane/${present}>\n")
  endif()
endwhile()
file(REMOVE_RECURSE "$ENV{DESTDIR}${KORVANE_INCLUDEDIR}/korvane")
file(INSTALL DESTINATION "${KORVANE_INCLUDEDIR}" TYPE DIRECTORY FILES "${stage}/korvane")
