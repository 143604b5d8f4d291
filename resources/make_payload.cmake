# Packs the payload archive and writes the source that defines its unpacked
# size, the 100 % mark of the progress bar.
#   cmake -DVLARC=... -DFILES=a|b|c -DARCHIVE=... -DTOTAL_SOURCE=... -P make_payload.cmake
cmake_minimum_required(VERSION 3.25)
string(REPLACE "|" ";" files "${FILES}")

if(NOT EXISTS "${VLARC}")
  message(FATAL_ERROR "The archive tool ${VLARC} is missing: build the host tools first "
                      "(cmake --preset release && cmake --build build/release --target vlarc)")
endif()

# The archive holds bare names, not the build machine's folders: the files
# are packed from a staging folder, in the order given.
set(stage "${ARCHIVE}.stage")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}")
set(names)
foreach(f IN LISTS files)
  get_filename_component(name "${f}" NAME)
  if(name IN_LIST names)
    message(FATAL_ERROR "two payload files are named ${name}")
  endif()
  list(APPEND names "${name}")
  file(COPY "${f}" DESTINATION "${stage}")
endforeach()

# Nor the build's time: every entry is dated with the release time (local
# 1998-12-01 01:06:00, the time the setup stamps on the installed files), read
# in one fixed zone, so that two builds give the same archive.
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC0 touch -d "1998-12-01 01:06:00" ${names}
                WORKING_DIRECTORY "${stage}"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "could not date the payload files (status ${rc})")
endif()

file(REMOVE "${ARCHIVE}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC0 "${VLARC}" a -m5 "${ARCHIVE}" ${names}
                WORKING_DIRECTORY "${stage}"
                RESULT_VARIABLE rc)
file(REMOVE_RECURSE "${stage}")
if(NOT rc EQUAL 0 OR NOT EXISTS "${ARCHIVE}")
  file(REMOVE "${ARCHIVE}")
  message(FATAL_ERROR "vlarc could not pack the payload (status ${rc})")
endif()

# The archive holds each file whole, so the unpacked total is the sum of the
# files' sizes.
set(total 0)
foreach(f IN LISTS files)
  file(SIZE "${f}" size)
  math(EXPR total "${total} + ${size}")
endforeach()

file(WRITE "${TOTAL_SOURCE}.tmp"
"// Generated from the payload when the setup is built; do not edit.\n"
"#include \"install/install_files.h\"\n"
"\n"
"const int32_t ArchiveTotalBytes = ${total};\n")
file(COPY_FILE "${TOTAL_SOURCE}.tmp" "${TOTAL_SOURCE}" ONLY_IF_DIFFERENT)
file(REMOVE "${TOTAL_SOURCE}.tmp")
