# What `cmake --install` writes besides the command: the library, the headers
# <korvane/korvane.h> reaches, the CMake package (find_package(korvane) gives
# korvane::korvane) and korvane.pc for pkg-config.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The umbrella header names the datasets this build has.
set(KORVANE_UMBRELLA_DATASETS "")
# zlib and libzstd read and write compressed files; a program linking the
# static library links them too.
set(KORVANE_CONFIG_DEPENDENCIES
    "find_dependency(ZLIB)\n"
    "find_dependency(PkgConfig)\n"
    "if(NOT TARGET PkgConfig::ZSTD)\n"
    "  pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)\n"
    "endif()\n")
string(JOIN "" KORVANE_CONFIG_DEPENDENCIES ${KORVANE_CONFIG_DEPENDENCIES})
set(korvane_pc_requires zlib libzstd)
if(KORVANE_WITH_SQLITE)
  string(APPEND KORVANE_UMBRELLA_DATASETS "#include \"datasets/sqlite/sqlite_dataset.h\"\n")
  string(APPEND KORVANE_CONFIG_DEPENDENCIES "find_dependency(SQLite3)\n")
  list(APPEND korvane_pc_requires sqlite3)
endif()
if(KORVANE_WITH_POSTGRES)
  string(APPEND KORVANE_UMBRELLA_DATASETS "#include \"datasets/postgres/postgres_dataset.h\"\n")
  string(APPEND KORVANE_CONFIG_DEPENDENCIES
         "find_dependency(PkgConfig)\n"
         "if(NOT TARGET PkgConfig::LIBPQ)\n"
         "  pkg_check_modules(LIBPQ REQUIRED IMPORTED_TARGET libpq)\n"
         "endif()\n")
  list(APPEND korvane_pc_requires libpq)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/korvane.h.in
               ${CMAKE_CURRENT_BINARY_DIR}/include/korvane/korvane.h @ONLY)

install(TARGETS korvane EXPORT korvaneTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(CODE "
  set(KORVANE_SOURCE \"${CMAKE_CURRENT_SOURCE_DIR}\")
  set(KORVANE_BINARY \"${CMAKE_CURRENT_BINARY_DIR}\")
  set(KORVANE_INCLUDEDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_INCLUDEDIR}\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/install_headers.cmake\")")

set(korvane_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/korvane)
install(EXPORT korvaneTargets NAMESPACE korvane:: DESTINATION ${korvane_cmake_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/korvaneConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/korvaneConfig.cmake INSTALL_DESTINATION ${korvane_cmake_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/korvaneConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/korvaneConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/korvaneConfigVersion.cmake
        DESTINATION ${korvane_cmake_dir})

# pkg-config: a static library needs its dependencies on every link line, a
# shared one only when linked statically. The prefix is found from the file's
# own place, so an unpacked or moved install works too.
list(JOIN korvane_pc_requires " " korvane_pc_requires)
if(BUILD_SHARED_LIBS)
  set(KORVANE_PC_REQUIRES "Requires.private: ${korvane_pc_requires}")
  set(KORVANE_PC_LIBS "")
  set(KORVANE_PC_LIBS_PRIVATE "-pthread")
else()
  set(KORVANE_PC_REQUIRES "Requires: ${korvane_pc_requires}")
  set(KORVANE_PC_LIBS "-pthread")
  set(KORVANE_PC_LIBS_PRIVATE "")
endif()
file(RELATIVE_PATH KORVANE_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" KORVANE_PC_TO_PREFIX "${KORVANE_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/korvane.pc.in ${CMAKE_CURRENT_BINARY_DIR}/korvane.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/korvane.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
