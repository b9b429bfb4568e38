// readerctl's choice of reader before a run: --device pins the USB reader
// (transport/reader_choice.h), and --wait waits for the run's reader to be
// there and answer, so that a run can start right after another one left the
// reader restarting, or before the reader is plugged in.
#pragma once
#include <cstdint>

#include "cli/args.h"

// How often --wait looks for the reader, and how long one look waits for the
// answer to its ping (a restarting reader is silent; a later look finds it).
constexpr std::uint64_t kReaderPollMs = 400;
constexpr std::uint64_t kReaderPingMs = 1000;

// What a look opens: the serial port nPort at nBaud (nPort 0: the first port
// the window would list), or over USB the known readers as far as the reader
// choice allows (the pinned one, else any).
struct ReaderWaitTarget {
  bool bRs232 = false;
  int nPort = 0;
  int nBaud = 0;
};

// Looks for the reader every kReaderPollMs until it answers a ping, the time
// is up or a stop is requested; each look opens the link, pings and closes it
// again. Quiet: nothing goes to the window's log. Waits block on the process
// clock, which ends them at once on a stop. True when the reader answered.
bool WaitForReader(const ReaderWaitTarget& target, std::uint64_t nWaitMs);

// Before a single run (load, reset-default, info): pins the reader that one
// --device names, then waits as --wait asks. Whatever the wait came to, the
// run goes ahead and fails in its own words when the reader is not there.
void PrepareRunReader(const CliOptions& opt, int nPort);
