# GoogleTest from the Debian sources, built with the same compiler as the
# tree (so it is cross-built for the two Windows builds). Nothing is fetched.

set(VELMORA_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
if(NOT EXISTS ${VELMORA_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${VELMORA_GTEST_SOURCE}; run scripts/bootstrap")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${VELMORA_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
include(GoogleTest)

# velmora_add_gtest(name sources... [LIBS libs...] [LABELS label] [TIMEOUT s])
# A test program, registered test by test. Windows test programs run under
# wine64 through the cross-compiling emulator; discovery happens at test time
# so that building never starts Wine.
function(velmora_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LIBS;LABELS;RESOURCES" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS} ${ARG_RESOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  # Discovery at test time writes the properties out unquoted, so a list of
  # labels would be split into stray property names: one label per program.
  list(LENGTH ARG_LABELS label_count)
  if(label_count GREATER 1)
    message(FATAL_ERROR "velmora_add_gtest(${name}): give one label, not ${ARG_LABELS}")
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  velmora_gtest_tests(${name} DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
endfunction()

# velmora_gtest_tests(target [TEST_PREFIX p] [DISCOVERY_TIMEOUT s] PROPERTIES ...)
# Registers the tests of a GoogleTest program. On the host and under wine64
# each test is a CTest test of its own, listed at test time. The win32 build
# runs under emulated Wine (scripts/wine32-run), where every start of Wine
# costs seconds and listing alone would start every program: there the
# program is one test, run whole, with a time limit for all of it.
set(VELMORA_WHOLE_PROGRAM_TIMEOUT 1800)
# Tests left out of the emulated run for its time alone, as PROGRAM:TEST.
# Each is exhaustive fixed-width integer work, with no pointer-sized value in
# the code it covers, that the host and win64 builds run; under emulation it
# took most of its program's time.
set(VELMORA_WIN32_LEFT_OUT
  unpack_tests:DecodeTable.FastLookupEqualsTheSearchForEveryPeek)
function(velmora_gtest_tests target)
  cmake_parse_arguments(ARG "" "TEST_PREFIX;DISCOVERY_TIMEOUT" "PROPERTIES" ${ARGN})
  if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(left_out)
    foreach(entry IN LISTS VELMORA_WIN32_LEFT_OUT)
      if(entry MATCHES "^${target}:(.+)$")
        list(APPEND left_out ${CMAKE_MATCH_1})
      endif()
    endforeach()
    if(left_out)
      list(JOIN left_out ":" left_out)
      add_test(NAME ${target} COMMAND ${target} --gtest_filter=-${left_out})
    else()
      add_test(NAME ${target} COMMAND ${target})
    endif()
    set_tests_properties(${target} PROPERTIES ${ARG_PROPERTIES})
    set_tests_properties(${target} PROPERTIES TIMEOUT ${VELMORA_WHOLE_PROGRAM_TIMEOUT})
  else()
    gtest_discover_tests(${target}
      TEST_PREFIX "${ARG_TEST_PREFIX}"
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT ${ARG_DISCOVERY_TIMEOUT}
      PROPERTIES ${ARG_PROPERTIES})
  endif()
endfunction()
