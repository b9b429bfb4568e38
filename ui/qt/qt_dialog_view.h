// The operator window in Qt Widgets: the display of CTAVDownloadApDlg.
//
// QtDialogView makes every control of the window template (ID, kind, text,
// items, initial state, position in dialog units of the dialog font),
// implements the control layer IDialogView for the window logic and routes
// the window's events to the logic's handlers:
//   Load -> OnLoad, Reset Default -> OnResetDefault, Port : ->
//   RefreshComPortList, a choice in the interface list -> OnInterfaceChange,
//   Enter -> OnOK, Esc and the close box -> OnCancel, the About item of the
//   window's context menu and F1 -> OnSysCommand(IDM_ABOUTBOX), Close in
//   that menu -> OnSysCommand(kScClose), the timers -> OnTimer.
// All behaviour is the logic's; this class only shows and asks.
//
// Threads: the view belongs to the window (GUI) thread. Every IDialogView
// method may be called from any thread: off the window thread the call is
// queued to it and the caller waits until it has run (getters return its
// answer), so the order of a worker's calls is kept. Once the window has
// ended (EndDialog), calls from other threads return at once without effect
// (getters give empty answers) and calls still queued are dropped, so a
// worker never waits for a window that is gone. A call already running (a
// file dialog the worker asked for) is finished first; EndDialog closes the
// dialogs and message boxes the view has open.
//
// The view must outlive every thread that may call it.
#pragma once
#include <QDialog>
#include <QIcon>
#include <QPointer>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ui/dialog_view.h"
#include "ui/qt/dialog_metrics.h"
#include "ui/qt/test_hook_env.h"

class CTAVDownloadApDlg;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

// The test hook of the file dialog (ui/qt/test_hook_env.h): when
// READERTOOL_TEST_CHOOSE_FILE is set in a test build, ChooseFile shows no
// dialog and answers with its value, a path, or "cancel" for a cancelled
// dialog.

// The program's name in message boxes that have no caption of their own.
constexpr char g_pszProgramName[] = "TAV Vodivazu RA";

class QtDialogView final : public QDialog, public IDialogView {
  Q_OBJECT
 public:
  // Makes the controls; the logic's OnInitDialog runs afterwards (the front
  // end calls it). The view does not attach itself to the logic.
  explicit QtDialogView(CTAVDownloadApDlg& dialog, QWidget* pParent = nullptr);
  ~QtDialogView() override;

  // ---- what the window shows (window thread only) ----
  // The control of a template ID (IDC_...), or null.
  QWidget* Control(int nId) const;
  QLabel* Logo() const { return m_pLogo; }
  QGroupBox* InterfaceGroup() const { return m_pInterfaceGroup; }
  QComboBox* InterfaceList() const { return m_pInterfaceList; }
  QComboBox* BaudList() const { return m_pBaudList; }
  QComboBox* PortList() const { return m_pPortList; }
  QPushButton* LoadButton() const { return m_pLoad; }
  QPushButton* ResetDefaultButton() const { return m_pResetDefault; }
  QPushButton* PortButton() const { return m_pPortButton; }
  QProgressBar* ProgressBar() const { return m_pProgress; }
  QLineEdit* ElapsedField() const { return m_pElapsed; }
  QPlainTextEdit* LogPane() const { return m_pLog; }
  const DialogUnits& Units() const { return m_units; }
  // Whether timer nIDEvent runs.
  bool IsTimerRunning(UINT_PTR nIDEvent) const;
  // True once EndDialog has run.
  bool HasEnded() const { return m_bEnded.load(); }
  // Shows the window and runs the event loop until the window ends; returns
  // its result. The window is a normal top-level window that the task bar
  // shows, not a modal dialog (QDialog::exec would make it one).
  int Run();
  // The program icon (window, About box).
  static QIcon ProgramIcon();

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

 signals:
  // EndDialog has run; the window is hidden and its exec() returns.
  void Ended(int nResult);

 protected:
  // Enter / Esc / the close box reach the logic's OnOK / OnCancel, which end
  // the window through EndDialog.
  void accept() override;
  void reject() override;
  void keyPressEvent(QKeyEvent* pEvent) override;
  void contextMenuEvent(QContextMenuEvent* pEvent) override;

 private:
  struct Call;
  bool IsWindowThread() const;
  // Runs fn on the window thread and waits for it (see the threading rule).
  // False when it did not run because the window has ended.
  bool RunOnWindowThread(std::function<void()> fn);
  void RunQueuedCall(const std::shared_ptr<Call>& pCall);
  QComboBox* List(int nId) const;
  void MakeControls();
  void ApplyProgress();
  // Runs a modal child (message box, file dialog, About box) so that
  // EndDialog can close it.
  int RunModalChild(QDialog& child);
  void ShowAboutFromMenu();

  CTAVDownloadApDlg& m_dialog;
  std::atomic<IDialogEvents*> m_pSink{nullptr};
  DialogUnits m_units;
  QFont m_controlFont;

  QLabel* m_pLogo = nullptr;
  QGroupBox* m_pInterfaceGroup = nullptr;
  QComboBox* m_pInterfaceList = nullptr;
  QPushButton* m_pPortButton = nullptr;
  QComboBox* m_pPortList = nullptr;
  QLabel* m_pBaudLabel = nullptr;
  QComboBox* m_pBaudList = nullptr;
  QGroupBox* m_pTimeGroup = nullptr;
  QLineEdit* m_pElapsed = nullptr;
  QGroupBox* m_pFunctionsGroup = nullptr;
  QPushButton* m_pLoad = nullptr;
  QPushButton* m_pResetDefault = nullptr;
  QProgressBar* m_pProgress = nullptr;
  QPlainTextEdit* m_pLog = nullptr;
  std::map<int, QWidget*> m_controls;

  // The progress bar's state: range 0..m_nProgressMax and position, shown
  // unless the marquee runs.
  int m_nProgressMax = 100;
  int m_nProgressPos = 0;
  bool m_bMarquee = false;

  std::map<UINT_PTR, QTimer*> m_timers;
  std::vector<QPointer<QDialog>> m_modalChildren;

  // Calls from other threads.
  std::mutex m_callMutex;
  std::condition_variable m_callDone;
  std::atomic<bool> m_bEnded{false};
};
