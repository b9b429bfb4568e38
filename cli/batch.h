// One command on several readers at once: "readerctl --device A --device B
// load FILE", "--all", or a repeated --port. Each reader gets a child
// readerctl of its own (the link is process-wide) that runs the single-
// reader command with --json; the parent reads the children's event
// streams, shows each reader's log lines under its name and a progress line
// per reader, and ends with a summary table. One reader's failure never
// stops the others.
//
// For "load", each reader's firmware version is read before (an "info"
// child) and after the update (an "info" child that waits for the reader to
// come back); a version that cannot be read is shown as unknown and changes
// no result.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/args.h"
#include "cli/console_view.h"

class JsonEvent;

// One reader of a batch: its name as the operator gave it (or as --all
// found it), and the options that select it alone.
struct BatchReader {
  std::string strName;
  std::vector<std::string> selection;  // {"--device", PATH} or {"--port", PORT}
};

// The readers the options name, in order; --all lists the connected known
// USB readers. Empty with *pstrError when there is none.
std::vector<BatchReader> BatchReaders(const CliOptions& opt, std::string* pstrError);

// The arguments of one child: the command for the one reader, with --json
// and the options that apply to every reader (interface, baud, the window's
// switches, a trace file, --wait).
std::vector<std::string> ChildArgs(const CliOptions& opt, const BatchReader& reader, CliCommand command,
                                   int nWaitSeconds);

// How one reader's command ended.
struct ReaderResult {
  std::string strName;
  bool bRan = false;     // the command's child ended (not: could not be started)
  int nStatus = -1;      // its exit status
  std::uint64_t nMs = 0; // how long the command ran
  std::string strReason; // why the link did not open, when the child said
  std::string strBefore, strAfter;  // firmware versions, empty when not known
};

// The batch's exit status: 0 when every reader succeeded, 130 when the batch
// was interrupted, else the status all failed readers share, else 1.
int BatchExitStatus(const std::vector<ReaderResult>& results, bool bInterrupted);

// The summary table, one line per reader under a heading.
std::string SummaryTable(const std::vector<ReaderResult>& results);

// What the operator sees of the children: log lines under the reader's
// name, a progress line per reader on a terminal, the children's own
// standard error lines, and in JSON mode every event of a command child
// tagged with its "device". Any thread-free caller; not thread-safe.
class BatchDisplay {
 public:
  BatchDisplay(ConsoleOutput out, bool bJson, std::vector<std::string> names);

  // A whole line of a command child's standard output (an event).
  void ChildEvent(std::size_t nReader, std::string_view strLine, const JsonEvent* pEvent);
  // A whole line of any child's standard error.
  void ChildError(std::size_t nReader, std::string_view strLine);
  // A line of the batch's own, on standard error.
  void Note(const std::string& strText);
  // Redraws the progress lines if something changed since the last draw.
  void Refresh();
  // Whether a Refresh would draw: something changed and there are lines to draw.
  bool RedrawPending() const { return m_bDirty && !m_bJson && m_out.bErrIsTerminal && !m_bFinished; }
  // Takes the progress lines away for good.
  void Finish();
  // Text for standard output (the summary), with the progress lines kept.
  void WriteOut(const std::string& strText);

 private:
  void Erase();
  void Draw();
  std::string Tag(std::size_t nReader) const;

  ConsoleOutput m_out;
  bool m_bJson;
  std::vector<std::string> m_names;
  std::vector<ProgressState> m_progress;
  std::vector<bool> m_ended;
  std::size_t m_nNameWidth = 0;
  int m_nDrawn = 0;  // progress lines on the terminal now
  bool m_bDirty = false;
  bool m_bFinished = false;
};

// Runs the batch; the exit status.
int RunBatch(const CliOptions& opt);
