# SPDX-License-Identifier: Apache-2.0
# spoolgate.exe: the subcommands that read files (rud, overlay, log) from the sources the
# Linux command uses, plus the Windows-only setup and check, which judge the log
# directory and the settings with the logging library's and the plug-in's own code.
# 64-bit, its runtime linked statically, system imports only.

# CLI11 and nlohmann-json are header-only: a folder of just those two headers, so that
# the cross build sees nothing else of the build machine's /usr/include.
find_path(SPOOLGATE_CLI11_DIR CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_path(SPOOLGATE_JSON_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
# toml++ (the reports' settings file) is header-only too.
find_path(SPOOLGATE_TOML_DIR toml++/toml.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(third_party ${CMAKE_CURRENT_BINARY_DIR}/third_party)
file(COPY ${SPOOLGATE_CLI11_DIR}/CLI ${SPOOLGATE_JSON_DIR}/nlohmann ${SPOOLGATE_TOML_DIR}/toml++
     DESTINATION ${third_party})

set(here ${CMAKE_CURRENT_SOURCE_DIR})
add_executable(spoolgate_exe
  ${here}/cli/win_main.cpp
  ${here}/cli/commands.cpp
  ${here}/cli/subcommands.cpp
  ${here}/cli/log_options.cpp
  ${here}/cli/log_show.cpp
  ${here}/cli/log_summary.cpp
  ${here}/cli/log_page.cpp
  ${here}/cli/log_verify.cpp
  ${here}/cli/log_import.cpp
  ${here}/common/hex.cpp
  ${here}/common/numbers.cpp
  ${here}/common/win_text.cpp
  ${here}/logread/csv_lines.cpp
  ${here}/logread/log_fields.cpp
  ${here}/logread/verify.cpp
  ${here}/reports/log_filter.cpp
  ${here}/logread/log_folder.cpp
  ${here}/logread/win_crc.cpp
  ${here}/reports/log_html.cpp
  ${here}/reports/log_listing.cpp
  ${here}/reports/ordered_lines.cpp
  ${here}/reports/log_reader.cpp
  ${here}/reports/log_report.cpp
  ${here}/reports/log_summary.cpp
  ${here}/reports/report_text.cpp
  ${here}/reports/log_settings.cpp
  ${here}/common/output_file.cpp
  ${here}/common/portable.cpp
  ${here}/stored/stored_files.cpp
  ${here}/common/text.cpp
  ${here}/common/case_fold.cpp
  ${here}/winkit/win_check.cpp
  ${here}/winkit/win_console.cpp
  ${here}/winkit/win_printers.cpp
  ${here}/database/win_log_db.cpp
  ${here}/common/win_file_system.cpp
  ${here}/winkit/win_setup.cpp
  ${here}/winkit/win_system.cpp
  # The library's CRC-32, its judgement of a log directory and its OEM conversion, and
  # the plug-in's reading of the settings: one implementation each.
  ${CMAKE_SOURCE_DIR}/logger/crc32.cpp
  ${CMAKE_SOURCE_DIR}/logger/log_format.cpp
  ${CMAKE_SOURCE_DIR}/logger/log_directory.cpp
  ${CMAKE_SOURCE_DIR}/logger/text_convert.cpp
  ${CMAKE_SOURCE_DIR}/accounting/log_settings.cpp
  ${CMAKE_SOURCE_DIR}/core/bounded_text.cpp)
set_target_properties(spoolgate_exe PROPERTIES OUTPUT_NAME spoolgate)
target_include_directories(spoolgate_exe PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(spoolgate_exe SYSTEM PRIVATE ${third_party})
target_compile_definitions(spoolgate_exe PRIVATE UNICODE _UNICODE)
spoolgate_version_define(${here}/cli/win_main.cpp)
# wmain: the arguments arrive as UTF-16, whatever the console's code page.
target_link_options(spoolgate_exe PRIVATE -municode)
target_link_libraries(spoolgate_exe PRIVATE advapi32 winspool version)
spoolgate_version_resource(spoolgate_exe "spoolgate print server kit")
# The documents the help names, beside the program, as the MSI installs them.
foreach(doc deployment.md accounting-log.md accounting-database.md)
  add_custom_command(TARGET spoolgate_exe POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_SOURCE_DIR}/docs/${doc}
            $<TARGET_FILE_DIR:spoolgate_exe>/${doc})
endforeach()

# The MSI's custom action (packaging/spoolgate.wxs): runs the installed spoolgate.exe
# setup and puts its words into the installation's log and error. Only the release
# ships it, inside the MSI.
add_library(spoolgate_msi_action SHARED ${here}/winkit/win_msi_action.cpp
            ${here}/winkit/win_msi_action.def)
set_target_properties(spoolgate_msi_action PROPERTIES PREFIX "" OUTPUT_NAME spoolgate-msi-action)
target_compile_definitions(spoolgate_msi_action PRIVATE UNICODE _UNICODE)
target_link_libraries(spoolgate_msi_action PRIVATE msi)
spoolgate_version_resource(spoolgate_msi_action "spoolgate installer action: runs setup")
