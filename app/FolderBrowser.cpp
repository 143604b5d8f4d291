// Wraps SHBrowseForFolderA: the tree dialog returns an item id list, which is
// turned into a file-system path and freed with the shell's task allocator.
#include "app/FolderBrowser.h"

#include <objbase.h>
#include <shlobj.h>

bool BrowseForFolder(HWND owner, const char* title, std::string& path, std::string& display_name,
                     int start_at_programs, UINT flags) {
  // The dialog hosts shell objects; current shells expect an apartment on
  // the calling thread. Balance only an initialisation that we made.
  HRESULT com = CoInitialize(nullptr);
  bool com_owned = SUCCEEDED(com);

  bool chosen = false;
  IMalloc* allocator = nullptr;
  if (SUCCEEDED(CoGetMalloc(MEMCTX_TASK, &allocator)) && allocator != nullptr) {
    LPITEMIDLIST root = nullptr;
    bool root_ok = true;
    if (start_at_programs != 0) {
      root_ok = SUCCEEDED(SHGetSpecialFolderLocation(owner, CSIDL_PROGRAMS, &root));
    }
    if (root_ok) {
      char buffer[MAX_PATH] = {};
      BROWSEINFOA info = {};
      info.hwndOwner = owner;
      info.pidlRoot = root;
      info.pszDisplayName = buffer;
      info.lpszTitle = title;
      info.ulFlags = flags;
      LPITEMIDLIST item = SHBrowseForFolderA(&info);
      if (item != nullptr) {
        display_name = buffer;
        if (SHGetPathFromIDListA(item, buffer)) {
          buffer[MAX_PATH - 1] = '\0';
          path = buffer;
          chosen = true;
        }
        allocator->Free(item);
      }
      allocator->Free(root);  // freeing none is allowed
    }
    allocator->Release();
  }

  if (com_owned) CoUninitialize();
  return chosen;
}
