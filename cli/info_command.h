// readerctl info: asks the selected reader which firmware it runs and
// whether that is its bootloader, and changes nothing.
#pragma once
#include "cli/args.h"

// Connects as "Load" does (the same session, controls and connect step),
// then sends only the version queries a run sends under "/chklegacy":
// 29-04 to the application, then C7-10 and C7-01 to the bootloader. Prints
// "firmware X.XX.XXX, application" (or "..., bootloader"), or with --json
// one info event before the result event. The exit status: 0 the version
// was read, 2 the link could not be opened, 1 no query was answered, 130
// interrupted.
int RunInfo(const CliOptions& opt);
