#include "ui/win32/win32_dialog_view.h"

#include <commctrl.h>
#include <commdlg.h>

#include <cstdlib>
#include <vector>

#include "platform/stop.h"
#include "ui/dialog_template.h"
#include "ui/main_dialog.h"
#include "ui/win32/resource_ids.h"
#include "ui/win32/wide_text.h"

namespace {

// Application messages of the window: queued calls from other threads, and
// "the window is up".
constexpr UINT kWmRunCalls = WM_APP + 1;
constexpr UINT kWmShown = WM_APP + 2;

constexpr wchar_t kTooltipPortButton[] = L"Click to Refresh COM Port List";
constexpr char kCancelAnswer[] = "cancel";

// The control font: "Courier New" with an 18-pixel cell at 96 dots per inch,
// modern family, default pitch.
constexpr int kControlFontHeight = 18;
constexpr wchar_t kControlFontFace[] = L"Courier New";

// The logo's frame in the template, in dialog units: x, y, width, height.
constexpr RECT kLogoRect = {11, 4, 87, 32};

// Room for the path the file dialog returns (long paths included).
constexpr DWORD kPathRoom = 32768;

UINT BoxIcon(MsgIcon icon) {
  switch (icon) {
    case MsgIcon::Information:
      return MB_ICONINFORMATION;
    case MsgIcon::Exclamation:
      return MB_ICONEXCLAMATION;
    case MsgIcon::Error:
      return MB_ICONERROR;
    case MsgIcon::Question:
      return MB_ICONQUESTION;
    case MsgIcon::None:
      break;
  }
  return 0;
}

INT_PTR CALLBACK AboutProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        ::EndDialog(hWnd, LOWORD(wParam));
        return TRUE;
      }
      break;
  }
  return FALSE;
}

bool IsOwnedBy(HWND hWnd, HWND hOwner) {
  for (HWND h = GetWindow(hWnd, GW_OWNER); h; h = GetWindow(h, GW_OWNER))
    if (h == hOwner) return true;
  return false;
}

}  // namespace

std::wstring FileDialogFilter(const std::string& strFilter) {
  // "A|a||" -> "A\0a\0\0": every bar becomes a NUL; text after the last pair
  // (the closing "||") adds nothing.
  std::wstring strWide = WideFromUtf8(strFilter);
  if (strWide.empty()) return {};
  for (wchar_t& c : strWide)
    if (c == L'|') c = L'\0';
  // Exactly two NULs at the end, whatever the text ended with.
  while (!strWide.empty() && strWide.back() == L'\0') strWide.pop_back();
  if (strWide.empty()) return {};
  strWide.push_back(L'\0');
  strWide.push_back(L'\0');
  return strWide;
}

struct Win32DialogView::Call {
  enum class State { kQueued, kRunning, kDone, kDropped };
  std::function<void()> fn;
  State state = State::kQueued;
  // Nobody waits for it (PostToWindowThread).
  bool bDetached = false;
};

Win32DialogView::Win32DialogView(CTAVDownloadApDlg& dialog, HINSTANCE hInstance)
    : m_dialog(dialog), m_hInstance(hInstance), m_nWindowThread(GetCurrentThreadId()) {}

Win32DialogView::~Win32DialogView() {
  {
    std::lock_guard<std::mutex> lock(m_callMutex);
    m_bEnded = true;
    for (auto& pCall : m_calls) pCall->state = Call::State::kDropped;
    m_calls.clear();
  }
  m_callDone.notify_all();
  if (m_hControlFont) DeleteObject(m_hControlFont);
  if (m_hLogoBitmap) DeleteObject(m_hLogoBitmap);
  if (m_hIcon) DestroyIcon(m_hIcon);
  if (m_hSmallIcon) DestroyIcon(m_hSmallIcon);
}

int Win32DialogView::RunModal() {
  const INT_PTR nResult = DialogBoxParamW(m_hInstance, MAKEINTRESOURCEW(IDD_MAIN_DIALOG), nullptr,
                                          &Win32DialogView::DialogProc, reinterpret_cast<LPARAM>(this));
  return static_cast<int>(nResult);
}

HWND Win32DialogView::Control(int nId) const {
  const HWND hWnd = m_hWnd.load();
  return hWnd ? GetDlgItem(hWnd, nId) : nullptr;
}

HWND Win32DialogView::List(int nId) const {
  switch (nId) {
    case IDC_INTERFACE_LIST:
    case IDC_BAUD_LIST:
    case IDC_PORT_LIST:
      return Control(nId);
    default:
      return nullptr;
  }
}

// ---- the window ----

INT_PTR CALLBACK Win32DialogView::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* pView = reinterpret_cast<Win32DialogView*>(lParam);
    SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
    pView->OnInitDialog(hWnd);
    return TRUE;
  }
  auto* pView = reinterpret_cast<Win32DialogView*>(GetWindowLongPtrW(hWnd, DWLP_USER));
  return pView ? pView->OnMessage(message, wParam, lParam) : FALSE;
}

void Win32DialogView::OnInitDialog(HWND hWnd) {
  m_hWnd = hWnd;

  // The About item at the end of the system menu.
  if (HMENU hSysMenu = GetSystemMenu(hWnd, FALSE)) {
    wchar_t szAbout[128] = L"";
    if (LoadStringW(m_hInstance, IDS_ABOUTBOX, szAbout, static_cast<int>(std::size(szAbout))) > 0 && szAbout[0]) {
      AppendMenuW(hSysMenu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(hSysMenu, MF_STRING, IDM_ABOUTBOX, szAbout);
    }
  }

  // The program icon in both sizes: title bar and task bar.
  m_hIcon = static_cast<HICON>(LoadImageW(m_hInstance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                          GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
  m_hSmallIcon = static_cast<HICON>(LoadImageW(m_hInstance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  SendMessageW(hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageW(hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon ? m_hSmallIcon : m_hIcon));

  // The logo: the one picture control of the template.
  for (HWND hChild = GetWindow(hWnd, GW_CHILD); hChild; hChild = GetWindow(hChild, GW_HWNDNEXT)) {
    wchar_t szClass[32] = L"";
    GetClassNameW(hChild, szClass, static_cast<int>(std::size(szClass)));
    if (_wcsicmp(szClass, L"Static") == 0 && (GetWindowLongPtrW(hChild, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP)
      m_hLogo = hChild;
  }
  ApplyControlFont(GetDpiForWindow(hWnd));

  // The lists hold the template's items, none selected.
  for (int nId : {IDC_INTERFACE_LIST, IDC_BAUD_LIST, IDC_PORT_LIST}) {
    const HWND hList = GetDlgItem(hWnd, nId);
    for (const std::string& strItem : TemplateListItems(nId)) {
      const std::wstring strWide = WideFromUtf8(strItem);
      SendMessageW(hList, CB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(strWide.c_str()));
    }
  }
  // The log holds as much as the operator's runs write.
  SendDlgItemMessageW(hWnd, IDC_LOG, EM_SETLIMITTEXT, 0, 0);

  FitLogo();
  MakeToolTip();

  m_dialog.OnInitDialog();
  // Handled once the dialog manager has shown the window.
  PostMessageW(hWnd, kWmShown, 0, 0);
  // Calls queued before the window existed.
  PostMessageW(hWnd, kWmRunCalls, 0, 0);
}

void Win32DialogView::ApplyControlFont(UINT nDpi) {
  // Every control but the logo and the progress bar takes the control font;
  // its height follows the window's DPI as the dialog font's does.
  const HFONT hFont = CreateFontW(MulDiv(kControlFontHeight, nDpi ? static_cast<int>(nDpi) : 96, 96), 0, 0, 0,
                                  FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                                  CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FF_MODERN | DEFAULT_PITCH, kControlFontFace);
  if (!hFont) return;
  for (HWND hChild = GetWindow(m_hWnd, GW_CHILD); hChild; hChild = GetWindow(hChild, GW_HWNDNEXT)) {
    if (hChild == m_hLogo || GetDlgCtrlID(hChild) == IDC_PROGRESS) continue;
    SendMessageW(hChild, WM_SETFONT, reinterpret_cast<WPARAM>(hFont), TRUE);
  }
  if (m_hControlFont) DeleteObject(m_hControlFont);
  m_hControlFont = hFont;
}

void Win32DialogView::FitLogo() {
  if (!m_hLogo) return;
  // The picture keeps the frame's size: scaled to fit its inside, centred on
  // a stretched copy of itself, whose edges are the logo's plain background.
  // Origin and size mapped each on its own, as the dialog manager does.
  RECT rcFrame = kLogoRect;
  MapDialogRect(m_hWnd, &rcFrame);
  const int cxFrame = rcFrame.right;
  const int cyFrame = rcFrame.bottom;
  SetWindowPos(m_hLogo, nullptr, rcFrame.left, rcFrame.top, cxFrame, cyFrame, SWP_NOZORDER | SWP_NOACTIVATE);
  RECT rcInside;
  GetClientRect(m_hLogo, &rcInside);
  const int cx = rcInside.right;
  const int cy = rcInside.bottom;

  const auto hSource = static_cast<HBITMAP>(
      LoadImageW(m_hInstance, MAKEINTRESOURCEW(IDB_LOGO), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  BITMAP bm = {};
  if (hSource && cx > 0 && cy > 0 && GetObjectW(hSource, sizeof bm, &bm) && bm.bmWidth > 0 && bm.bmHeight > 0) {
    const HDC hScreen = GetDC(nullptr);
    const HDC hFrom = CreateCompatibleDC(hScreen);
    const HDC hTo = CreateCompatibleDC(hScreen);
    m_hLogoBitmap = CreateCompatibleBitmap(hScreen, cx, cy);
    const HGDIOBJ hOldFrom = SelectObject(hFrom, hSource);
    const HGDIOBJ hOldTo = SelectObject(hTo, m_hLogoBitmap);
    SetStretchBltMode(hTo, HALFTONE);
    SetBrushOrgEx(hTo, 0, 0, nullptr);
    StretchBlt(hTo, 0, 0, cx, cy, hFrom, 0, 0, bm.bmWidth, bm.bmHeight, SRCCOPY);
    int cxFit = cx;
    int cyFit = MulDiv(bm.bmHeight, cx, bm.bmWidth);
    if (cyFit > cy) {
      cyFit = cy;
      cxFit = MulDiv(bm.bmWidth, cy, bm.bmHeight);
    }
    StretchBlt(hTo, (cx - cxFit) / 2, (cy - cyFit) / 2, cxFit, cyFit, hFrom, 0, 0, bm.bmWidth, bm.bmHeight, SRCCOPY);
    SelectObject(hTo, hOldTo);
    SelectObject(hFrom, hOldFrom);
    DeleteDC(hTo);
    DeleteDC(hFrom);
    ReleaseDC(nullptr, hScreen);
    const auto hOld = reinterpret_cast<HBITMAP>(
        SendMessageW(m_hLogo, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(m_hLogoBitmap)));
    if (hOld && hOld != m_hLogoBitmap) DeleteObject(hOld);
  }
  if (hSource) DeleteObject(hSource);
  // Setting the picture sizes the control to it; the frame stays as designed.
  SetWindowPos(m_hLogo, nullptr, rcFrame.left, rcFrame.top, cxFrame, cyFrame, SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32DialogView::MakeToolTip() {
  if (m_hToolTip) return;
  m_hToolTip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_hWnd, nullptr, m_hInstance, nullptr);
  if (!m_hToolTip) return;
  // The tooltip watches the button's mouse messages itself (TTF_SUBCLASS),
  // so no message loop has to relay them.
  TOOLINFOW info = {};
  info.cbSize = sizeof info;
  info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  info.hwnd = m_hWnd;
  info.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(m_hWnd, IDC_PORT_BUTTON));
  info.lpszText = const_cast<wchar_t*>(kTooltipPortButton);
  SendMessageW(m_hToolTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));
  SendMessageW(m_hToolTip, TTM_ACTIVATE, TRUE, 0);
}

INT_PTR Win32DialogView::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kWmRunCalls:
      RunQueuedCalls();
      return TRUE;
    case kWmShown:
      if (m_fnOnShown && !HasEnded()) {
        auto fn = std::move(m_fnOnShown);
        m_fnOnShown = nullptr;
        fn();
      }
      return TRUE;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_SYSCOMMAND: {
      const UINT nCommand = static_cast<UINT>(wParam) & 0xFFF0;
      if (nCommand == IDM_ABOUTBOX || nCommand == kScClose) {
        if (!HasEnded()) m_dialog.OnSysCommand(static_cast<UINT>(wParam), lParam);
        SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, 0);
        return TRUE;
      }
      return FALSE;
    }
    case WM_TIMER:
      if (!HasEnded())
        if (IDialogEvents* pSink = m_pSink.load()) pSink->OnTimer(static_cast<UINT_PTR>(wParam));
      return TRUE;
    case WM_PAINT:
      return OnPaintMinimized() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(m_hIcon);
    case WM_DPICHANGED:
      // The dialog manager rescales the window, its controls and its own
      // font on a monitor of another DPI; the control font and the logo
      // are the view's to redo.
      ApplyControlFont(HIWORD(wParam));
      PostToWindowThread([this] { FitLogo(); });
      return FALSE;
    case WM_DESTROY: {
      {
        std::lock_guard<std::mutex> lock(m_callMutex);
        m_bEnded = true;
        for (auto& pCall : m_calls) pCall->state = Call::State::kDropped;
        m_calls.clear();
      }
      m_callDone.notify_all();
      for (UINT_PTR nId : m_timers) ::KillTimer(m_hWnd, nId);
      m_timers.clear();
      if (m_hToolTip) DestroyWindow(m_hToolTip);
      m_hToolTip = nullptr;
      return FALSE;
    }
  }
  return FALSE;
}

void Win32DialogView::OnCommand(int nId, int nCode) {
  if (HasEnded()) return;
  switch (nId) {
    case IDC_LOAD:
      if (nCode == BN_CLICKED) m_dialog.OnLoad();
      break;
    case IDC_RESET_DEFAULT:
      if (nCode == BN_CLICKED) m_dialog.OnResetDefault();
      break;
    case IDC_PORT_BUTTON:
      if (nCode == BN_CLICKED) m_dialog.RefreshComPortList();
      break;
    case IDC_INTERFACE_LIST:
      // A choice the operator makes; CB_SETCURSEL from the logic sends none.
      if (nCode == CBN_SELCHANGE) m_dialog.OnInterfaceChange();
      break;
    case IDOK:
      m_dialog.OnOK();
      break;
    case IDCANCEL:
      m_dialog.OnCancel();
      break;
  }
}

bool Win32DialogView::OnPaintMinimized() {
  if (!IsIconic(m_hWnd)) return false;
  PAINTSTRUCT ps;
  const HDC hDc = BeginPaint(m_hWnd, &ps);
  SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hDc), 0);
  const int cxIcon = GetSystemMetrics(SM_CXICON);
  const int cyIcon = GetSystemMetrics(SM_CYICON);
  RECT rc;
  GetClientRect(m_hWnd, &rc);
  const int x = (rc.right - rc.left - cxIcon + 1) / 2;
  const int y = (rc.bottom - rc.top - cyIcon + 1) / 2;
  DrawIcon(hDc, x, y, m_hIcon);
  EndPaint(m_hWnd, &ps);
  return true;
}

void Win32DialogView::CloseModalChildren() {
  // Message boxes, the file dialog and the About box are owned by the window
  // (or by one another); each ends on IDCANCEL or, a box with only an OK
  // button, on IDOK. Posted, so that their loops unwind innermost first.
  EnumThreadWindows(
      m_nWindowThread,
      [](HWND hChild, LPARAM lParam) -> BOOL {
        const HWND hOwner = reinterpret_cast<HWND>(lParam);
        if (hChild != hOwner && IsOwnedBy(hChild, hOwner)) {
          PostMessageW(hChild, WM_COMMAND, IDCANCEL, 0);
          PostMessageW(hChild, WM_COMMAND, IDOK, 0);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(m_hWnd.load()));
}

// ---- calls from any thread ----

bool Win32DialogView::RunOnWindowThread(std::function<void()> fn) {
  if (IsWindowThread()) {
    fn();
    return true;
  }
  auto pCall = std::make_shared<Call>();
  pCall->fn = std::move(fn);
  {
    std::lock_guard<std::mutex> lock(m_callMutex);
    if (m_bEnded) return false;
    m_calls.push_back(pCall);
  }
  // Before the window exists, its start-up posts this itself.
  if (const HWND hWnd = m_hWnd.load()) PostMessageW(hWnd, kWmRunCalls, 0, 0);
  std::unique_lock<std::mutex> lock(m_callMutex);
  m_callDone.wait(lock, [&] {
    return pCall->state == Call::State::kDone || pCall->state == Call::State::kDropped ||
           (pCall->state == Call::State::kQueued && m_bEnded);
  });
  if (pCall->state == Call::State::kDone) return true;
  pCall->state = Call::State::kDropped;
  return false;
}

void Win32DialogView::RunQueuedCalls() {
  for (;;) {
    std::shared_ptr<Call> pCall;
    {
      std::lock_guard<std::mutex> lock(m_callMutex);
      if (m_calls.empty()) return;
      pCall = m_calls.front();
      m_calls.pop_front();
      if (pCall->state != Call::State::kQueued) continue;
      if (m_bEnded) {
        pCall->state = Call::State::kDropped;
        m_callDone.notify_all();
        continue;
      }
      pCall->state = Call::State::kRunning;
    }
    // A call may wait in the event pump, which runs this again for the
    // calls behind it: they are taken off the queue one at a time.
    pCall->fn();
    {
      std::lock_guard<std::mutex> lock(m_callMutex);
      pCall->state = Call::State::kDone;
    }
    m_callDone.notify_all();
  }
}

void Win32DialogView::SendToWindowThread(std::function<void()> fn) { RunOnWindowThread(std::move(fn)); }

void Win32DialogView::PostToWindowThread(std::function<void()> fn) {
  auto pCall = std::make_shared<Call>();
  pCall->fn = std::move(fn);
  pCall->bDetached = true;
  {
    std::lock_guard<std::mutex> lock(m_callMutex);
    if (m_bEnded) return;
    m_calls.push_back(pCall);
  }
  if (const HWND hWnd = m_hWnd.load()) PostMessageW(hWnd, kWmRunCalls, 0, 0);
}

// ---- IDialogView ----

void Win32DialogView::SetEventSink(IDialogEvents* pSink) { m_pSink.store(pSink); }

void Win32DialogView::SetLogText(const std::string& strText) {
  // The log's lines end in CR LF, as the edit control wants them.
  RunOnWindowThread([&] { SetWindowTextW(Control(IDC_LOG), WideFromUtf8(strText).c_str()); });
}

std::string Win32DialogView::GetLogText() {
  std::string strText;
  RunOnWindowThread([&] {
    const HWND hLog = Control(IDC_LOG);
    const int nLength = GetWindowTextLengthW(hLog);
    if (nLength <= 0) return;
    std::wstring strWide(static_cast<std::size_t>(nLength) + 1, L'\0');
    const int nGot = GetWindowTextW(hLog, strWide.data(), nLength + 1);
    strWide.resize(nGot > 0 ? static_cast<std::size_t>(nGot) : 0);
    strText = Utf8FromWide(strWide);
  });
  return strText;
}

void Win32DialogView::ScrollLogToEnd() {
  RunOnWindowThread([&] {
    const HWND hLog = Control(IDC_LOG);
    const LRESULT nLines = SendMessageW(hLog, EM_GETLINECOUNT, 0, 0);
    SendMessageW(hLog, EM_LINESCROLL, 0, nLines);
  });
}

void Win32DialogView::SetProgressRange(int nMax) {
  RunOnWindowThread([&] { SendMessageW(Control(IDC_PROGRESS), PBM_SETRANGE32, 0, nMax); });
}

void Win32DialogView::SetProgressPos(int nPos) {
  RunOnWindowThread([&] { SendMessageW(Control(IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(nPos), 0); });
}

void Win32DialogView::SetProgressMarquee(bool bOn) {
  RunOnWindowThread([&] {
    const HWND hBar = Control(IDC_PROGRESS);
    if (!hBar) return;
    const LONG_PTR nStyle = GetWindowLongPtrW(hBar, GWL_STYLE);
    if (bOn) {
      SetWindowLongPtrW(hBar, GWL_STYLE, nStyle | PBS_MARQUEE);
      SendMessageW(hBar, PBM_SETMARQUEE, TRUE, 0);
    } else {
      SendMessageW(hBar, PBM_SETMARQUEE, FALSE, 0);
      SetWindowLongPtrW(hBar, GWL_STYLE, nStyle & ~static_cast<LONG_PTR>(PBS_MARQUEE));
      InvalidateRect(hBar, nullptr, TRUE);
    }
  });
}

void Win32DialogView::SetElapsedText(const std::string& strText) {
  RunOnWindowThread([&] { SetWindowTextW(Control(IDC_ELAPSED), WideFromUtf8(strText).c_str()); });
}

void Win32DialogView::SetTimer(UINT_PTR nIDEvent, UINT nElapseMs) {
  RunOnWindowThread([&] {
    if (HasEnded() || !m_hWnd.load()) return;
    if (::SetTimer(m_hWnd.load(), nIDEvent, nElapseMs, nullptr)) m_timers.insert(nIDEvent);
  });
}

void Win32DialogView::KillTimer(UINT_PTR nIDEvent) {
  RunOnWindowThread([&] {
    if (m_timers.erase(nIDEvent) && m_hWnd.load()) ::KillTimer(m_hWnd.load(), nIDEvent);
  });
}

void Win32DialogView::EnableControl(int nId, bool bEnable) {
  RunOnWindowThread([&] {
    if (const HWND hControl = Control(nId)) EnableWindow(hControl, bEnable ? TRUE : FALSE);
    if (m_fnEnableObserver) m_fnEnableObserver(nId, bEnable);
  });
}

void Win32DialogView::ShowControl(int nId, bool bShow) {
  RunOnWindowThread([&] {
    if (const HWND hControl = Control(nId)) ShowWindow(hControl, bShow ? SW_SHOW : SW_HIDE);
  });
}

void Win32DialogView::ResetList(int nId) {
  RunOnWindowThread([&] {
    if (const HWND hList = List(nId)) SendMessageW(hList, CB_RESETCONTENT, 0, 0);
  });
}

void Win32DialogView::AddListItem(int nId, const std::string& strItem) {
  RunOnWindowThread([&] {
    // Inserted at the end, so the order stays the logic's even in a list
    // whose template sorts (the port list): the logic sorts it itself.
    if (const HWND hList = List(nId)) {
      const std::wstring strWide = WideFromUtf8(strItem);
      SendMessageW(hList, CB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(strWide.c_str()));
    }
  });
}

int Win32DialogView::GetListCount(int nId) {
  int nCount = 0;
  RunOnWindowThread([&] {
    if (const HWND hList = List(nId)) {
      const LRESULT n = SendMessageW(hList, CB_GETCOUNT, 0, 0);
      nCount = n > 0 ? static_cast<int>(n) : 0;
    }
  });
  return nCount;
}

int Win32DialogView::GetListSelection(int nId) {
  int nSel = -1;
  RunOnWindowThread([&] {
    if (const HWND hList = List(nId)) {
      const LRESULT n = SendMessageW(hList, CB_GETCURSEL, 0, 0);
      nSel = n >= 0 ? static_cast<int>(n) : -1;
    }
  });
  return nSel;
}

void Win32DialogView::SetListSelection(int nId, int nIndex) {
  RunOnWindowThread([&] {
    const HWND hList = List(nId);
    if (!hList) return;
    const LRESULT nCount = SendMessageW(hList, CB_GETCOUNT, 0, 0);
    SendMessageW(hList, CB_SETCURSEL, nIndex >= 0 && nIndex < nCount ? static_cast<WPARAM>(nIndex) : static_cast<WPARAM>(-1),
                 0);
  });
}

std::string Win32DialogView::GetListItemText(int nId, int nIndex) {
  std::string strText;
  RunOnWindowThread([&] {
    const HWND hList = List(nId);
    if (!hList || nIndex < 0 || nIndex >= SendMessageW(hList, CB_GETCOUNT, 0, 0)) return;
    const LRESULT nLength = SendMessageW(hList, CB_GETLBTEXTLEN, static_cast<WPARAM>(nIndex), 0);
    if (nLength <= 0) return;
    std::wstring strWide(static_cast<std::size_t>(nLength) + 1, L'\0');
    const LRESULT nGot =
        SendMessageW(hList, CB_GETLBTEXT, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(strWide.data()));
    strWide.resize(nGot > 0 ? static_cast<std::size_t>(nGot) : 0);
    strText = Utf8FromWide(strWide);
  });
  return strText;
}

void Win32DialogView::SetCaption(const std::string& strCaption) {
  RunOnWindowThread([&] {
    if (const HWND hWnd = m_hWnd.load()) SetWindowTextW(hWnd, WideFromUtf8(strCaption).c_str());
  });
}

void Win32DialogView::ShowMessageBox(const std::string& strText, const std::string& strCaption, MsgIcon icon) {
  RunOnWindowThread([&] {
    if (HasEnded()) return;
    const std::wstring strTitle = WideFromUtf8(strCaption.empty() ? std::string(g_pszProgramName) : strCaption);
    MessageBoxW(m_hWnd.load(), WideFromUtf8(strText).c_str(), strTitle.c_str(), MB_OK | BoxIcon(icon));
  });
}

void Win32DialogView::MessageBeep(MsgIcon icon) {
  // The sound needs no window: any thread may make it.
  ::MessageBeep(icon == MsgIcon::None ? MB_OK : BoxIcon(icon));
}

bool Win32DialogView::ChooseFile(const std::string& strFilter, std::string* pPath) {
#ifdef READERTOOL_WINDOW_TEST_HOOKS
  if (const wchar_t* pszAnswer = _wgetenv(WideFromUtf8(kTestChooseFileEnv).c_str())) {
    const std::string strAnswer = Utf8FromWide(pszAnswer);
    if (strAnswer == kCancelAnswer || strAnswer.empty()) return false;
    if (pPath) *pPath = strAnswer;
    return true;
  }
#endif
  bool bChosen = false;
  RunOnWindowThread([&] {
    if (HasEnded()) return;
    const std::wstring strWideFilter = FileDialogFilter(strFilter);
    std::vector<wchar_t> path(kPathRoom, L'\0');
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = m_hWnd.load();
    ofn.lpstrFilter = strWideFilter.empty() ? nullptr : strWideFilter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = path.data();
    ofn.nMaxFile = kPathRoom;
    ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameW(&ofn) || HasEnded()) return;
    if (pPath) *pPath = Utf8FromWide(path.data());
    bChosen = true;
  });
  return bChosen;
}

void Win32DialogView::ShowAboutBox() {
  RunOnWindowThread([&] {
    if (HasEnded()) return;
    DialogBoxParamW(m_hInstance, MAKEINTRESOURCEW(IDD_ABOUTBOX), m_hWnd.load(), AboutProc, 0);
  });
}

void Win32DialogView::EndDialog(int nResult) {
  if (!IsWindowThread()) {
    RunOnWindowThread([this, nResult] { EndDialog(nResult); });
    return;
  }
  if (HasEnded()) return;
  {
    std::lock_guard<std::mutex> lock(m_callMutex);
    m_bEnded = true;
    for (auto& pCall : m_calls) pCall->state = Call::State::kDropped;
    m_calls.clear();
  }
  m_callDone.notify_all();
  // The window ends the process: whatever still waits on the window thread
  // ("Reset Default", a connect step) or in a worker must end now.
  plat::Stop().Request();
  const HWND hWnd = m_hWnd.load();
  if (!hWnd) return;
  for (UINT_PTR nId : m_timers) ::KillTimer(hWnd, nId);
  m_timers.clear();
  // Boxes and dialogs still open close first, so that their loops unwind.
  CloseModalChildren();
  ::EndDialog(hWnd, nResult);
}
