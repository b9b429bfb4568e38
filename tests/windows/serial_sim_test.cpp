// The Windows serial line against a simulated reader behind a real COM port:
// tests/windows/run-windows-tests.sh serves readersim on a pseudo-terminal,
// links it as comN of the Wine prefix, and names the port in
// READERTOOL_TEST_COM_PORT. Not a ctest test: it needs that set-up.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "link/commands.h"
#include "platform/serial.h"
#include "platform/stop.h"
#include "transport/connection.h"

namespace {

int TestPort() {
  const char* psz = std::getenv("READERTOOL_TEST_COM_PORT");
  return psz ? std::atoi(psz) : 0;
}

class SerialSim : public ::testing::Test {
 protected:
  void SetUp() override {
    m_nPort = TestPort();
    ASSERT_GT(m_nPort, 0) << "READERTOOL_TEST_COM_PORT names no port (run tests/windows/run-windows-tests.sh)";
  }
  std::string Name() const { return "COM" + std::to_string(m_nPort); }
  int m_nPort = 0;
};

plat::SerialDcb Line(DWORD baud) {
  plat::SerialDcb dcb;
  dcb.BaudRate = baud;
  dcb.Flags = plat::kDcbBinary | plat::kDtrControlEnable << plat::kDcbDtrControlShift |
              plat::kRtsControlEnable << plat::kDcbRtsControlShift;
  return dcb;
}

}  // namespace

TEST_F(SerialSim, SettingsReadBackAsSet) {
  plat::SerialError err;
  auto line = plat::OpenSerialLine(Name().c_str(), &err);
  ASSERT_NE(line, nullptr) << err.sysCode << " " << err.sysMessage;
  EXPECT_TRUE(line->SetQueues(4096, 4096));
  ASSERT_TRUE(line->SetState(Line(115200))) << line->LastError().sysMessage;
  plat::SerialDcb got;
  ASSERT_TRUE(line->GetState(&got));
  EXPECT_EQ(got.BaudRate, 115200u);
  EXPECT_EQ(got.ByteSize, 8);
  EXPECT_EQ(got.Parity, plat::kParityNone);
  EXPECT_EQ(got.StopBits, plat::kStopBitsOne);
  EXPECT_EQ(got.Flags & (plat::kDcbOutxCtsFlow | plat::kDcbOutX | plat::kDcbInX), 0u);

  // A rate the driver may not make: either it is taken exactly or refused,
  // never quietly replaced by another (the pseudo-terminal has no 14400).
  if (line->SetState(Line(14400))) {
    ASSERT_TRUE(line->GetState(&got));
    EXPECT_EQ(got.BaudRate, 14400u);
  } else {
    EXPECT_EQ(line->LastError().kind, plat::SerialErrorKind::kUnsupported);
  }
  EXPECT_FALSE(line->SetState(Line(12345)));
  EXPECT_EQ(line->LastError().kind, plat::SerialErrorKind::kUnsupported);

  plat::SerialTimeouts t;
  t.ReadTotalTimeoutConstant = 150;
  t.WriteTotalTimeoutConstant = 1000;
  ASSERT_TRUE(line->SetTimeouts(t));
  plat::SerialTimeouts back;
  ASSERT_TRUE(line->GetTimeouts(&back));
  EXPECT_EQ(back.ReadTotalTimeoutConstant, 150u);
}

TEST_F(SerialSim, AReadWithNothingToReadEndsByItsTimeOut) {
  plat::SerialError err;
  auto line = plat::OpenSerialLine(Name().c_str(), &err);
  ASSERT_NE(line, nullptr) << err.sysCode << " " << err.sysMessage;
  ASSERT_TRUE(line->SetState(Line(115200)));
  ASSERT_TRUE(line->Purge(plat::kPurgeRxClear | plat::kPurgeTxClear));
  struct Case {
    const char* name;
    plat::SerialTimeouts t;
  };
  const Case cases[] = {
      {"total time-out", {0, 0, 100, 0, 0}},
      {"return at once", {plat::kSerialMaxTimeout, 0, 0, 0, 0}},
      {"return on any byte, else time-out", {plat::kSerialMaxTimeout, plat::kSerialMaxTimeout, 100, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(line->SetTimeouts(c.t));
    BYTE buf[16];
    DWORD got = 99;
    EXPECT_TRUE(line->Read(buf, sizeof buf, &got)) << line->LastError().sysCode << " " << line->LastError().sysMessage;
    EXPECT_EQ(got, 0u);
  }
}

TEST_F(SerialSim, AStopEndsAPendingReadAtOnce) {
  auto line = plat::OpenSerialLine(Name().c_str());
  ASSERT_NE(line, nullptr);
  ASSERT_TRUE(line->SetState(Line(115200)));
  // An hour of time-out: only the stop can end this read (ctest's limit
  // ends a hang).
  ASSERT_TRUE(line->SetTimeouts({0, 0, 3600 * 1000, 0, 0}));
  std::thread requester([] { plat::Stop().Request(); });
  BYTE buf[16];
  DWORD got = 99;
  EXPECT_FALSE(line->Read(buf, sizeof buf, &got));
  requester.join();
  plat::Stop().Clear();
  EXPECT_EQ(line->LastError().kind, plat::SerialErrorKind::kStopped);
  EXPECT_EQ(got, 0u);
  // The line is still usable: the cancelled read is not left pending.
  ASSERT_TRUE(line->SetTimeouts({plat::kSerialMaxTimeout, 0, 0, 0, 0}));
  EXPECT_TRUE(line->Read(buf, sizeof buf, &got));
}

TEST_F(SerialSim, TheSecondOpenOfAnOpenPortFails) {
  auto first = plat::OpenSerialLine(Name().c_str());
  ASSERT_NE(first, nullptr);
  plat::SerialError err;
  auto second = plat::OpenSerialLine(Name().c_str(), &err);
  // Windows refuses a second open of a port; Wine does not enforce share
  // mode 0, so there the second open may succeed.
  const bool bWine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  if (!bWine) {
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(err.sysCode, ERROR_ACCESS_DENIED);
  }
}

TEST_F(SerialSim, TheReaderAnswersTheFirmwareVersionQuery) {
  ASSERT_TRUE(OpenRs232(m_nPort, 115200, false)) << LastLinkOpenFailure().text;
  BYTE data[64] = {};
  int len = sizeof data;
  const bool ok = GetFwVersion(data, &len);
  CloseInterface();
  ASSERT_TRUE(ok);
  ASSERT_GT(len, 0);
  // readersim's default application firmware.
  EXPECT_NE(std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(len)).find("2.10.005"),
            std::string::npos);
}
