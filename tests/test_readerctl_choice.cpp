// readerctl on a line PC with two readers: two readersim HID sockets in one
// folder that READERTOOL_HID_SIM names. --device runs on the chosen reader
// alone (the reconnect after boot-mode entry included), list-readers shows
// both with their locations, a missing --device opens nothing, and --wait
// started before the reader is there runs once it appears. Real time; each
// reader's --trace goes to a file of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/readerctl_run.h"

namespace {

using namespace ctltest;

class ReaderctlChoiceTest : public ReaderctlTest {
 protected:
  void SetUp() override {
    ReaderctlTest::SetUp();
    m_readers = m_dir + "/readers";
    std::filesystem::create_directory(m_readers);
  }

  // Reader i (1 or 2) on <folder>/<i>.sock, its trace in <dir>/<i>.trace.
  bool StartReader(SimProcess* sim, int i, std::vector<std::string> extra = {}) {
    sim->SetStderrFile(TraceFile(i));
    std::vector<std::string> args = {"--hid",         "int64", "--hid-socket", Sock(i), "--restart-ms",
                                     "100",           "--boot-entry-ms", "100", "--trace"};
    args.insert(args.end(), extra.begin(), extra.end());
    return sim->Start(args);
  }
  std::string Sock(int i) const { return m_readers + "/" + std::to_string(i) + ".sock"; }
  std::string TraceFile(int i) const { return m_dir + "/" + std::to_string(i) + ".trace"; }
  std::vector<std::string> Env() const { return {"READERTOOL_HID_SIM=" + m_readers}; }

  // The command codes of the requests a reader's trace shows, in order.
  std::vector<std::string> Requests(int i) const {
    std::ifstream in(TraceFile(i));
    std::vector<std::string> codes;
    for (std::string line; std::getline(in, line);) {
      const std::size_t at = line.find("] host -> reader ");
      if (at != std::string::npos) codes.push_back(line.substr(at + 17, 5));
    }
    return codes;
  }

  std::string m_readers;
};

TEST_F(ReaderctlChoiceTest, DeviceRunsOnTheChosenReaderAloneThroughTheReconnect) {
  SimProcess first(SimProcess::ProgramIn(READERTOOL_BINARY_DIR)), second(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(StartReader(&first, 1)) << first.Output();
  ASSERT_TRUE(StartReader(&second, 2)) << second.Output();

  // The first reader is listed first: a run that did not keep to the chosen
  // one would reconnect to it after boot-mode entry.
  ExpectUpdated(RunCtl({"--json", "--device", Sock(2), "load", m_script}, Env()), "Open USB interface success.");
  EXPECT_EQ(first.Stop(), 0);
  EXPECT_EQ(second.Stop(), 0);
  EXPECT_TRUE(Requests(1).empty());
  const std::vector<std::string> codes = Requests(2);
  const auto entry = std::find(codes.begin(), codes.end(), "C7-41");
  ASSERT_NE(entry, codes.end());
  EXPECT_NE(std::find(entry, codes.end(), "C7-05"), codes.end());
}

TEST_F(ReaderctlChoiceTest, ListsBothReadersAndAMissingDeviceOpensNeither) {
  SimProcess first(SimProcess::ProgramIn(READERTOOL_BINARY_DIR)), second(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(StartReader(&first, 1)) << first.Output();
  ASSERT_TRUE(StartReader(&second, 2, {"--usb-serial", "SN-2"})) << second.Output();

  const CtlRun list = RunCtl({"list-readers"}, Env());
  EXPECT_EQ(list.nStatus, 0) << list.err;
  EXPECT_EQ(list.lines, (std::vector<std::string>{
                            "0xF3A5  0x0A02  " + Sock(1) + "  Solvo , 1M  location=" + Sock(1),
                            "0xF3A5  0x0A02  " + Sock(2) + "  Solvo , 1M  serial=SN-2  location=" + Sock(2),
                        }));
  const CtlRun json = RunCtl({"--json", "list-readers"}, Env());
  ASSERT_EQ(json.lines.size(), 2u) << json.out;
  EXPECT_NE(json.lines[1].find("\"serial\":\"SN-2\",\"location\":" + Json(Sock(2))), std::string::npos)
      << json.lines[1];

  const CtlRun missing = RunCtl({"--device", m_readers + "/3.sock", "reset-default"}, Env());
  EXPECT_EQ(missing.nStatus, 2) << missing.out << missing.err;
  EXPECT_NE(missing.err.find("readerctl: USB reader " + m_readers + "/3.sock: not connected\n"), std::string::npos)
      << missing.err;
  EXPECT_EQ(first.Stop(), 0);
  EXPECT_EQ(second.Stop(), 0);
  EXPECT_TRUE(Requests(1).empty());
  EXPECT_TRUE(Requests(2).empty());
}

TEST_F(ReaderctlChoiceTest, WaitStartedBeforeTheReaderAppearsRunsOnceItIsThere) {
  CtlProcess ctl;
  ASSERT_TRUE(ctl.Start({"--json", "--trace", "--wait", "20", "reset-default"}, Env()));
  // It has looked and found nothing before the reader comes up.
  ASSERT_TRUE(ctl.ReadUntil(": not connected", 10000, true)) << ctl.err;
  SimProcess reader(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(StartReader(&reader, 1)) << reader.Output();
  EXPECT_EQ(ctl.Wait(), 0) << ctl.out << ctl.err;
  EXPECT_NE(ctl.out.find(LogEvent("Open USB interface success.")), std::string::npos) << ctl.out;
  EXPECT_EQ(reader.Stop(), 0);
}

}  // namespace
