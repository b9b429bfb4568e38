// readerctl end to end: the program against the readersim program over a
// pseudo-terminal (the tool's RS-232 side) and over the HID simulator socket
// (its USB side), with the JSON stream and the exit status checked. Real
// time, kept short: a six-command script (boot-mode entry, bootloader
// version, erase, one block, verify, restart) whose only long wait is the
// five seconds the runner gives the bootloader to start. Every wait on a
// child has a deadline; nothing sleeps.
#include <gtest/gtest.h>
#include <pty.h>

#include <string>
#include <vector>

#include "support/readerctl_run.h"

namespace {

using namespace ctltest;

TEST_F(ReaderctlTest, UpdatesTheSimulatedReaderOverAPseudoTerminal) {
  SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(StartSerialSim(&sim)) << sim.Output();
  const CtlRun run = RunCtl(
      {"--json", "--trace", "--interface", "rs232", "--port", "COM201", "--baud", "115200", "load", m_script},
      SerialEnv());
  ExpectUpdated(run, "Open RS232 interface success.");
  EXPECT_EQ(sim.Stop(), 0);

  EXPECT_EQ(run.err.rfind("# readerctl ", 0), 0u) << run.err;
  std::size_t nAt = 0;
  for (const std::vector<BYTE>& f : TinyUpdateFrames()) {
    // The hex line's blank after the last byte stands before the length.
    const std::string strLine =
        " ms] rs232 > " + FormatHexLine(f.data(), f.size()) + "(" + std::to_string(f.size()) + " bytes)\n";
    nAt = run.err.find(strLine, nAt);
    ASSERT_NE(nAt, std::string::npos) << strLine << " not in its place in\n" << run.err;
  }
}

TEST_F(ReaderctlTest, UpdatesTheSimulatedReaderOverTheHidSocketAndListsIt) {
  SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(StartHidSim(&sim)) << sim.Output();

  const CtlRun list = RunCtl({"list-readers"}, HidEnv());
  EXPECT_EQ(list.nStatus, 0) << list.err;
  EXPECT_EQ(list.out.rfind("0xF3A5  0x0A02  " + Socket(), 0), 0u) << list.out;

  ExpectUpdated(RunCtl({"--json", "load", m_script}, HidEnv()), "Open USB interface success.");
  EXPECT_EQ(sim.Stop(), 0);
}

TEST_F(ReaderctlTest, AFailedRunEndsWithStatusOneAndTheProceduresLines) {
  SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(StartHidSim(&sim, {"--status", "C7-10=01"})) << sim.Output();
  const CtlRun run = RunCtl({"--json", "load", m_script}, HidEnv());
  EXPECT_EQ(run.nStatus, 1) << run.out << run.err;
  ASSERT_TRUE(AllLinesAreEvents(run.lines)) << run.out;
  const std::size_t nFailed = Find(run.lines, LogEvent(GetStatusText(STS_GET_BL_VERSION_FAILED)));
  ASSERT_NE(nFailed, std::string::npos) << run.out;
  EXPECT_NE(Find(run.lines, LogEvent("Error, Download Failed"), nFailed), std::string::npos) << run.out;
  EXPECT_EQ(Find(run.lines, LogEvent(GetStatusText(STS_DONE_REBOOTING))), std::string::npos);
  EXPECT_EQ(run.lines.back().rfind(ResultPrefix(false, 1), 0), 0u) << run.lines.back();
  EXPECT_EQ(sim.Stop(), 0);
}

TEST_F(ReaderctlTest, ResetDefaultWithTheWindowsSwitchAsItStands) {
  SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(StartSerialSim(&sim)) << sim.Output();
  const CtlRun run = RunCtl({"--json", "--interface", "rs232", "--port", "COM201", "--baud", "57600",
                             "/R2Def_04F0_NoEncKeys", "reset-default"},
                            SerialEnv());
  EXPECT_EQ(run.nStatus, 0) << run.out << run.err;
  ASSERT_TRUE(AllLinesAreEvents(run.lines)) << run.out;
  const std::size_t nOpen = Find(run.lines, LogEvent("Open RS232 interface success."));
  const std::size_t nMarquee = Find(run.lines, "{\"event\":\"marquee\",\"on\":true}");
  EXPECT_LT(nMarquee, nOpen) << run.out;
  const std::size_t nBegin = Find(
      run.lines, LogEvent("===[ Preparing Load Default Setting (04-F0) ]===\r\nPlease wait 5 seconds or later"), nOpen);
  const std::size_t nWait = Find(run.lines, LogEvent("Waiting to System Up and Ready..."), nBegin);
  const std::size_t nEnd = Find(run.lines, LogEvent("===[ End of Load Default Setting ( 04-F0) ]==="), nWait);
  EXPECT_NE(nBegin, std::string::npos) << run.out;
  EXPECT_NE(nWait, std::string::npos) << run.out;
  ASSERT_NE(nEnd, std::string::npos) << run.out;
  EXPECT_NE(Find(run.lines, "{\"event\":\"marquee\",\"on\":false}", nEnd), std::string::npos) << run.out;
  EXPECT_EQ(run.lines.back().rfind(ResultPrefix(true, 0), 0), 0u) << run.lines.back();
  EXPECT_EQ(sim.Stop(), 0);
}

TEST_F(ReaderctlTest, SigtermInTheBootloaderWaitStopsTheRunAndSaysWhereTheReaderIs) {
  SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(StartHidSim(&sim)) << sim.Output();
  CtlProcess ctl;
  ASSERT_TRUE(ctl.Start({"--json", "load", m_script}, HidEnv()));
  // The runner waits five seconds for the bootloader after this line.
  ASSERT_TRUE(ctl.ReadUntil(Json(GetStatusText(STS_ENTER_BOOTLOADER_OK)), 20000)) << ctl.out << ctl.err;
  ctl.Signal(SIGTERM);
  EXPECT_EQ(ctl.Wait(), 130) << ctl.out << ctl.err;
  EXPECT_NE(ctl.err.find("reader may be left in its bootloader"), std::string::npos) << ctl.err;
  EXPECT_EQ(ctl.out.find(Json(GetStatusText(STS_DONE_REBOOTING))), std::string::npos);
  const std::size_t nLast = ctl.out.rfind("{\"event\":");
  ASSERT_NE(nLast, std::string::npos);
  EXPECT_EQ(ctl.out.compare(nLast, ResultPrefix(false, 130).size(), ResultPrefix(false, 130)), 0) << ctl.out;
  EXPECT_EQ(sim.Stop(), 0);
}

// A serial device path that does not exist, and a simulator socket that
// nobody serves: the connect step's report and help in the log, and the
// reason the link did not open as one line on standard error (and in the
// result event).
TEST_F(ReaderctlTest, NoReaderGivesStatusTwoWithTheConnectReportHelpAndReason) {
  const std::string strMissing = m_dir + "/no-such-tty";
  const std::string strRs232Fail = std::string("Open RS232 interface fail.\r\n") + GetStatusText(STS_HELP_RS232);
  const std::string strUsbFail = std::string("Open USB interface fail.\r\n") + GetStatusText(STS_HELP_USB);
  struct Row {
    const char* pszName;
    std::vector<std::string> args;
    bool bHid;
    std::string strLog;     // the connect step's log text
    std::string strReason;  // the reason as readerctl words it
  };
  const Row rows[] = {
      {"missing port, JSON", {"--json", "--interface", "rs232", "--port", strMissing, "load", m_script}, false,
       strRs232Fail, strMissing + ": No such file or directory"},
      {"missing port", {"--interface", "rs232", "--port", strMissing, "load", m_script}, false, strRs232Fail,
       strMissing + ": No such file or directory"},
      {"no USB reader, JSON", {"--json", "reset-default"}, true, strUsbFail, "USB reader F3A5:0A01: not connected"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pszName);
    const bool bJson = row.args[0] == "--json";
    const CtlRun run = RunCtl(row.args, row.bHid ? HidEnv() : std::vector<std::string>{});
    EXPECT_EQ(run.nStatus, 2) << run.out << run.err;
    EXPECT_NE(run.err.find("readerctl: " + row.strReason + "\n"), std::string::npos) << run.err;
    if (bJson) {
      EXPECT_NE(Find(run.lines, LogEvent(row.strLog)), std::string::npos) << run.out;
      ASSERT_FALSE(run.lines.empty());
      EXPECT_EQ(run.lines.back().rfind(ResultPrefix(false, 2), 0), 0u) << run.out;
      const std::string strTail = ",\"reason\":" + Json(row.strReason) + "}";
      EXPECT_EQ(run.lines.back().substr(run.lines.back().size() - std::min(strTail.size(), run.lines.back().size())),
                strTail);
    } else {
      std::string strPlain = row.strLog;
      for (std::size_t at; (at = strPlain.find("\r\n")) != std::string::npos;) strPlain.replace(at, 2, "\n");
      EXPECT_EQ(run.out.rfind(strPlain, 0), 0u) << run.out;
      EXPECT_NE(run.err.find("readerctl: " + row.strReason + "\nreaderctl: load: the link could not be opened (exit status 2)"),
                std::string::npos)
          << run.err;
    }
  }
}

TEST_F(ReaderctlTest, ARefusedOrUnreadableFileGivesStatusThree) {
  // A pseudo-terminal of the test's own, given by its path: the run opens
  // the port without asking the reader, and the file step ends it.
  int master = -1, slave = -1;
  char name[128] = {};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  close(slave);
  const std::string usbScript = m_dir + "/usb_only.txt";
  WriteScript(usbScript, "#USBHID version");

  CtlRun run = RunCtl({"--json", "--interface", "rs232", "--port", name, "load", usbScript});
  EXPECT_EQ(run.nStatus, 3) << run.out << run.err;
  EXPECT_NE(Find(run.lines, LogEvent("Open RS232 interface success.")), std::string::npos) << run.out;
  EXPECT_NE(Find(run.lines, std::string("{\"event\":\"message_box\",\"text\":") +
                                Json(GetStatusText(STS_SELECT_RS232_SCRIPT)) + "}"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.err.find(GetStatusText(STS_SELECT_RS232_SCRIPT)), std::string::npos) << run.err;

  run = RunCtl({"--json", "--interface", "rs232", "--port", name, "load", m_dir + "/missing.txt"});
  EXPECT_EQ(run.nStatus, 3) << run.out << run.err;
  EXPECT_NE(Find(run.lines, LogEvent(GetStatusText(STS_READ_FILE_FAIL))), std::string::npos) << run.out;
  close(master);
}

TEST(ReaderctlCommandLine, UsageErrorsExitWith64AndShowTheUsage) {
  const std::vector<std::vector<std::string>> bad = {
      {}, {"--baud", "1200", "load", "x.txt"}, {"load"}, {"--interface", "rs485", "reset-default"}, {"flash"}};
  for (const auto& args : bad) {
    const CtlRun run = RunCtl(args);
    EXPECT_EQ(run.nStatus, 64) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(run.err.rfind("readerctl: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find("Usage: readerctl"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

TEST(ReaderctlCommandLine, VersionIsReadFromTheProgramsOwnResource) {
  const CtlRun run = RunCtl({"version"});
  EXPECT_EQ(run.nStatus, 0) << run.err;
  const std::string version = std::to_string(READERTOOL_VERSION_MAJOR) + "." +
                              std::to_string(READERTOOL_VERSION_MINOR) + "." + std::to_string(READERTOOL_VERSION_PATCH);
  EXPECT_EQ(run.out.rfind("readerctl " + version + " (file version ", 0), 0u) << run.out;

  const CtlRun info = RunCtl({"--json", "version-info", CtlProgram()});
  EXPECT_EQ(info.nStatus, 0) << info.err;
  EXPECT_NE(info.out.find("\"InternalName\":\"readerctl\""), std::string::npos) << info.out;
  EXPECT_EQ(RunCtl({"version-info", "/nonexistent/file"}).nStatus, 3);
}

}  // namespace
