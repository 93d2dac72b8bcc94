# Writes the helper program's two property lists and the C++ source that
# embeds them, and the systemd unit, in ELF sections. Run at every build (cmake -P), so that the
# provenance names the source as it is when the program is linked:
#
#   cmake -DTARNEL_VALUES=<values.cmake> -DTARNEL_SOURCE_DIR=<checkout>
#         -DTARNEL_OUTPUT_DIR=<directory> -P generate_property_lists.cmake
#
# TARNEL_VALUES sets the property lists' values and TARNEL_HELPER_SYSTEMD_UNIT,
# the path of the unit made at configure time (helper/program/CMakeLists.txt
# writes it then). The outputs in TARNEL_OUTPUT_DIR, each
# rewritten only when its content changes, so that an unchanged source
# rebuilds nothing:
#
#   info.plist                    the information property list
#   launchd.plist                 the launchd job
#   helper_program_sections.cpp   both and the unit, as the sections' bytes
#
# Provenance from git: TarnelSourceRevision is HEAD's commit,
# TarnelSourceTree HEAD's tree, TarnelSourceDirty "true" when tracked files
# differ from HEAD or files that git does not ignore are untracked (the build
# compiles every source file of a folder, tracked or not). A source directory
# that is not the top of a git checkout, or a machine without git, gives
# "unknown" for all three; that is never an error.

cmake_minimum_required(VERSION 3.25)

foreach(required TARNEL_VALUES TARNEL_SOURCE_DIR TARNEL_OUTPUT_DIR)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "generate_property_lists.cmake: ${required} is not set")
  endif()
endforeach()
include(${TARNEL_VALUES})

set(TARNEL_SOURCE_DIRTY unknown)
set(TARNEL_SOURCE_REVISION unknown)
set(TARNEL_SOURCE_TREE unknown)

# Runs git in the source directory; sets <output> to its trimmed standard
# output, or to nothing when git fails.
function(tarnel_git output)
  set(${output} "" PARENT_SCOPE)
  if(NOT git)
    return()
  endif()
  # --no-optional-locks: reading the status must never take the index lock
  # that a concurrent git command in the same checkout may hold.
  execute_process(
    COMMAND ${git} --no-optional-locks -C ${TARNEL_SOURCE_DIR} ${ARGN}
    RESULT_VARIABLE result
    OUTPUT_VARIABLE text
    ERROR_QUIET
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(result EQUAL 0)
    set(${output} "${text}" PARENT_SCOPE)
  endif()
endfunction()

find_program(git NAMES git)
tarnel_git(top rev-parse --show-toplevel)
file(REAL_PATH "${TARNEL_SOURCE_DIR}" source_real)
if(top)
  file(REAL_PATH "${top}" top)
endif()
# Only the checkout of this source counts: a source tree unpacked somewhere
# inside another repository is not that repository's HEAD.
if(top AND top STREQUAL source_real)
  tarnel_git(revision rev-parse --verify --quiet HEAD^{commit})
  tarnel_git(tree rev-parse --verify --quiet HEAD^{tree})
  if(revision AND tree)
    # A status that cannot be read leaves all three unknown, as one record.
    execute_process(
      COMMAND ${git} --no-optional-locks -C ${TARNEL_SOURCE_DIR} status --porcelain --untracked-files=normal
      RESULT_VARIABLE status_result
      OUTPUT_VARIABLE status
      ERROR_QUIET)
    if(status_result EQUAL 0)
      set(TARNEL_SOURCE_REVISION ${revision})
      set(TARNEL_SOURCE_TREE ${tree})
      if(status STREQUAL "")
        set(TARNEL_SOURCE_DIRTY false)
      else()
        set(TARNEL_SOURCE_DIRTY true)
      endif()
    endif()
  endif()
endif()

foreach(name TARNEL_HELPER_LABEL TARNEL_HELPER_BUNDLE_NAME TARNEL_HELPER_SHORT_VERSION TARNEL_HELPER_BUNDLE_VERSION
             TARNEL_HELPER_MINIMUM_SYSTEM_VERSION TARNEL_HELPER_AUTHORIZED_CLIENT TARNEL_HELPER_SYSTEMD_UNIT)
  if(NOT DEFINED ${name})
    message(FATAL_ERROR "generate_property_lists.cmake: ${TARNEL_VALUES} does not set ${name}")
  endif()
endforeach()
# The property lists' values go into XML text.
foreach(name TARNEL_HELPER_LABEL TARNEL_HELPER_BUNDLE_NAME TARNEL_HELPER_SHORT_VERSION TARNEL_HELPER_BUNDLE_VERSION
             TARNEL_HELPER_MINIMUM_SYSTEM_VERSION TARNEL_HELPER_AUTHORIZED_CLIENT)
  string(REPLACE "&" "&amp;" escaped "${${name}}")
  string(REPLACE "<" "&lt;" escaped "${escaped}")
  string(REPLACE ">" "&gt;" escaped "${escaped}")
  set(${name} "${escaped}")
endforeach()

# configure_file leaves an output whose content is unchanged untouched.
get_filename_component(templates ${CMAKE_CURRENT_LIST_FILE} DIRECTORY)
configure_file(${templates}/info.plist.in ${TARNEL_OUTPUT_DIR}/info.plist @ONLY)
configure_file(${templates}/launchd.plist.in ${TARNEL_OUTPUT_DIR}/launchd.plist @ONLY)

# The bytes of a file as the initializer of a char array, 16 to a line.
function(tarnel_byte_initializer file output)
  file(READ ${file} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1', " bytes "${hex}")
  string(REPEAT "'[^']+', " 16 line)
  string(REGEX REPLACE "(${line})" "\\1\n    " bytes "${bytes}")
  string(REPLACE ", \n" ",\n" bytes "${bytes}")
  string(STRIP "${bytes}" bytes)
  set(${output} "    ${bytes}" PARENT_SCOPE)
endfunction()

tarnel_byte_initializer(${TARNEL_OUTPUT_DIR}/info.plist information_bytes)
tarnel_byte_initializer(${TARNEL_OUTPUT_DIR}/launchd.plist launchd_bytes)
tarnel_byte_initializer(${TARNEL_HELPER_SYSTEMD_UNIT} unit_bytes)
set(source [=[// Generated by helper/program/generate_property_lists.cmake at build time.
//
// The helper's two property lists and its systemd unit, each alone in an ELF
// section of its own, as the files' bytes (no terminator), so that
// `objcopy --dump-section` gives the files themselves. `used` and `retain` keep them even when nothing refers to
// them and the link drops unused sections.

#include "helper/program/helper_program_info.hpp"

extern "C" {
__attribute__((section(".tarnel_info_plist"), used, retain)) extern const char tarnel_helper_information_plist[] = {
@information_bytes@
};
__attribute__((section(".tarnel_launchd_plist"), used, retain)) extern const char tarnel_helper_launchd_plist[] = {
@launchd_bytes@
};
__attribute__((section(".tarnel_systemd_unit"), used, retain)) extern const char tarnel_helper_systemd_unit[] = {
@unit_bytes@
};
}

namespace tarnel::HelperProgramInfo {

std::string_view informationPropertyList() noexcept {
    return {tarnel_helper_information_plist, sizeof tarnel_helper_information_plist};
}

std::string_view launchdPropertyList() noexcept {
    return {tarnel_helper_launchd_plist, sizeof tarnel_helper_launchd_plist};
}

std::string_view systemdUnit() noexcept { return {tarnel_helper_systemd_unit, sizeof tarnel_helper_systemd_unit}; }

}  // namespace tarnel::HelperProgramInfo
]=])
string(CONFIGURE "${source}" source @ONLY)
file(WRITE ${TARNEL_OUTPUT_DIR}/helper_program_sections.cpp.new "${source}")
file(COPY_FILE ${TARNEL_OUTPUT_DIR}/helper_program_sections.cpp.new ${TARNEL_OUTPUT_DIR}/helper_program_sections.cpp
     ONLY_IF_DIFFERENT)
file(REMOVE ${TARNEL_OUTPUT_DIR}/helper_program_sections.cpp.new)
