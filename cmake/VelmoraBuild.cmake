# Compiler settings shared by every build of the tree.

if(WIN32)
  # Plain ANSI Win32; Windows 7 declarations, while the program itself looks
  # up anything newer at run time.
  add_compile_definitions(WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601 WINVER=0x0601 _WIN32_IE=0x0600 NOMINMAX)
  add_link_options(-static -static-libgcc -static-libstdc++)
  # Each function in a section of its own, so that the shipped programs'
  # links can drop whatever nothing calls (velmora_shipped below). Not each
  # datum: MinGW then gives zero-filled variables file space in .data (the
  # decoder's 32 KB state among them) instead of leaving them to .bss.
  add_compile_options(-ffunction-sections)
  # Built for size: the released programs are downloaded, and little of them
  # is hot. The decoder's library asks for speed again for itself.
  add_compile_options($<$<CONFIG:Release>:-Os>)
  # Reproducible programs: no link time in the PE header, and no build or
  # source folder in the strings the compiler embeds.
  add_link_options(-Wl,--no-insert-timestamp)
  add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
endif()

if(VELMORA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

macro(velmora_strict_warnings)
  add_compile_options(-Wall -Wextra -Werror)
  if(WIN32)
    # Window procedures and COM callbacks routinely ignore parameters.
    add_compile_options(-Wno-unused-parameter -Wno-cast-function-type)
  endif()
endmacro()

# velmora_gui_executable(name sources...): a Windows GUI-subsystem program.
function(velmora_gui_executable name)
  add_executable(${name} WIN32 ${ARGN})
endfunction()

# velmora_without_exceptions(targets...): code that neither throws nor
# catches, built without exception support (and, on i686, without the
# unwind tables that only exceptions would read).
function(velmora_without_exceptions)
  if(NOT WIN32)
    return()
  endif()
  foreach(target IN LISTS ARGN)
    target_compile_options(${target} PRIVATE -fno-exceptions)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      target_compile_options(${target} PRIVATE -fno-asynchronous-unwind-tables)
    endif()
  endforeach()
endfunction()

# velmora_shipped(target): a program that goes out to users. Built without
# exceptions or run-time type information, linked against the lean runtime
# (runtime/) with unused sections dropped, and stripped of symbols unless the
# build is one for debugging (the win32-debug preset).
function(velmora_shipped target)
  velmora_without_exceptions(${target})
  target_compile_options(${target} PRIVATE -fno-rtti)
  target_link_libraries(${target} PRIVATE velmora_runtime)
  target_link_options(${target} PRIVATE -Wl,--gc-sections $<$<NOT:$<CONFIG:Debug,RelWithDebInfo>>:-s>)
endfunction()

# velmora_manifest(SOURCE OUTPUT): a program's manifest as it is linked in:
# its assembly identity carries the project version (@PROJECT_VERSION_MAJOR@
# and @PROJECT_VERSION_MINOR@ in the source), and the comments and
# indentation that explain the source are left out of the program.
function(velmora_manifest source output)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)
  string(REGEX REPLACE "[ \t]*<!--([^-]|-[^-])*-->" "" text "${text}")
  string(REGEX REPLACE "\n[ \t\n]*" "\n" text "${text}")
  file(CONFIGURE OUTPUT ${output} CONTENT "${text}" @ONLY)
endfunction()
