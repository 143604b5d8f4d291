// Archived names as vlarc treats them: which ones may be written under the
// extraction folder (and as what path), how they are shown, and how the
// names given on the command line select them. Archive names are hostile
// input: they may hold any byte.
#pragma once

#include <string>
#include <vector>

// The rules of the platform vlarc runs on: Windows adds its device names,
// its trailing dots and blanks, and the characters it does not allow.
#ifdef _WIN32
constexpr bool kWindowsNameRules = true;
#else
constexpr bool kWindowsNameRules = false;
#endif

// Splits an archived name into the folder names and file name it places
// under the extraction folder ('/' and '\' both separate; empty and "."
// parts drop out). A name that is refused gets the reason, and no parts:
// one that would leave the folder (absolute, a drive, a ".." part), one
// holding a NUL or control character, and with windows_rules a reserved
// device name, a part ending in a dot or blank, or a character Windows
// refuses.
bool split_entry_name(const std::string& name, bool windows_rules, std::vector<std::string>& parts,
                      std::string& reason);

// The text to print for a name or path: printable ASCII and well-formed
// UTF-8 as they are; control characters, invalid bytes, C1 controls and
// bidirectional overrides as \xNN per byte; a backslash that precedes an
// 'x' as \x5C, so that every escape reads back unambiguously.
std::string shown(const std::string& text);

// Whether a command-line NAME selects an archived name: equal, or equal
// with each '*' standing for any run of characters; '/' and '\' match
// each other.
bool name_matches(const std::string& pattern, const std::string& name);

// The key under which two targets are one file: the path itself, or with
// windows_rules its ASCII letters folded to one case.
std::string target_key(const std::vector<std::string>& parts, bool windows_rules);
