// Command line, settings and the settings dialog of Velmora.scr.
#include "product/saver/saver.h"

#include "install/dll_search.h"
#include "product/decimal_text.h"

#include <commctrl.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

const char* const SaverSettingsKey = "Software\\Tarvik\\Velmora";

// ---- Command line -------------------------------------------------------------

TSaverCommand ParseSaverCommand(const char* args) {
  TSaverCommand cmd;
  const char* p = args ? args : "";
  // The switch is the first word that starts with '/' or '-'. Words before
  // it are the rest of an unquoted program path with blanks, which the
  // runtime cuts at the first blank.
  for (;;) {
    while (*p == ' ' || *p == '\t') p++;
    if (!*p) return cmd;  // no switch: settings
    if (*p == '/' || *p == '-') break;
    while (*p && *p != ' ' && *p != '\t') p++;
  }
  char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(p[1])));
  if (!letter) return cmd;
  p += 2;
  while (*p == ' ' || *p == '\t' || *p == ':') p++;
  uintptr_t window = 0;
  bool has_window = false;
  while (*p >= '0' && *p <= '9') {
    window = window * 10 + static_cast<uintptr_t>(*p - '0');
    has_window = true;
    p++;
  }
  switch (letter) {
    case 's':
      cmd.Mode = SaverFullScreen;
      break;
    case 'p':
    case 'l':
      // A preview needs its window; without one the settings are safer than
      // a full-screen run nobody asked for.
      if (has_window && window != 0) {
        cmd.Mode = SaverPreview;
        cmd.Window = window;
      }
      break;
    case 'a':
      cmd.Mode = SaverPassword;
      cmd.Window = window;
      break;
    default:  // 'c' and anything unknown
      cmd.Window = has_window ? window : 0;
      break;
  }
  return cmd;
}

// ---- Settings ---------------------------------------------------------------------

static int ReadDword(HKEY key, const char* name, int fallback, int low, int high) {
  DWORD type = 0, value = 0, size = sizeof value;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof value)
    return fallback;
  if (static_cast<int>(value) < low || static_cast<int>(value) > high) return fallback;
  return static_cast<int>(value);
}

TSaverSettings LoadSaverSettings() {
  TSaverSettings s;
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, SaverSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return s;
  s.Speed = ReadDword(key, "Speed", s.Speed, 1, 10);
  s.Ribbons = ReadDword(key, "Ribbons", s.Ribbons, 1, MaxRibbons);
  s.Sound = ReadDword(key, "Sound", s.Sound ? 1 : 0, 0, 1) != 0;
  RegCloseKey(key);
  return s;
}

bool SaveSaverSettings(const TSaverSettings& s) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, SaverSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  DWORD values[3] = {static_cast<DWORD>(s.Speed), static_cast<DWORD>(s.Ribbons), s.Sound ? 1u : 0u};
  const char* names[3] = {"Speed", "Ribbons", "Sound"};
  bool ok = true;
  for (int i = 0; i < 3; i++)
    ok = RegSetValueExA(key, names[i], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&values[i]),
                        sizeof(DWORD)) == ERROR_SUCCESS && ok;
  RegCloseKey(key);
  return ok;
}

bool FindChime(char* path, size_t size) {
  path[0] = 0;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Velmora.scr",
                    0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  char folder[MAX_PATH + 1] = {0};
  DWORD type = 0, len = MAX_PATH;
  LONG rc = RegQueryValueExA(key, "Path", nullptr, &type, reinterpret_cast<BYTE*>(folder), &len);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_SZ || !folder[0]) return false;
  static const char kChime[] = "Velmora.wav";
  size_t n = std::strlen(folder);
  const bool sep = folder[n - 1] != '\\' && folder[n - 1] != '/';
  if (n + sep + sizeof kChime > size) return false;  // with its zero, the path does not fit
  std::memcpy(path, folder, n);
  if (sep) path[n++] = '\\';
  std::memcpy(path + n, kChime, sizeof kChime);
  DWORD attr = GetFileAttributesA(path);
  if (attr == INVALID_FILE_ATTRIBUTES || (attr & FILE_ATTRIBUTE_DIRECTORY)) {
    path[0] = 0;
    return false;
  }
  return true;
}

// ---- Settings dialog ------------------------------------------------------------

static INT_PTR CALLBACK SettingsDialogProc(HWND dlg, UINT msg, WPARAM wparam, LPARAM lparam) {
  switch (msg) {
    case WM_INITDIALOG: {
      TSaverSettings s = LoadSaverSettings();
      HWND speed = GetDlgItem(dlg, IDC_SPEED);
      SendMessageA(speed, TBM_SETRANGE, TRUE, MAKELPARAM(1, 10));
      SendMessageA(speed, TBM_SETPOS, TRUE, s.Speed);
      HWND ribbons = GetDlgItem(dlg, IDC_RIBBONS);
      for (int i = 1; i <= MaxRibbons; i++) {
        char text[kDecimalTextSize];
        decimal_text(static_cast<uint64_t>(i), text);
        SendMessageA(ribbons, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
      }
      SendMessageA(ribbons, CB_SETCURSEL, static_cast<WPARAM>(s.Ribbons - 1), 0);
      CheckDlgButton(dlg, IDC_SOUND, s.Sound ? BST_CHECKED : BST_UNCHECKED);
      return TRUE;
    }
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case IDOK: {
          TSaverSettings s;
          s.Speed = static_cast<int>(SendDlgItemMessageA(dlg, IDC_SPEED, TBM_GETPOS, 0, 0));
          if (s.Speed < 1) s.Speed = 1;
          if (s.Speed > 10) s.Speed = 10;
          LRESULT sel = SendDlgItemMessageA(dlg, IDC_RIBBONS, CB_GETCURSEL, 0, 0);
          s.Ribbons = sel == CB_ERR ? TSaverSettings().Ribbons : static_cast<int>(sel) + 1;
          s.Sound = IsDlgButtonChecked(dlg, IDC_SOUND) == BST_CHECKED;
          if (!SaveSaverSettings(s))
            MessageBoxA(dlg, "The settings could not be saved.", "Velmora", MB_OK | MB_ICONWARNING);
          EndDialog(dlg, IDOK);
          return TRUE;
        }
        case IDCANCEL:
          EndDialog(dlg, IDCANCEL);
          return TRUE;
      }
      break;
  }
  return FALSE;
}

void RunSettingsDialog(HINSTANCE instance, HWND parent, bool search_restricted) {
  // Without the library the slider is missing and the dialog cannot be made;
  // that is all the harm.
  HMODULE controls = LoadSystemLibrary("comctl32.dll", search_restricted);
  using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  auto init = controls ? reinterpret_cast<InitFn>(GetProcAddress(controls, "InitCommonControlsEx")) : nullptr;
  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_BAR_CLASSES};
  if (init != nullptr) init(&icc);
  DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_SETTINGS), parent, SettingsDialogProc, 0);
  if (controls != nullptr) FreeLibrary(controls);
}
