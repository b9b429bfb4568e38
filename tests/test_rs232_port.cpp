// CRs232Port over the fake serial line, in virtual time.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/fake_serial.h"
#include "support/virtual_time.h"
#include "transport/rs232_port.h"

namespace {

const char* const kDefCom1 = "\\\\.\\COM1/baud=9600/parity=N/stop=1/data=8";

class Rs232PortTest : public VirtualTimeTest {
 protected:
  ~Rs232PortTest() override { m_port.Close(); }

  void OpenCom1() { ASSERT_EQ(m_port.Open(kDefCom1), TRUE); }

  FakeSerial m_serial;
  FakeSerialPort& m_com1 = m_serial.AddPort("COM1");
  CRs232Port m_port;
};

TEST(SerialSettings, ParsesTheTextualLineSettings) {
  struct Row {
    const char* text;
    bool ok;
    DWORD baud;
    BYTE size, parity, stop;
  } rows[] = {
      {"baud=9600 parity=N stop=1 data=8", true, 9600, 8, plat::kParityNone, plat::kStopBitsOne},
      {"BAUD=115200 Parity=e STOP=2 data=7", true, 115200, 7, plat::kParityEven, plat::kStopBitsTwo},
      {"  parity=O\tdata=5  stop=1.5 ", true, 1200, 5, plat::kParityOdd, plat::kStopBitsOneHalf},
      {"parity=M", true, 1200, 6, plat::kParityMark, plat::kStopBitsOne},
      {"parity=s", true, 1200, 6, plat::kParitySpace, plat::kStopBitsOne},
      {"", true, 1200, 6, plat::kParityEven, plat::kStopBitsOne},  // nothing to change
      {"baud=9600 parity=N stop=1 data=8 to=on", false, 0, 0, 0, 0},
      {"baud=", false, 0, 0, 0, 0},
      {"baud=-9600", false, 0, 0, 0, 0},
      {"baud=99999999999", false, 0, 0, 0, 0},
      {"baud 9600", false, 0, 0, 0, 0},
      {"parity=NN", false, 0, 0, 0, 0},
      {"stop=3", false, 0, 0, 0, 0},
      {"data=4", false, 0, 0, 0, 0},
      {"data=8 data=7", false, 0, 0, 0, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    plat::SerialDcb dcb;
    dcb.BaudRate = 1200;
    dcb.ByteSize = 6;
    dcb.Parity = plat::kParityEven;
    dcb.Flags = 0x1234;
    const plat::SerialDcb before = dcb;
    ASSERT_EQ(plat::BuildSerialDcb(r.text, &dcb), r.ok);
    const plat::SerialDcb& want = r.ok ? plat::SerialDcb{r.baud, 0x1234, r.size, r.parity, r.stop} : before;
    EXPECT_EQ(dcb.BaudRate, want.BaudRate);
    EXPECT_EQ(dcb.ByteSize, want.ByteSize);
    EXPECT_EQ(dcb.Parity, want.Parity);
    EXPECT_EQ(dcb.StopBits, want.StopBits);
    EXPECT_EQ(dcb.Flags, 0x1234u) << "the settings never touch the flags";
  }
}

TEST(Rs232Global, StartsClosedAndRefusesIo) {
  EXPECT_FALSE(g_Rs232Port.IsOpen());
  BYTE b[4] = {};
  EXPECT_EQ(g_Rs232Port.Read(b, sizeof b), 0);
  EXPECT_EQ(g_Rs232Port.Write(b, sizeof b), 0u);
}

TEST_F(Rs232PortTest, RefusesBadDefinitionStringsWithoutOpening) {
  const std::string longest = std::string(kDefCom1) + std::string(255 - std::string(kDefCom1).size(), ' ');
  const std::string tooLong = longest + " ";
  ASSERT_EQ(longest.size(), 255u);
  struct Row {
    const char* name;
    const char* def;
  } rows[] = {
      {"null", nullptr},
      {"nine characters", "\\\\.\\COM1/"},
      {"256 characters", tooLong.c_str()},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(m_port.Open(r.def), FALSE);
    EXPECT_FALSE(m_port.IsOpen());
  }
  EXPECT_TRUE(m_serial.OpenAttempts().empty());
  // 255 characters and the terminator still fit.
  EXPECT_EQ(m_port.Open(longest.c_str()), TRUE);
}

TEST_F(Rs232PortTest, NormalisesAndSplitsTheDefinitionString) {
  m_serial.AddPort("COM12");
  struct Row {
    const char* def;
    const char* device;
    const char* settings;
    DWORD baud;
  } rows[] = {
      {"\\\\.\\COM1/baud=9600/parity=N/stop=1/data=8", "\\\\.\\COM1", "baud=9600 parity=N stop=1 data=8", 9600},
      {" \\\\.\\COM12 / baud = 115200\t/parity=N/ stop=1/data=8 ", "\\\\.\\COM12",
       "baud=115200 parity=N stop=1 data=8", 115200},
      {"\\\\.\\COM1//baud=19200", "\\\\.\\COM1", " baud=19200", 19200},
      // No slash: the whole string is the name and the driver's settings stay.
      {"\\\\.\\COM12\t\t", "\\\\.\\COM12", "", 9600},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.def);
    ASSERT_EQ(m_port.Open(r.def), TRUE);
    EXPECT_EQ(m_serial.OpenAttempts().back(), r.device);
    EXPECT_STREQ(m_port.CommDef(), r.settings);
    EXPECT_EQ(m_serial.Port(r.device)->Dcb().BaudRate, r.baud);
    m_port.Close();
  }
}

TEST_F(Rs232PortTest, ForcesFlagsAndTakesFramingFromTheSettings) {
  struct Row {
    DWORD driverFlags;
    DWORD expected;
  } rows[] = {
      {0xFFFFFFFFu, 0xFFFF9011u},  // everything on: only fBinary, DTR/RTS enable and the top bits stay
      {0x00000000u, 0x00001010u},  // fBinary stays off, DTR and RTS become enabled
      {0x00002AEEu, 0x00001010u},  // handshaking DTR/RTS, flow control, parity check all cleared
      {0x00000001u, 0x00001011u},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.driverFlags);
    plat::SerialDcb driver;
    driver.BaudRate = 1200;
    driver.Flags = r.driverFlags;
    driver.ByteSize = 7;
    driver.Parity = plat::kParityEven;
    driver.StopBits = plat::kStopBitsTwo;
    m_com1.SetDriverDcb(driver);
    OpenCom1();
    const plat::SerialDcb dcb = m_com1.Dcb();
    EXPECT_EQ(dcb.Flags, r.expected);
    EXPECT_EQ(plat::DtrControl(dcb), plat::kDtrControlEnable);
    EXPECT_EQ(plat::RtsControl(dcb), plat::kRtsControlEnable);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, plat::kParityNone);
    EXPECT_EQ(dcb.StopBits, plat::kStopBitsOne);
    m_port.Close();
  }
}

TEST_F(Rs232PortTest, OpenSetsQueuesTimeoutsAndPurges) {
  OpenCom1();
  EXPECT_TRUE(m_port.IsOpen());
  EXPECT_EQ(m_com1.InQueue(), 4096u);
  EXPECT_EQ(m_com1.OutQueue(), 4096u);
  const plat::SerialTimeouts t = m_com1.Timeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, 50u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 200u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 5000u);
  EXPECT_EQ(m_com1.LastPurge(), 15u);
}

// Every step of Open that may fail leaves the object closed and the device
// released (a later open succeeds); the queue size and purge do not matter.
TEST_F(Rs232PortTest, EachFailingOpenStepReleasesThePort) {
  struct Row {
    SerialOp op;
    bool opens;
  } rows[] = {
      {SerialOp::kOpen, false},      {SerialOp::kGetState, false}, {SerialOp::kSetState, false},
      {SerialOp::kSetTimeouts, false}, {SerialOp::kSetQueues, true}, {SerialOp::kPurge, true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.op));
    m_com1.FailCall(r.op, m_com1.Calls(r.op) + 1, EIO);
    EXPECT_EQ(m_port.Open(kDefCom1), r.opens ? TRUE : FALSE);
    EXPECT_EQ(m_port.IsOpen(), r.opens);
    EXPECT_EQ(m_com1.IsOpen(), r.opens);
    if (!r.opens) {
      EXPECT_EQ(m_port.LastError().kind, plat::SerialErrorKind::kSystem);
      EXPECT_EQ(m_port.LastError().sysCode, EIO);
    }
    m_port.Close();
    OpenCom1();
    m_port.Close();
  }
}

TEST_F(Rs232PortTest, RefusesSettingsTheLineCannotTake) {
  const char* defs[] = {
      "\\\\.\\COM1/baud=31250/parity=N/stop=1/data=8",   // no exact rate on either system: never rounded
      "\\\\.\\COM1/baud=0/parity=N/stop=1/data=8",       // no baud chosen
      "\\\\.\\COM1/baud=fast/parity=N/stop=1/data=8",
      "\\\\.\\COM1/baud=9600/parity=Q/stop=1/data=8",
      "\\\\.\\COM1/baud=9600/parity=N/stop=1/data=9",
      "\\\\.\\COM1/baud=9600/parity=N/stop=1/data=8/flow=x",  // unknown key
      "\\\\.\\COM1/baud=9600/baud=19200/stop=1/data=8",       // the same key twice
  };
  for (const char* def : defs) {
    SCOPED_TRACE(def);
    EXPECT_EQ(m_port.Open(def), FALSE);
    EXPECT_FALSE(m_port.IsOpen());
    EXPECT_FALSE(m_com1.IsOpen());
  }
}

TEST_F(Rs232PortTest, MissingAndBusyPortsFail) {
  EXPECT_EQ(m_port.Open("\\\\.\\COM2/baud=9600/parity=N/stop=1/data=8"), FALSE);
  EXPECT_EQ(m_port.LastError().sysCode, ENOENT);

  CRs232Port other;
  ASSERT_EQ(other.Open(kDefCom1), TRUE);
  EXPECT_EQ(m_port.Open(kDefCom1), FALSE);
  EXPECT_EQ(m_port.LastError().sysCode, EBUSY);
  other.Close();
  OpenCom1();
}

TEST_F(Rs232PortTest, OpenOnAnOpenPortFailsAndKeepsItUsable) {
  m_serial.AddPort("COM3");
  OpenCom1();
  EXPECT_EQ(m_port.Open(kDefCom1), FALSE);
  EXPECT_EQ(m_port.Open("\\\\.\\COM3/baud=9600/parity=N/stop=1/data=8"), FALSE);
  EXPECT_EQ(m_serial.OpenAttempts().size(), 1u);
  EXPECT_TRUE(m_port.IsOpen());
  const BYTE req[3] = {1, 2, 3};
  EXPECT_EQ(m_port.Write(req, 3), 3u);
  EXPECT_EQ(m_com1.WrittenBytes(), std::vector<BYTE>({1, 2, 3}));
}

TEST_F(Rs232PortTest, ClosedPortDoesNothingAndCloseTwiceIsHarmless) {
  OpenCom1();
  m_port.Close();
  m_port.Close();
  EXPECT_FALSE(m_port.IsOpen());
  EXPECT_FALSE(m_com1.IsOpen());
  const int readsBefore = m_com1.Calls(SerialOp::kRead);
  BYTE b[8] = {};
  EXPECT_EQ(m_port.Read(b, sizeof b), 0);
  EXPECT_EQ(m_port.Write(b, sizeof b), 0u);
  EXPECT_EQ(m_port.SetTimeouts(500, -1), FALSE);
  EXPECT_EQ(m_port.ResetTimeouts(), FALSE);
  EXPECT_EQ(m_com1.Calls(SerialOp::kRead), readsBefore);
  EXPECT_EQ(m_com1.Calls(SerialOp::kWrite), 0);
  EXPECT_EQ(Elapsed(), 0u);
  OpenCom1();  // and it opens again
}

TEST_F(Rs232PortTest, SetAndResetTimeouts) {
  OpenCom1();
  EXPECT_EQ(m_port.SetTimeouts(500, -1), TRUE);
  plat::SerialTimeouts t = m_com1.Timeouts();
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 500u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 200u);
  EXPECT_EQ(t.ReadIntervalTimeout, 50u);

  EXPECT_EQ(m_port.SetTimeouts(-1, 300), TRUE);
  t = m_com1.Timeouts();
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 500u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 300u);

  EXPECT_EQ(m_port.ResetTimeouts(), TRUE);
  t = m_com1.Timeouts();
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 10000u);  // not the 5000 of Open
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 200u);
  EXPECT_EQ(t.ReadIntervalTimeout, 50u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);

  m_com1.FailCall(SerialOp::kGetTimeouts, m_com1.Calls(SerialOp::kGetTimeouts) + 1);
  EXPECT_EQ(m_port.SetTimeouts(200, -1), FALSE);
  m_com1.FailCall(SerialOp::kSetTimeouts, m_com1.Calls(SerialOp::kSetTimeouts) + 1);
  EXPECT_EQ(m_port.ResetTimeouts(), FALSE);
  EXPECT_EQ(m_com1.Timeouts().WriteTotalTimeoutConstant, 10000u);
}

struct Arrival {
  std::uint64_t atMs;  // after the read begins
  std::vector<BYTE> bytes;
};

std::vector<BYTE> Filled(std::size_t n, BYTE first) {
  std::vector<BYTE> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(first + i);
  return v;
}

// Read gathers chunks until the line is quiet, hands over a lone first byte
// at once unless it is 0x03, and drops a chunk that does not fit.
TEST_F(Rs232PortTest, ReadGathersUntilQuiet) {
  struct Row {
    const char* name;
    DWORD dwMax;
    std::vector<Arrival> arrivals;
    int expected;
    std::vector<BYTE> data;  // expected start of the buffer
    std::size_t leftOver;    // bytes still on the line afterwards
  } rows[] = {
      {"silence", 256, {}, 0, {}, 0},
      {"one chunk", 256, {{0, {1, 2, 3}}}, 3, {1, 2, 3}, 0},
      {"chunks 100 ms apart are gathered", 256, {{0, {1, 2}}, {100, {3}}, {200, {4, 5}}}, 5, {1, 2, 3, 4, 5}, 0},
      {"lone 0x06 returns at once", 256, {{0, {0x06}}, {100, {7, 8}}}, 1, {0x06}, 2},
      {"lone 0x03 keeps reading", 256, {{0, {0x03}}, {100, {7, 8}}}, 3, {0x03, 7, 8}, 0},
      {"lone byte later is no first read", 256, {{0, {1, 2}}, {100, {0x06}}}, 3, {1, 2, 0x06}, 0},
      {"300 bytes in one chunk are lost", 256, {{0, Filled(300, 0)}}, 0, {}, 0},
      {"200 then 100 keeps the 200", 256, {{0, Filled(200, 0)}, {100, Filled(100, 200)}}, 200, Filled(200, 0), 0},
      {"exactly full", 256, {{0, Filled(200, 0)}, {100, Filled(56, 200)}}, 256, Filled(256, 0), 0},
      {"no room for a lone byte", 0, {{0, {0x06}}}, 0, {}, 0},
      {"chunks are at most 512 bytes", 1024, {{0, Filled(700, 0)}}, 700, Filled(700, 0), 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    OpenCom1();
    const std::uint64_t start = Now();
    for (const auto& a : r.arrivals) m_com1.ArriveAt(start + a.atMs, a.bytes);
    std::vector<BYTE> buf(r.dwMax + 16, 0xEE);
    EXPECT_EQ(m_port.Read(buf.data(), r.dwMax), r.expected);
    EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), buf.begin()));
    for (std::size_t i = r.dwMax; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xEE) << "written past dwMax at " << i;
    m_clock.Advance(1000);  // let everything scheduled arrive
    EXPECT_EQ(m_com1.Pending(), r.leftOver);
    m_port.Close();
  }
}

TEST_F(Rs232PortTest, ReadTimingFollowsTheTimeouts) {
  OpenCom1();
  BYTE buf[256];
  // Nothing at all: one empty read call of 200 ms.
  std::uint64_t t0 = Now();
  EXPECT_EQ(m_port.Read(buf, sizeof buf), 0);
  EXPECT_EQ(Now() - t0, 200u);
  // A chunk after 30 ms: it ends its call 50 ms later, then one empty call.
  t0 = Now();
  m_com1.ArriveAt(t0 + 30, {1, 2, 3});
  EXPECT_EQ(m_port.Read(buf, sizeof buf), 3);
  EXPECT_EQ(Now() - t0, 30u + 50u + 200u);
}

TEST_F(Rs232PortTest, ReadFailureAbandonsGatheredBytes) {
  OpenCom1();
  m_com1.ArriveAt(Now(), {1, 2, 3});
  m_com1.FailCall(SerialOp::kRead, m_com1.Calls(SerialOp::kRead) + 2, EIO);
  BYTE buf[64];
  EXPECT_EQ(m_port.Read(buf, sizeof buf), -1);
  EXPECT_EQ(m_port.LastError().kind, plat::SerialErrorKind::kSystem);
  EXPECT_EQ(m_port.LastError().sysCode, EIO);
  EXPECT_TRUE(m_port.IsOpen());
}

TEST_F(Rs232PortTest, WriteReportsWhatLeftWithinTheWriteTimeout) {
  OpenCom1();
  const std::vector<BYTE> data = Filled(10, 0x40);
  EXPECT_EQ(m_port.Write(data.data(), 10), 10u);
  EXPECT_EQ(Elapsed(), 0u);

  // A line that takes 4 bytes and then stalls: the write lasts its time-out.
  m_com1.SetWriteLimit(4);
  std::uint64_t t0 = Now();
  EXPECT_EQ(m_port.Write(data.data(), 10), 4u);
  EXPECT_EQ(Now() - t0, 5000u);
  ASSERT_EQ(m_port.ResetTimeouts(), TRUE);
  t0 = Now();
  EXPECT_EQ(m_port.Write(data.data(), 10), 4u);
  EXPECT_EQ(Now() - t0, 10000u);

  m_com1.FailCall(SerialOp::kWrite, m_com1.Calls(SerialOp::kWrite) + 1, EIO);
  EXPECT_EQ(m_port.Write(data.data(), 10), 0u);
  EXPECT_EQ(m_port.LastError().sysCode, EIO);
}

TEST_F(Rs232PortTest, StopRequestEndsTransfersAtOnce) {
  OpenCom1();
  m_com1.ArriveAt(Now() + 10, {1, 2, 3});
  plat::Stop().Request();
  BYTE buf[16];
  EXPECT_EQ(m_port.Read(buf, sizeof buf), -1);
  EXPECT_EQ(m_port.LastError().kind, plat::SerialErrorKind::kStopped);
  EXPECT_EQ(m_port.Write(buf, sizeof buf), 0u);
  EXPECT_EQ(m_port.LastError().kind, plat::SerialErrorKind::kStopped);
  EXPECT_EQ(Elapsed(), 0u);
}

}  // namespace
