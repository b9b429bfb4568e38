#include "cli/console_view.h"

#include <algorithm>
#include <cstdint>

#include "cli/console_pump.h"
#include "cli/json_writer.h"
#include "ui/dialog_template.h"
#include "ui/line_ends.h"

namespace {

// The marquee's animation timer, apart from the window's own timers.
constexpr std::uint64_t kTickerKey = UINT64_MAX;
constexpr std::uint32_t kTickerMs = 120;

constexpr char kReplacedMarker[] = "---- log replaced ----\n";
constexpr char kEraseLine[] = "\r\033[K";

// Bar width for a terminal of nColumns: room for "[", "]", "  100%  " and
// the elapsed time, at most 50 cells.
int BarWidth(int nColumns, std::size_t nElapsed) {
  const int nRoom = nColumns - 1 - 2 - 8 - static_cast<int>(nElapsed);
  return std::clamp(nRoom, 10, 50);
}

}  // namespace

LogDiff DiffLog(const std::string& strShown, const std::string& strNow) {
  if (strNow == strShown) return {};
  if (strNow.size() > strShown.size() && strNow.compare(0, strShown.size(), strShown) == 0)
    return {LogChange::Append, strNow.substr(strShown.size())};
  return {LogChange::Replace, strNow};
}

std::string_view WithoutFinalLineEnd(std::string_view strText) {
  if (strText.size() >= 2 && strText.substr(strText.size() - 2) == "\r\n") strText.remove_suffix(2);
  return strText;
}

std::string FormatProgressLine(const ProgressState& state, int nColumns) {
  const int nWidth = BarWidth(nColumns, state.strElapsed.size());
  std::string bar(static_cast<std::size_t>(nWidth), '-');
  std::string strPercent;
  if (state.bMarquee) {
    // A block of three cells bouncing between the ends.
    constexpr int nBlock = 3;
    const int nSpan = nWidth - nBlock;
    const int nPhase = static_cast<int>(state.nFrame % static_cast<unsigned>(2 * nSpan));
    const int nAt = nPhase <= nSpan ? nPhase : 2 * nSpan - nPhase;
    bar.assign(static_cast<std::size_t>(nWidth), ' ');
    for (int i = 0; i < nBlock; ++i) bar[static_cast<std::size_t>(nAt + i)] = '#';
    strPercent = "    ";
  } else {
    const long long nMax = state.nMax > 0 ? state.nMax : 0;
    const long long nPos = std::clamp<long long>(state.nPos, 0, nMax);
    const long long nPercent = nMax > 0 ? nPos * 100 / nMax : 0;
    const long long nFilled = nMax > 0 ? nPos * nWidth / nMax : 0;
    std::fill_n(bar.begin(), nFilled, '#');
    strPercent = std::to_string(nPercent) + "%";
    strPercent.insert(0, 4 - std::min<std::size_t>(4, strPercent.size()), ' ');
  }
  return "[" + bar + "] " + strPercent + "  " + state.strElapsed;
}

ConsoleView::ConsoleView(ConsoleOutput out, bool bJson, ConsolePump* pPump)
    : m_out(std::move(out)), m_bJson(bJson), m_pPump(pPump) {
  for (int nId : {IDC_INTERFACE_LIST, IDC_BAUD_LIST, IDC_PORT_LIST}) m_lists[nId].items = TemplateListItems(nId);
  for (int nId : kTemplateHiddenControls) m_shown[nId] = false;
}

ConsoleView::~ConsoleView() {
  if (!m_pPump) return;
  // The pump may outlive the view: none of its timers may call back here.
  m_pPump->KillTimer(kTickerKey);
  for (UINT_PTR nId : m_timerIds) m_pPump->KillTimer(nId);
}

void ConsoleView::SetFileAnswer(std::optional<std::string> path) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_fileAnswer = std::move(path);
}

std::string ConsoleView::LogText() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_strPane;
}

std::vector<std::string> ConsoleView::MessageBoxTexts() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_boxes;
}

bool ConsoleView::FileChooserAsked() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bFileAsked;
}

std::string ConsoleView::Caption() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_strCaption;
}

int ConsoleView::EndDialogResult() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_nEndResult;
}

std::vector<std::string> ConsoleView::ListItems(int nId) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto it = m_lists.find(nId);
  return it == m_lists.end() ? std::vector<std::string>() : it->second.items;
}

// ---- output ----

bool ConsoleView::LineEnabledLocked() const { return m_out.bErrIsTerminal && !m_bJson && m_bProgressShown; }

void ConsoleView::ClearLineLocked() {
  if (!m_bLineDrawn) return;
  if (m_out.fnErr) m_out.fnErr(kEraseLine);
  m_bLineDrawn = false;
}

void ConsoleView::DrawLineLocked() {
  if (!LineEnabledLocked() || !m_out.fnErr) return;
  m_out.fnErr("\r" + FormatProgressLine(m_progress, m_out.nColumns) + "\033[K");
  m_bLineDrawn = true;
}

void ConsoleView::WriteOutLocked(std::string_view strText) {
  const bool bRedraw = m_bLineDrawn;
  ClearLineLocked();
  if (m_out.fnOut) m_out.fnOut(strText);
  if (bRedraw) DrawLineLocked();
}

void ConsoleView::WriteErrLocked(std::string_view strText) {
  const bool bRedraw = m_bLineDrawn;
  ClearLineLocked();
  if (m_out.fnErr) m_out.fnErr(strText);
  if (bRedraw) DrawLineLocked();
}

void ConsoleView::Note(std::string_view strLine) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string strText(strLine);
  if (strText.empty() || strText.back() != '\n') strText += '\n';
  WriteErrLocked(strText);
}

void ConsoleView::EmitJson(const JsonObject& obj) {
  std::lock_guard<std::mutex> lock(m_mutex);
  WriteOutLocked(obj.Line());
}

void ConsoleView::Finish() {
  if (m_pPump) m_pPump->KillTimer(kTickerKey);
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_bLineDrawn) return;
  DrawLineLocked();
  if (m_out.fnErr) m_out.fnErr("\n");
  m_bLineDrawn = false;
  // Nothing is drawn again after the last line has been closed.
  m_bProgressShown = false;
}

void ConsoleView::EmitProgressLocked() {
  if (m_bJson) {
    if (m_progress.nPos == m_nEmittedPos && m_progress.nMax == m_nEmittedMax) return;
    m_nEmittedPos = m_progress.nPos;
    m_nEmittedMax = m_progress.nMax;
    WriteOutLocked(
        JsonObject().Add("event", "progress").Add("pos", m_progress.nPos).Add("max", m_progress.nMax).Line());
    return;
  }
  DrawLineLocked();
}

void ConsoleView::Tick() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_progress.bMarquee) return;
  ++m_progress.nFrame;
  DrawLineLocked();
}

// ---- IDialogView ----

void ConsoleView::SetEventSink(IDialogEvents* pSink) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_pSink = pSink;
}

void ConsoleView::SetLogText(const std::string& strText) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_strPane = strText;
  const LogDiff diff = DiffLog(m_strPrinted, strText);
  m_strPrinted = strText;
  if (diff.change == LogChange::None) return;
  if (m_bJson) {
    WriteOutLocked(JsonObject()
                       .Add("event", "log")
                       .Add("replace", diff.change == LogChange::Replace)
                       .Add("text", WithoutFinalLineEnd(diff.strText))
                       .Line());
    return;
  }
  std::string strOut = diff.change == LogChange::Replace ? kReplacedMarker : "";
  strOut += CrLfToLf(diff.strText);
  // A pane text that does not end its last line still leaves the console's
  // cursor at the start of a line.
  if (!strOut.empty() && strOut.back() != '\n') strOut += '\n';
  WriteOutLocked(strOut);
}

std::string ConsoleView::GetLogText() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_strPane;
}

void ConsoleView::ScrollLogToEnd() {}

void ConsoleView::SetProgressRange(int nMax) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_progress.nMax = nMax;
  EmitProgressLocked();
}

void ConsoleView::SetProgressPos(int nPos) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_progress.nPos = nPos;
  EmitProgressLocked();
}

void ConsoleView::SetProgressMarquee(bool bOn) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_progress.bMarquee == bOn) return;
  m_progress.bMarquee = bOn;
  if (m_bJson) {
    WriteOutLocked(JsonObject().Add("event", "marquee").Add("on", bOn).Line());
    return;
  }
  if (m_pPump && m_out.bErrIsTerminal) {
    if (bOn) {
      m_pPump->SetTimer(kTickerKey, kTickerMs, [this] { Tick(); });
    } else {
      m_pPump->KillTimer(kTickerKey);
    }
  }
  DrawLineLocked();
}

void ConsoleView::SetElapsedText(const std::string& strText) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_progress.strElapsed == strText) return;
  m_progress.strElapsed = strText;
  if (m_bJson) {
    WriteOutLocked(JsonObject().Add("event", "elapsed").Add("text", strText).Line());
    return;
  }
  DrawLineLocked();
}

void ConsoleView::SetTimer(UINT_PTR nIDEvent, UINT nElapseMs) {
  if (!m_pPump) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (std::find(m_timerIds.begin(), m_timerIds.end(), nIDEvent) == m_timerIds.end()) m_timerIds.push_back(nIDEvent);
  }
  m_pPump->SetTimer(nIDEvent, nElapseMs, [this, nIDEvent] {
    IDialogEvents* pSink = nullptr;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      pSink = m_pSink;
    }
    if (pSink) pSink->OnTimer(nIDEvent);
  });
}

void ConsoleView::KillTimer(UINT_PTR nIDEvent) {
  if (m_pPump) m_pPump->KillTimer(nIDEvent);
}

void ConsoleView::EnableControl(int nId, bool bEnable) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_enabled[nId] = bEnable;
}

void ConsoleView::ShowControl(int nId, bool bShow) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_shown[nId] = bShow;
  if (nId != IDC_PROGRESS) return;
  m_bProgressShown = bShow;
  if (bShow) {
    DrawLineLocked();
  } else {
    ClearLineLocked();
  }
}

void ConsoleView::ResetList(int nId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lists[nId] = List{};
}

void ConsoleView::AddListItem(int nId, const std::string& strItem) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lists[nId].items.push_back(strItem);
}

int ConsoleView::GetListCount(int nId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<int>(m_lists[nId].items.size());
}

int ConsoleView::GetListSelection(int nId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lists[nId].nSel;
}

void ConsoleView::SetListSelection(int nId, int nIndex) {
  std::lock_guard<std::mutex> lock(m_mutex);
  List& list = m_lists[nId];
  // As a combo box does: an index outside the list clears the selection.
  list.nSel = nIndex >= 0 && nIndex < static_cast<int>(list.items.size()) ? nIndex : -1;
}

std::string ConsoleView::GetListItemText(int nId, int nIndex) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const List& list = m_lists[nId];
  return nIndex >= 0 && nIndex < static_cast<int>(list.items.size()) ? list.items[static_cast<std::size_t>(nIndex)]
                                                                     : std::string();
}

void ConsoleView::SetCaption(const std::string& strCaption) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_strCaption = strCaption;
}

void ConsoleView::ShowMessageBox(const std::string& strText, const std::string& strCaption, MsgIcon) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_boxes.push_back(strText);
  if (m_bJson) WriteOutLocked(JsonObject().Add("event", "message_box").Add("text", strText).Line());
  std::string strLine = strCaption.empty() ? std::string() : strCaption + ": ";
  strLine += CrLfToLf(strText);
  strLine += '\n';
  WriteErrLocked(strLine);
}

void ConsoleView::MessageBeep(MsgIcon) {}

bool ConsoleView::ChooseFile(const std::string&, std::string* pPath) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bFileAsked = true;
  if (!m_fileAnswer || !pPath) return false;
  *pPath = *m_fileAnswer;
  return true;
}

void ConsoleView::ShowAboutBox() {}

void ConsoleView::EndDialog(int nResult) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_nEndResult = nResult;
}

void ConsoleView::SendToWindowThread(std::function<void()> fn) {
  if (!m_pPump) {
    fn();
    return;
  }
  m_pPump->RunOnPumpThread(std::move(fn));
}
