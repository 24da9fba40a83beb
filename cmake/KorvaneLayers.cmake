# The library's layers. korvane_layer(NAME FOLDER [DEPENDS LAYER...]
# [LIBRARIES TARGET...]) makes the object library korvane_NAME of FOLDER's
# sources. DEPENDS names every layer the folder's files may include (the layers
# below them, written out whole); LIBRARIES the outside libraries whose headers
# they include. Before the layer compiles, cmake/check_layers.cmake reads its
# files and fails the build on an include of a folder that is not the layer's
# own or one it depends on, and on a database's or compressor's header whose
# library the layer does not name. KORVANE_LAYERS lists the layers in order, for the
# library that gathers their objects.
set(KORVANE_LAYERS "" CACHE INTERNAL "")

function(korvane_layer name folder)
  cmake_parse_arguments(L "" "" "DEPENDS;LIBRARIES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${folder}/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${folder}/*.h ${folder}/*.inc)
  set(target korvane_${name})
  add_library(${target} OBJECT ${sources})
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden
                        VISIBILITY_INLINES_HIDDEN ON
                        POSITION_INDEPENDENT_CODE ${BUILD_SHARED_LIBS})
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}
                             ${CMAKE_CURRENT_BINARY_DIR}/include)
  target_compile_features(${target} PRIVATE cxx_std_20)
  target_compile_options(${target} PRIVATE ${KORVANE_WARNINGS})
  if(WIN32)  # see core/api.h
    target_compile_definitions(${target} PRIVATE
      $<IF:$<BOOL:${BUILD_SHARED_LIBS}>,KORVANE_BUILDING_DLL,KORVANE_STATIC>)
  endif()
  if(L_LIBRARIES)
    target_link_libraries(${target} PRIVATE ${L_LIBRARIES})
  endif()
  set_property(GLOBAL PROPERTY KORVANE_LAYER_FOLDER_${name} ${folder})

  set(allowed ${folder})
  foreach(dep IN LISTS L_DEPENDS)
    get_property(dep_folder GLOBAL PROPERTY KORVANE_LAYER_FOLDER_${dep})
    if(NOT dep_folder)
      message(FATAL_ERROR "layer ${name}: ${dep} is not a layer defined before it")
    endif()
    list(APPEND allowed ${dep_folder})
  endforeach()
  set(args ${CMAKE_CURRENT_BINARY_DIR}/layers/${name}.cmake)
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/layers/${name}.stamp)
  file(WRITE ${args} "set(LAYER \"${name}\")\nset(ALLOWED \"${allowed}\")\n"
                     "set(LIBRARIES \"${L_LIBRARIES}\")\n"
                     "set(FILES \"${sources};${headers}\")\n")
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DARGS=${args} -DSTAMP=${stamp}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/check_layers.cmake
    DEPENDS ${sources} ${headers} ${args} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/check_layers.cmake
    COMMENT "Checking the includes of layer ${name}" VERBATIM)
  add_custom_target(${target}_includes DEPENDS ${stamp})
  add_dependencies(${target} ${target}_includes)

  set(KORVANE_LAYERS ${KORVANE_LAYERS} ${name} CACHE INTERNAL "")
endfunction()
