// Writing one shortcut (.lnk) file through the shell's ShellLink object.
#pragma once

#include <windows.h>

#include <string>

// Makes link_file point at target with the given description; arguments and
// the icon (index 0 of icon_file) are set only when not empty. Any failing
// step means the shortcut is not made; the HRESULT of the first failing COM
// call (or of the save) is returned for callers that care. COM must be
// initialised on the calling thread.
HRESULT CreateShellLink(const std::string& target, const std::string& link_file,
                        const std::string& description, const std::string& arguments,
                        const std::string& icon_file);
