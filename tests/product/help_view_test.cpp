// The compiled help file in the system's help viewer: it opens on the first
// topic and shows its text, and a jump leads to the topic it names (through
// the context map).
#include <gtest/gtest.h>

#include <windows.h>

#include <shlwapi.h>

#include "tests/product/product_test_util.h"

using namespace product_test;

namespace {

BOOL CALLBACK FindRichEdit(HWND w, LPARAM lp) {
  char cls[64] = {0};
  GetClassNameA(w, cls, sizeof cls);
  if (StrStrIA(cls, "richedit") && IsWindowVisible(w)) {
    *reinterpret_cast<HWND*>(lp) = w;
    return FALSE;
  }
  return TRUE;
}

// The rich-text view that shows the topic.
HWND TopicView(DWORD pid) {
  HWND main = FindProcessWindow(pid, nullptr, nullptr);
  if (!main) return nullptr;
  HWND found = nullptr;
  EnumChildWindows(main, FindRichEdit, reinterpret_cast<LPARAM>(&found));
  return found;
}

// The text of the topic view, and the viewer's title.
std::string ShownText(DWORD pid, std::string* title) {
  HWND main = FindProcessWindow(pid, nullptr, nullptr);
  if (!main) return "";
  *title = WindowText(main);
  HWND view = TopicView(pid);
  if (!view) return "";
  int n = static_cast<int>(SendMessageA(view, WM_GETTEXTLENGTH, 0, 0));
  std::string t(static_cast<size_t>(n) + 1, '\0');
  SendMessageA(view, WM_GETTEXT, static_cast<WPARAM>(n + 1), reinterpret_cast<LPARAM>(&t[0]));
  t.resize(static_cast<size_t>(n));
  return t;
}

struct TChildSearch {
  const char* Class;
  const char* Text;  // null: any
  HWND Found;
};

BOOL CALLBACK FindChild(HWND w, LPARAM lp) {
  auto* s = reinterpret_cast<TChildSearch*>(lp);
  char cls[64] = {0}, text[128] = {0};
  GetClassNameA(w, cls, sizeof cls);
  GetWindowTextA(w, text, sizeof text);
  if (lstrcmpiA(cls, s->Class) == 0 && (!s->Text || lstrcmpA(text, s->Text) == 0) && IsWindowVisible(w)) {
    s->Found = w;
    return FALSE;
  }
  return TRUE;
}

HWND FindChildOf(HWND parent, const char* cls, const char* text) {
  TChildSearch s = {cls, text, nullptr};
  EnumChildWindows(parent, FindChild, reinterpret_cast<LPARAM>(&s));
  return s.Found;
}

TEST(HelpViewer, OpensOnTheFirstTopicAndFollowsAJump) {
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
  EXPECT_EQ(text.find("Speed: how fast"), std::string::npos) << "only the first topic";
  EXPECT_NE(title.find("Velmora Help"), std::string::npos) << title;

  // A click on the hotspot "Changing the settings" opens that topic.
  HWND view = TopicView(p.Info.dwProcessId);
  ASSERT_NE(view, nullptr);
  size_t at = text.find("Changing the settings");
  ASSERT_NE(at, std::string::npos) << "the first topic links to the settings";
  LRESULT pos = SendMessageA(view, EM_POSFROMCHAR, static_cast<WPARAM>(at + 2), 0);
  LPARAM click = MAKELPARAM(LOWORD(pos) + 2, HIWORD(pos) + 4);
  PostMessageA(view, WM_LBUTTONDOWN, MK_LBUTTON, click);
  PostMessageA(view, WM_LBUTTONUP, 0, click);
  bool jumped = WaitFor([&] {
    text = ShownText(p.Info.dwProcessId, &title);
    return text.find("Changing the settings") == 0;
  }, 10000);
  EXPECT_TRUE(jumped) << text;
  EXPECT_NE(text.find("Speed: how fast the ribbons move"), std::string::npos) << text;
  TerminateProcess(p.Info.hProcess, 0);  // the viewer we started
  p.Wait(15000);
}

TEST(HelpViewer, IndexListsTheKeywordsAndOpensTheirTopic) {
  TProcess p;
  ASSERT_TRUE(Start("winhlp32.exe \"" + PayloadFile("Velmora.Hlp") + "\"", p));
  std::string text, title;
  ASSERT_TRUE(WaitFor([&] { return (text = ShownText(p.Info.dwProcessId, &title)).find("What is Velmora?") == 0; }, 20000));
  HWND main = FindProcessWindow(p.Info.dwProcessId, nullptr, nullptr);
  HWND index_button = FindChildOf(main, "Button", "&Index");
  ASSERT_NE(index_button, nullptr);
  PostMessageA(index_button, BM_CLICK, 0, 0);

  // The index: a window of the viewer with a list of the keywords.
  HWND list = nullptr, sheet = nullptr;
  ASSERT_TRUE(WaitFor([&] {
    sheet = FindProcessWindow(p.Info.dwProcessId, "#32770", nullptr);
    list = sheet ? FindChildOf(sheet, "ListBox", nullptr) : nullptr;
    return list != nullptr;
  }, 10000)) << "no index";
  LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
  std::vector<std::string> words;
  for (LRESULT i = 0; i < count; i++) {
    // The list is a Unicode window: its items read back whole through the W call.
    wchar_t wide[128] = {0};
    char word[128] = {0};
    SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(wide));
    WideCharToMultiByte(CP_ACP, 0, wide, -1, word, sizeof word, nullptr, nullptr);
    words.push_back(word);
  }
  std::vector<std::string> want = {"chime", "preview", "removing Velmora", "ribbons", "screen saver",
                                   "settings", "sound", "speed", "stopping the screen saver",
                                   "uninstalling", "Velmora", "VLRemove.exe"};
  EXPECT_EQ(words, want);

  // "speed" leads to the settings.
  LRESULT speed = -1;
  for (size_t i = 0; i < words.size(); i++)
    if (words[i] == "speed") speed = static_cast<LRESULT>(i);
  ASSERT_GE(speed, 0);
  SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(speed), 0);
  PostMessageA(sheet, WM_COMMAND, IDOK, 0);
  bool opened = WaitFor([&] {
    text = ShownText(p.Info.dwProcessId, &title);
    return text.find("Changing the settings") == 0;
  }, 10000);
  EXPECT_TRUE(opened) << text;
  TerminateProcess(p.Info.hProcess, 0);  // the viewer we started
  p.Wait(15000);
}

}  // namespace
