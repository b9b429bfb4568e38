// The transceive dispatch and the waits, in virtual time: which transport
// and which table an exchange goes through, which exchanges pump the
// thread's events, PumpOneMessage, and PumpWait with and without the ping.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "link/commands.h"
#include "link/dispatch.h"
#include "platform/stop.h"
#include "support/link_bench.h"

namespace {

using linkbench::Bytes;
using linkbench::LinkBench;
using linkbench::Req;

class DispatchTest : public LinkBench {};

// Pumping table: the HID exchange hands PumpOneMessage to its transfers,
// which call it once per polling pass. Plain table: no callback. On RS-232
// both tables lead to the serial exchange, which waits through PumpWait.
TEST_F(DispatchTest, EachCommandGoesThroughItsTableToTheSelectedTransport) {
  BYTE data[512];
  int len = 0;
  BYTE resp[512];
  DWORD n = 0;
  const Bytes raw = Req("18 01 00 00 FF 61");
  const BYTE block[] = {0, 0, 0, 0, 0xAA};
  Bytes trailer(256, 0x11);
  struct Row {
    const char* name;
    std::function<void()> call;
    bool bPumping;
  } rows[] = {
      {"PingReader", [] { PingReader(); }, true},
      {"RequestBootMode", [] { RequestBootMode(); }, true},
      {"QueryReader", [&] { len = sizeof data; QueryReader(0x29, 0x04, data, &len, nullptr); }, false},
      {"GetBLVersion", [&] { len = sizeof data; GetBLVersion(data, &len); }, false},
      {"EraseFlash", [] { EraseFlash(); }, true},
      {"ProgramFlashBlock", [&] { n = sizeof resp; ProgramFlashBlock(block, sizeof block, resp, &n); }, true},
      {"VerifyFlash", [&] { VerifyFlash(trailer.data()); }, true},
      {"ResetBootloader", [] { ResetBootloader(); }, true},
      {"GetFwVersion", [&] { len = sizeof data; GetFwVersion(data, &len); }, true},
      {"ResetDefaultF0", [] { ResetDefaultF0(); }, true},
      {"ResetDefault0A", [] { ResetDefault0A(false); }, true},
      {"RawTransceive", [&] { n = sizeof resp; RawTransceive(raw.data(), 16, resp, &n); }, false},
  };
  // Both transports open: only the selector decides.
  ASSERT_TRUE(g_Rs232Port.Open(linkbench::kCom1Def));
  ASSERT_TRUE(g_HidDevice.Open(linkbench::kVid, linkbench::kPid));
  for (int nInterface : {kInterfaceRs232, kInterfaceUsbHid}) {
    g_nInterface = nInterface;
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.name) + (nInterface ? " on USB HID" : " on RS-232"));
      m_requests.clear();
      m_pump.Clear();
      row.call();
      ASSERT_EQ(m_requests.size(), 1u);
      EXPECT_EQ(m_requests[0].nInterface, nInterface);
      if (nInterface == kInterfaceRs232) {
        EXPECT_EQ(m_pump.nDispatched, 0);
        // The serial exchange's steps: 100 ms waits through PumpWait.
        ASSERT_FALSE(m_pump.waits.empty());
        for (const auto& w : m_pump.waits) EXPECT_EQ(w.untilMs - w.fromMs, 100u);
      } else {
        EXPECT_EQ(m_pump.nDispatched > 0, row.bPumping) << m_pump.nDispatched << " events dispatched";
        EXPECT_TRUE(m_pump.waits.empty());
      }
    }
  }
}

TEST_F(DispatchTest, SelectorOutOfRangeOrTransportClosedIsNoResponseAtOnce) {
  const Bytes raw = Req("18 01 00 00 FF 61");
  struct Row {
    const char* name;
    int nInterface;
    bool bOpenSerial, bOpenHid;
  } rows[] = {
      {"selector 2, both open", 2, true, true},
      {"selector -1, both open", -1, true, true},
      {"RS-232 closed, HID open", kInterfaceRs232, false, true},
      {"USB HID closed, serial open", kInterfaceUsbHid, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ResetLinkGlobals();
    if (row.bOpenSerial) {
      ASSERT_TRUE(g_Rs232Port.Open(linkbench::kCom1Def));
    }
    if (row.bOpenHid) {
      ASSERT_TRUE(g_HidDevice.Open(linkbench::kVid, linkbench::kPid));
    }
    g_nInterface = row.nInterface;
    m_requests.clear();
    const std::uint64_t t0 = Now();
    EXPECT_FALSE(PingReader());
    BYTE resp[512];
    DWORD n = sizeof resp;
    EXPECT_EQ(RawTransceive(raw.data(), 16, resp, &n), 0u);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(m_requests.empty());
    EXPECT_EQ(Now(), t0);
  }
}

TEST_F(DispatchTest, PumpOneMessageDispatchesOneEventAndAlwaysSaysGoOn) {
  EXPECT_EQ(PumpOneMessage(), 0);
  EXPECT_EQ(PumpOneMessage(), 0);
  EXPECT_EQ(m_pump.nDispatched, 2);
  EXPECT_TRUE(m_pump.waits.empty());
}

// ---------------------------------------------------------------------------
// PumpWait
// ---------------------------------------------------------------------------

TEST_F(DispatchTest, WaitWithoutPingBlocksInThePumpUntilTheDeadlineAndSendsNothing) {
  Use(kInterfaceUsbHid);
  PumpWait(300, FALSE);
  EXPECT_EQ(Elapsed(), 300u);
  ASSERT_EQ(m_pump.waits.size(), 1u);
  EXPECT_EQ(m_pump.waits[0].untilMs, kStart + 300);
  EXPECT_EQ(m_usb.writes, 0);

  // Zero milliseconds: no event, no ping, no time.
  m_pump.Clear();
  PumpWait(0, TRUE);
  PumpWait(0, FALSE);
  EXPECT_EQ(Elapsed(), 300u);
  EXPECT_EQ(m_pump.nDispatched, 0);
  EXPECT_TRUE(m_pump.waits.empty());
  EXPECT_EQ(m_usb.writes, 0);
}

TEST_F(DispatchTest, PingingWaitEndsRightAfterTheFirstAnsweredPing) {
  Use(kInterfaceUsbHid);
  // How long an answered ping lasts, and when its request is in.
  std::uint64_t t0 = Now();
  ASSERT_TRUE(PingReader());
  const std::uint64_t ping = Now() - t0;
  const std::uint64_t requestIn = m_requests.at(0).atMs - t0;
  m_requests.clear();

  // The first ping fails at once (its report is not taken); the second,
  // 50 ms later, is answered.
  m_usb.FailNth(fakehid::Op::Write, 1, plat::HidIo::Error);
  const int writesBefore = m_usb.writes;
  t0 = Now();
  PumpWait(5000, TRUE);
  EXPECT_EQ(m_usb.writes - writesBefore, 2);
  ASSERT_EQ(m_requests.size(), 1u);
  EXPECT_EQ(GetRespCode(m_requests[0].bytes.data()), 0x1801);
  EXPECT_EQ(m_requests[0].atMs - t0, 50 + requestIn);
  EXPECT_EQ(Now() - t0, 50 + ping);
}

TEST_F(DispatchTest, PingingWaitWithTheDeviceClosedPingsEvery50MsUntilTheEnd) {
  for (int nInterface : {kInterfaceRs232, kInterfaceUsbHid}) {
    SCOPED_TRACE(nInterface);
    g_nInterface = nInterface;  // transport closed: every ping fails at once
    m_pump.Clear();
    const std::uint64_t t0 = Now();
    PumpWait(5000, TRUE);
    EXPECT_EQ(Now() - t0, 5000u);
    // One pass (an event, a ping) at 0, 50, ..., 4950 ms.
    EXPECT_EQ(m_pump.nDispatched, 100);
    EXPECT_TRUE(m_requests.empty());
  }
}

// A silent reader on RS-232 holds each ping for the whole 65000 ms of its
// exchange; the end of the wait is only looked at between pings.
TEST_F(DispatchTest, PingingWaitOnASilentSerialLineLastsAsLongAsItsPing) {
  Use(kInterfaceRs232);
  AnswerNothing();
  PumpWait(5000, TRUE);
  ASSERT_EQ(m_requests.size(), 1u);
  EXPECT_GE(Elapsed(), 65000u);
  EXPECT_LT(Elapsed(), 65000u + 1000u);
}

TEST_F(DispatchTest, StopRequestEndsEitherWait) {
  Use(kInterfaceUsbHid);
  plat::Stop().Request();
  PumpWait(5000, FALSE);
  PumpWait(5000, TRUE);
  EXPECT_EQ(Elapsed(), 0u);
  EXPECT_EQ(m_usb.writes, 0);
  plat::Stop().Clear();

  // Raised from an event handled while the wait pings a closed device.
  ResetLinkGlobals();
  g_nInterface = kInterfaceUsbHid;
  m_pump.onDispatch = [this] {
    if (m_pump.nDispatched == 3) plat::Stop().Request();
  };
  PumpWait(5000, TRUE);
  EXPECT_EQ(m_pump.nDispatched, 3);
  EXPECT_EQ(Elapsed(), 100u);
}

}  // namespace
