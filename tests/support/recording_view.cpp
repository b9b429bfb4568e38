#include "support/recording_view.h"

#include <future>

#include "ui/dialog_template.h"

namespace {

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

std::string ToString(MsgIcon icon) {
  switch (icon) {
    case MsgIcon::None: return "None";
    case MsgIcon::Information: return "Information";
    case MsgIcon::Exclamation: return "Exclamation";
    case MsgIcon::Error: return "Error";
    case MsgIcon::Question: return "Question";
  }
  return "?";
}

RecordingView::RecordingView() {
  // As the window template creates the controls.
  for (int nId : kTemplateHiddenControls) m_shown[nId] = false;
  for (int nId : {IDC_INTERFACE_LIST, IDC_BAUD_LIST, IDC_PORT_LIST}) m_lists[nId].items = TemplateListItems(nId);
}

RecordingView::~RecordingView() { StopWindowThread(); }

// ---- window thread ----

void RecordingView::StartWindowThread() {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_windowThread.joinable()) return;
  m_bStopping = false;
  std::promise<void> started;
  auto ready = started.get_future();
  m_windowThread = std::thread([this, &started] {
    {
      std::lock_guard<std::mutex> l(m_mutex);
      m_windowThreadId = std::this_thread::get_id();
    }
    started.set_value();
    WindowThreadMain();
  });
  lock.unlock();
  ready.wait();
}

void RecordingView::StopWindowThread() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_windowThread.joinable()) return;
    m_bStopping = true;
  }
  m_queueCv.notify_all();
  m_windowThread.join();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_windowThread = std::thread();
  m_windowThreadId = std::thread::id();
}

void RecordingView::WindowThreadMain() {
  for (;;) {
    std::function<void()> fn;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_queueCv.wait(lock, [this] { return m_bStopping || !m_queue.empty(); });
      if (m_queue.empty()) return;
      fn = std::move(m_queue.front());
      m_queue.pop_front();
    }
    fn();
  }
}

bool RecordingView::IsWindowThread() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_windowThreadId == std::thread::id() || m_windowThreadId == std::this_thread::get_id();
}

void RecordingView::SendToWindowThread(std::function<void()> fn) {
  Record("SendToWindowThread()");
  if (IsWindowThread()) {
    fn();
    return;
  }
  std::promise<void> done;
  auto finished = done.get_future();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bStopping) {
      // Nobody will run it: a window that is gone shows nothing.
      return;
    }
    m_queue.push_back([&fn, &done] {
      fn();
      done.set_value();
    });
  }
  m_queueCv.notify_all();
  finished.wait();
}

// ---- scripting ----

void RecordingView::QueueFileChoice(const std::string& strPath) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_fileAnswers.push_back(strPath);
}

void RecordingView::TypeIntoLog(const std::string& strText) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_strLog = strText;
}

bool RecordingView::FireTimer(UINT_PTR nIDEvent) {
  IDialogEvents* pSink;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_timers.count(nIDEvent) || !m_pSink) return false;
    pSink = m_pSink;
  }
  auto fire = [pSink, nIDEvent] { pSink->OnTimer(nIDEvent); };
  if (IsWindowThread()) {
    fire();
  } else {
    SendToWindowThread(fire);
  }
  return true;
}

// ---- records ----

void RecordingView::Record(const std::string& strText) {
  const bool bOnWindow = IsWindowThread();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_calls.push_back({strText, bOnWindow});
}

std::vector<RecordingView::Call> RecordingView::Calls() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_calls;
}

std::vector<std::string> RecordingView::CallTexts() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::string> out;
  for (const Call& c : m_calls) out.push_back(c.strText);
  return out;
}

std::vector<std::string> RecordingView::CallsStartingWith(const std::string& strPrefix) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::string> out;
  for (const Call& c : m_calls)
    if (c.strText.compare(0, strPrefix.size(), strPrefix) == 0) out.push_back(c.strText);
  return out;
}

void RecordingView::ClearCalls() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_calls.clear();
}

std::vector<RecordingView::MessageBoxRecord> RecordingView::MessageBoxes() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_boxes;
}

std::vector<std::string> RecordingView::FileFilters() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_fileFilters;
}

// ---- state ----

std::string RecordingView::LogText() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_strLog;
}
int RecordingView::LogScrolledAtLength() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_nScrolledAt;
}
int RecordingView::ProgressMax() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_nProgressMax;
}
int RecordingView::ProgressPos() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_nProgressPos;
}
bool RecordingView::ProgressMarquee() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bMarquee;
}
std::string RecordingView::ElapsedText() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_strElapsed;
}
bool RecordingView::TimerRunning(UINT_PTR nIDEvent) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_timers.count(nIDEvent) != 0;
}
UINT RecordingView::TimerInterval(UINT_PTR nIDEvent) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_timers.find(nIDEvent);
  return it == m_timers.end() ? 0 : it->second;
}
bool RecordingView::IsEnabled(int nId) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_enabled.find(nId);
  return it == m_enabled.end() || it->second;
}
bool RecordingView::IsShown(int nId) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_shown.find(nId);
  return it == m_shown.end() || it->second;
}
std::vector<std::string> RecordingView::ListItems(int nId) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_lists.find(nId);
  return it == m_lists.end() ? std::vector<std::string>() : it->second.items;
}
std::string RecordingView::Caption() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_strCaption;
}
int RecordingView::EndDialogResult() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_nEndResult;
}
int RecordingView::AboutBoxCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_nAboutBoxes;
}

// ---- IDialogView ----

void RecordingView::SetEventSink(IDialogEvents* pSink) {
  Record(pSink ? "SetEventSink(sink)" : "SetEventSink(null)");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_pSink = pSink;
}

void RecordingView::SetLogText(const std::string& strText) {
  Record("SetLogText(" + Quote(strText) + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_strLog = strText;
}

std::string RecordingView::GetLogText() {
  Record("GetLogText()");
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_strLog;
}

void RecordingView::ScrollLogToEnd() {
  Record("ScrollLogToEnd()");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_nScrolledAt = static_cast<int>(m_strLog.size());
}

void RecordingView::SetProgressRange(int nMax) {
  Record("SetProgressRange(" + std::to_string(nMax) + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_nProgressMax = nMax;
}

void RecordingView::SetProgressPos(int nPos) {
  Record("SetProgressPos(" + std::to_string(nPos) + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_nProgressPos = nPos;
}

void RecordingView::SetProgressMarquee(bool bOn) {
  Record(std::string("SetProgressMarquee(") + (bOn ? "true" : "false") + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bMarquee = bOn;
}

void RecordingView::SetElapsedText(const std::string& strText) {
  Record("SetElapsedText(" + Quote(strText) + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_strElapsed = strText;
}

void RecordingView::SetTimer(UINT_PTR nIDEvent, UINT nElapseMs) {
  Record("SetTimer(" + std::to_string(nIDEvent) + ", " + std::to_string(nElapseMs) + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_timers[nIDEvent] = nElapseMs;
}

void RecordingView::KillTimer(UINT_PTR nIDEvent) {
  Record("KillTimer(" + std::to_string(nIDEvent) + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_timers.erase(nIDEvent);
}

void RecordingView::EnableControl(int nId, bool bEnable) {
  Record("EnableControl(" + std::to_string(nId) + ", " + (bEnable ? "true" : "false") + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_enabled[nId] = bEnable;
}

void RecordingView::ShowControl(int nId, bool bShow) {
  Record("ShowControl(" + std::to_string(nId) + ", " + (bShow ? "true" : "false") + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_shown[nId] = bShow;
}

void RecordingView::ResetList(int nId) {
  Record("ResetList(" + std::to_string(nId) + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lists[nId] = List();
}

void RecordingView::AddListItem(int nId, const std::string& strItem) {
  Record("AddListItem(" + std::to_string(nId) + ", " + Quote(strItem) + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lists[nId].items.push_back(strItem);
}

int RecordingView::GetListCount(int nId) {
  Record("GetListCount(" + std::to_string(nId) + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<int>(m_lists[nId].items.size());
}

int RecordingView::GetListSelection(int nId) {
  Record("GetListSelection(" + std::to_string(nId) + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lists[nId].nSel;
}

void RecordingView::SetListSelection(int nId, int nIndex) {
  Record("SetListSelection(" + std::to_string(nId) + ", " + std::to_string(nIndex) + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  List& list = m_lists[nId];
  list.nSel = (nIndex >= 0 && nIndex < static_cast<int>(list.items.size())) ? nIndex : -1;
}

std::string RecordingView::GetListItemText(int nId, int nIndex) {
  Record("GetListItemText(" + std::to_string(nId) + ", " + std::to_string(nIndex) + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  const List& list = m_lists[nId];
  if (nIndex < 0 || nIndex >= static_cast<int>(list.items.size())) return std::string();
  return list.items[static_cast<std::size_t>(nIndex)];
}

void RecordingView::SetCaption(const std::string& strCaption) {
  Record("SetCaption(" + Quote(strCaption) + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_strCaption = strCaption;
}

void RecordingView::ShowMessageBox(const std::string& strText, const std::string& strCaption, MsgIcon icon) {
  Record("MessageBox(" + Quote(strText) + ", " + Quote(strCaption) + ", " + ToString(icon) + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_boxes.push_back({strText, strCaption, icon});
}

void RecordingView::MessageBeep(MsgIcon icon) { Record("MessageBeep(" + ToString(icon) + ")"); }

bool RecordingView::ChooseFile(const std::string& strFilter, std::string* pPath) {
  Record("ChooseFile(" + Quote(strFilter) + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_fileFilters.push_back(strFilter);
  if (m_fileAnswers.empty()) return false;
  std::string strPath = m_fileAnswers.front();
  m_fileAnswers.pop_front();
  if (strPath.empty()) return false;
  if (pPath) *pPath = strPath;
  return true;
}

void RecordingView::ShowAboutBox() {
  Record("ShowAboutBox()");
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_nAboutBoxes;
}

void RecordingView::EndDialog(int nResult) {
  Record("EndDialog(" + std::to_string(nResult) + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_nEndResult = nResult;
}
