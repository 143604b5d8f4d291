// The shell's folder-browse dialog in one call, for the wizard's Browse
// buttons.
#pragma once

#include <windows.h>

#include <string>

// Shows the dialog with `title` above the tree. The tree is rooted at the
// current user's Start-menu Programs folder when start_at_programs is
// nonzero, else it shows the whole shell namespace. True when the user chose
// an item with a file-system path, which then replaces `path` (at most 260
// characters); `display_name` receives the chosen item's name whenever one
// was chosen. Nothing changes when the dialog is cancelled.
bool BrowseForFolder(HWND owner, const char* title, std::string& path, std::string& display_name,
                     int start_at_programs, UINT flags);
