#include "cli/batch.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

#include "app/app.h"
#include "cli/child_process.h"
#include "cli/console_os.h"
#include "cli/json_reader.h"
#include "cli/json_writer.h"
#include "cli/outcome.h"
#include "cli/reader_list.h"
#include "platform/clock.h"
#include "platform/hid.h"
#include "platform/stop.h"
#include "transport/reader_choice.h"
#include "ui/dialog_template.h"

namespace {

// How long the reader gets to come back after its update before its new
// version is read: a restart takes seconds; a reader that takes longer is
// shown with an unknown version, nothing else.
constexpr int kAfterUpdateWaitSeconds = 30;
// After a stop, the children get this long to close their links and leave.
constexpr std::uint64_t kStopGraceMs = 20000;
// The progress lines are redrawn at most this often.
constexpr std::uint64_t kRedrawMs = 100;
// How often the USB readers are listed while an updated reader is awaited
// under a new path.
constexpr std::uint64_t kReaderLookMs = 400;

constexpr char kEraseLine[] = "\r\033[K";

const char* CommandWord(CliCommand command) {
  switch (command) {
    case CliCommand::Load: return "load";
    case CliCommand::ResetDefault: return "reset-default";
    default: return "info";
  }
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t b = 0;
  while (b <= text.size()) {
    std::size_t e = text.find('\n', b);
    if (e == std::string_view::npos) e = text.size();
    std::string_view line = text.substr(b, e - b);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (e < text.size() || !line.empty()) lines.emplace_back(line);
    b = e + 1;
  }
  return lines;
}

std::string MinutesSeconds(std::uint64_t nMs) {
  const std::uint64_t s = (nMs + 500) / 1000;
  char sz[32];
  std::snprintf(sz, sizeof sz, "%llu:%02llu", static_cast<unsigned long long>(s / 60),
                static_cast<unsigned long long>(s % 60));
  return sz;
}

}  // namespace

std::vector<BatchReader> BatchReaders(const CliOptions& opt, std::string* pstrError) {
  std::vector<BatchReader> readers;
  for (const std::string& d : opt.devices) readers.push_back({d, {"--device", d}});
  for (const std::string& p : opt.ports) readers.push_back({p, {"--port", p}});
  if (opt.bAll) {
    std::vector<ConnectedReader> connected;
    if (!ConnectedKnownReaders(&connected)) {
      *pstrError = "the HID interfaces cannot be listed";
      return {};
    }
    for (const ConnectedReader& c : connected) readers.push_back({c.info.path, {"--device", c.info.path}});
    if (readers.empty()) *pstrError = "no known reader is connected";
  }
  return readers;
}

std::vector<std::string> ChildArgs(const CliOptions& opt, const BatchReader& reader, CliCommand command,
                                   int nWaitSeconds) {
  std::vector<std::string> args = {"--json"};
  if (opt.bRs232) {
    args.insert(args.end(), {"--interface", "rs232", "--baud", std::to_string(kBaudTable[opt.nBaudIndex])});
  }
  if (opt.bChkLegacy) args.emplace_back("--chklegacy");
  if (opt.bR2DefNoEncKeys) args.emplace_back("--r2def-04f0");
  if (opt.strTrace == "-") {
    args.emplace_back("--trace");
  } else if (!opt.strTrace.empty()) {
    args.push_back("--trace=" + opt.strTrace);
  }
  args.insert(args.end(), reader.selection.begin(), reader.selection.end());
  if (nWaitSeconds > 0) args.insert(args.end(), {"--wait", std::to_string(nWaitSeconds)});
  args.emplace_back(CommandWord(command));
  if (command == CliCommand::Load) args.insert(args.end(), {"--", opt.strFile});
  return args;
}

int BatchExitStatus(const std::vector<ReaderResult>& results, bool bInterrupted) {
  if (bInterrupted) return kExitInterrupted;
  std::optional<int> shared;
  bool bAllOk = true;
  for (const ReaderResult& r : results) {
    const int nStatus = r.bRan ? r.nStatus : kExitFailed;
    if (nStatus == kExitOk) continue;
    bAllOk = false;
    if (!shared) {
      shared = nStatus;
    } else if (*shared != nStatus) {
      return kExitFailed;
    }
  }
  return bAllOk ? kExitOk : shared.value_or(kExitFailed);
}

std::string SummaryTable(const std::vector<ReaderResult>& results) {
  const char* const heads[] = {"reader", "result", "status", "time", "firmware before", "after"};
  std::vector<std::vector<std::string>> rows;
  for (const ReaderResult& r : results) {
    const int nStatus = r.bRan ? r.nStatus : kExitFailed;
    rows.push_back({r.strName, r.bRan ? ExitStatusText(nStatus) : "not started", std::to_string(nStatus),
                    r.bRan ? MinutesSeconds(r.nMs) : "-", r.strBefore.empty() ? "-" : r.strBefore,
                    r.strAfter.empty() ? "-" : r.strAfter});
  }
  std::vector<std::size_t> widths;
  for (const char* h : heads) widths.push_back(std::string(h).size());
  for (const auto& row : rows)
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  auto format = [&](const std::vector<std::string>& cells) {
    std::string line;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      line += cells[c];
      if (c + 1 < cells.size()) line += std::string(widths[c] - cells[c].size() + 2, ' ');
    }
    return line + "\n";
  };
  std::string out = format(std::vector<std::string>(std::begin(heads), std::end(heads)));
  for (const auto& row : rows) out += format(row);
  return out;
}

// ---- the display ----

BatchDisplay::BatchDisplay(ConsoleOutput out, bool bJson, std::vector<std::string> names)
    : m_out(std::move(out)), m_bJson(bJson), m_names(std::move(names)) {
  m_progress.resize(m_names.size());
  m_ended.resize(m_names.size());
  for (const std::string& n : m_names) m_nNameWidth = std::max(m_nNameWidth, n.size());
}

std::string BatchDisplay::Tag(std::size_t nReader) const { return "[" + m_names[nReader] + "] "; }

void BatchDisplay::ChildEvent(std::size_t nReader, std::string_view strLine, const JsonEvent* pEvent) {
  if (m_bJson) {
    // The child's event as it stands, tagged with its reader.
    std::string strTagged;
    if (pEvent && strLine.size() >= 2 && strLine.front() == '{') {
      strTagged = "{\"device\":";
      AppendJsonString(&strTagged, m_names[nReader]);
      std::string_view rest = strLine.substr(1);
      if (rest.front() != '}') strTagged += ',';
      strTagged += rest;
    } else {
      strTagged = JsonObject().Add("device", m_names[nReader]).Add("event", "output").Add("text", strLine).Text();
    }
    m_out.fnOut(strTagged + "\n");
    return;
  }
  if (!pEvent) {
    ChildError(nReader, strLine);
    return;
  }
  const std::string strEvent = pEvent->String("event");
  ProgressState& p = m_progress[nReader];
  if (strEvent == "log") {
    std::string strText;
    if (pEvent->Bool("replace")) strText += Tag(nReader) + "---- log replaced ----\n";
    for (const std::string& line : SplitLines(pEvent->String("text"))) strText += Tag(nReader) + line + "\n";
    WriteOut(strText);
  } else if (strEvent == "progress") {
    p.nPos = static_cast<int>(pEvent->Int("pos", p.nPos));
    p.nMax = static_cast<int>(pEvent->Int("max", p.nMax));
    m_bDirty = true;
  } else if (strEvent == "marquee") {
    p.bMarquee = pEvent->Bool("on");
    m_bDirty = true;
  } else if (strEvent == "elapsed") {
    p.strElapsed = pEvent->String("text", p.strElapsed);
    ++p.nFrame;
    m_bDirty = true;
  } else if (strEvent == "message_box") {
    ChildError(nReader, pEvent->String("text"));
  } else if (strEvent == "result") {
    // The reason for a link that did not open has come on the child's
    // standard error already.
    m_ended[nReader] = true;
    m_bDirty = true;
  }
}

void BatchDisplay::ChildError(std::size_t nReader, std::string_view strLine) {
  if (m_bJson) {
    m_out.fnErr(Tag(nReader) + std::string(strLine) + "\n");
    return;
  }
  std::string strText;
  for (const std::string& line : SplitLines(strLine)) strText += Tag(nReader) + line + "\n";
  Erase();
  m_out.fnErr(strText);
  m_bDirty = true;
}

void BatchDisplay::Note(const std::string& strText) {
  Erase();
  m_out.fnErr(strText + "\n");
  m_bDirty = true;
}

void BatchDisplay::WriteOut(const std::string& strText) {
  Erase();
  m_out.fnOut(strText);
  m_bDirty = true;
}

void BatchDisplay::Erase() {
  if (m_nDrawn == 0) return;
  // Back to the first progress line, and everything below it cleared.
  m_out.fnErr("\r\033[" + std::to_string(m_nDrawn) + "A\033[J");
  m_nDrawn = 0;
}

void BatchDisplay::Draw() {
  if (m_bJson || !m_out.bErrIsTerminal || m_bFinished) return;
  const int nColumns = std::max(m_out.nColumns, 20);
  std::string strBlock;
  for (std::size_t i = 0; i < m_names.size(); ++i) {
    std::string strName = m_names[i];
    strName.resize(m_nNameWidth, ' ');
    const int nRoom = nColumns - static_cast<int>(m_nNameWidth) - 2;
    std::string line = strName + "  " + FormatProgressLine(m_progress[i], std::max(nRoom, 20));
    if (m_ended[i]) line += "  ended";
    // A line that wraps would break the count of lines to go back over.
    if (line.size() > static_cast<std::size_t>(nColumns - 1)) line.resize(static_cast<std::size_t>(nColumns - 1));
    strBlock += line + "\033[K\n";
  }
  m_out.fnErr(strBlock);
  m_nDrawn = static_cast<int>(m_names.size());
}

void BatchDisplay::Refresh() {
  if (!m_bDirty) return;
  m_bDirty = false;
  Erase();
  Draw();
}

void BatchDisplay::Finish() {
  Refresh();
  m_bFinished = true;
  m_nDrawn = 0;  // the last state stays on the terminal
}

// ---- the run ----

namespace {

enum class Phase { Before, Run, After };

struct ChildInfo {
  std::size_t nReader = 0;
  Phase phase = Phase::Run;
  std::string strOut, strErr;          // text after the last whole line
  std::vector<std::string> errorLines;  // a version read's, kept until it is known to matter
  std::string strReason;                // a version read's reason for a link that did not open
};

class Batch {
 public:
  Batch(const CliOptions& opt, std::vector<BatchReader> readers)
      : m_opt(opt),
        m_readers(std::move(readers)),
        m_display(ConsoleOutput{console::WriteOut, console::WriteErr,
                                !opt.bJson && opt.strTrace != "-" && console::StderrIsTerminal(),
                                console::TerminalColumns()},
                  opt.bJson, Names()) {
    m_results.resize(m_readers.size());
    m_identity.resize(m_readers.size());
    for (std::size_t i = 0; i < m_readers.size(); ++i) {
      m_results[i].strName = m_readers[i].strName;
      // Where a USB reader is plugged in, so that it is found again after
      // its update, when it may come back under another path.
      if (m_readers[i].selection.front() == "--device")
        plat::HidBackend().Describe(m_readers[i].selection.back(), &m_identity[i]);
    }
  }

  int Run() {
    for (std::size_t i = 0; i < m_readers.size(); ++i) {
      if (m_opt.command == CliCommand::Load) {
        Start(i, Phase::Before, ChildArgs(m_opt, m_readers[i], CliCommand::Info, m_opt.nWaitSeconds));
      } else {
        Start(i, Phase::Run, ChildArgs(m_opt, m_readers[i], m_opt.command, m_opt.nWaitSeconds));
      }
    }
    std::uint64_t nGraceEnd = UINT64_MAX;
    std::uint64_t nLastDraw = 0;
    std::vector<ChildGroup::Event> events;
    for (;;) {
      const std::uint64_t nNow = plat::NowMs();
      if (nNow - nLastDraw >= kRedrawMs) {
        m_display.Refresh();
        nLastDraw = nNow;
      }
      events.clear();
      // Woken for a redraw only when there is something to draw.
      std::uint64_t nDeadline = nGraceEnd;
      if (m_display.RedrawPending()) nDeadline = std::min(nDeadline, nLastDraw + kRedrawMs);
      if (!m_awaited.empty()) {
        LookForUpdatedReaders();
        if (!m_awaited.empty()) nDeadline = std::min(nDeadline, plat::NowMs() + kReaderLookMs);
      }
      ChildGroup::WaitEnd end = m_children.Wait(nDeadline, !m_bInterrupted, &events);
      for (ChildGroup::Event& e : events) Handle(e);
      if (end == ChildGroup::WaitEnd::AllEnded) {
        if (m_awaited.empty()) break;
        // No child runs while updated readers are awaited: sleep until the
        // next look, or a stop.
        if (plat::Clock().SleepUntil(nDeadline)) continue;
        end = ChildGroup::WaitEnd::Stopped;
      }
      if (end == ChildGroup::WaitEnd::Stopped) {
        m_bInterrupted = true;
        m_awaited.clear();
        m_display.Note("readerctl: interrupted; stopping every reader's run");
        m_children.StopAll();
        nGraceEnd = plat::NowMs() + kStopGraceMs;
      } else if (end == ChildGroup::WaitEnd::Deadline && plat::NowMs() >= nGraceEnd) {
        m_display.Note("readerctl: some runs did not stop in time; leaving them");
        break;
      }
    }
    m_display.Finish();
    const int nStatus = BatchExitStatus(m_results, m_bInterrupted);
    Report(nStatus);
    return nStatus;
  }

 private:
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const BatchReader& r : m_readers) names.push_back(r.strName);
    return names;
  }

  void Start(std::size_t nReader, Phase phase, const std::vector<std::string>& args) {
    std::string strError;
    const int nChild = m_children.Start(args, &strError);
    if (nChild < 0) {
      m_display.ChildError(nReader, "readerctl: " + strError);
      return;  // the reader's result stays "not started" (or its run's result stands)
    }
    m_childInfo[nChild] = ChildInfo{nReader, phase, {}, {}, {}, {}};
    if (phase == Phase::Run) m_runStart[nReader] = plat::NowMs();
  }

  void Handle(ChildGroup::Event& e) {
    ChildInfo& c = m_childInfo[e.nChild];
    switch (e.kind) {
      case ChildGroup::Event::Kind::Out:
        c.strOut += e.text;
        TakeLines(&c.strOut, [&](std::string_view line) { OutLine(c, line); });
        break;
      case ChildGroup::Event::Kind::Err:
        c.strErr += e.text;
        TakeLines(&c.strErr, [&](std::string_view line) { ErrLine(c, line); });
        break;
      case ChildGroup::Event::Kind::Exit:
        if (!c.strOut.empty()) OutLine(c, c.strOut);
        if (!c.strErr.empty()) ErrLine(c, c.strErr);
        Ended(c, e.nStatus);
        break;
    }
  }

  template <typename Fn>
  static void TakeLines(std::string* pBuf, Fn fn) {
    std::size_t b = 0;
    for (std::size_t e; (e = pBuf->find('\n', b)) != std::string::npos; b = e + 1) fn(std::string_view(*pBuf).substr(b, e - b));
    pBuf->erase(0, b);
  }

  void OutLine(ChildInfo& c, std::string_view line) {
    const std::optional<JsonEvent> ev = JsonEvent::Parse(line);
    ReaderResult& r = m_results[c.nReader];
    if (ev && ev->String("event") == "result") c.strReason = ev->String("reason");
    if (ev && ev->String("event") == "info" && ev->Bool("ok")) {
      const std::string strVersion = ev->String("firmware");
      if (c.phase == Phase::After) {
        r.strAfter = strVersion;
      } else {
        r.strBefore = strVersion;
      }
    }
    if (c.phase != Phase::Run) return;  // the version reads show nothing else
    if (ev && ev->String("event") == "result") r.strReason = c.strReason;
    m_display.ChildEvent(c.nReader, line, ev ? &*ev : nullptr);
  }

  void ErrLine(ChildInfo& c, std::string_view line) {
    if (line.empty()) return;
    if (c.phase == Phase::Run) {
      m_display.ChildError(c.nReader, line);
    } else {
      c.errorLines.emplace_back(line);
    }
  }

  void Ended(ChildInfo& c, int nStatus) {
    ReaderResult& r = m_results[c.nReader];
    switch (c.phase) {
      case Phase::Before:
        if (nStatus == kExitNoLink) {
          // The link did not open for the version read: the run would open
          // it the same way and fail the same way, after its own waits.
          for (const std::string& line : c.errorLines) m_display.ChildError(c.nReader, line);
          r.bRan = true;
          r.nStatus = nStatus;
          r.strReason = c.strReason;
          break;
        }
        // A reader that did not answer the version read still gets its run,
        // which says in its own words what is wrong.
        if (!m_bInterrupted)
          Start(c.nReader, Phase::Run, ChildArgs(m_opt, m_readers[c.nReader], m_opt.command, 0));
        break;
      case Phase::Run:
        r.bRan = true;
        r.nStatus = nStatus;
        r.nMs = plat::NowMs() - m_runStart[c.nReader];
        if (m_opt.command != CliCommand::Load || nStatus != kExitOk || m_bInterrupted) break;
        if (IsKnownPlace(m_identity[c.nReader])) {
          m_awaited[c.nReader] = plat::NowMs() + kAfterUpdateWaitSeconds * 1000ULL;
        } else {
          Start(c.nReader, Phase::After,
                ChildArgs(m_opt, m_readers[c.nReader], CliCommand::Info, kAfterUpdateWaitSeconds));
        }
        break;
      case Phase::After:
        break;
    }
  }

  static bool IsKnownPlace(const plat::HidInterfaceInfo& itf) {
    return !itf.location.empty() || !itf.serial.empty();
  }

  // The updated USB readers that are awaited: each one found again at its
  // USB location (or by its serial number) gets its version read under the
  // path it has now; one not back in time keeps an unknown version.
  void LookForUpdatedReaders() {
    std::vector<ConnectedReader> connected;
    ConnectedKnownReaders(&connected);
    for (auto it = m_awaited.begin(); it != m_awaited.end();) {
      const std::size_t nReader = it->first;
      const ConnectedReader* pFound = nullptr;
      for (const ConnectedReader& c : connected)
        if (CReaderChoice::Sameness(m_identity[nReader], c.info) >= 2) pFound = &c;
      if (pFound) {
        const BatchReader now{m_readers[nReader].strName, {"--device", pFound->info.path}};
        Start(nReader, Phase::After, ChildArgs(m_opt, now, CliCommand::Info, kAfterUpdateWaitSeconds));
      }
      if (pFound || plat::NowMs() >= it->second) {
        it = m_awaited.erase(it);
      } else {
        ++it;
      }
    }
  }

  void Report(int nStatus) {
    if (!m_opt.bJson) {
      m_display.WriteOut("\n" + SummaryTable(m_results));
      const char* pszWhat = CommandWord(m_opt.command);
      console::WriteErr(std::string("readerctl: ") + pszWhat + " on " + std::to_string(m_results.size()) +
                        " readers: " + ExitStatusText(nStatus) + " (exit status " + std::to_string(nStatus) + ")\n");
      return;
    }
    std::string strOut;
    for (const ReaderResult& r : m_results) {
      const int nReaderStatus = r.bRan ? r.nStatus : kExitFailed;
      JsonObject o;
      o.Add("event", "summary")
          .Add("device", r.strName)
          .Add("ok", r.bRan && r.nStatus == kExitOk)
          .Add("code", nReaderStatus)
          .Add("started", r.bRan)
          .Add("ms", static_cast<std::int64_t>(r.nMs))
          .Add("firmware_before", r.strBefore)
          .Add("firmware_after", r.strAfter);
      if (!r.strReason.empty()) o.Add("reason", r.strReason);
      strOut += o.Line();
    }
    strOut += JsonObject().Add("event", "result").Add("ok", nStatus == kExitOk).Add("code", nStatus).Line();
    console::WriteOut(strOut);
  }

  const CliOptions& m_opt;
  std::vector<BatchReader> m_readers;
  BatchDisplay m_display;
  ChildGroup m_children;
  std::map<int, ChildInfo> m_childInfo;
  std::map<std::size_t, std::uint64_t> m_runStart;
  std::vector<ReaderResult> m_results;
  std::vector<plat::HidInterfaceInfo> m_identity;  // a USB reader's place, when known
  std::map<std::size_t, std::uint64_t> m_awaited;  // updated readers awaited, until when
  bool m_bInterrupted = false;
};

}  // namespace

int RunBatch(const CliOptions& opt) {
  std::string strError;
  std::vector<BatchReader> readers = BatchReaders(opt, &strError);
  if (readers.empty()) {
    console::WriteErr("readerctl: " + strError + "\n");
    return kExitNoLink;
  }
  console::InstallStopHandlers();
  return Batch(opt, std::move(readers)).Run();
}
