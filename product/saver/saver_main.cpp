// Velmora.scr entry point and windows.
//
//   Velmora.scr /s           full screen over the whole virtual screen (every
//                            monitor) until a key, a click or a real mouse move
//   Velmora.scr /p HWND      preview: a child window inside HWND, until HWND goes
//   Velmora.scr /c[:HWND]    the settings dialog (also with no arguments)
#include "product/saver/saver.h"

#include "install/dll_search.h"

#include <mmsystem.h>

#include <cstdlib>

namespace {

const char SaverClass[] = "VelmoraSaverWindow";
const UINT_PTR FrameTimer = 1;
const UINT FrameMilliseconds = 33;
// Mouse moves smaller than this (in pixels at 96 DPI, from where the pointer
// was first seen) are jitter, not a user coming back. The same hand moves
// further in pixels on a denser screen: the slack grows with the DPI.
const int MouseSlack = 8;

int MouseSlackPixels() {
  static int pixels = 0;
  if (pixels == 0) {
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    pixels = MulDiv(MouseSlack, dpi > 0 ? dpi : 96, 96);
  }
  return pixels;
}

struct TSaverWindowState {
  TSaverMode Mode = SaverFullScreen;
  HWND PreviewParent = nullptr;
  TSaverSettings Settings;
  TSaverScene Scene;
  HDC BackDC = nullptr;
  HBITMAP BackBitmap = nullptr;
  HGDIOBJ OldBitmap = nullptr;
  bool HaveMouse = false;
  POINT FirstMouse = {0, 0};
  bool Closing = false;
  bool Playing = false;
  // The sound library, loaded at start rather than imported (see
  // install/dll_search.h); null when missing, and the saver stays silent.
  BOOL(WINAPI* PlaySound)(LPCSTR, HMODULE, DWORD) = nullptr;
};

TSaverWindowState Saver;

void FreeBackBuffer() {
  if (!Saver.BackDC) return;
  SelectObject(Saver.BackDC, Saver.OldBitmap);
  DeleteObject(Saver.BackBitmap);
  DeleteDC(Saver.BackDC);
  Saver.BackDC = nullptr;
  Saver.BackBitmap = nullptr;
}

bool MakeBackBuffer(HWND wnd, int width, int height) {
  FreeBackBuffer();
  HDC dc = GetDC(wnd);
  if (!dc) return false;
  Saver.BackDC = CreateCompatibleDC(dc);
  Saver.BackBitmap = CreateCompatibleBitmap(dc, width > 0 ? width : 1, height > 0 ? height : 1);
  ReleaseDC(wnd, dc);
  if (!Saver.BackDC || !Saver.BackBitmap) {
    if (Saver.BackBitmap) DeleteObject(Saver.BackBitmap);
    if (Saver.BackDC) DeleteDC(Saver.BackDC);
    Saver.BackDC = nullptr;
    Saver.BackBitmap = nullptr;
    return false;
  }
  Saver.OldBitmap = SelectObject(Saver.BackDC, Saver.BackBitmap);
  return true;
}

void ShowFrame(HWND wnd, HDC dc) {
  if (!Saver.BackDC) return;
  BitBlt(dc, 0, 0, Saver.Scene.Width, Saver.Scene.Height, Saver.BackDC, 0, 0, SRCCOPY);
}

void CloseSaver(HWND wnd) {
  if (Saver.Closing) return;
  Saver.Closing = true;
  DestroyWindow(wnd);
}

LRESULT CALLBACK SaverWndProc(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  switch (msg) {
    case WM_CREATE: {
      RECT rc;
      GetClientRect(wnd, &rc);
      SceneInit(Saver.Scene, Saver.Settings, rc.right, rc.bottom, GetTickCount() | 1);
      MakeBackBuffer(wnd, rc.right, rc.bottom);
      SetTimer(wnd, FrameTimer, FrameMilliseconds, nullptr);
      return 0;
    }
    case WM_SIZE:
      if (LOWORD(lparam) > 0 && HIWORD(lparam) > 0) {
        SceneResize(Saver.Scene, LOWORD(lparam), HIWORD(lparam));
        MakeBackBuffer(wnd, LOWORD(lparam), HIWORD(lparam));
      }
      return 0;
    case WM_TIMER:
      if (wparam != FrameTimer) break;
      // The preview's parent may belong to another process that ends
      // without destroying it in an orderly way; look every frame.
      if (Saver.Mode == SaverPreview && !IsWindow(Saver.PreviewParent)) {
        CloseSaver(wnd);
        return 0;
      }
      SceneStep(Saver.Scene);
      if (Saver.BackDC) {
        SceneDraw(Saver.Scene, Saver.BackDC);
        if (HDC dc = GetDC(wnd)) {
          ShowFrame(wnd, dc);
          ReleaseDC(wnd, dc);
        }
      }
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(wnd, &ps);
      ShowFrame(wnd, dc);
      EndPaint(wnd, &ps);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;
    case WM_SETCURSOR:
      if (Saver.Mode == SaverFullScreen) {
        SetCursor(nullptr);
        return TRUE;
      }
      break;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_LBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_RBUTTONDOWN:
      if (Saver.Mode == SaverFullScreen) {
        CloseSaver(wnd);
        return 0;
      }
      break;
    case WM_MOUSEMOVE:
      if (Saver.Mode == SaverFullScreen) {
        POINT pt = {static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam))};
        if (!Saver.HaveMouse) {
          // The first move is the system reporting where the pointer rests.
          Saver.HaveMouse = true;
          Saver.FirstMouse = pt;
        } else if (std::abs(pt.x - Saver.FirstMouse.x) + std::abs(pt.y - Saver.FirstMouse.y) > MouseSlackPixels()) {
          CloseSaver(wnd);
        }
        return 0;
      }
      break;
    case WM_SYSCOMMAND:
      // Already running: do not let the system start another screen saver.
      if ((wparam & 0xFFF0) == SC_SCREENSAVE) return 0;
      break;
    case WM_DESTROY:
      KillTimer(wnd, FrameTimer);
      FreeBackBuffer();
      if (Saver.Playing) Saver.PlaySound(nullptr, nullptr, 0);
      Saver.Playing = false;
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(wnd, msg, wparam, lparam);
}

int RunSaverWindow(HINSTANCE instance, TSaverMode mode, HWND parent) {
  Saver.Mode = mode;
  Saver.PreviewParent = parent;
  Saver.Settings = LoadSaverSettings();

  WNDCLASSA wc = {};
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = SaverWndProc;
  wc.hInstance = instance;
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  wc.lpszClassName = SaverClass;
  wc.hCursor = mode == SaverPreview ? LoadCursor(nullptr, IDC_ARROW) : nullptr;
  if (!RegisterClassA(&wc)) return 1;

  HWND wnd;
  if (mode == SaverPreview) {
    RECT rc;
    if (!GetClientRect(parent, &rc)) return 1;
    wnd = CreateWindowExA(0, SaverClass, "Velmora Preview", WS_CHILD | WS_VISIBLE, 0, 0, rc.right,
                          rc.bottom, parent, nullptr, instance, nullptr);
  } else {
    int x = GetSystemMetrics(SM_XVIRTUALSCREEN), y = GetSystemMetrics(SM_YVIRTUALSCREEN);
    int w = GetSystemMetrics(SM_CXVIRTUALSCREEN), h = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    if (w <= 0 || h <= 0) {
      x = y = 0;
      w = GetSystemMetrics(SM_CXSCREEN);
      h = GetSystemMetrics(SM_CYSCREEN);
    }
    wnd = CreateWindowExA(WS_EX_TOPMOST, SaverClass, "Velmora", WS_POPUP | WS_VISIBLE, x, y, w, h,
                          nullptr, nullptr, instance, nullptr);
    if (wnd) {
      SetForegroundWindow(wnd);
      char chime[MAX_PATH + 32];
      if (Saver.Settings.Sound && Saver.PlaySound && FindChime(chime, sizeof chime))
        Saver.Playing = Saver.PlaySound(chime, nullptr, SND_FILENAME | SND_ASYNC | SND_LOOP | SND_NODEFAULT) != FALSE;
    }
  }
  if (!wnd) return 1;

  MSG m;
  while (GetMessageA(&m, nullptr, 0, 0) > 0) {
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR args, int) {
  // A screen saver is started from wherever it lies, by the system or by
  // hand: libraries come from the system folder only.
  const bool search_restricted = RestrictDllSearch();
  TSaverCommand cmd = ParseSaverCommand(args);
  HWND window = reinterpret_cast<HWND>(cmd.Window);
  switch (cmd.Mode) {
    case SaverFullScreen:
      if (HMODULE sound = LoadSystemLibrary("winmm.dll", search_restricted))
        Saver.PlaySound = reinterpret_cast<BOOL(WINAPI*)(LPCSTR, HMODULE, DWORD)>(
            GetProcAddress(sound, "PlaySoundA"));
      return RunSaverWindow(instance, SaverFullScreen, nullptr);
    case SaverPreview:
      if (!IsWindow(window)) return 1;
      return RunSaverWindow(instance, SaverPreview, window);
    case SaverPassword:
      return 0;
    case SaverConfig:
      RunSettingsDialog(instance, IsWindow(window) ? window : nullptr, search_restricted);
      return 0;
  }
  return 0;
}
