// A display for the window's logic in tests: records every IDialogView call
// with its arguments, in order, and keeps the state a real window would show
// (log text, progress bar, elapsed time, timers, controls, lists, caption).
//
// SendToWindowThread runs inline, or, after StartWindowThread(), on a
// thread of the recorder's own that plays the window thread: callers wait
// until their function has run there. File-chooser answers are scripted;
// message boxes are logged. All methods are thread-safe.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ui/dialog_view.h"

class RecordingView : public IDialogView {
 public:
  struct Call {
    std::string strText;    // "Name(arg, arg)"
    bool bOnWindowThread;  // made on the window thread (always true inline)
  };
  struct MessageBoxRecord {
    std::string strText;
    std::string strCaption;
    MsgIcon icon;
  };

  RecordingView();
  ~RecordingView() override;

  // ---- the window thread ----
  // Runs SendToWindowThread functions (and FireTimer) on a thread of its own
  // from now on, until StopWindowThread() or destruction.
  void StartWindowThread();
  void StopWindowThread();
  bool IsWindowThread() const;

  // ---- scripting ----
  // Answers for the next ChooseFile calls, in order; an empty path means
  // "cancelled". With no answer left, ChooseFile cancels.
  void QueueFileChoice(const std::string& strPath);
  // Sets what the operator typed into the log pane (GetLogText returns it).
  void TypeIntoLog(const std::string& strText);
  // Calls the sink's OnTimer(nIDEvent) on the window thread, as a running
  // timer would; false (and nothing called) when that timer is not running.
  bool FireTimer(UINT_PTR nIDEvent);

  // ---- what was recorded ----
  std::vector<Call> Calls() const;
  std::vector<std::string> CallTexts() const;
  // The calls whose text starts with strPrefix (e.g. "SetProgressPos(").
  std::vector<std::string> CallsStartingWith(const std::string& strPrefix) const;
  void ClearCalls();
  std::vector<MessageBoxRecord> MessageBoxes() const;
  std::vector<std::string> FileFilters() const;

  // ---- what a window would show now ----
  std::string LogText() const;
  int LogScrolledAtLength() const;  // length of the log text at the last scroll, -1 before
  int ProgressMax() const;
  int ProgressPos() const;
  bool ProgressMarquee() const;
  std::string ElapsedText() const;
  bool TimerRunning(UINT_PTR nIDEvent) const;
  UINT TimerInterval(UINT_PTR nIDEvent) const;
  // Controls start enabled; progress bar and RS-232 controls start hidden
  // as in the window template, everything else shown.
  bool IsEnabled(int nId) const;
  bool IsShown(int nId) const;
  std::vector<std::string> ListItems(int nId) const;
  std::string Caption() const;
  int EndDialogResult() const;  // -1 before EndDialog
  int AboutBoxCount() const;

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
  struct List {
    std::vector<std::string> items;
    int nSel = -1;
  };
  void Record(const std::string& strText);
  void WindowThreadMain();

  mutable std::mutex m_mutex;
  std::vector<Call> m_calls;
  IDialogEvents* m_pSink = nullptr;
  std::string m_strLog;
  int m_nScrolledAt = -1;
  int m_nProgressMax = 100;
  int m_nProgressPos = 0;
  bool m_bMarquee = false;
  std::string m_strElapsed = "00:00";
  std::map<UINT_PTR, UINT> m_timers;
  std::map<int, bool> m_enabled;
  std::map<int, bool> m_shown;
  std::map<int, List> m_lists;
  std::string m_strCaption;
  std::vector<MessageBoxRecord> m_boxes;
  std::deque<std::string> m_fileAnswers;
  std::vector<std::string> m_fileFilters;
  int m_nEndResult = -1;
  int m_nAboutBoxes = 0;

  // The window thread and its queue of functions to run.
  std::thread m_windowThread;
  std::thread::id m_windowThreadId;
  std::condition_variable m_queueCv;
  std::deque<std::function<void()>> m_queue;
  bool m_bStopping = false;
};

std::string ToString(MsgIcon icon);
