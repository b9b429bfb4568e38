// What readerctl needs of its console and its process, one source file per
// operating system behind this header (cli/posix, cli/win32).
#pragma once
#include <string_view>

namespace console {

// Writes all of text to standard output or standard error. A closed pipe or
// console loses the text and nothing else: an update is never broken off
// because nobody reads its output.
void WriteOut(std::string_view text);
void WriteErr(std::string_view text);

// Ctrl-C (and SIGTERM or SIGHUP, or the console closing) raise plat::Stop():
// the run ends between exchanges and the link is closed. A second one ends
// the process at once. A closed output pipe is no reason to stop.
void InstallStopHandlers();

// Whether standard error is a terminal (a console) that a progress line can
// be redrawn on, and how many columns it has (80 when it cannot be told).
bool StderrIsTerminal();
int TerminalColumns();

// Ends the process at once with the status, running no destructors: for a
// run that did not stop in time.
[[noreturn]] void ExitNow(int nStatus);

}  // namespace console
