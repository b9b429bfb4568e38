// The main window as a test drives it, and what the simulated reader saw.
#pragma once
#include <ostream>
#include <string>
#include <vector>

#include "platform/types.h"
#include "sim/model/reader_model.h"
#include "support/recording_view.h"
#include "ui/main_dialog.h"

// Attaches the window to the view as its start-up would, takes the control
// references, and chooses `port` in the port list and the baud item nBaudIndex
// (115200 by default).
void AttachTestWindow(CTAVDownloadApDlg& dlg, RecordingView& view, const std::string& port = "COM1",
                      int nBaudIndex = 4);

// Puts the link's globals back to the state of program start: both
// transports closed, tagged-report flag 0, RS-232 selected, pacing empty,
// no reader pinned or followed.
void ResetLinkGlobals();
// ResetLinkGlobals, and the application object as at start-up: both switches
// off, no main window registered.
void ResetProcessState();

// The command codes (CC-SS) of every request the reader received, in order.
std::vector<WORD> RequestCodes(const ReaderModel& reader);

// An outcome record in words, for the failure reports of EXPECT_EQ.
void PrintTo(const RunOutcome& outcome, std::ostream* pOut);
