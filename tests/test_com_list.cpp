// The serial port list opens no port: which ttys of the fixed ranges have a
// port behind them is read from sysfs, and a pseudo-terminal that another
// program has open, with settings and a lock of its own, is listed and left
// exactly as it was, by the list itself and by a readerctl run on another
// port (which lists the ports as the window does at start-up).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/tty_sysfs.h"
#include "support/readerctl_run.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace ctltest;

TEST(ComList, SysfsTellsWhichTtysHaveAPortBehindThem) {
  const fs::path sys = MakeTempDir("readertool-sysfs-");
  ASSERT_FALSE(sys.empty());
  struct Row {
    const char* name;
    bool bDevice;        // a "device" link
    const char* type;    // the "type" file, or null
    bool bPort;
  } rows[] = {
      {"ttyS0", true, "4\n", true},    // a 16550A
      {"ttyS1", true, "0\n", false},   // the 8250's placeholder without a UART
      {"ttyS2", true, nullptr, false}, // no type: not known to be a UART
      {"ttyS3", false, "4\n", false},
      {"ttyUSB0", true, nullptr, true},
      {"ttyUSB1", false, nullptr, false},  // a node left without its adapter
      {"ttyACM0", true, nullptr, true},
      {"tty1", false, nullptr, false},     // a virtual terminal
      {"ttyUSB9", false, nullptr, false},  // not there at all (no folder made below)
  };
  for (const Row& r : rows) {
    if (std::string(r.name) == "ttyUSB9") continue;
    fs::create_directories(sys / r.name);
    if (r.bDevice) fs::create_directory_symlink(sys, sys / r.name / "device");
    if (r.type) std::ofstream(sys / r.name / "type") << r.type;
  }
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(plat::TtyHasPort(sys.string(), r.name), r.bPort);
  }
  EXPECT_FALSE(plat::TtyHasPort(sys.string(), "../ttyS0"));
  fs::remove_all(sys);
}

// What another program's open tty looks like from outside: its settings and
// modem lines (a pseudo-terminal has none: the ioctl's failure is compared).
struct LineState {
  termios tio{};
  int nModemRc = 0, nModemErrno = 0, nModemLines = 0;
  bool operator==(const LineState& o) const {
    return tio.c_iflag == o.tio.c_iflag && tio.c_oflag == o.tio.c_oflag && tio.c_cflag == o.tio.c_cflag &&
           tio.c_lflag == o.tio.c_lflag && std::memcmp(tio.c_cc, o.tio.c_cc, sizeof tio.c_cc) == 0 &&
           cfgetispeed(&tio) == cfgetispeed(&o.tio) && cfgetospeed(&tio) == cfgetospeed(&o.tio) &&
           nModemRc == o.nModemRc && nModemErrno == o.nModemErrno && nModemLines == o.nModemLines;
  }
};

LineState StateOf(int fd) {
  LineState s;
  EXPECT_EQ(tcgetattr(fd, &s.tio), 0);
  errno = 0;
  s.nModemRc = ioctl(fd, TIOCMGET, &s.nModemLines);
  s.nModemErrno = s.nModemRc == 0 ? 0 : errno;
  return s;
}

// A pseudo-terminal in use by "another program" (the test): linked as
// COM200 in the COM folder, its terminal end open in cooked mode at 4800
// baud with HUPCL, and locked as the tool locks a port.
class BystanderPortTest : public ReaderctlTest {
 protected:
  void SetUp() override {
    ReaderctlTest::SetUp();
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(m_master, 0) << std::strerror(errno);
    ASSERT_EQ(grantpt(m_master), 0);
    ASSERT_EQ(unlockpt(m_master), 0);
    char name[256];
    ASSERT_EQ(ptsname_r(m_master, name, sizeof name), 0);
    m_slavePath = name;
    m_slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(m_slave, 0) << std::strerror(errno);
    termios tio{};
    ASSERT_EQ(tcgetattr(m_slave, &tio), 0);
    tio.c_lflag |= ICANON | ECHO;
    tio.c_cflag |= HUPCL;
    cfsetispeed(&tio, B4800);
    cfsetospeed(&tio, B4800);
    ASSERT_EQ(tcsetattr(m_slave, TCSANOW, &tio), 0);
    ASSERT_EQ(flock(m_slave, LOCK_EX | LOCK_NB), 0);
    fs::create_symlink(m_slavePath, fs::path(m_dir) / "com200");
  }
  void TearDown() override {
    if (m_slave >= 0) close(m_slave);
    if (m_master >= 0) close(m_master);
    ReaderctlTest::TearDown();
  }

  std::string m_slavePath;
  int m_master = -1, m_slave = -1;
};

TEST_F(BystanderPortTest, ListingPortsLeavesAPortInUseAlone) {
  struct Row {
    const char* name;
    std::vector<std::string> args;
    int nStatus;
  } rows[] = {
      {"list-ports", {"list-ports"}, 0},
      // A run lists the ports as the window does at start-up, then opens only
      // its own port (a dangling entry here, so the run ends at once).
      {"a run on another port", {"--interface", "rs232", "--port", "COM201", "reset-default"}, 2},
  };
  fs::create_symlink(fs::path(m_dir) / "nothing-here", fs::path(m_dir) / "com201");
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const LineState before = StateOf(m_slave);
    const int nWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(nWatch, 0);
    ASSERT_GE(inotify_add_watch(nWatch, m_slavePath.c_str(), IN_OPEN | IN_ATTRIB | IN_MODIFY), 0);

    const CtlRun run = RunCtl(r.args, SerialEnv());
    EXPECT_EQ(run.nStatus, r.nStatus) << run.out << run.err;

    // Not opened at all (so neither locked nor set up), its settings and
    // modem lines as they were, and our lock still ours alone.
    char events[4096];
    EXPECT_LT(read(nWatch, events, sizeof events), 0) << "the port in use was opened or changed";
    close(nWatch);
    EXPECT_TRUE(StateOf(m_slave) == before);
    const int nOther = open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(nOther, 0);
    EXPECT_NE(flock(nOther, LOCK_EX | LOCK_NB), 0) << "the test's lock is gone";
    close(nOther);
  }
  // Listed all the same: it exists, busy or not.
  const CtlRun list = RunCtl({"list-ports"}, SerialEnv());
  EXPECT_NE(list.out.find("COM200  " + m_dir + "/com200\n"), std::string::npos) << list.out;
  EXPECT_EQ(list.out.find("COM201"), std::string::npos) << "a dangling entry is no port: " << list.out;
}

}  // namespace
