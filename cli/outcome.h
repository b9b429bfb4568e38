// How a readerctl run ended, decided from what the window's logic did: the
// worker's exit code, whether a worker started at all, and the lines the log
// pane showed (the procedures report every failure there in their own fixed
// texts, and nowhere else).
#pragma once
#include <string>

// Exit statuses of readerctl.
enum CliExit : int {
  kExitOk = 0,
  kExitFailed = 1,       // the run or the reset failed
  kExitNoLink = 2,       // the link could not be opened
  kExitFileRefused = 3,  // the file was refused or could not be read
  kExitUsage = 64,
  kExitInterrupted = 130,
};

// What was seen of a "Load" run.
struct LoadObservation {
  bool bInterrupted = false;    // a stop was requested during the run
  bool bWorkerStarted = false;  // the connect step succeeded and a worker ran
  int nWorkerExitCode = -1;     // 1: the procedure did not fail
  std::string strTranscript;    // every text the log showed (ConsoleView::Transcript)
};
int LoadExitStatus(const LoadObservation& obs);

// What was seen of a "Reset Default".
struct ResetObservation {
  bool bInterrupted = false;
  std::string strTranscript;
};
int ResetExitStatus(const ResetObservation& obs);

// True when one of the transcript's lines is a file-step failure: the file
// chooser cancelled, the file unreadable, the wrong image or script, a
// script whose commands cannot all be carried out.
bool TranscriptShowsFileRefused(const std::string& strTranscript);
// True when the transcript shows a connect step that failed.
bool TranscriptShowsConnectFailed(const std::string& strTranscript);

// Where the reader may be after a run that was interrupted, as one sentence
// for the operator: in its bootloader once boot-mode entry or the erase has
// been reported and the final reboot has not.
std::string ReaderStateAfterInterrupt(const std::string& strTranscript);

// The operator's words for an exit status ("success", "the link could not be
// opened", ...).
const char* ExitStatusText(int nStatus);
