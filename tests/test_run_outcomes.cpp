// readerctl's outcomes that must not lie, end to end against readersim in
// real time: a refused reset fails; a hang-up stops a run as SIGTERM does;
// a run with standard output closed still succeeds (before, the stop
// signal's eventfd took descriptor 1, and an 8-byte log line written "to
// standard output" raised a stop that nobody had asked for). The reset the
// reader does not answer costs its 65 s time-out and is tested in virtual
// time (test_reset_default.cpp).
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/readerctl_run.h"

namespace {

using namespace ctltest;

class RunOutcomesTest : public ReaderctlTest {};

TEST_F(RunOutcomesTest, AResetTheReaderRefusesFailsWithItsLine) {
  SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(StartHidSim(&sim, {"--status", "04-0A=01"})) << sim.Output();
  const CtlRun run = RunCtl({"--json", "reset-default"}, HidEnv());
  EXPECT_EQ(run.nStatus, 1) << run.out << run.err;
  // Every line of the reset is there, and the failure line after them.
  const std::size_t nEnd = Find(run.lines, LogEvent("===[ End of Load Default Setting ( 04-0A) ]==="));
  ASSERT_NE(nEnd, std::string::npos) << run.out;
  EXPECT_NE(Find(run.lines, LogEvent(GetStatusText(STS_RESET_DEFAULT_040A_FAILED)), nEnd), std::string::npos)
      << run.out;
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.back().rfind(ResultPrefix(false, 1), 0), 0u) << run.lines.back();
  EXPECT_EQ(sim.Stop(), 0);
}

TEST_F(RunOutcomesTest, AHangUpStopsARunAsSigtermDoes) {
  SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(StartHidSim(&sim)) << sim.Output();
  std::vector<std::string> interrupted;  // readerctl's line on where the reader was left
  for (int nSignal : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(nSignal));
    CtlProcess ctl;
    ASSERT_TRUE(ctl.Start({"--json", "load", m_script}, HidEnv()));
    // The runner waits five seconds for the bootloader after this line.
    ASSERT_TRUE(ctl.ReadUntil(Json(GetStatusText(STS_ENTER_BOOTLOADER_OK)), 20000)) << ctl.out << ctl.err;
    ctl.Signal(nSignal);
    EXPECT_EQ(ctl.Wait(), 130) << ctl.out << ctl.err;
    EXPECT_EQ(ctl.out.find(Json(GetStatusText(STS_DONE_REBOOTING))), std::string::npos);
    const std::size_t nLast = ctl.out.rfind("{\"event\":");
    ASSERT_NE(nLast, std::string::npos);
    EXPECT_EQ(ctl.out.compare(nLast, ResultPrefix(false, 130).size(), ResultPrefix(false, 130)), 0) << ctl.out;
    const std::size_t nAt = ctl.err.find("readerctl: interrupted; ");
    ASSERT_NE(nAt, std::string::npos) << ctl.err;
    interrupted.push_back(ctl.err.substr(nAt, ctl.err.find('\n', nAt) - nAt));
  }
  ASSERT_EQ(interrupted.size(), 2u);
  EXPECT_EQ(interrupted[1], interrupted[0]);
  EXPECT_NE(interrupted[1].find("reader may be left in its bootloader"), std::string::npos) << interrupted[1];
  EXPECT_EQ(sim.Stop(), 0);
}

TEST_F(RunOutcomesTest, ARunWithStandardOutputClosedSucceeds) {
  SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(StartHidSim(&sim)) << sim.Output();
  // The log shows the file's name on a line of its own: "run.txt\n" is 8
  // bytes, the size of an eventfd's counter. (Seen here in a run that the
  // script's header ends at once, on a pseudo-terminal of the test's own.)
  const std::string strScript = m_dir + "/run.txt";
  int master = -1, slave = -1;
  char name[128] = {};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  close(slave);
  WriteScript(strScript, "#USBHID version");
  const CtlRun open = RunCtl({"--interface", "rs232", "--port", name, "load", strScript});
  close(master);
  EXPECT_EQ(open.nStatus, 3) << open.out << open.err;
  ASSERT_NE(Find(open.lines, "run.txt"), std::string::npos) << open.out;

  WriteScript(strScript, "#RS232 version");

  const CtlRun closed = RunCtl({"load", strScript}, HidEnv(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" >&-"});
  EXPECT_EQ(closed.nStatus, 0) << closed.err;
  EXPECT_NE(closed.err.find("readerctl: load: success\n"), std::string::npos) << closed.err;
  EXPECT_EQ(sim.Stop(), 0);
}

}  // namespace
