// The real serial line over a pseudo-terminal pair, in real time. The port
// under test is the terminal end, reached by its COM name through a
// temporary override folder; the test plays the reader on the other end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "link/frame.h"
#include "platform/clock.h"
#include "platform/posix/com_map.h"
#include "platform/pump.h"
#include "platform/serial.h"
#include "platform/stop.h"
#include "transport/rs232_port.h"

namespace {

namespace fs = std::filesystem;

const char* const kDefCom7 = "\\\\.\\COM7/baud=115200/parity=N/stop=1/data=8";

void PumpingWait(DWORD dwMs, BOOL) { plat::ThreadPump().WaitUntil(plat::NowMs() + dwMs); }

class SerialPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::Stop().Clear();
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(m_master, 0) << std::strerror(errno);
    ASSERT_EQ(grantpt(m_master), 0);
    ASSERT_EQ(unlockpt(m_master), 0);
    char name[256];
    ASSERT_EQ(ptsname_r(m_master, name, sizeof name), 0);
    char tmpl[] = "/tmp/readertool-pty-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    fs::create_symlink(name, m_dir / "com7");
    if (const char* old = std::getenv(plat::kComDirEnv)) m_oldEnv = old, m_hadEnv = true;
    setenv(plat::kComDirEnv, m_dir.c_str(), 1);
  }

  void TearDown() override {
    g_Rs232Port.Close();
    if (m_master >= 0) close(m_master);
    if (!m_dir.empty()) fs::remove_all(m_dir);
    if (m_hadEnv) setenv(plat::kComDirEnv, m_oldEnv.c_str(), 1);
    else unsetenv(plat::kComDirEnv);
    plat::Stop().Clear();
  }

  // Reads n bytes from the reader's end, giving up after 5 s of silence.
  std::vector<BYTE> ReadMaster(std::size_t n) {
    std::vector<BYTE> got;
    while (got.size() < n) {
      pollfd pfd{m_master, POLLIN, 0};
      if (poll(&pfd, 1, 5000) <= 0) break;
      BYTE buf[256];
      const ssize_t r = read(m_master, buf, std::min(sizeof buf, n - got.size()));
      if (r <= 0) break;
      got.insert(got.end(), buf, buf + r);
    }
    return got;
  }

  int m_master = -1;
  fs::path m_dir;
  std::string m_oldEnv;
  bool m_hadEnv = false;
};

TEST_F(SerialPtyTest, ExchangeThroughTheComName) {
  ASSERT_EQ(g_Rs232Port.Open(kDefCom7), TRUE) << g_Rs232Port.LastError().sysMessage;
  const auto req = MakeFrame(0x18, 0x01);
  const auto resp = MakeFrame(0x18, 0x00, {0x01, 0x02, 0x03}, CrcOrder::LowFirst);
  std::vector<BYTE> received;
  std::thread reader([&] {
    received = ReadMaster(req.size());
    std::vector<BYTE> answer = {0x00, 0x7F, 0x0D};  // line noise first
    answer.insert(answer.end(), resp.begin(), resp.end());
    ASSERT_EQ(write(m_master, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
  });
  BYTE buf[512];
  DWORD len = sizeof buf;
  g_Rs232Port.SendRecvFrame(req.data(), static_cast<DWORD>(req.size()), buf, &len, 10000, PumpingWait);
  reader.join();
  EXPECT_EQ(received, req);
  ASSERT_EQ(len, resp.size());
  EXPECT_EQ(0, std::memcmp(buf, resp.data(), resp.size()));
}

// A read on a thread with an event pump (the window's thread) keeps
// dispatching its events while it waits: here the only way an answer can
// arrive is an event that the pump dispatches, and a stop raised by another
// event still ends the read.
TEST_F(SerialPtyTest, ReadOnAPumpingThreadDispatchesItsEvents) {
  plat::SerialError err;
  auto line = plat::OpenSerialLine("\\\\.\\COM7", &err);
  ASSERT_NE(line, nullptr) << err.sysMessage;
  plat::SerialTimeouts to;
  to.ReadIntervalTimeout = 50;
  to.ReadTotalTimeoutConstant = 5000;  // the answer is owed to the pump long before
  ASSERT_TRUE(line->SetTimeouts(to));

  struct EventPump : plat::IEventPump {
    std::function<void()> onEvent;
    int nDispatched = 0;
    void DispatchOne() override {
      ++nDispatched;
      if (onEvent) onEvent();
      onEvent = nullptr;
    }
    void WaitUntil(std::uint64_t deadlineMs) override { plat::Clock().SleepUntil(deadlineMs); }
  } pump;
  plat::ScopedThreadPump usePump(pump);

  const BYTE kAnswer[] = {0x4B, 0x65, 0x73};
  pump.onEvent = [&] { ASSERT_EQ(write(m_master, kAnswer, sizeof kAnswer), static_cast<ssize_t>(sizeof kAnswer)); };
  BYTE buf[16];
  DWORD got = 0;
  ASSERT_TRUE(line->Read(buf, sizeof buf, &got));
  ASSERT_EQ(got, sizeof kAnswer);
  EXPECT_EQ(0, std::memcmp(buf, kAnswer, sizeof kAnswer));
  EXPECT_GE(pump.nDispatched, 1);

  pump.onEvent = [] { plat::Stop().Request(); };
  EXPECT_FALSE(line->Read(buf, sizeof buf, &got));
  EXPECT_EQ(line->LastError().kind, plat::SerialErrorKind::kStopped);
  EXPECT_EQ(got, 0u);
}

TEST_F(SerialPtyTest, PortIsOpenedExclusively) {
  ASSERT_EQ(g_Rs232Port.Open(kDefCom7), TRUE);
  plat::SerialError err;
  EXPECT_EQ(plat::OpenSerialLine("\\\\.\\COM7", &err), nullptr);
  EXPECT_EQ(err.kind, plat::SerialErrorKind::kSystem);
  EXPECT_EQ(err.sysCode, EBUSY);
  CRs232Port other;
  EXPECT_EQ(other.Open(kDefCom7), FALSE);

  // Released on close: the other object gets it now.
  g_Rs232Port.Close();
  EXPECT_EQ(other.Open(kDefCom7), TRUE);
  other.Close();
}

TEST_F(SerialPtyTest, LineSettingsAndStop) {
  plat::SerialError err;
  auto line = plat::OpenSerialLine("\\\\.\\COM7", &err);
  ASSERT_NE(line, nullptr) << err.sysMessage;

  plat::SerialDcb dcb;
  ASSERT_TRUE(line->GetState(&dcb));
  dcb.BaudRate = 14400;  // a rate without an exact line setting
  EXPECT_FALSE(line->SetState(dcb));
  EXPECT_EQ(line->LastError().kind, plat::SerialErrorKind::kUnsupported);

  dcb.BaudRate = 57600;
  dcb.ByteSize = 8;
  dcb.Parity = plat::kParityNone;
  dcb.StopBits = plat::kStopBitsOne;
  dcb.Flags = (0xFFFFFFFFu & CRs232Port::kFlagsKeepMask) | CRs232Port::kFlagsForce;
  ASSERT_TRUE(line->SetState(dcb));
  plat::SerialDcb now;
  ASSERT_TRUE(line->GetState(&now));
  EXPECT_EQ(now.BaudRate, 57600u);
  EXPECT_EQ(now.ByteSize, 8);
  EXPECT_EQ(now.Parity, plat::kParityNone);
  EXPECT_EQ(now.StopBits, plat::kStopBitsOne);
  EXPECT_EQ(now.Flags & (plat::kDcbOutxCtsFlow | plat::kDcbOutX | plat::kDcbInX | plat::kDcbParity), 0u);

  // No time-outs at all: only a stop request can end this read.
  ASSERT_TRUE(line->SetTimeouts(plat::SerialTimeouts{}));
  std::thread stopper([] { plat::Stop().Request(); });
  BYTE buf[16];
  DWORD got = 0;
  EXPECT_FALSE(line->Read(buf, sizeof buf, &got));
  stopper.join();
  EXPECT_EQ(line->LastError().kind, plat::SerialErrorKind::kStopped);
  EXPECT_EQ(got, 0u);
}

}  // namespace
