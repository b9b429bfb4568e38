// The main window's logic, without a display: the operator log and its
// refresh protocol, the progress bar, the elapsed-time display and the run
// controls. Its controls sit behind IDialogView (ui/dialog_view.h).
//
// Log protocol: a caller on any thread changes m_strLog, then sends
// WM_LOG_REFRESH; the refresh runs OnLogRefresh on the window thread while
// the caller waits, and that is the only place that copies m_strLog into the
// pane. Nothing locks m_strLog: while a worker appends, the controls whose
// handlers would pull the pane text back (UpdateData(TRUE)) are disabled.
#pragma once
#include <cstdint>
#include <string>

#include "platform/types.h"
#include "ui/dialog_view.h"

constexpr UINT WM_USER = 0x0400;
// Refresh of the log pane, sent synchronously from any thread.
constexpr UINT WM_LOG_REFRESH = WM_USER + 100;

// Timer 1 drives the elapsed-time display once a second.
constexpr UINT_PTR kElapsedTimerId = 1;
constexpr UINT kElapsedTimerMs = 1000;

// Baud list items, by index.
constexpr int kBaudTable[] = {9600, 19200, 38400, 57600, 115200};

class CTAVDownloadApDlg : public IDialogEvents {
 public:
  CTAVDownloadApDlg();
  virtual ~CTAVDownloadApDlg();
  CTAVDownloadApDlg(const CTAVDownloadApDlg&) = delete;
  CTAVDownloadApDlg& operator=(const CTAVDownloadApDlg&) = delete;

  // The display of this window (not owned); null detaches. Until a view is
  // attached every control operation does nothing. The view must outlive
  // its attachment: the window detaches itself when destroyed.
  void AttachView(IDialogView* pView);
  IDialogView* GetView() const { return m_pView; }
  // Takes the references to the progress bar and the elapsed-time field
  // (window start-up). Before this, the progress and time operations do
  // nothing.
  void TakeControlReferences();

  // Data exchange. TRUE pulls the log pane's text into m_strLog and the
  // interface, baud and port selections into m_nInterfaceSel, m_nBaudSel and
  // m_nPortSel. FALSE pushes m_strLog into the pane; the selections are not
  // pushed, the lists themselves hold them. FALSE when no view is attached.
  BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

  // The window's own messages; WM_LOG_REFRESH runs OnLogRefresh on the
  // window thread and returns its result. Other messages are ignored (0).
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

  // ---- operator log ----
  // The text (or "No Msg" for null) replaces the log (bReplace) or is
  // appended; then "\r\n" is appended and the pane refreshed.
  void AppendLog(const char* pszText, bool bReplace = false);
  // Null: nothing at all. Otherwise as above with the object's text.
  void AppendLog(const std::string* pText, bool bReplace = false);
  // The help text of the selected interface (USB HID or RS-232).
  void AppendErrorHelp();

  // ---- progress bar and elapsed time ----
  void InitProgress(int nMax, int nPos);
  // -1 means the range maximum; other values are clamped to 0..maximum.
  void SetProgress(int nPos);
  void ResetProgress();
  void StartMarquee();
  void StartElapsedTimer();
  void SetTimer(UINT_PTR nIDEvent, UINT nElapseMs);
  void KillTimer(UINT_PTR nIDEvent);

  // ---- controls ----
  // Load, Reset Default, Port button, interface, baud and port lists.
  void EnableRunControls(bool bEnable);
  // The number after "COM" of the selected port item; 0 without a port
  // list reference or a selection.
  int GetSelectedPortNumber();

  // ---- handlers ----
  LRESULT OnLogRefresh(WPARAM wParam, LPARAM lParam);
  void OnTimer(UINT_PTR nIDEvent) override;

  // ---- window start-up and controls (ui/main_dialog_init.cpp) ----
  BOOL OnInitDialog();
  bool RefreshComPortList();
  void OnInterfaceChange();
  void UpdateWindowTitle();
  void OnSysCommand(UINT nID, LPARAM lParam);
  void OnOK();
  void OnCancel();
  void OnDestroy();

  // ---- connect step (ui/connect_step.cpp) ----
  // Closes, then opens the interface chosen in the window; replaces the log
  // with its report line. With bProbe the reader must answer a ping.
  bool OpenSelectedInterface(bool bProbe);

  // ---- file selection (update/firmware_image.cpp) ----
  // The last chosen path, or with bNameOnly the part after its last backslash
  // or slash.
  std::string GetLastFile(bool bNameOnly);

  // ---- runs (ui/worker.cpp) and default settings (script/reset_default.cpp) ----
  void OnLoad();
  void OnResetDefault();

  // ---- members ----
  std::string m_strLog;
  std::string m_strLastFile;
  // Control references: the view that holds the control, once taken.
  IDialogView* m_pProgress = nullptr;
  IDialogView* m_pElapsed = nullptr;
  IDialogView* m_pBaudList = nullptr;
  IDialogView* m_pPortList = nullptr;
  DWORD m_dwStartSec = 0;
  int m_nProgressMax = 0;
  // Selections as the last UpdateData(TRUE) found them (-1: none).
  int m_nInterfaceSel = -1;
  int m_nBaudSel = -1;
  int m_nPortSel = -1;

 private:
  IDialogView* m_pView = nullptr;
};

// Appends the bytes in lines of 16 "%02X " values, between an optional head
// line and an optional tail line.
void LogHexDump(CTAVDownloadApDlg* pDialog, const BYTE* pData, DWORD nCount, const char* pszHead,
                const char* pszTail);

// The programming progress callback: appends the text ("No Msg" for null) to
// the main window's log and moves its bar as SetProgress(nPos) does. Does
// nothing while no main window is registered with the application object.
void LogAndProgress(const char* pszText, int nPos);
