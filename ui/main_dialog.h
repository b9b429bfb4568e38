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
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/types.h"
#include "ui/dialog_template.h"
#include "ui/dialog_view.h"
#include "ui/run_outcome.h"

// The window-system values the logic needs carry names of their own, never
// the names <windows.h> defines as macros, so that any file may include both.
// First message number free for the application's own messages.
constexpr UINT kWmUser = 0x0400;
// Refresh of the log pane, sent synchronously from any thread.
constexpr UINT WM_LOG_REFRESH = kWmUser + 100;

// Timer 1 drives the elapsed-time display once a second.
constexpr UINT_PTR kElapsedTimerId = 1;
constexpr UINT kElapsedTimerMs = 1000;

// The About item of the system menu: its command and its text. Where the
// desktop gives the window no system menu to extend, the front end offers
// the same text where its users look for it and calls OnSysCommand with
// IDM_ABOUTBOX.
constexpr UINT IDM_ABOUTBOX = 0x0010;
constexpr char g_pszAboutMenuText[] = "&About TAV Vodivazu RA...";
// System commands that OnSysCommand handles (low four bits masked off).
constexpr UINT kScClose = 0xF060;
// Results of EndDialog.
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;

// The program's name in the window caption, before its version.
constexpr char g_pszCaptionName[] = "TAV Vevevura Dovu";

// The worker thread of one run (ui/worker.cpp), started by the constructor.
// The object outlives the thread, so the window can ask at any time whether
// the run still goes on. Destroying it while the thread runs raises the stop
// request (every wait and transfer ends at once) and joins.
class CWorkerThread {
 public:
  explicit CWorkerThread(std::function<void()> fnRun);
  ~CWorkerThread();
  CWorkerThread(const CWorkerThread&) = delete;
  CWorkerThread& operator=(const CWorkerThread&) = delete;

  bool IsRunning() const;
  // Blocks until the thread has finished or the process clock reaches
  // nDeadlineMs; true when it has finished (and is joined).
  bool Join(std::uint64_t nDeadlineMs);

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_done;
  bool m_bRunning = true;
  std::thread m_thread;
};

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
  LRESULT SendWindowMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

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
  // Enter / Esc / the close box: a run in progress is asked to stop (its
  // waits and transfers end at once; see JoinWorker), the pacing table is
  // emptied and the view ends the window. Neither blocks.
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
  // "Load": connects on the window thread and, when the link is open, starts
  // a worker thread for the run. Does nothing while a run is in progress.
  void OnLoad();
  void OnResetDefault();
  // True from the start of a worker until it has finished its last step.
  bool IsRunInProgress() const;
  // Waits (blocking the calling thread, without pumping its events) until the
  // worker has finished or the process clock reaches nDeadlineMs; true when
  // no worker runs any more (it has then been joined). Call it after OnOK /
  // OnCancel have raised the stop, from a thread the worker does not wait
  // for: the view must no longer hold the worker in SendToWindowThread.
  bool JoinWorker(std::uint64_t nDeadlineMs);
  // Exit code of the last worker: 1 when its procedure did not fail, else 0;
  // -1 before the first run.
  int GetWorkerExitCode() const { return m_nWorkerExitCode.load(); }

  // ---- outcome of the last "Load" or "Reset Default" ----
  // "Load" and "Reset Default" each start a fresh record. A failed connect
  // is in it when OnLoad returns; the rest of a run is in it once the worker
  // has ended (JoinWorker), a reset's when OnResetDefault returns. Any thread.
  RunOutcome GetRunOutcome() const;
  // The worker and the reset record the step that failed.
  void SetRunFailure(RunFailure failure);
  // The procedures record how far they have taken the reader.
  void SetReaderStage(ReaderStage stage);
  // "Reset Default": the reader did not accept a reset whose reply is not judged.
  void SetResetNotAccepted();

  // The file whose version the caption shows; empty (the default) means the
  // running executable. Lets a test show what an unreadable version does.
  void SetVersionFile(const std::string& strPath) { m_strVersionFile = strPath; }

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
  // A fresh outcome record, at the start of "Load" and "Reset Default".
  void StartOutcome();

  IDialogView* m_pView = nullptr;
  std::string m_strVersionFile;
  std::atomic<int> m_nWorkerExitCode{-1};
  // Written by the worker during a run, read by the front end.
  mutable std::mutex m_outcomeMutex;
  RunOutcome m_outcome;
  // The worker of the most recent run (none before the first). The next run
  // replaces it; declared last, so that the window's other members are still
  // there while its destruction stops and joins a run that still goes on.
  std::unique_ptr<CWorkerThread> m_pWorkerThread;
};

// The worker routine of a run; pParam is the main window. Exit code 1 when
// the procedure did not fail, else 0; the step that failed goes into the
// window's outcome record.
UINT DownloadThreadProc(void* pParam);

// Appends the bytes in lines of 16 "%02X " values, between an optional head
// line and an optional tail line.
void LogHexDump(CTAVDownloadApDlg* pDialog, const BYTE* pData, DWORD nCount, const char* pszHead,
                const char* pszTail);

// The programming progress callback: appends the text ("No Msg" for null) to
// the main window's log and moves its bar as SetProgress(nPos) does. Does
// nothing while no main window is registered with the application object.
void LogAndProgress(const char* pszText, int nPos);
