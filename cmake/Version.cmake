# SPDX-License-Identifier: Apache-2.0
# The release version every built file carries: MAJOR.MINOR.PATCH of project() and a
# build number that grows with every commit, the number of commits that lead to it
# (`git rev-list --count`), so that two builds of different commits of one branch
# never carry the same version and a later commit always carries a higher one. Tags
# play no part: a fresh clone without them numbers its builds the same way.
#
# Where the source tree has no git history of its own (a source tarball, even one
# unpacked inside another checkout), the build number is 0 unless
# SPOOLGATE_BUILD_NUMBER is given (-DSPOOLGATE_BUILD_NUMBER=N, or the environment
# variable of that name). A shallow clone counts only the commits it has: build
# releases from a full clone.
#
# Included from CMakeLists.txt it sets SPOOLGATE_BUILD_NUMBER and SPOOLGATE_VERSION
# (MAJOR.MINOR.PATCH.BUILD), writes ${CMAKE_BINARY_DIR}/version.txt (read by the release
# scripts, so that the MSI and the driver kit carry the files' own version) and makes a
# new commit re-run the configuration. Run as a script it prints the version of a commit:
#   cmake -DSPOOLGATE_COMMIT=HEAD~1 -P cmake/Version.cmake

# spoolgate_build_number(OUT SOURCE_DIR COMMIT) - the build number of COMMIT in the git
# history of SOURCE_DIR, or "" where there is none.
function(spoolgate_build_number out source commit)
  set(${out} "" PARENT_SCOPE)
  find_program(SPOOLGATE_GIT git)
  if(NOT SPOOLGATE_GIT)
    return()
  endif()
  # Only the tree's own history: a tarball unpacked inside another checkout is no
  # commit of that checkout.
  execute_process(COMMAND ${SPOOLGATE_GIT} rev-parse --show-toplevel
                  WORKING_DIRECTORY ${source} OUTPUT_VARIABLE top RESULT_VARIABLE status
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  get_filename_component(source_real ${source} REALPATH)
  if(status EQUAL 0)
    get_filename_component(top ${top} REALPATH)
  endif()
  if(NOT status EQUAL 0 OR NOT top STREQUAL source_real)
    return()
  endif()
  execute_process(COMMAND ${SPOOLGATE_GIT} rev-list --count ${commit} --
                  WORKING_DIRECTORY ${source} OUTPUT_VARIABLE count RESULT_VARIABLE status
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(status EQUAL 0 AND count MATCHES "^[0-9]+$")
    set(${out} ${count} PARENT_SCOPE)
  endif()
endfunction()

# spoolgate_check_build_number(NUMBER) - a version resource holds each part in 16 bits.
function(spoolgate_check_build_number number)
  if(NOT number MATCHES "^[0-9]+$" OR number GREATER 65535)
    message(FATAL_ERROR "build number '${number}' is not a whole number from 0 to 65535")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  # Script mode: the version of one commit, MAJOR.MINOR.PATCH read from CMakeLists.txt.
  get_filename_component(source ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
  file(STRINGS ${source}/CMakeLists.txt line REGEX "^project\\(spoolgate VERSION ")
  string(REGEX REPLACE ".*VERSION ([0-9]+\\.[0-9]+\\.[0-9]+).*" "\\1" release "${line}")
  if(NOT SPOOLGATE_COMMIT)
    set(SPOOLGATE_COMMIT HEAD)
  endif()
  spoolgate_build_number(number ${source} ${SPOOLGATE_COMMIT})
  if(number STREQUAL "")
    message(FATAL_ERROR "no build number for ${SPOOLGATE_COMMIT}: not a commit of ${source}")
  endif()
  spoolgate_check_build_number(${number})
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${release}.${number}")
  return()
endif()

set(SPOOLGATE_BUILD_NUMBER "$ENV{SPOOLGATE_BUILD_NUMBER}" CACHE STRING
    "Build number for a source tree without git history (empty: counted from git, else 0)")
set(number "${SPOOLGATE_BUILD_NUMBER}")
if(number STREQUAL "")
  spoolgate_build_number(number ${CMAKE_SOURCE_DIR} HEAD)
  if(number STREQUAL "")
    message(STATUS "spoolgate: no git history, build number 0 (set SPOOLGATE_BUILD_NUMBER)")
    set(number 0)
  else()
    # A commit, a checkout or a merge moves HEAD and writes its reflog: configure again.
    execute_process(COMMAND ${SPOOLGATE_GIT} rev-parse --absolute-git-dir
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE git_dir
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    foreach(moved logs/HEAD HEAD)
      if(git_dir AND EXISTS ${git_dir}/${moved})
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${git_dir}/${moved})
      endif()
    endforeach()
  endif()
endif()
spoolgate_check_build_number(${number})
set(SPOOLGATE_BUILD_NUMBER_IN_USE ${number})
set(SPOOLGATE_VERSION ${PROJECT_VERSION}.${number})
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/version.txt CONTENT "${SPOOLGATE_VERSION}\n")
message(STATUS "spoolgate: version ${SPOOLGATE_VERSION}")

# spoolgate_version_define(SOURCE...) - compiles these files, and only these, with
# SPOOLGATE_VERSION defined, so that a new commit recompiles them alone.
function(spoolgate_version_define)
  set_property(SOURCE ${ARGN} APPEND PROPERTY COMPILE_DEFINITIONS
               SPOOLGATE_VERSION="${SPOOLGATE_VERSION}")
endfunction()
