# Packs the payload archive and writes the source that defines its unpacked
# size, the 100 % mark of the progress bar.
#   cmake -DVLARC=... -DFILES=a|b|c -DARCHIVE=... -DTOTAL_SOURCE=... -P make_payload.cmake
string(REPLACE "|" ";" files "${FILES}")

if(NOT EXISTS "${VLARC}")
  message(FATAL_ERROR "The archive tool ${VLARC} is missing: build the host tools first "
                      "(cmake --preset release && cmake --build build/release --target vlarc)")
endif()

file(REMOVE "${ARCHIVE}")
execute_process(COMMAND "${VLARC}" a -m5 "${ARCHIVE}" ${files}
                RESULT_VARIABLE rc)
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
