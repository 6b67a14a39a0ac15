# Warnings are errors on every compiler we build with.
add_compile_options(-Wall -Wextra -Werror -Wshadow)

# Product code (plugin, archive, overlay, accounting, logger) is built with these
# flags on top, and on the host its allocations go through the host layer's counted,
# fault-injectable allocator.
function(spoolgate_product_target target)
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
  if(NOT WIN32)
    target_compile_options(${target} PRIVATE -fvisibility=hidden)
  endif()
endfunction()

# Links a host target so that its own calls of malloc, calloc, realloc and free reach
# the host layer (counted, and failed on demand), while everything else's do not.
function(spoolgate_wrap_allocations target)
  target_link_options(${target} PRIVATE
    -Wl,--wrap=malloc -Wl,--wrap=calloc -Wl,--wrap=realloc -Wl,--wrap=free)
endfunction()

# A VERSIONINFO resource for a Windows binary: file and product version from the
# project version, the description given, the file's own name.
function(spoolgate_version_resource target description)
  set(SG_TARGET ${target})
  set(SG_DESCRIPTION "${description}")
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(SG_FILE_TYPE VFT_APP)
    set(SG_FILE_NAME ${target}.exe)
  else()
    set(SG_FILE_TYPE VFT_DLL)
    set(SG_FILE_NAME ${target}.dll)
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# Links a product library from its object library: <target>.dll with dll_main.cpp, its
# .def file and a version resource on Windows, lib<target>.so exporting exactly what its
# version script names on the host.
function(spoolgate_product_library target objects)
  cmake_parse_arguments(ARG "" "DEF;MAP;DESCRIPTION" "WINDOWS_LIBS" ${ARGN})
  if(WIN32)
    add_library(${target} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/dll_main.cpp ${ARG_DEF}
      $<TARGET_OBJECTS:${objects}>)
    spoolgate_version_resource(${target} "${ARG_DESCRIPTION}")
    set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${target})
    target_link_libraries(${target} PRIVATE ${ARG_WINDOWS_LIBS})
  else()
    target_link_libraries(${objects} PUBLIC spoolgate_host)
    add_library(${target} SHARED $<TARGET_OBJECTS:${objects}>)
    target_link_libraries(${target} PRIVATE spoolgate_host)
    spoolgate_wrap_allocations(${target})
    set_target_properties(${target} PROPERTIES LINK_DEPENDS ${ARG_MAP})
    target_link_options(${target} PRIVATE -Wl,--version-script=${ARG_MAP} -Wl,--no-undefined)
  endif()
  spoolgate_product_target(${target})
endfunction()
