// The compiled help file in the system's help viewer: it opens on the first
// topic and shows its text.
#include <gtest/gtest.h>

#include <windows.h>

#include <shlwapi.h>

#include "tests/product/product_test_util.h"

using namespace product_test;

namespace {

// All text of the process's rich-text views (the viewer shows a topic in one).
std::string ShownText(DWORD pid, std::string* title) {
  HWND main = FindProcessWindow(pid, nullptr, nullptr);
  if (!main) return "";
  *title = WindowText(main);
  struct TCollect {
    std::string Text;
  } c;
  EnumChildWindows(
      main,
      [](HWND w, LPARAM lp) -> BOOL {
        char cls[64] = {0};
        GetClassNameA(w, cls, sizeof cls);
        if (StrStrIA(cls, "richedit") && IsWindowVisible(w)) {
          int n = static_cast<int>(SendMessageA(w, WM_GETTEXTLENGTH, 0, 0));
          std::string t(static_cast<size_t>(n) + 1, '\0');
          SendMessageA(w, WM_GETTEXT, static_cast<WPARAM>(n + 1), reinterpret_cast<LPARAM>(&t[0]));
          t.resize(static_cast<size_t>(n));
          reinterpret_cast<TCollect*>(lp)->Text += t + "\n";
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&c));
  return c.Text;
}

TEST(HelpViewer, OpensTheHelpFileOnItsFirstTopic) {
  TProcess p;
  ASSERT_TRUE(Start("winhlp32.exe \"" + PayloadFile("Velmora.Hlp") + "\"", p));
  std::string text, title;
  bool shown = WaitFor([&] {
    text = ShownText(p.Info.dwProcessId, &title);
    return text.find("Velmora is a screen saver") != std::string::npos;
  }, 20000);
  EXPECT_TRUE(shown) << "title \"" << title << "\", text \"" << text << "\"";
  EXPECT_EQ(text.find("What is Velmora?"), 0u) << text;
  EXPECT_NE(text.find("To see Velmora at once"), std::string::npos) << "the whole first topic";
  EXPECT_EQ(text.find("Changing the settings"), std::string::npos) << "only the first topic";
  EXPECT_NE(title.find("Velmora Help"), std::string::npos) << title;
  TerminateProcess(p.Info.hProcess, 0);  // the viewer we started
  p.Wait(5000);
}

}  // namespace
