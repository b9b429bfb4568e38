// The display of the window's logic on a console: readerctl drives the same
// CTAVDownloadApDlg as the operator window, with this view in place of the
// window.
//
// - Log: every refresh of the pane is compared with what was printed; text
//   that extends it is printed as it comes (CR LF as a plain line end), a
//   text that does not (the connect step starts a fresh log) is announced by
//   a marker line and printed whole.
// - Progress: on a terminal, one line on standard error (bar, percentage or
//   a moving block for the marquee, elapsed time), redrawn in place and
//   taken away while log text is printed; off a terminal nothing is drawn.
// - Message boxes never wait: their text goes to standard error.
// - The file chooser answers with the file given on the command line, or
//   "cancelled" when there is none.
// - With JSON output, each of these is one object per line on standard
//   output instead (see cli/json_writer.h for the encoding).
//
// Threads: every method may be called from any thread. The pump's thread
// (readerctl's main thread) is the window thread: SendToWindowThread and the
// timers run there. No lock of the view is held while the window's logic is
// called back.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/dialog_view.h"

class ConsolePump;
class JsonObject;

// Where the view writes.
struct ConsoleOutput {
  std::function<void(std::string_view)> fnOut;  // standard output
  std::function<void(std::string_view)> fnErr;  // standard error
  // Standard error is a terminal: the progress line is drawn there.
  bool bErrIsTerminal = false;
  int nColumns = 80;
};

// ---- the log: what changed since the last print ----
enum class LogChange { None, Append, Replace };
struct LogDiff {
  LogChange change = LogChange::None;
  std::string strText;  // the new part (Append) or the whole new text (Replace)
};
// strShown is what has been printed, strNow the pane's new text.
LogDiff DiffLog(const std::string& strShown, const std::string& strNow);
// The text without the one "\r\n" that closes every append.
std::string_view WithoutFinalLineEnd(std::string_view strText);

// ---- the progress line ----
struct ProgressState {
  int nMax = 100;
  int nPos = 0;
  bool bMarquee = false;
  std::string strElapsed = "00:00";
  unsigned nFrame = 0;  // marquee animation step
};
// One line of at most nColumns - 1 characters: "[####------]  42%  00:12", or
// for the marquee a block moving through the bar and no percentage.
std::string FormatProgressLine(const ProgressState& state, int nColumns);

class ConsoleView final : public IDialogView {
 public:
  // pPump may be null: then SendToWindowThread runs inline and timers do
  // not run (tests of the printing alone).
  ConsoleView(ConsoleOutput out, bool bJson, ConsolePump* pPump);
  ~ConsoleView() override;

  // The answer of the file chooser: the path, or none ("cancelled").
  void SetFileAnswer(std::optional<std::string> path);

  // ---- what readerctl reads back ----
  std::string LogText() const;
  std::vector<std::string> MessageBoxTexts() const;
  bool FileChooserAsked() const;
  std::string Caption() const;
  int EndDialogResult() const;  // -1 before EndDialog
  std::vector<std::string> ListItems(int nId) const;

  // ---- readerctl's own output ----
  // A line of its own on standard error (the progress line steps aside).
  void Note(std::string_view strLine);
  // A JSON object as one line on standard output.
  void EmitJson(const JsonObject& obj);
  // Ends the progress line: drawn once more and closed with a line end, so
  // that the shell's prompt starts on a line of its own; timers stop.
  void Finish();

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

  bool LineEnabledLocked() const;
  void ClearLineLocked();
  void DrawLineLocked();
  // Standard output, with the progress line out of the way.
  void WriteOutLocked(std::string_view strText);
  void WriteErrLocked(std::string_view strText);
  void EmitProgressLocked();
  void Tick();

  const ConsoleOutput m_out;
  const bool m_bJson;
  ConsolePump* const m_pPump;

  mutable std::mutex m_mutex;
  IDialogEvents* m_pSink = nullptr;
  std::string m_strPane;     // what the log pane holds (and GetLogText returns)
  std::string m_strPrinted;  // what has been printed of it
  ProgressState m_progress;
  bool m_bProgressShown = false;
  int m_nEmittedPos = 0;
  int m_nEmittedMax = 100;
  bool m_bLineDrawn = false;
  std::map<int, bool> m_enabled;
  std::map<int, bool> m_shown;
  std::map<int, List> m_lists;
  std::string m_strCaption;
  std::vector<std::string> m_boxes;
  std::optional<std::string> m_fileAnswer;
  bool m_bFileAsked = false;
  int m_nEndResult = -1;
  std::vector<UINT_PTR> m_timerIds;  // the window's timers set on the pump, killed with the view
};
