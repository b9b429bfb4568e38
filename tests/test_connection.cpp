// Connection management: opening and closing the link by the selected
// interface, the reader check and the states a failed check leaves, and the
// serial port list — in virtual time over the fakes, and once in real time
// over pseudo-terminals that the COM override folder names.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "link/commands.h"
#include "platform/posix/com_map.h"
#include "platform/stop.h"
#include "support/link_bench.h"
#include "transport/connection.h"

namespace {

using linkbench::LinkBench;

class ConnectionTest : public LinkBench {};

std::string ComName(int n) { return "\\\\.\\COM" + std::to_string(n); }

// ---------------------------------------------------------------------------
// OpenRs232
// ---------------------------------------------------------------------------

TEST_F(ConnectionTest, OpenRs232RefusesPortNumbersOutside1To255WithoutTryingThem) {
  g_nInterface = kInterfaceUsbHid;
  for (int port : {0, 256, -1}) {
    SCOPED_TRACE(port);
    EXPECT_FALSE(OpenRs232(port, 115200, false));
    EXPECT_FALSE(OpenRs232(port, 115200, true));
  }
  EXPECT_TRUE(m_serial.OpenAttempts().empty());
  EXPECT_EQ(g_nInterface, kInterfaceUsbHid);
}

TEST_F(ConnectionTest, OpenRs232OpensTheNamedPortAtTheBaudRateAndSelectsRs232) {
  g_nInterface = kInterfaceUsbHid;
  EXPECT_TRUE(OpenRs232(1, 9600, false));
  EXPECT_EQ(m_serial.OpenAttempts(), std::vector<std::string>{ComName(1)});
  EXPECT_TRUE(g_Rs232Port.IsOpen());
  EXPECT_EQ(m_com1.Dcb().BaudRate, 9600u);
  EXPECT_EQ(m_com1.Dcb().ByteSize, 8);
  EXPECT_EQ(m_com1.Dcb().Parity, plat::kParityNone);
  EXPECT_EQ(m_com1.Dcb().StopBits, plat::kStopBitsOne);
  EXPECT_EQ(g_nInterface, kInterfaceRs232);
  EXPECT_TRUE(m_requests.empty()) << "no check asked for";
}

TEST_F(ConnectionTest, OpenRs232FailuresAndTheReaderCheck) {
  struct Row {
    const char* name;
    int port;
    int baud;
    bool check;
    bool answer;
    bool ok;
    bool openAfter;
    int selectorAfter;
    LinkOpenFailureKind why;  // what the front ends are told
    const char* text;
    int refuseErrno = 0;  // every open of the port fails with it
  } rows[] = {
      {"no such port", 5, 115200, false, true, false, false, kInterfaceUsbHid, LinkOpenFailureKind::NotFound,
       "COM5: No such file or directory"},
      {"not allowed to open it", 1, 115200, false, true, false, false, kInterfaceUsbHid,
       LinkOpenFailureKind::AccessDenied, "COM1: Permission denied", EACCES},
      {"held by another program", 1, 115200, false, true, false, false, kInterfaceUsbHid, LinkOpenFailureKind::Busy,
       "COM1: Device or resource busy", EBUSY},
      {"rate the line cannot take", 1, 12345, false, true, false, false, kInterfaceUsbHid,
       LinkOpenFailureKind::Other, "COM1: Invalid argument"},
      {"check answered", 1, 115200, true, true, true, true, kInterfaceRs232, LinkOpenFailureKind::None, ""},
      // The port is closed again; the selector stays at RS-232.
      {"check unanswered", 1, 115200, true, false, false, false, kInterfaceRs232, LinkOpenFailureKind::NoAnswer,
       "COM1: no reader answered at 115200 baud"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ResetLinkGlobals();
    ClearLinkOpenFailure();
    g_nInterface = kInterfaceUsbHid;
    m_requests.clear();
    m_com1.RefuseOpens(row.refuseErrno);
    if (row.answer)
      AnswerAll(0x00);
    else
      AnswerNothing();
    EXPECT_EQ(OpenRs232(row.port, row.baud, row.check), row.ok);
    EXPECT_EQ(LastLinkOpenFailure().kind, row.why);
    EXPECT_EQ(LastLinkOpenFailure().text, row.text);
    EXPECT_EQ(g_Rs232Port.IsOpen(), row.openAfter);
    EXPECT_EQ(m_com1.IsOpen(), row.openAfter);
    EXPECT_EQ(g_nInterface, row.selectorAfter);
    if (row.check) {
      ASSERT_EQ(m_requests.size(), 1u);
      EXPECT_EQ(GetRespCode(m_requests[0].bytes.data()), 0x1801);
    }
  }
}

// ---------------------------------------------------------------------------
// OpenUsbHid
// ---------------------------------------------------------------------------

TEST_F(ConnectionTest, OpenUsbHidFallsBackToFeatureOnlyAndKeepsTheDeviceOpenAfterAFailedCheck) {
  struct Row {
    const char* name;
    int vid;
    plat::HidOpenError exclusive;
    bool refuseFeatureOnly;
    bool check;
    bool answer;
    bool ok;
    bool openAfter;
    int selectorAfter;
    int reportMode;  // after a successful open
    LinkOpenFailureKind why;
  } rows[] = {
      {"exclusive open", linkbench::kVid, plat::HidOpenError::None, false, false, true, true, true, kInterfaceUsbHid, 0,
       LinkOpenFailureKind::None},
      {"held elsewhere: feature reports only", linkbench::kVid, plat::HidOpenError::Busy, false, false, true, true,
       true, kInterfaceUsbHid, 1, LinkOpenFailureKind::None},
      // The reason of the exclusive open is the one reported.
      {"neither open", linkbench::kVid, plat::HidOpenError::Busy, true, false, true, false, false, kInterfaceRs232,
       -1, LinkOpenFailureKind::Busy},
      {"no such device", 0x1234, plat::HidOpenError::None, false, false, true, false, false, kInterfaceRs232, -1,
       LinkOpenFailureKind::NotFound},
      {"check answered", linkbench::kVid, plat::HidOpenError::None, false, true, true, true, true, kInterfaceUsbHid,
       0, LinkOpenFailureKind::None},
      // Unlike the serial port, the device stays open; the selector at USB HID.
      {"check unanswered", linkbench::kVid, plat::HidOpenError::None, false, true, false, false, true,
       kInterfaceUsbHid, 0, LinkOpenFailureKind::NoAnswer},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ResetLinkGlobals();
    ClearLinkOpenFailure();
    m_requests.clear();
    m_usb.refuseExclusive = row.exclusive;
    m_usb.refuseFeatureOnly = row.refuseFeatureOnly;
    if (row.answer)
      AnswerAll(0x00);
    else
      AnswerNothing();
    EXPECT_EQ(OpenUsbHid(row.check, row.vid, linkbench::kPid), row.ok);
    EXPECT_EQ(LastLinkOpenFailure().kind, row.why);
    EXPECT_EQ(g_HidDevice.IsOpen(), row.openAfter);
    EXPECT_EQ(g_nInterface, row.selectorAfter);
    if (row.openAfter) {
      EXPECT_EQ(g_HidDevice.m_nReportMode, row.reportMode);
    }
    EXPECT_EQ(m_usb.writes > 0, row.check) << "the check is the only thing sent";
  }

  // A reader that is there but busy is not hidden by a later reader of the
  // list that is simply absent.
  ResetLinkGlobals();
  ClearLinkOpenFailure();
  m_usb.refuseExclusive = plat::HidOpenError::Busy;
  m_usb.refuseFeatureOnly = true;
  EXPECT_FALSE(OpenUsbHid(false, linkbench::kVid, linkbench::kPid));
  EXPECT_FALSE(OpenUsbHid(false, 0x1234, linkbench::kPid));
  EXPECT_EQ(LastLinkOpenFailure().kind, LinkOpenFailureKind::Busy);
  char szId[16];
  std::snprintf(szId, sizeof szId, "%04X:%04X", linkbench::kVid, linkbench::kPid);
  EXPECT_EQ(LastLinkOpenFailure().text, "USB reader " + std::string(szId) + ": cannot be opened (" + m_usb.path + ")");
}

// ---------------------------------------------------------------------------
// Selecting and closing
// ---------------------------------------------------------------------------

TEST_F(ConnectionTest, SelectingOpensNothingAndCloseInterfaceClosesOnlyTheSelectedTransport) {
  ASSERT_TRUE(OpenUsbHid(false, linkbench::kVid, linkbench::kPid));
  ASSERT_TRUE(OpenRs232(1, 115200, false));
  SelectInterface(false);
  EXPECT_TRUE(IsUsbHid());
  EXPECT_FALSE(IsRs232());
  EXPECT_TRUE(g_Rs232Port.IsOpen());
  EXPECT_TRUE(g_HidDevice.IsOpen());

  // RS-232 selected by hand while USB HID was in use: the serial port is
  // what closes; the HID device stays open.
  SelectInterface(true);
  EXPECT_TRUE(IsRs232());
  EXPECT_FALSE(IsUsbHid());
  CloseInterface();
  EXPECT_FALSE(g_Rs232Port.IsOpen());
  EXPECT_TRUE(g_HidDevice.IsOpen());

  ASSERT_TRUE(OpenRs232(1, 115200, false));
  SelectInterface(false);
  CloseInterface();
  EXPECT_FALSE(g_HidDevice.IsOpen());
  EXPECT_TRUE(g_Rs232Port.IsOpen());
  // USB HID stays selected with nothing of it open: the serial port is not its business.
  CloseInterface();
  EXPECT_TRUE(g_Rs232Port.IsOpen());

  g_nInterface = 2;
  EXPECT_FALSE(IsRs232());
  EXPECT_FALSE(IsUsbHid());
}

TEST_F(ConnectionTest, HidSetTaggedReportsSetsTheFlagOfTheOneDevice) {
  EXPECT_EQ(HidSetTaggedReports(1), 1);
  EXPECT_EQ(g_HidDevice.GetTaggedReports(), 1);
  EXPECT_EQ(HidGetTaggedReports(), 1);
  EXPECT_EQ(HidSetTaggedReports(0), 0);
  EXPECT_EQ(HidGetTaggedReports(), 0);
}

// ---------------------------------------------------------------------------
// Real time: pseudo-terminals behind COM numbers of the override folder
// ---------------------------------------------------------------------------

namespace fs = std::filesystem;

class EnumComPortsPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::Stop().Clear();
    ResetLinkGlobals();
    char tmpl[] = "/tmp/readertool-enum-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    for (int port : {200, 202}) {
      const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      ASSERT_GE(master, 0) << std::strerror(errno);
      m_masters.push_back(master);
      ASSERT_EQ(grantpt(master), 0);
      ASSERT_EQ(unlockpt(master), 0);
      char name[256];
      ASSERT_EQ(ptsname_r(master, name, sizeof name), 0);
      fs::create_symlink(name, m_dir / ("com" + std::to_string(port)));
    }
    // An entry whose target does not exist is no port.
    fs::create_symlink(m_dir / "nothing-here", m_dir / "com201");
    if (const char* old = std::getenv(plat::kComDirEnv)) m_oldEnv = old, m_hadEnv = true;
    setenv(plat::kComDirEnv, m_dir.c_str(), 1);
  }

  void TearDown() override {
    ResetLinkGlobals();
    for (int fd : m_masters) close(fd);
    if (!m_dir.empty()) fs::remove_all(m_dir);
    if (m_hadEnv)
      setenv(plat::kComDirEnv, m_oldEnv.c_str(), 1);
    else
      unsetenv(plat::kComDirEnv);
  }

  fs::path m_dir;
  std::vector<int> m_masters;
  std::string m_oldEnv;
  bool m_hadEnv = false;
};

TEST_F(EnumComPortsPtyTest, FindsThePortsTheOverrideFolderNames) {
  int count = 0;
  int ports[255] = {};
  EXPECT_TRUE(EnumComPorts(115200, &count, ports));
  ASSERT_GE(count, 2);
  ASSERT_LE(count, 255);
  const std::vector<int> found(ports, ports + count);
  // Whatever else the machine has, the two terminals are there and the
  // dangling entry is not; the list is in ascending order.
  EXPECT_NE(std::find(found.begin(), found.end(), 200), found.end());
  EXPECT_NE(std::find(found.begin(), found.end(), 202), found.end());
  EXPECT_EQ(std::find(found.begin(), found.end(), 201), found.end());
  EXPECT_TRUE(std::is_sorted(found.begin(), found.end()));
  EXPECT_FALSE(g_Rs232Port.IsOpen());

  // Closed again: the port opens for the link afterwards.
  EXPECT_TRUE(OpenRs232(200, 115200, false));
}

}  // namespace
