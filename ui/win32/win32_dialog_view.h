// The operator window as a Win32 dialog: the display of CTAVDownloadApDlg.
//
// Win32DialogView runs the main window from its dialog template
// (IDD_MAIN_DIALOG in readertool.rc), implements the control layer
// IDialogView for the window logic and routes the window's events to the
// logic's handlers:
//   Load -> OnLoad, Reset Default -> OnResetDefault, Port : ->
//   RefreshComPortList, a choice in the interface list (CBN_SELCHANGE) ->
//   OnInterfaceChange, Enter (IDOK) -> OnOK, Esc (IDCANCEL) -> OnCancel,
//   the system menu's About item -> OnSysCommand(IDM_ABOUTBOX), its Close
//   item, the close box and Alt+F4 -> OnSysCommand(kScClose), WM_TIMER ->
//   OnTimer.
// At WM_INITDIALOG the view adds the About item to the system menu, sets
// the icon, gives the controls the "Courier New" font, fills the lists with
// the template's items, fits the logo into its frame, makes the tooltip of
// the Port button and then runs the logic's OnInitDialog.
//
// Threads: the thread that calls RunModal is the window thread. Every
// IDialogView method may be called from any thread: off the window thread
// the call is queued, the window is woken with a posted application message
// (so the call runs in whatever loop the window thread is in: the dialog's
// own, a message box's, or the event pump of a wait), and the caller waits
// until it has run, so a worker's calls keep their order. Once the window
// has ended (EndDialog), calls from other threads return at once without
// effect (getters give empty answers) and calls still queued are dropped, so
// a worker never waits for a window that is gone. EndDialog closes the
// message boxes, file dialog and About box the window has open.
//
// The view must outlive every thread that may call it.
#pragma once
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "ui/dialog_view.h"

class CTAVDownloadApDlg;

// The test hook of the file dialog: when this environment variable is set,
// ChooseFile shows no dialog and answers with its value, a path, or
// "cancel" for a cancelled dialog. Only in builds with the test hooks.
constexpr char kTestChooseFileEnv[] = "READERTOOL_TEST_CHOOSE_FILE";

// The program's name in message boxes that have no caption of their own.
constexpr char g_pszProgramName[] = "TAV Vodivazu RA";

// "Description (*.ext)|*.ext||" as the open-file dialog wants it: pairs of
// NUL-terminated texts, the whole ended by a second NUL. Empty text: empty.
std::wstring FileDialogFilter(const std::string& strFilter);

class Win32DialogView final : public IDialogView {
 public:
  // Create on the window thread. hInstance holds the window's resources.
  Win32DialogView(CTAVDownloadApDlg& dialog, HINSTANCE hInstance);
  ~Win32DialogView() override;
  Win32DialogView(const Win32DialogView&) = delete;
  Win32DialogView& operator=(const Win32DialogView&) = delete;

  // Makes the window and runs it modally until EndDialog; returns its result
  // (-1 when the window could not be made). Once per view.
  int RunModal();

  // ---- what the window shows (window thread only) ----
  HWND Window() const { return m_hWnd.load(); }
  // The control of a template ID (IDC_...), or null.
  HWND Control(int nId) const;
  HWND Logo() const { return m_hLogo; }
  HWND ToolTip() const { return m_hToolTip; }
  HICON Icon() const { return m_hIcon; }
  bool IsTimerRunning(UINT_PTR nIDEvent) const { return m_timers.count(nIDEvent) != 0; }
  bool HasEnded() const { return m_bEnded.load(); }
  // Runs once on the window thread when the window is up (shown and its
  // start-up done); for the test hooks and the tests.
  void SetOnShown(std::function<void()> fn) { m_fnOnShown = std::move(fn); }
  // Runs on the window thread after each EnableControl; for the test hooks,
  // which watch the run controls go off and on.
  void SetEnableObserver(std::function<void(int nId, bool bEnable)> fn) { m_fnEnableObserver = std::move(fn); }
  // Runs fn on the window thread later, without waiting for it (any thread);
  // dropped once the window has ended.
  void PostToWindowThread(std::function<void()> fn);

  // ---- IDialogView ----
  void SetEventSink(IDialogEvents* pSink) override;
  void SetLogText(const std::string& strText) override;
  std::string GetLogText() override;
  void ScrollLogToEnd() override;
  void SetProgressRange(int nMax) override;
  void SetProgressPos(int nPos) override;
  void SetProgressMarquee(bool bOn) override;
  void SetElapsedText(const std::string& strText) override;
  void SetTimer(UINT_PTR nIDEvent, UINT nElapseMs) override;
  void KillTimer(UINT_PTR nIDEvent) override;
  void EnableControl(int nId, bool bEnable) override;
  void ShowControl(int nId, bool bShow) override;
  void ResetList(int nId) override;
  void AddListItem(int nId, const std::string& strItem) override;
  int GetListCount(int nId) override;
  int GetListSelection(int nId) override;
  void SetListSelection(int nId, int nIndex) override;
  std::string GetListItemText(int nId, int nIndex) override;
  void SetCaption(const std::string& strCaption) override;
  void ShowMessageBox(const std::string& strText, const std::string& strCaption, MsgIcon icon) override;
  void MessageBeep(MsgIcon icon) override;
  bool ChooseFile(const std::string& strFilter, std::string* pPath) override;
  void ShowAboutBox() override;
  void EndDialog(int nResult) override;
  void SendToWindowThread(std::function<void()> fn) override;

 private:
  struct Call;
  static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnInitDialog(HWND hWnd);
  void OnCommand(int nId, int nCode);
  bool OnPaintMinimized();
  void ApplyControlFont(UINT nDpi);
  void FitLogo();
  void MakeToolTip();
  void CloseModalChildren();

  bool IsWindowThread() const { return GetCurrentThreadId() == m_nWindowThread; }
  // Runs fn on the window thread and waits for it (see the threading rule).
  // False when it did not run because the window has ended.
  bool RunOnWindowThread(std::function<void()> fn);
  void RunQueuedCalls();
  HWND List(int nId) const;

  CTAVDownloadApDlg& m_dialog;
  HINSTANCE m_hInstance;
  DWORD m_nWindowThread;
  std::atomic<HWND> m_hWnd{nullptr};
  std::atomic<IDialogEvents*> m_pSink{nullptr};

  HICON m_hIcon = nullptr;
  HICON m_hSmallIcon = nullptr;
  HFONT m_hControlFont = nullptr;
  HWND m_hLogo = nullptr;
  HBITMAP m_hLogoBitmap = nullptr;
  HWND m_hToolTip = nullptr;
  std::set<UINT_PTR> m_timers;
  std::function<void()> m_fnOnShown;
  std::function<void(int, bool)> m_fnEnableObserver;

  // Calls from other threads.
  std::mutex m_callMutex;
  std::condition_variable m_callDone;
  std::deque<std::shared_ptr<Call>> m_calls;
  std::atomic<bool> m_bEnded{false};
};
