// Why the link did not open, as readerctl tells it on standard error: one
// table of refusals against readersim in real time (a missing port, a port
// the user may not open, a serial port and a USB reader that another
// process holds), each with what the operator can do about it; and a reader
// that runs at another baud rate, in virtual time (its silence costs the
// whole 65 s time-out).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/outcome.h"
#include "platform/posix/hid_sim_client.h"
#include "sim/model/reader_model.h"
#include "support/fake_serial.h"
#include "support/readerctl_run.h"
#include "support/sim_serial.h"
#include "support/virtual_time.h"
#include "transport/connection.h"
#include "transport/rs232_port.h"

namespace {

using namespace ctltest;

constexpr const char kSetpriv[] = "/usr/bin/setpriv";

std::string OwnProcessName() {
  std::ifstream comm("/proc/self/comm");
  std::string strName;
  std::getline(comm, strName);
  return strName;
}

class LinkReasonsTest : public ReaderctlTest {};

TEST_F(LinkReasonsTest, EveryRefusalSaysWhyAndWhatToDo) {
  // Running readerctl as another user needs root's rights here.
  const bool bCanSwitchUser = geteuid() == 0 && access(kSetpriv, X_OK) == 0;
  const group* pDialout = getgrnam("dialout");
  const std::string strGroup = pDialout ? "dialout" : "nogroup";
  const gid_t gidPort = pDialout ? pDialout->gr_gid : 65534;

  SimProcess serialSim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(StartSerialSim(&serialSim)) << serialSim.Output();
  SimProcess hidSim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(StartHidSim(&hidSim)) << hidSim.Output();
  const std::string strPort = serialSim.Printed("serial line");
  const std::vector<std::string> rs232 = {"--interface", "rs232", "--port", "COM201", "--baud", "115200",
                                          "reset-default"};

  int nHeld = -1;  // the test's own hold on the serial port
  std::unique_ptr<plat::IHidBackend> usb = plat::MakeHidSimClientBackend(Socket());
  std::unique_ptr<plat::IHidHandle> usbHeld;
  struct Row {
    const char* pszName;
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::function<bool()> setUp;  // false: this row cannot be run here
    std::vector<std::string> runner;
    std::string strReason;
  };
  const Row rows[] = {
      {"missing port",
       {"--interface", "rs232", "--port", "COM202", "reset-default"},
       SerialEnv(),
       [] { return true; },
       {},
       "COM202: No such file or directory"},
      {"permission denied: the fix names the port's group",
       rs232,
       SerialEnv(),
       [&] {
         // The port belongs to a group the user is not in; the COM folder
         // is open to everyone.
         return bCanSwitchUser && chown(strPort.c_str(), 0, gidPort) == 0 && chmod(strPort.c_str(), 0660) == 0 &&
                chmod(m_dir.c_str(), 0755) == 0;
       },
       {kSetpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups"},
       "COM201: Permission denied; add the user 'nobody' to the '" + strGroup + "' group (sudo usermod -aG " +
           strGroup + " nobody) and log in again"},
      {"busy serial port: the process holding it is named",
       rs232,
       SerialEnv(),
       [&] {
         nHeld = open(strPort.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
         return nHeld >= 0 && flock(nHeld, LOCK_EX | LOCK_NB) == 0;
       },
       {},
       "COM201: Device or resource busy; held by process " + std::to_string(getpid()) + " (" + OwnProcessName() +
           ")"},
      {"busy USB reader",
       {"reset-default"},
       HidEnv(),
       [&] {
         plat::HidOpenStatus st;
         usbHeld = usb->Open(Socket(), plat::HidOpenMode::Exclusive, &st);
         return usbHeld != nullptr;
       },
       {},
       "USB reader F3A5:0A02: held by another program (" + Socket() + ")"},
  };
  std::string strSkipped;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pszName);
    if (!row.setUp()) {
      strSkipped += std::string(" ") + row.pszName + ";";
      continue;
    }
    const CtlRun run = RunCtl(row.args, row.env, row.runner);
    EXPECT_EQ(run.nStatus, 2) << run.out << run.err;
    EXPECT_NE(run.err.find("readerctl: " + row.strReason + "\n"), std::string::npos) << run.err;
  }
  if (nHeld >= 0) close(nHeld);
  usbHeld.reset();
  EXPECT_EQ(serialSim.Stop(), 0);
  EXPECT_EQ(hidSim.Stop(), 0);
  if (!strSkipped.empty()) GTEST_SKIP() << "not run here (needs root and " << kSetpriv << "):" << strSkipped;
}

// A reader that runs at 115200 baud says nothing to a port set to 9600: the
// reason names the rate.
class LinkReasonsVirtualTest : public VirtualTimeTest {};

TEST_F(LinkReasonsVirtualTest, NoReaderAnsweredAtThisBaudRate) {
  FakeSerial serial;
  ReaderModel reader;
  SimSerialLink line(serial.AddPort("COM1"), reader);
  line.Front().ExpectBaud(115200);
  line.Front().SetLineBaud(9600);
  ClearLinkOpenFailure();
  EXPECT_FALSE(OpenRs232(1, 9600, true));
  EXPECT_EQ(LinkFailureReason(LastLinkOpenFailure(), true), "COM1: no reader answered at 9600 baud");
  EXPECT_FALSE(g_Rs232Port.IsOpen());
}

TEST(LinkReasons, ARefusedUsbReaderIsToldAboutTheUdevRule) {
  const std::string strReason = LinkFailureReason(
      {LinkOpenFailureKind::AccessDenied, "USB reader F3A5:0A02: Permission denied (/dev/hidraw0)", "/dev/hidraw0"},
      false);
  EXPECT_EQ(strReason.rfind("USB reader F3A5:0A02: Permission denied (/dev/hidraw0); ", 0), 0u) << strReason;
  EXPECT_NE(strReason.find("udev rule"), std::string::npos) << strReason;
  EXPECT_NE(strReason.find("60-readertool.rules"), std::string::npos) << strReason;
}

}  // namespace
