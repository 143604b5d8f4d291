// One shortcut file through the shell's ShellLink object: IShellLinkA to
// describe it, IPersistFile to write it.
#include "install/ShellUtl.h"

#include <objidl.h>
#include <shlobj.h>

#include "install/long_path.h"

HRESULT CreateShellLink(const std::string& target, const std::string& link_file,
                        const std::string& description, const std::string& arguments,
                        const std::string& icon_file) {
  IShellLinkA* link = nullptr;
  HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IShellLinkA, reinterpret_cast<void**>(&link));
  if (FAILED(result)) return result;

  IPersistFile* file = nullptr;
  result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
  if (FAILED(result)) {
    link->Release();
    return result;
  }

  link->SetPath(target.c_str());
  link->SetDescription(description.c_str());
  if (!arguments.empty()) link->SetArguments(arguments.c_str());
  if (!icon_file.empty()) link->SetIconLocation(icon_file.c_str(), 0);

  // IPersistFile takes the file name in UTF-16. A name that does not fit
  // is not saved under some truncated name.
  WCHAR wide_name[kMaxPathChars] = {};
  if (MultiByteToWideChar(CP_ACP, 0, link_file.c_str(), -1, wide_name, kMaxPathChars) == 0)
    result = HRESULT_FROM_WIN32(GetLastError());
  else
    result = file->Save(wide_name, TRUE);

  file->Release();
  link->Release();
  return result;
}
