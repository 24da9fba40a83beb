# `cpack -G DEB` in the build folder: one package with the command, the
# library, its headers, the CMake and pkg-config files, the manual page and
# bash completion. Runtime dependencies come from the binaries
# (dpkg-shlibdeps); building programs against the static library needs the
# -dev packages, which are recommended.
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Korvane developers <korvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Moves data between flat text files and database tables")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(korvane_recommends zlib1g-dev libzstd-dev)
if(KORVANE_WITH_SQLITE)
  list(APPEND korvane_recommends libsqlite3-dev)
endif()
if(KORVANE_WITH_POSTGRES)
  list(APPEND korvane_recommends libpq-dev)
endif()
list(JOIN korvane_recommends ", " CPACK_DEBIAN_PACKAGE_RECOMMENDS)
include(CPack)
