// Velmora.scr as the system runs it: the preview inside a window of ours,
// the full-screen run and its end, the settings dialog driven from outside;
// and its command-line forms.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "product/decimal_text.h"
#include "product/saver/saver.h"
#include "tests/product/product_test_util.h"

using namespace product_test;

namespace {

const char SettingsKey[] = "Software\\Tarvik\\Velmora";

std::string Saver() { return PayloadFile("Velmora.scr"); }

TEST(SaverCommand, AcceptsTheUsualForms) {
  struct { const char* args; TSaverMode mode; uintptr_t window; } cases[] = {
      {"/s", SaverFullScreen, 0},
      {"-S", SaverFullScreen, 0},
      {"  /s  ", SaverFullScreen, 0},
      {"/p 1234", SaverPreview, 1234},
      {"/P:1234", SaverPreview, 1234},
      {"-p  987654", SaverPreview, 987654},
      {"/l 55", SaverPreview, 55},
      {"/c", SaverConfig, 0},
      {"/c:1234", SaverConfig, 1234},
      {"-c 77", SaverConfig, 77},
      {"", SaverConfig, 0},
      {"/a 12", SaverPassword, 12},
      // A preview without its window falls back to the settings, not a
      // full-screen run.
      {"/p", SaverConfig, 0},
      {"/p:", SaverConfig, 0},
      // The tail of an unquoted program path with blanks precedes the switch.
      {"Files\\Velmora\\Velmora.scr /s", SaverFullScreen, 0},
      {"Files\\Velmora.scr /p:42", SaverPreview, 42},
  };
  for (const auto& c : cases) {
    TSaverCommand cmd = ParseSaverCommand(c.args);
    EXPECT_EQ(cmd.Mode, c.mode) << '"' << c.args << '"';
    EXPECT_EQ(cmd.Window, c.window) << '"' << c.args << '"';
  }
}

// The chime is found through the screen saver's App Paths entry.
TEST(SaverChime, IsFoundBesideTheInstalledFiles) {
  const char key[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Velmora.scr";
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  std::string folder = std::string(temp) + "velmora-chime-test";
  CreateDirectoryA(folder.c_str(), nullptr);
  std::string wav = folder + "\\Velmora.wav";
  DeleteFileA(wav.c_str());
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
  char found[MAX_PATH + 32];

  EXPECT_FALSE(FindChime(found, sizeof found)) << "no App Paths entry";
  ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, key, "Path", folder));
  EXPECT_FALSE(FindChime(found, sizeof found)) << "no chime in the folder";
  ASSERT_TRUE(CopyFileA(PayloadFile("Velmora.wav").c_str(), wav.c_str(), FALSE));
  ASSERT_TRUE(FindChime(found, sizeof found));
  EXPECT_STREQ(found, wav.c_str());
  ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, key, "Path", folder + "\\"));
  ASSERT_TRUE(FindChime(found, sizeof found));
  EXPECT_STREQ(found, wav.c_str()) << "a trailing separator is not doubled";
  char small[8];
  EXPECT_FALSE(FindChime(small, sizeof small)) << "a path that does not fit is no path";
  EXPECT_STREQ(small, "");

  RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
  DeleteFileA(wav.c_str());
  RemoveDirectoryA(folder.c_str());
}

// ---- Preview ------------------------------------------------------------------

HWND MakeHostWindow() {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  wc.lpszClassName = "VelmoraPreviewHost";
  RegisterClassA(&wc);
  HWND w = CreateWindowExA(0, wc.lpszClassName, "Preview host", WS_POPUP | WS_VISIBLE, 40, 40, 240, 180,
                           nullptr, nullptr, wc.hInstance, nullptr);
  UpdateWindow(w);
  Pump(200);
  return w;
}

// The preview as the Display control panel runs it: a child of another
// process's window. (Wine 8 gives a window whose top-level window belongs to
// another process no drawable, so what the child draws never reaches the
// screen there; the picture itself is checked in-process below.)
TEST(SaverPreview, LivesInsideTheGivenWindowAndEndsWithIt) {
  HWND host = MakeHostWindow();
  ASSERT_NE(host, nullptr);

  TProcess p;
  char command[512];
  std::snprintf(command, sizeof command, "\"%s\" /p %llu", Saver().c_str(),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(host)));
  ASSERT_TRUE(Start(command, p));
  HWND child = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (child = FindWindowExA(host, nullptr, "VelmoraSaverWindow", nullptr)) != nullptr; }))
      << "no preview window inside ours";
  DWORD owner = 0;
  GetWindowThreadProcessId(child, &owner);
  EXPECT_EQ(owner, p.Info.dwProcessId);
  EXPECT_TRUE(GetWindowLongPtrA(child, GWL_STYLE) & WS_CHILD);
  RECT host_rc, child_rc;
  GetClientRect(host, &host_rc);
  GetClientRect(child, &child_rc);
  EXPECT_EQ(child_rc.right, host_rc.right);
  EXPECT_EQ(child_rc.bottom, host_rc.bottom);

  // It paints when asked to, and keeps running while its window is there.
  Pump(500);
  InvalidateRect(child, nullptr, FALSE);
  EXPECT_TRUE(WaitFor([&] { return !GetUpdateRect(child, nullptr, FALSE); }, 5000)) << "WM_PAINT not served";
  EXPECT_TRUE(p.Running());

  DestroyWindow(host);
  EXPECT_EQ(p.Wait(15000), 0) << "the preview ends when its window goes";
}

TEST(SaverPreview, RefusesAWindowThatDoesNotExist) {
  TProcess p;
  ASSERT_TRUE(Start("\"" + Saver() + "\" /p 4026531839", p));
  EXPECT_EQ(p.Wait(15000), 1);
}

// The picture, drawn in-process into a bitmap: coloured ribbons on black
// that move from frame to frame.
TEST(SaverArt, DrawsMovingColouredRibbons) {
  const int w = 320, h = 200;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  ReleaseDC(nullptr, screen);
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  ASSERT_NE(bmp, nullptr);
  HGDIOBJ old = SelectObject(mem, bmp);
  auto frame = [&] {
    GdiFlush();
    const uint32_t* p = static_cast<const uint32_t*>(bits);
    return std::vector<uint32_t>(p, p + w * h);
  };

  TSaverSettings settings;
  settings.Ribbons = 99;  // clamped to what the scene holds
  TSaverScene scene;
  SceneInit(scene, settings, w, h, 12345);
  EXPECT_EQ(scene.RibbonCount, MaxRibbons);
  for (int i = 0; i < TrailLength + 5; i++) SceneStep(scene);
  SceneDraw(scene, mem);
  std::vector<uint32_t> a = frame();
  SceneStep(scene);
  SceneDraw(scene, mem);
  std::vector<uint32_t> b = frame();

  size_t lit = 0, moved = 0;
  std::set<uint32_t> colours;
  for (size_t i = 0; i < a.size(); i++) {
    lit += (a[i] & 0xFFFFFF) != 0;
    moved += a[i] != b[i];
    colours.insert(a[i] & 0xFFFFFF);
  }
  EXPECT_GT(lit, a.size() / 10) << "ribbons cover part of the picture";
  EXPECT_LT(lit, a.size()) << "on a black ground";
  EXPECT_GT(colours.size(), 50u) << "shaded, not flat";
  EXPECT_GT(moved, 100u) << "the next frame differs";

  // Resizing keeps every point inside the new picture.
  SceneResize(scene, 50, 40);
  for (int i = 0; i < 3; i++) SceneStep(scene);
  for (int r = 0; r < scene.RibbonCount; r++)
    for (int k = 0; k < scene.Ribbons[r].Count; k++) {
      EXPECT_GE(scene.Ribbons[r].EndA[k].X, 0.0f);
      EXPECT_LE(scene.Ribbons[r].EndA[k].X, 50.0f);
      EXPECT_LE(scene.Ribbons[r].EndB[k].Y, 40.0f);
    }
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
}

// ---- Full screen ----------------------------------------------------------------

void QuietSettings() {
  // No chime in the tests: the machine may have no sound device.
  ASSERT_TRUE(WriteDword(HKEY_CURRENT_USER, SettingsKey, "Sound", 0));
}

HWND StartFullScreen(TProcess& p) {
  SetCursorPos(100, 100);
  if (!Start("\"" + Saver() + "\" /s", p)) return nullptr;
  HWND w = nullptr;
  WaitFor([&] { return (w = FindProcessWindow(p.Info.dwProcessId, "VelmoraSaverWindow", nullptr)) != nullptr; });
  return w;
}

TEST(SaverFullScreen, CoversTheVirtualScreenAndEndsOnAKeyButNotOnJitter) {
  QuietSettings();
  TProcess p;
  HWND w = StartFullScreen(p);
  ASSERT_NE(w, nullptr) << "no full-screen window";
  RECT rc;
  GetWindowRect(w, &rc);
  EXPECT_EQ(rc.left, GetSystemMetrics(SM_XVIRTUALSCREEN));
  EXPECT_EQ(rc.top, GetSystemMetrics(SM_YVIRTUALSCREEN));
  EXPECT_EQ(rc.right - rc.left, GetSystemMetrics(SM_CXVIRTUALSCREEN));
  EXPECT_EQ(rc.bottom - rc.top, GetSystemMetrics(SM_CYVIRTUALSCREEN));
  EXPECT_TRUE(GetWindowLongPtrA(w, GWL_EXSTYLE) & WS_EX_TOPMOST);

  // The pointer resting where it is, then trembling by a few pixels.
  PostMessageA(w, WM_MOUSEMOVE, 0, MAKELPARAM(100, 100));
  PostMessageA(w, WM_MOUSEMOVE, 0, MAKELPARAM(103, 102));
  PostMessageA(w, WM_MOUSEMOVE, 0, MAKELPARAM(99, 104));
  Pump(700);
  EXPECT_TRUE(p.Running()) << "small mouse jitter ended the screen saver";

  PostMessageA(w, WM_KEYDOWN, VK_SPACE, 0);
  EXPECT_EQ(p.Wait(15000), 0);
}

TEST(SaverFullScreen, EndsOnARealMouseMoveAndOnAClick) {
  QuietSettings();
  {
    TProcess p;
    HWND w = StartFullScreen(p);
    ASSERT_NE(w, nullptr);
    PostMessageA(w, WM_MOUSEMOVE, 0, MAKELPARAM(100, 100));
    PostMessageA(w, WM_MOUSEMOVE, 0, MAKELPARAM(160, 140));
    EXPECT_EQ(p.Wait(15000), 0);
  }
  {
    TProcess p;
    HWND w = StartFullScreen(p);
    ASSERT_NE(w, nullptr);
    PostMessageA(w, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(100, 100));
    EXPECT_EQ(p.Wait(15000), 0);
  }
}

// ---- Settings dialog -------------------------------------------------------------

HWND OpenSettings(TProcess& p, const std::string& args) {
  std::string command = "\"" + Saver() + "\"" + (args.empty() ? "" : " " + args);
  if (!Start(command, p)) return nullptr;
  HWND dlg = nullptr;
  WaitFor([&] { return (dlg = FindProcessWindow(p.Info.dwProcessId, "#32770", "Velmora Settings")) != nullptr; });
  return dlg;
}

struct TShown {
  LRESULT Speed, Ribbons, Sound;
};

TShown Shown(HWND dlg) {
  return {SendDlgItemMessageA(dlg, IDC_SPEED, TBM_GETPOS, 0, 0), SendDlgItemMessageA(dlg, IDC_RIBBONS, CB_GETCURSEL, 0, 0),
          SendDlgItemMessageA(dlg, IDC_SOUND, BM_GETCHECK, 0, 0)};
}

// The small programs' own number writer against the library's formatter,
// at every change of length and at the ends of the 32- and 64-bit ranges.
TEST(DecimalText, AgreesWithTheLibraryFormatter) {
  std::vector<uint64_t> values = {0, 1, 9, 10, 99, 100, 4294967295u, 4294967296u, UINT64_MAX, UINT64_MAX - 1};
  for (uint64_t v = 7, i = 0; i < 200; i++, v = v * 6364136223846793005u + 1442695040888963407u) values.push_back(v >> (i % 64));
  for (uint64_t v : values) {
    char ours[kDecimalTextSize], theirs[32];
    size_t n = decimal_text(v, ours);
    std::snprintf(theirs, sizeof theirs, "%llu", static_cast<unsigned long long>(v));
    EXPECT_STREQ(ours, theirs);
    EXPECT_EQ(n, std::strlen(theirs));
  }
}

TEST(SaverSettings, DialogShowsAndSavesTheUsersChoice) {
  RegDeleteKeyA(HKEY_CURRENT_USER, SettingsKey);

  {  // No settings yet: the defaults. OK saves what the user set.
    TProcess p;
    HWND dlg = OpenSettings(p, "/c");
    ASSERT_NE(dlg, nullptr) << "no settings dialog";
    TShown s = Shown(dlg);
    EXPECT_EQ(s.Speed, 5);
    EXPECT_EQ(s.Ribbons, 3) << "4 ribbons";
    EXPECT_EQ(s.Sound, BST_CHECKED);
    // The ribbon counts are listed as their numbers, 1 upwards.
    LRESULT items = SendDlgItemMessageA(dlg, IDC_RIBBONS, CB_GETCOUNT, 0, 0);
    EXPECT_GT(items, 1);
    for (LRESULT i = 0; i < items; i++) {
      char text[16] = {0};
      SendDlgItemMessageA(dlg, IDC_RIBBONS, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
      EXPECT_EQ(std::atoi(text), i + 1) << text;
    }
    SendDlgItemMessageA(dlg, IDC_SPEED, TBM_SETPOS, TRUE, 9);
    SendDlgItemMessageA(dlg, IDC_RIBBONS, CB_SETCURSEL, 6, 0);
    SendDlgItemMessageA(dlg, IDC_SOUND, BM_SETCHECK, BST_UNCHECKED, 0);
    PostMessageA(dlg, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(p.Wait(15000), 0);
  }
  DWORD speed = 0, ribbons = 0, sound = 1;
  EXPECT_TRUE(ReadDword(HKEY_CURRENT_USER, SettingsKey, "Speed", speed));
  EXPECT_TRUE(ReadDword(HKEY_CURRENT_USER, SettingsKey, "Ribbons", ribbons));
  EXPECT_TRUE(ReadDword(HKEY_CURRENT_USER, SettingsKey, "Sound", sound));
  EXPECT_EQ(speed, 9u);
  EXPECT_EQ(ribbons, 7u);
  EXPECT_EQ(sound, 0u);

  {  // The ":HWND" form (with a window that does not exist) and Cancel.
    TProcess p;
    HWND dlg = OpenSettings(p, "/c:4026531839");
    ASSERT_NE(dlg, nullptr);
    TShown s = Shown(dlg);
    EXPECT_EQ(s.Speed, 9);
    EXPECT_EQ(s.Ribbons, 6);
    EXPECT_EQ(s.Sound, BST_UNCHECKED);
    SendDlgItemMessageA(dlg, IDC_SPEED, TBM_SETPOS, TRUE, 2);
    PostMessageA(dlg, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(p.Wait(15000), 0);
  }
  EXPECT_TRUE(ReadDword(HKEY_CURRENT_USER, SettingsKey, "Speed", speed));
  EXPECT_EQ(speed, 9u) << "Cancel keeps the saved value";

  // Values out of range (edited by hand) show the defaults; no arguments at
  // all open the dialog too.
  ASSERT_TRUE(WriteDword(HKEY_CURRENT_USER, SettingsKey, "Speed", 99));
  ASSERT_TRUE(WriteDword(HKEY_CURRENT_USER, SettingsKey, "Ribbons", 0));
  {
    TProcess p;
    HWND dlg = OpenSettings(p, "");
    ASSERT_NE(dlg, nullptr);
    TShown s = Shown(dlg);
    EXPECT_EQ(s.Speed, 5);
    EXPECT_EQ(s.Ribbons, 3);
    PostMessageA(dlg, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(p.Wait(15000), 0);
  }
}

}  // namespace
