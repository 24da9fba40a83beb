# Fails when a file of a layer includes, with quotes, a header from a folder
# the layer may not use, or the header of an outside library the layer does
# not link. Run by the build (cmake/KorvaneLayers.cmake) with ARGS (LAYER,
# ALLOWED: the folders it may include from, LIBRARIES: the outside libraries
# it links, FILES) and STAMP.
include(${ARGS})
# The outside libraries' headers, each with the library a layer must link to
# include it (some sit in the compiler's own search path, where the include
# would compile in any layer).
set(library_headers sqlite3.h SQLite::SQLite3 libpq-fe.h PkgConfig::LIBPQ zlib.h ZLIB::ZLIB
    zstd.h PkgConfig::ZSTD)
set(bad "")
foreach(file IN LISTS FILES)
  file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*$" "\\1" header "${line}")
    get_filename_component(folder "${header}" DIRECTORY)
    list(FIND ALLOWED "${folder}" index)
    if(index EQUAL -1)
      string(APPEND bad "\n  ${file}: #include \"${header}\"")
    endif()
  endforeach()
  file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*<")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*<([^>]+)>.*$" "\\1" header "${line}")
    list(FIND library_headers "${header}" index)
    if(NOT index EQUAL -1)
      math(EXPR index "${index} + 1")
      list(GET library_headers ${index} library)
      list(FIND LIBRARIES "${library}" linked)
      if(linked EQUAL -1)
        string(APPEND bad "\n  ${file}: #include <${header}> (${library})")
      endif()
    endif()
  endforeach()
endforeach()
if(bad)
  message(FATAL_ERROR "layer ${LAYER} may include only from ${ALLOWED}"
                      " and the libraries it links (${LIBRARIES}):${bad}")
endif()
file(TOUCH ${STAMP})
