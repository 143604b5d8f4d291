# Compiler settings shared by every build of the tree.

if(WIN32)
  # Plain ANSI Win32; Windows 7 declarations, while the program itself looks
  # up anything newer at run time.
  add_compile_definitions(WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601 WINVER=0x0601 _WIN32_IE=0x0600 NOMINMAX)
  add_link_options(-static -static-libgcc -static-libstdc++)
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
