// How a readerctl run ended, decided from the outcome record that the
// window's logic kept for it (ui/run_outcome.h) and from whether a stop was
// requested. The log's texts play no part.
#pragma once
#include <string>

#include "transport/connection.h"
#include "ui/run_outcome.h"

// Exit statuses of readerctl.
enum CliExit : int {
  kExitOk = 0,
  kExitFailed = 1,       // the run or the reset failed
  kExitNoLink = 2,       // the link could not be opened
  kExitFileRefused = 3,  // the file was refused or could not be read
  kExitUsage = 64,
  kExitInterrupted = 130,
};

// The exit status of "load" and "reset-default": a stop wins, then the step
// that failed. A reset the reader refused or did not answer failed (1).
int ExitStatusOf(const RunOutcome& outcome, bool bInterrupted);

// Where the reader may be after a run that was interrupted, as one sentence
// for the operator.
const char* ReaderStateAfterInterrupt(const RunOutcome& outcome);

// The operator's words for an exit status ("success", "the link could not be
// opened", ...).
const char* ExitStatusText(int nStatus);

// Why the link did not open, as one line for a run that ended with
// kExitNoLink: the connect step's reason; for a refused port or device the
// fix (AccessDeniedFix), for a busy one who holds it (BusyHolder). Empty
// when no reason was recorded.
std::string LinkFailureReason(const LinkOpenFailure& failure, bool bSerialPort);
