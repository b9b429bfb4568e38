// readerctl check FILE: judges a script or an image offline, exactly as a
// "Load" run would (update/file_check.h), and says what the run would do.
#pragma once
#include "cli/args.h"

// Opens no port and no reader. Prints the log lines the run's file step
// writes, then for an accepted file a summary and its warnings; with --json
// one check event instead. Exit status 0 when a run would accept the file
// (warnings or not), 3 when it would refuse it.
int RunCheck(const CliOptions& opt);
