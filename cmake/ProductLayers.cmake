# SPDX-License-Identifier: Apache-2.0
# The product's folders as layers: one object library a folder, the folders each stands
# on, the include and link checks that keep calls pointing down, and the two product
# libraries linked from them (DLLs on Windows, shared objects over the host layer).

# Product code (core, archive, overlay, accounting, plugin, logger) is built with these
# flags on top, and on the host its allocations go through the host layer's counted,
# fault-injectable allocator.
function(spoolgate_product_target target)
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
  # Every narrowing in product code is meant, and says so with a cast.
  target_compile_options(${target} PRIVATE -Wconversion)
  if(NOT WIN32)
    target_compile_options(${target} PRIVATE -fvisibility=hidden)
  endif()
endfunction()

# In a coverage build gcc links its profiling runtime into every library and program; in
# a wrapped one its heap calls would reach the host layer too, be counted with the
# product's and, failed on demand, crash the profile's dump at unload. Such targets get
# a copy of the runtime that calls the real allocator.
if(CMAKE_CXX_FLAGS MATCHES "--coverage")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libgcov.a
                  OUTPUT_VARIABLE gcov_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(SPOOLGATE_UNWRAPPED_GCOV ${CMAKE_BINARY_DIR}/libgcov_unwrapped.a)
  execute_process(COMMAND ${CMAKE_OBJCOPY} --redefine-sym malloc=__real_malloc
                          --redefine-sym calloc=__real_calloc --redefine-sym realloc=__real_realloc
                          --redefine-sym free=__real_free ${gcov_runtime} ${SPOOLGATE_UNWRAPPED_GCOV}
                  COMMAND_ERROR_IS_FATAL ANY)
endif()

# Links a host target so that its own calls of malloc, calloc, realloc and free reach
# the host layer (counted, and failed on demand), while everything else's do not.
function(spoolgate_wrap_allocations target)
  target_link_options(${target} PRIVATE
    -Wl,--wrap=malloc -Wl,--wrap=calloc -Wl,--wrap=realloc -Wl,--wrap=free)
  if(SPOOLGATE_UNWRAPPED_GCOV)
    target_link_libraries(${target} PRIVATE ${SPOOLGATE_UNWRAPPED_GCOV})
  endif()
endfunction()

# A VERSIONINFO resource for a Windows binary: file and product version from the
# release version and build number (cmake/Version.cmake), the description given, the
# file's own name; a program gets its application manifest too.
function(spoolgate_version_resource target description)
  set(SG_DESCRIPTION "${description}")
  set(SG_MANIFEST "")
  get_target_property(type ${target} TYPE)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  set(SG_INTERNAL_NAME ${name})
  if(type STREQUAL "EXECUTABLE")
    set(SG_FILE_TYPE VFT_APP)
    set(SG_FILE_NAME ${name}.exe)
    # The manifest's assembly version has four parts, as the file version.
    set(SG_MANIFEST_VERSION ${SPOOLGATE_VERSION})
    set(manifest ${CMAKE_CURRENT_BINARY_DIR}/${name}.exe.manifest)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/spoolgate.exe.manifest ${manifest} @ONLY)
    # 1 is the manifest of a program (CREATEPROCESS_MANIFEST_RESOURCE_ID), 24 RT_MANIFEST.
    set(SG_MANIFEST "1 24 \"${manifest}\"")
    set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc APPEND PROPERTY
                 OBJECT_DEPENDS ${manifest})
  else()
    set(SG_FILE_TYPE VFT_DLL)
    set(SG_FILE_NAME ${name}.dll)
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# spoolgate_product_layer(target SOURCES... [BELOW layer...] [UNIT name]) - the object
# library of one product folder, or with UNIT of the files <name>.* of a folder that
# holds two layers; BELOW names the layers it may call. On the host its objects are
# also linked alone with theirs into <target>_alone, no symbol left undefined: a call
# into a layer above or beside (which needs a wrong include) fails the build.
function(spoolgate_product_layer target)
  cmake_parse_arguments(ARG "NO_ALONE" "UNIT" "SOURCES;BELOW" ${ARGN})
  add_library(${target} OBJECT ${ARG_SOURCES})
  spoolgate_product_target(${target})
  set(objects $<TARGET_OBJECTS:${target}>)
  foreach(below IN LISTS ARG_BELOW)
    get_target_property(below_objects ${below} SPOOLGATE_LAYER_OBJECTS)
    list(APPEND objects ${below_objects})
  endforeach()
  list(REMOVE_DUPLICATES objects)
  set_target_properties(${target} PROPERTIES SPOOLGATE_LAYER_OBJECTS "${objects}")
  # The layer (its folder, or folder/unit) and the layers below it, for the include
  # direction test.
  get_filename_component(unit ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  if(ARG_UNIT)
    string(APPEND unit /${ARG_UNIT})
  endif()
  set_target_properties(${target} PROPERTIES SPOOLGATE_LAYER_UNIT ${unit})
  set(rule ${unit}:)
  foreach(below IN LISTS ARG_BELOW)
    get_target_property(below_unit ${below} SPOOLGATE_LAYER_UNIT)
    string(APPEND rule ${below_unit},)
  endforeach()
  set_property(GLOBAL APPEND PROPERTY SPOOLGATE_LAYER_RULES ${rule})
  if(NOT WIN32)
    target_link_libraries(${target} PUBLIC spoolgate_host)
    if(NOT ARG_NO_ALONE)
      add_library(${target}_alone SHARED ${objects})
      target_link_libraries(${target}_alone PRIVATE spoolgate_host)
      spoolgate_wrap_allocations(${target}_alone)
      target_link_options(${target}_alone PRIVATE -Wl,--no-undefined)
    endif()
  endif()
endfunction()

# spoolgate_link_layer(target layer) - links a host program or library with the objects
# of a product layer and of every layer below it, so it can call their internals.
function(spoolgate_link_layer target layer)
  get_target_property(objects ${layer} SPOOLGATE_LAYER_OBJECTS)
  target_sources(${target} PRIVATE ${objects})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE spoolgate_host)
endfunction()

# Links a product library from a layer's objects and those below: <target>.dll with
# dll_main.cpp, its .def file and a version resource on Windows, lib<target>.so
# exporting exactly what its version script names on the host (no symbol left
# undefined: the layer check too).
function(spoolgate_product_library target layer)
  cmake_parse_arguments(ARG "" "DEF;MAP;DESCRIPTION" "WINDOWS_LIBS" ${ARGN})
  get_target_property(objects ${layer} SPOOLGATE_LAYER_OBJECTS)
  if(WIN32)
    add_library(${target} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/dll_main.cpp ${ARG_DEF}
      ${objects})
    spoolgate_version_resource(${target} "${ARG_DESCRIPTION}")
    set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${target})
    target_link_libraries(${target} PRIVATE ${ARG_WINDOWS_LIBS})
  else()
    add_library(${target} SHARED ${objects})
    target_link_libraries(${target} PRIVATE spoolgate_host)
    spoolgate_wrap_allocations(${target})
    set_target_properties(${target} PROPERTIES LINK_DEPENDS ${ARG_MAP})
    target_link_options(${target} PRIVATE -Wl,--version-script=${ARG_MAP} -Wl,--no-undefined)
  endif()
  spoolgate_product_target(${target})
endfunction()
