// The control layer of the main window. The window's logic (ui/main_dialog.h)
// owns no display: it drives its controls through IDialogView, which the Qt
// window, the console front end and the tests' recorder each implement.
//
// Threading rule: every IDialogView method may be called from any thread.
// An implementation marshals to its window thread itself, and getters wait
// for their answer. SendToWindowThread runs a function on the window thread
// while the caller waits (inline when the caller is the window thread); that
// is how the synchronous log refresh (WM_LOG_REFRESH) reaches the window.
// Implementations must keep servicing SendToWindowThread while the window
// thread itself waits in plat::ThreadPump().WaitUntil(), and must never call
// back into the window's logic while holding a lock of their own.
//
// A view starts with the controls as the window template makes them
// (ui/dialog_template.h): the interface and baud lists hold the template's
// items, the port list nothing, none selected; the elapsed-time field shows
// "00:00"; the progress bar, the Port button, the port list, the baud label
// and the baud list are hidden.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

using UINT = unsigned int;
using UINT_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// Control IDs of the main window.
enum DialogControlId : int {
  IDC_LOAD = 1000,
  IDC_INTERFACE_LIST = 1001,
  IDC_BAUD_LABEL = 1006,
  IDC_LOG = 1010,
  IDC_RESET_DEFAULT = 1012,
  IDC_PROGRESS = 1014,
  IDC_ELAPSED = 1018,
  IDC_BAUD_LIST = 1019,
  IDC_PORT_LIST = 1020,
  IDC_TIME_GROUP = 1022,
  IDC_FUNCTIONS_GROUP = 1023,
  IDC_PORT_BUTTON = 1024,
};

// The icon of a message box, and the sound of a warning beep.
enum class MsgIcon { None, Information, Exclamation, Error, Question };

// What the view calls back on the window thread.
class IDialogEvents {
 public:
  // A timer set with IDialogView::SetTimer has fired.
  virtual void OnTimer(UINT_PTR nIDEvent) = 0;

 protected:
  ~IDialogEvents() = default;
};

class IDialogView {
 public:
  virtual ~IDialogView() = default;

  // Who receives the timer callbacks (null: nobody).
  virtual void SetEventSink(IDialogEvents* pSink) = 0;

  // Log pane (1010): its whole text, and scrolling so that its last line is
  // in view. The pane is editable, so GetLogText may differ from what was set.
  virtual void SetLogText(const std::string& strText) = 0;
  virtual std::string GetLogText() = 0;
  virtual void ScrollLogToEnd() = 0;

  // Progress bar (1014). Shown and hidden with ShowControl. The range is
  // always 0..nMax (full 32 bits); positions given are inside the range.
  // The marquee: on = marquee style and animation (default interval);
  // off = animation stopped and the style removed, the bar shows its position.
  virtual void SetProgressRange(int nMax) = 0;
  virtual void SetProgressPos(int nPos) = 0;
  virtual void SetProgressMarquee(bool bOn) = 0;

  // Elapsed-time field (1018).
  virtual void SetElapsedText(const std::string& strText) = 0;

  // Timer nIDEvent calls IDialogEvents::OnTimer(nIDEvent) on the window
  // thread every nElapseMs until killed; setting it again restarts it.
  virtual void SetTimer(UINT_PTR nIDEvent, UINT nElapseMs) = 0;
  virtual void KillTimer(UINT_PTR nIDEvent) = 0;

  // Any control by its ID.
  virtual void EnableControl(int nId, bool bEnable) = 0;
  virtual void ShowControl(int nId, bool bShow) = 0;

  // The three lists (1001 interface, 1019 baud, 1020 port). Items keep the
  // order in which they were added; the logic sorts where the window wants
  // sorted items. Index -1: no selection.
  virtual void ResetList(int nId) = 0;
  virtual void AddListItem(int nId, const std::string& strItem) = 0;
  virtual int GetListCount(int nId) = 0;
  virtual int GetListSelection(int nId) = 0;
  virtual void SetListSelection(int nId, int nIndex) = 0;
  // The item's text; empty for an index outside the list.
  virtual std::string GetListItemText(int nId, int nIndex) = 0;

  // The window caption.
  virtual void SetCaption(const std::string& strCaption) = 0;
  // A modal message box with an OK button; an empty caption means the
  // program's name.
  virtual void ShowMessageBox(const std::string& strText, const std::string& strCaption, MsgIcon icon) = 0;
  virtual void MessageBeep(MsgIcon icon) = 0;
  // The open-file dialog. strFilter is "Description (*.ext)|*.ext||" text.
  // False when the operator cancelled; otherwise the chosen full path.
  virtual bool ChooseFile(const std::string& strFilter, std::string* pPath) = 0;
  // The About box, modal.
  virtual void ShowAboutBox() = 0;
  // Ends the window (after OnOK / OnCancel).
  virtual void EndDialog(int nResult) = 0;

  // Runs fn on the window thread; returns when it has run.
  virtual void SendToWindowThread(std::function<void()> fn) = 0;
};
