// readerctl info and readerctl check end to end. info runs against the
// readersim program over a pseudo-terminal and over the HID simulator
// socket, with the reader in its application and in its bootloader, and
// readersim's trace shows that nothing but version queries reached it.
// check runs without any reader; its verdict on a file is held against a
// load of the same file. Real time, a few seconds in all.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/readerctl_run.h"

namespace {

using namespace ctltest;

// The command codes ("29-04") of the requests readersim's trace lists.
std::vector<std::string> ReceivedCodes(const std::string& strTraceFile) {
  std::ifstream in(strTraceFile);
  std::vector<std::string> codes;
  const std::string strMark = "host -> reader ";
  for (std::string line; std::getline(in, line);) {
    const std::size_t n = line.find(strMark);
    if (n != std::string::npos) codes.push_back(line.substr(n + strMark.size(), 5));
  }
  return codes;
}

std::string InfoEvent(const std::string& strFirmware, bool bBootloader) {
  return "{\"event\":\"info\",\"ok\":true,\"firmware\":\"" + strFirmware +
         "\",\"bootloader\":" + (bBootloader ? "true" : "false") + "}";
}

TEST_F(ReaderctlTest, InfoReadsTheVersionWithQueriesOnly) {
  struct Row {
    const char* name;
    bool bHid;
    bool bJson;
    std::vector<std::string> simArgs;
    std::string strFirmware;
    bool bBootloader;
    std::vector<std::string> received;
  } rows[] = {
      {"pseudo-terminal, application", false, true, {}, "2.10.005", false, {"29-04"}},
      {"pseudo-terminal, bootloader", false, false, {"--in-boot", "--boot-version", "1.02.003"}, "1.02.003", true,
       {"29-04", "C7-10"}},
      {"HID socket, application", true, false, {"--fw-version", "3.02.007"}, "3.02.007", false, {"29-04"}},
      {"HID socket, bootloader", true, true, {"--in-boot"}, "2.10.005", true, {"29-04", "C7-10"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
    const std::string strTrace = m_dir + "/" + r.name + ".trace";
    sim.SetStderrFile(strTrace);
    std::vector<std::string> simArgs = r.simArgs;
    simArgs.push_back("--trace");
    ASSERT_TRUE(r.bHid ? StartHidSim(&sim, simArgs) : StartSerialSim(&sim, simArgs)) << sim.Output();

    std::vector<std::string> args;
    if (r.bJson) args.push_back("--json");
    if (!r.bHid) args.insert(args.end(), {"--interface", "rs232", "--port", "COM201", "--baud", "115200"});
    args.push_back("info");
    const CtlRun run = RunCtl(args, r.bHid ? HidEnv() : SerialEnv());
    EXPECT_EQ(run.nStatus, 0) << run.out << run.err;
    const std::string strOpen = r.bHid ? "Open USB interface success." : "Open RS232 interface success.";
    if (r.bJson) {
      ASSERT_TRUE(AllLinesAreEvents(run.lines)) << run.out;
      const std::size_t nOpen = Find(run.lines, LogEvent(strOpen));
      const std::size_t nInfo = Find(run.lines, InfoEvent(r.strFirmware, r.bBootloader));
      EXPECT_NE(nOpen, std::string::npos) << run.out;
      ASSERT_NE(nInfo, std::string::npos) << run.out;
      EXPECT_GT(nInfo, nOpen);
      EXPECT_EQ(nInfo + 2, run.lines.size()) << "the result comes right after it, last";
      EXPECT_EQ(run.lines.back().rfind(ResultPrefix(true, 0), 0), 0u) << run.lines.back();
    } else {
      const std::string strLine =
          "firmware " + r.strFirmware + (r.bBootloader ? ", bootloader" : ", application");
      EXPECT_EQ(run.lines, (std::vector<std::string>{strOpen, strLine})) << run.out;
      EXPECT_NE(run.err.find("readerctl: info: success"), std::string::npos) << run.err;
    }
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_EQ(ReceivedCodes(strTrace), r.received);
  }
}

// No reader: the connect step's report and the reason, status 2. A reader
// that answers none of the queries: status 1, and still nothing but the
// three queries was sent.
TEST_F(ReaderctlTest, InfoWithoutAnAnswerOrAReader) {
  const std::string strMissing = m_dir + "/no-such-tty";
  const CtlRun serial = RunCtl({"--json", "--interface", "rs232", "--port", strMissing, "info"});
  EXPECT_EQ(serial.nStatus, 2) << serial.out << serial.err;
  EXPECT_NE(Find(serial.lines, "{\"event\":\"info\",\"ok\":false}"), std::string::npos) << serial.out;
  EXPECT_EQ(serial.lines.back().rfind(ResultPrefix(false, 2), 0), 0u) << serial.out;
  EXPECT_NE(serial.lines.back().find("\"reason\":\"" + strMissing + ": No such file or directory\""),
            std::string::npos)
      << serial.lines.back();
  EXPECT_NE(serial.err.find("readerctl: " + strMissing + ": No such file or directory\n"), std::string::npos)
      << serial.err;

  const CtlRun usb = RunCtl({"info"}, HidEnv());  // nobody serves the socket
  EXPECT_EQ(usb.nStatus, 2) << usb.out << usb.err;
  EXPECT_EQ(usb.lines.front(), "Open USB interface fail.") << usb.out;
  EXPECT_NE(usb.err.find("readerctl: info: the link could not be opened (exit status 2)"), std::string::npos)
      << usb.err;

  SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  const std::string strTrace = m_dir + "/sim.trace";
  sim.SetStderrFile(strTrace);
  // In its application the reader refuses the bootloader's queries anyway.
  ASSERT_TRUE(StartHidSim(&sim, {"--status", "29-04=01", "--trace"})) << sim.Output();
  const CtlRun refused = RunCtl({"--json", "info"}, HidEnv());
  EXPECT_EQ(refused.nStatus, 1) << refused.out << refused.err;
  EXPECT_NE(Find(refused.lines, "{\"event\":\"info\",\"ok\":false}"), std::string::npos) << refused.out;
  EXPECT_EQ(refused.lines.back().rfind(ResultPrefix(false, 1), 0), 0u) << refused.out;
  EXPECT_NE(refused.err.find("readerctl: the reader answered none of the version queries"), std::string::npos)
      << refused.err;
  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_EQ(ReceivedCodes(strTrace), (std::vector<std::string>{"29-04", "C7-10", "C7-01"}));
}

// check needs no reader (none is served here) and judges as load does.
TEST_F(ReaderctlTest, CheckJudgesAFileOfflineAsLoadDoes) {
  const CtlRun good = RunCtl({"check", m_script});
  EXPECT_EQ(good.nStatus, 0) << good.out << good.err;
  EXPECT_EQ(good.lines.at(0), "Opening File.....");
  EXPECT_EQ(good.lines.at(1), "tiny_update.txt");
  EXPECT_NE(good.out.find("\nreader model:      Reader model: test reader\ncommands:          6\n"), std::string::npos)
      << good.out;
  EXPECT_NE(good.out.find("\nprograms:          1 blocks, 64 bytes\nverifies:          yes\n"), std::string::npos)
      << good.out;
  EXPECT_EQ(good.err, "readerctl: check: a run would accept the file\n");

  // A script that erases and stops there: accepted, with a warning.
  const std::string strEraseOnly = m_dir + "/erase_only.txt";
  {
    const auto frames = TinyUpdateFrames();
    std::string text = "#RS232 version\r\nReader model: test reader\r\n";
    for (std::size_t i = 0; i < 3; ++i)
      text += "SEND: " + FormatHexLine(frames[i].data(), frames[i].size()) + "\r\nWAIT: 100\r\n";
    std::ofstream(strEraseOnly, std::ios::binary) << text << "END>\r\n";
  }
  const CtlRun warned = RunCtl({"--json", "check", strEraseOnly});
  EXPECT_EQ(warned.nStatus, 0) << warned.out << warned.err;
  ASSERT_EQ(warned.lines.size(), 1u) << warned.out;
  EXPECT_EQ(warned.lines[0].rfind("{\"event\":\"check\",\"ok\":true,\"code\":0,", 0), 0u) << warned.out;
  EXPECT_NE(warned.lines[0].find("\"erases\":true,\"blocks\":0,\"block_bytes\":0,"), std::string::npos);
  EXPECT_NE(warned.lines[0].find("\"warnings\":[\"the script erases the reader's flash but programs no block"),
            std::string::npos)
      << warned.lines[0];

  // A USB HID script on the serial line: refused by check and by load alike.
  const std::string strHid = m_dir + "/tiny_usbhid.txt";
  WriteScript(strHid, "#USBHID version");
  const std::string strRefusal = GetStatusText(STS_SELECT_RS232_SCRIPT);
  const CtlRun refused = RunCtl({"--json", "--interface", "rs232", "check", strHid});
  EXPECT_EQ(refused.nStatus, 3) << refused.out << refused.err;
  ASSERT_EQ(refused.lines.size(), 1u) << refused.out;
  EXPECT_NE(refused.lines[0].find("\"reason\":" + Json(strRefusal)), std::string::npos) << refused.lines[0];

  SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(StartSerialSim(&sim)) << sim.Output();
  const CtlRun load =
      RunCtl({"--json", "--interface", "rs232", "--port", "COM201", "--baud", "115200", "load", strHid}, SerialEnv());
  EXPECT_EQ(load.nStatus, 3) << load.out << load.err;
  EXPECT_NE(Find(load.lines, LogEvent(strRefusal)), std::string::npos) << load.out;
  EXPECT_EQ(sim.Stop(), 0);

  const CtlRun missing = RunCtl({"check", m_dir + "/missing.txt"});
  EXPECT_EQ(missing.nStatus, 3) << missing.out << missing.err;
  EXPECT_EQ(missing.lines.back(), GetStatusText(STS_READ_FILE_FAIL));
}

}  // namespace
