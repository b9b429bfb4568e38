// Tests of the Windows operator window, run under Wine on a display (see
// tests/windows/run-window-tests.sh): the real window from the program's own
// resources, driven by the window logic, in this process.
//
// A box the window puts up on its own (no COM port found at start-up) is
// closed by the test as soon as it comes up, so that nothing waits for an
// operator.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/pump.h"
#include "platform/stop.h"
#include "ui/main_dialog.h"
#include "ui/win32/resource_ids.h"
#include "ui/win32/wide_text.h"
#include "ui/win32/win32_dialog_view.h"
#include "ui/win32/win32_event_pump.h"

namespace {

std::string WindowText(HWND hWnd) {
  wchar_t sz[256] = L"";
  GetWindowTextW(hWnd, sz, static_cast<int>(std::size(sz)));
  return Utf8FromWide(sz);
}

std::string ClassOf(HWND hWnd) {
  wchar_t sz[64] = L"";
  GetClassNameW(hWnd, sz, static_cast<int>(std::size(sz)));
  return Utf8FromWide(sz);
}

// Watches the dialogs that come up on this thread (message boxes, the About
// box): each is noted and then closed with OK, unless it is the main window.
class DialogWatcher {
 public:
  DialogWatcher() {
    s_pThis = this;
    m_hHook = SetWindowsHookExW(WH_CBT, &DialogWatcher::Hook, nullptr, GetCurrentThreadId());
  }
  ~DialogWatcher() {
    if (m_hHook) UnhookWindowsHookEx(m_hHook);
    s_pThis = nullptr;
  }
  HWND m_hMain = nullptr;
  // What the last dialog showed: caption, owner, texts of its children.
  std::string m_strLastCaption;
  HWND m_hLastOwner = nullptr;
  std::string m_strLastTexts;
  int m_nSeen = 0;

 private:
  static LRESULT CALLBACK Hook(int nCode, WPARAM wParam, LPARAM lParam) {
    if (nCode == HCBT_ACTIVATE && s_pThis) s_pThis->OnActivate(reinterpret_cast<HWND>(wParam));
    return CallNextHookEx(nullptr, nCode, wParam, lParam);
  }
  void OnActivate(HWND hWnd) {
    if (hWnd == m_hMain || ClassOf(hWnd) != "#32770" || m_seen.count(hWnd)) return;
    if (m_hMain == nullptr && WindowText(hWnd).rfind("TAV Vevevura Dovu", 0) == 0) return;
    m_seen.insert(hWnd);
    ++m_nSeen;
    m_strLastCaption = WindowText(hWnd);
    m_hLastOwner = GetWindow(hWnd, GW_OWNER);
    m_strLastTexts.clear();
    for (HWND h = GetWindow(hWnd, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) m_strLastTexts += WindowText(h) + "|";
    PostMessageW(hWnd, WM_COMMAND, IDOK, 0);
  }
  static inline DialogWatcher* s_pThis = nullptr;
  HHOOK m_hHook = nullptr;
  std::set<HWND> m_seen;
};

class Win32WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::Stop().Clear();
    m_dialog.AttachView(&m_view);
  }
  void TearDown() override {
    m_dialog.AttachView(nullptr);
    plat::Stop().Clear();
  }

  // Runs the window; fnUp runs once it is up. Returns EndDialog's result.
  int Run(std::function<void(HWND)> fnUp) {
    m_view.SetOnShown([this, fnUp] {
      m_watcher.m_hMain = m_view.Window();
      fnUp(m_view.Window());
    });
    plat::ScopedThreadPump usePump(m_pump);
    const int nResult = m_view.RunModal();
    m_dialog.OnDestroy();
    m_dialog.JoinWorker(plat::NowMs() + 2000);
    return nResult;
  }

  // Where the dialog manager put a control, in the window's client
  // coordinates.
  static RECT PlacedRect(HWND hWnd, HWND hControl) {
    RECT rc;
    GetWindowRect(hControl, &rc);
    MapWindowPoints(nullptr, hWnd, reinterpret_cast<POINT*>(&rc), 2);
    return rc;
  }

  static void Close(HWND hWnd) { PostMessageW(hWnd, WM_SYSCOMMAND, SC_CLOSE, 0); }

  DialogWatcher m_watcher;
  CTAVDownloadApDlg m_dialog;
  Win32DialogView m_view{m_dialog, GetModuleHandleW(nullptr)};
  Win32EventPump m_pump;
};

// A wide text with its embedded NULs, as written.
template <std::size_t N>
std::wstring Wide(const wchar_t (&sz)[N]) {
  return std::wstring(sz, N - 1);
}

TEST(Win32WindowPieces, FileDialogFilterPairsEndInTwoNuls) {
  struct Case {
    const char* pszName;
    std::string strIn;
    std::wstring strOut;
  };
  const Case cases[] = {
      {"script filter", "Text Script File (*.txt)|*.txt||", Wide(L"Text Script File (*.txt)\0*.txt\0\0")},
      {"two pairs", "A|*.a|B|*.b||", Wide(L"A\0*.a\0B\0*.b\0\0")},
      {"no closing bars", "A|*.a", Wide(L"A\0*.a\0\0")},
      {"empty", "", std::wstring()},
      {"bars only", "||", std::wstring()},
      {"non-ASCII", "Fich\xC3\xA9|*.txt||", Wide(L"Fich\u00E9\0*.txt\0\0")},
  };
  for (const Case& c : cases) EXPECT_EQ(FileDialogFilter(c.strIn), c.strOut) << c.pszName;
}

TEST_F(Win32WindowTest, CaptionShowsTheProgramVersion) {
  char szExpected[64];
  std::snprintf(szExpected, sizeof szExpected, "TAV Vevevura Dovu V%d.%d%d.%03d ", READERTOOL_VERSION_MAJOR,
                READERTOOL_VERSION_MINOR / 10, READERTOOL_VERSION_MINOR % 10, READERTOOL_VERSION_PATCH);
  std::string strCaption;
  Run([&](HWND hWnd) {
    strCaption = WindowText(hWnd);
    Close(hWnd);
  });
  EXPECT_EQ(strCaption, szExpected);
}

TEST_F(Win32WindowTest, EveryControlSitsWhereTheTemplateSays) {
  struct Placement {
    const char* pszName;
    int nId;              // 0: found by its text
    const char* pszText;  // the text of a control without an ID
    RECT rcDlu;           // left, top, right, bottom in dialog units
    bool bCombo;          // its height is that of the dropped list
  };
  const auto at = [](int x, int y, int cx, int cy) { return RECT{x, y, x + cx, y + cy}; };
  const Placement placements[] = {
      {"logo", 0, nullptr, at(11, 4, 87, 32), false},
      {"interface group", 0, "Interface", at(11, 37, 153, 69), false},
      {"interface list", IDC_INTERFACE_LIST, nullptr, at(17, 49, 66, 38), true},
      {"port button", IDC_PORT_BUTTON, nullptr, at(17, 66, 66, 15), false},
      {"port list", IDC_PORT_LIST, nullptr, at(85, 67, 70, 88), true},
      {"baud label", IDC_BAUD_LABEL, nullptr, at(17, 86, 64, 14), false},
      {"baud list", IDC_BAUD_LIST, nullptr, at(85, 88, 70, 82), true},
      {"time group", IDC_TIME_GROUP, nullptr, at(11, 108, 153, 25), false},
      {"elapsed-time field", IDC_ELAPSED, nullptr, at(16, 119, 83, 13), false},
      {"functions group", IDC_FUNCTIONS_GROUP, nullptr, at(170, 36, 174, 100), false},
      {"load button", IDC_LOAD, nullptr, at(182, 55, 150, 33), false},
      {"reset default button", IDC_RESET_DEFAULT, nullptr, at(183, 92, 150, 33), false},
      {"progress bar", IDC_PROGRESS, nullptr, at(7, 158, 338, 22), false},
      {"log pane", IDC_LOG, nullptr, at(7, 189, 338, 137), false},
  };
  Run([&](HWND hWnd) {
    RECT rcWindow = {0, 0, 361, 341};
    MapDialogRect(hWnd, &rcWindow);
    // The logo's frame holds the whole logo, fitted to its inside.
    BITMAP bm = {};
    const auto hLogo = reinterpret_cast<HBITMAP>(SendMessageW(m_view.Logo(), STM_GETIMAGE, IMAGE_BITMAP, 0));
    ASSERT_TRUE(hLogo && GetObjectW(hLogo, sizeof bm, &bm));
    RECT rcInside;
    GetClientRect(m_view.Logo(), &rcInside);
    EXPECT_EQ(bm.bmWidth, rcInside.right);
    EXPECT_EQ(bm.bmHeight, rcInside.bottom);
    RECT rcClient;
    GetClientRect(hWnd, &rcClient);
    EXPECT_EQ(rcClient.right, rcWindow.right) << "window width";
    EXPECT_EQ(rcClient.bottom, rcWindow.bottom) << "window height";
    for (const Placement& p : placements) {
      HWND hControl = p.nId ? GetDlgItem(hWnd, p.nId) : nullptr;
      if (!p.nId && !p.pszText) hControl = m_view.Logo();
      for (HWND h = GetWindow(hWnd, GW_CHILD); !hControl && h; h = GetWindow(h, GW_HWNDNEXT))
        if (WindowText(h) == p.pszText) hControl = h;
      ASSERT_NE(hControl, nullptr) << p.pszName;
      // The dialog manager maps the origin and the size each on its own.
      RECT rcExpected = {p.rcDlu.left, p.rcDlu.top, p.rcDlu.right - p.rcDlu.left, p.rcDlu.bottom - p.rcDlu.top};
      MapDialogRect(hWnd, &rcExpected);
      const RECT rc = PlacedRect(hWnd, hControl);
      EXPECT_EQ(rc.left, rcExpected.left) << p.pszName;
      EXPECT_EQ(rc.top, rcExpected.top) << p.pszName;
      EXPECT_EQ(rc.right - rc.left, rcExpected.right) << p.pszName << " width";
      // A combo box's template height is that of its dropped list, which
      // Wine and Windows measure differently (Wine leaves out the edit
      // field): only the closed box's place and width are compared.
      if (!p.bCombo) {
        EXPECT_EQ(rc.bottom - rc.top, rcExpected.bottom) << p.pszName << " height";
      }
    }
    Close(hWnd);
  });
}

TEST_F(Win32WindowTest, StartUpShowsTheTemplateWithUsbSelected) {
  Run([&](HWND hWnd) {
    EXPECT_EQ(m_view.GetListSelection(IDC_INTERFACE_LIST), 1);
    EXPECT_EQ(m_view.GetListItemText(IDC_INTERFACE_LIST, 0), "RS232");
    EXPECT_EQ(m_view.GetListCount(IDC_BAUD_LIST), 5);
    EXPECT_EQ(m_view.GetListSelection(IDC_BAUD_LIST), 0);
    EXPECT_EQ(WindowText(GetDlgItem(hWnd, IDC_ELAPSED)), "00:00");
    for (int nId : {IDC_PROGRESS, IDC_PORT_BUTTON, IDC_PORT_LIST, IDC_BAUD_LABEL, IDC_BAUD_LIST})
      EXPECT_FALSE(IsWindowVisible(GetDlgItem(hWnd, nId))) << nId;
    // The controls' font is the fixed-pitch one; the logo and the bar keep theirs.
    const auto hFont = reinterpret_cast<HFONT>(SendDlgItemMessageW(hWnd, IDC_LOG, WM_GETFONT, 0, 0));
    LOGFONTW font = {};
    ASSERT_TRUE(GetObjectW(hFont, sizeof font, &font));
    EXPECT_STREQ(font.lfFaceName, L"Courier New");
    EXPECT_EQ(reinterpret_cast<HFONT>(SendDlgItemMessageW(hWnd, IDC_LOAD, WM_GETFONT, 0, 0)), hFont);
    EXPECT_NE(reinterpret_cast<HFONT>(SendDlgItemMessageW(hWnd, IDC_PROGRESS, WM_GETFONT, 0, 0)), hFont);
    // The Port button's tooltip.
    TOOLINFOW info = {};
    wchar_t szTip[80] = L"";
    info.cbSize = sizeof info;
    info.hwnd = hWnd;
    info.uFlags = TTF_IDISHWND;
    info.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(hWnd, IDC_PORT_BUTTON));
    info.lpszText = szTip;
    SendMessageW(m_view.ToolTip(), TTM_GETTEXTW, std::size(szTip), reinterpret_cast<LPARAM>(&info));
    EXPECT_STREQ(szTip, L"Click to Refresh COM Port List");
    // The system menu's About item.
    wchar_t szItem[64] = L"";
    GetMenuStringW(GetSystemMenu(hWnd, FALSE), IDM_ABOUTBOX, szItem, static_cast<int>(std::size(szItem)),
                   MF_BYCOMMAND);
    EXPECT_EQ(Utf8FromWide(szItem), g_pszAboutMenuText);
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(hWnd, WM_QUERYDRAGICON, 0, 0)), m_view.Icon());
    EXPECT_NE(m_view.Icon(), nullptr);
    Close(hWnd);
  });
}

TEST_F(Win32WindowTest, EscAndTheCloseBoxEndTheWindowAsCancel) {
  struct Case {
    const char* pszName;
    std::function<void(HWND)> fnEnd;
  };
  const Case cases[] = {
      {"Esc", [](HWND) { PostMessageW(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 0); }},
      {"close box", [](HWND hWnd) { PostMessageW(hWnd, WM_SYSCOMMAND, SC_CLOSE, 0); }},
  };
  for (const Case& c : cases) {
    CTAVDownloadApDlg dialog;
    Win32DialogView view(dialog, GetModuleHandleW(nullptr));
    dialog.AttachView(&view);
    plat::ScopedThreadPump usePump(m_pump);
    view.SetOnShown([&] { c.fnEnd(view.Window()); });
    EXPECT_EQ(view.RunModal(), kIdCancel) << c.pszName;
    EXPECT_TRUE(view.HasEnded()) << c.pszName;
    dialog.OnDestroy();
    dialog.AttachView(nullptr);
    plat::Stop().Clear();
  }
}

TEST_F(Win32WindowTest, TheSystemMenuAboutItemOpensTheAboutBox) {
  HWND hMain = nullptr;
  const int nResult = Run([&](HWND hWnd) {
    hMain = hWnd;
    // The box comes up inside this command; the watcher closes it with OK.
    SendMessageW(hWnd, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    EXPECT_FALSE(m_view.HasEnded());
    Close(hWnd);
  });
  EXPECT_EQ(nResult, kIdCancel);
  EXPECT_EQ(m_watcher.m_strLastCaption, "About TAV Vodivazu RA");
  EXPECT_EQ(m_watcher.m_hLastOwner, hMain);
  EXPECT_NE(m_watcher.m_strLastTexts.find("TAV Vodivazu RA Version 1.0|"), std::string::npos)
      << m_watcher.m_strLastTexts;
}

TEST_F(Win32WindowTest, AWorkersCallsRunWhileTheWindowThreadWaitsInThePump) {
  std::string strLog;
  int nLines = 0;
  bool bMarqueeOn = false;
  bool bMarqueeOff = true;
  Run([&](HWND hWnd) {
    // The worker's calls can only run while this thread waits; it raises
    // the stop when it has its answers, which ends the wait.
    std::thread worker([&] {
      m_view.SetLogText("first\r\nsecond\r\n");
      strLog = m_view.GetLogText();
      m_view.SendToWindowThread([&] {
        nLines = static_cast<int>(SendDlgItemMessageW(hWnd, IDC_LOG, EM_GETLINECOUNT, 0, 0));
      });
      m_view.SetProgressMarquee(true);
      m_view.SendToWindowThread([&] {
        bMarqueeOn = (GetWindowLongPtrW(GetDlgItem(hWnd, IDC_PROGRESS), GWL_STYLE) & PBS_MARQUEE) != 0;
      });
      m_view.SetProgressMarquee(false);
      m_view.SendToWindowThread([&] {
        bMarqueeOff = (GetWindowLongPtrW(GetDlgItem(hWnd, IDC_PROGRESS), GWL_STYLE) & PBS_MARQUEE) != 0;
      });
      plat::Stop().Request();
    });
    plat::ThreadPump().WaitUntil(plat::NowMs() + 60000);
    // Ending the window lets a worker go whose calls were never served, so
    // a fault fails the checks below instead of hanging here.
    m_view.EndDialog(kIdCancel);
    worker.join();
    plat::Stop().Clear();
  });
  EXPECT_EQ(strLog, "first\r\nsecond\r\n");
  EXPECT_EQ(nLines, 3);
  EXPECT_TRUE(bMarqueeOn);
  EXPECT_FALSE(bMarqueeOff);
}

TEST_F(Win32WindowTest, EndingTheWindowReleasesAWorkerWaitingForIt) {
  std::thread worker;
  std::string strAnswer = "unset";
  Run([&](HWND hWnd) {
    // The window ends before it ever serves the worker's call.
    worker = std::thread([&] {
      strAnswer = m_view.GetListItemText(IDC_BAUD_LIST, 0);
    });
    m_view.EndDialog(kIdCancel);
  });
  worker.join();
  // Either it ran before the end (the item's text) or it was dropped.
  EXPECT_TRUE(strAnswer == "9600" || strAnswer.empty()) << strAnswer;
  EXPECT_TRUE(m_view.HasEnded());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);
  return RUN_ALL_TESTS();
}
