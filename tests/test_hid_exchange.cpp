// The HID report exchange over the fake backend, in virtual time: requests
// cut into raw, counted, tagged and feature reports; responses put together
// from counted, tagged and feature reports; and what a misbehaving device
// cannot do (write past the capacity, read past a report, hold a read forever).
#include <gtest/gtest.h>

#include <vector>

#include "link/frame.h"
#include "platform/stop.h"
#include "support/fake_hid.h"
#include "support/virtual_time.h"
#include "transport/hid_device.h"

namespace {

using fakehid::CountedReports;
using fakehid::FakeHidBackend;
using fakehid::FakeHidDevice;
using fakehid::FeatureReports;
using fakehid::Report;
using fakehid::TaggedReports;
using Bytes = std::vector<BYTE>;

constexpr int kVid = 0x1DB2, kPid = 0x0042;
constexpr DWORD kTimeout = 65000;
constexpr BYTE kGuard = 0xAA;
constexpr size_t kGuardLen = 32;

// V2 response of a given total length (data = length - 16).
Bytes FrameV2(size_t total, BYTE cmd = 0x29) {
  Bytes data(total - 16);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7 + 1);
  return MakeFrame(cmd, 0x00, data);
}
Bytes FrameV3(size_t total, BYTE cmd = 0x29) { return MakeFrameV3(cmd, 0x00, Bytes(total - 17, 0x5C)); }

int g_callbacks = 0;
int g_stopAtCall = 0;
int CountingCallback() {
  ++g_callbacks;
  return g_stopAtCall && g_callbacks >= g_stopAtCall ? 1 : 0;
}

class HidExchangeTest : public VirtualTimeTest {
 protected:
  HidExchangeTest() {
    g_callbacks = 0;
    g_stopAtCall = 0;
  }

  FakeHidDevice& OpenDevice(int in, int out, int feature) {
    FakeHidDevice& d = m_backend.AddDevice(kVid, kPid, in, out, feature);
    EXPECT_TRUE(m_dev.Open(kVid, kPid));
    return d;
  }

  // A response buffer of `cap` bytes followed by guard bytes that must stay.
  void MakeBuffer(DWORD cap, BYTE fill = 0) {
    m_cap = cap;
    m_resp.assign(cap, fill);
    m_resp.insert(m_resp.end(), kGuardLen, kGuard);
  }
  bool GuardIntact() const {
    for (size_t i = m_cap; i < m_resp.size(); ++i)
      if (m_resp[i] != kGuard) return false;
    return true;
  }
  Bytes Received(DWORD n) const { return Bytes(m_resp.begin(), m_resp.begin() + n); }

  DWORD Exchange(const Bytes& req, DWORD cap = 512, PFN_EXCHANGE_CALLBACK cb = nullptr, DWORD timeout = kTimeout) {
    if (m_resp.size() != cap + kGuardLen) MakeBuffer(cap);
    return m_dev.SendAndGetResponseUSBHID(req.data(), static_cast<DWORD>(req.size()), m_resp.data(), cap, timeout, cb);
  }

  // The device answers once the request's last report is in.
  void AnswerTagged(FakeHidDevice& d, const Bytes& frame, std::uint64_t delayMs = 3) {
    auto reports = TaggedReports(frame);
    d.onOutput = [&d, reports, delayMs](const Report& r) {
      if (r[0] == 1 || r[0] == 4) d.QueueInputs(reports, plat::NowMs() + delayMs);
    };
  }
  void AnswerCounted(FakeHidDevice& d, const Bytes& frame, std::uint64_t delayMs = 3) {
    auto reports = CountedReports(frame);
    d.onOutput = [&d, reports, delayMs](const Report& r) {
      if (!(r[1] & 0x80)) d.QueueInputs(reports, plat::NowMs() + delayMs);
    };
  }

  FakeHidBackend m_backend;
  plat::ScopedHidBackend m_use{m_backend};
  CHidDevice m_dev;
  Bytes m_resp;
  DWORD m_cap = 0;
  const Bytes m_ping = MakeFrame(0x18, 0x01);
};

TEST_F(HidExchangeTest, NothingToSendOrNoDeviceMeansNoExchange) {
  FakeHidDevice& d = OpenDevice(64, 64, 0);
  MakeBuffer(512);
  EXPECT_EQ(m_dev.SendAndGetResponseUSBHID(m_ping.data(), 0, m_resp.data(), 512, kTimeout, nullptr), 0u);
  EXPECT_EQ(m_dev.SendAndGetResponseUSBHID(nullptr, 16, m_resp.data(), 512, kTimeout, nullptr), 0u);
  EXPECT_EQ(m_dev.SendAndGetResponseUSBHID(m_ping.data(), 16, nullptr, 512, kTimeout, nullptr), 0u);
  m_dev.Close();
  EXPECT_EQ(Exchange(m_ping), 0u);
  EXPECT_EQ(d.writes, 0);
  EXPECT_EQ(Elapsed(), 0u);
}

TEST_F(HidExchangeTest, AStoppedRunSendsNothing) {
  FakeHidDevice& d = OpenDevice(64, 64, 0);
  d.QueueInputs(TaggedReports(FrameV2(16)));
  plat::Stop().Request();
  for (BYTE tagged : {0, 1}) {
    m_dev.SetTaggedReports(tagged);
    EXPECT_EQ(Exchange(m_ping), 0u);
  }
  EXPECT_EQ(d.writes, 0);
  EXPECT_EQ(d.reads, 0);
}

// ---- requests ----

TEST_F(HidExchangeTest, RawRequestsFillWhole64ByteReports) {
  FakeHidDevice& d = OpenDevice(64, 64, 0);
  for (size_t len : {size_t(64), size_t(100)}) {
    SCOPED_TRACE(len);
    d.outputs.clear();
    const Bytes frame = FrameV2(len);
    EXPECT_EQ(m_dev.WriteRawReports(frame.data(), static_cast<DWORD>(len)), 1);
    ASSERT_EQ(d.outputs.size(), (len + 63) / 64);
    Bytes sent;
    for (const auto& o : d.outputs) {
      ASSERT_EQ(o.bytes.size(), 64u);
      sent.insert(sent.end(), o.bytes.begin(), o.bytes.end());
    }
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + len), frame);
    EXPECT_EQ(Bytes(sent.begin() + len, sent.end()), Bytes(sent.size() - len, 0));
  }
}

TEST_F(HidExchangeTest, TaggedRequestsCarry63BytesBehindTheirTag) {
  FakeHidDevice& d = OpenDevice(64, 64, 0);
  struct Row {
    size_t len;
    std::vector<int> tags, payloads;
  };
  const Row rows[] = {{16, {1}, {16}},
                      {63, {1}, {63}},
                      {64, {2, 4}, {63, 1}},
                      {127, {2, 3, 4}, {63, 63, 1}},
                      {200, {2, 3, 3, 4}, {63, 63, 63, 11}}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.len);
    d.outputs.clear();
    const Bytes frame = FrameV2(r.len);
    EXPECT_EQ(m_dev.WriteTaggedReports(frame.data(), static_cast<DWORD>(r.len), kTimeout, nullptr), r.len);
    ASSERT_EQ(d.outputs.size(), r.tags.size());
    size_t off = 0;
    for (size_t i = 0; i < r.tags.size(); ++i) {
      const Report& o = d.outputs[i].bytes;
      ASSERT_EQ(o.size(), 64u);
      EXPECT_EQ(o[0], r.tags[i]);
      EXPECT_TRUE(std::equal(o.begin() + 1, o.begin() + 1 + r.payloads[i], frame.begin() + off));
      EXPECT_EQ(Bytes(o.begin() + 1 + r.payloads[i], o.end()), Bytes(63 - r.payloads[i], 0));
      off += r.payloads[i];
    }
  }
}

TEST_F(HidExchangeTest, TheFlagChoosesBetweenRawAndTaggedFor64ByteReports) {
  FakeHidDevice& d = OpenDevice(64, 64, 8);
  const Bytes frame = FrameV2(64);
  m_dev.SetTaggedReports(0);
  Exchange(frame, 512, nullptr, 100);
  ASSERT_EQ(d.outputs.size(), 1u);
  EXPECT_EQ(d.outputs[0].bytes, Report(frame.begin(), frame.end()));
  d.outputs.clear();
  m_dev.SetTaggedReports(1);
  Exchange(frame, 512, nullptr, 100);
  ASSERT_EQ(d.outputs.size(), 2u);
  EXPECT_EQ(d.outputs[0].bytes[0], 2);
  EXPECT_EQ(d.outputs[1].bytes[0], 4);
}

TEST_F(HidExchangeTest, CountedRequestsCarryACountByte) {
  FakeHidDevice& d = OpenDevice(65, 65, 0);
  struct Row {
    size_t len;
    std::vector<int> counts;
  };
  const Row rows[] = {{16, {0x10}}, {63, {0x3F}}, {64, {0xBF, 0x01}}, {127, {0xBF, 0xBF, 0x01}}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.len);
    d.outputs.clear();
    const Bytes frame = FrameV2(r.len);
    EXPECT_EQ(m_dev.WriteCountedReports(frame.data(), static_cast<DWORD>(r.len)), 1);
    ASSERT_EQ(d.outputs.size(), r.counts.size());
    Bytes sent;
    for (size_t i = 0; i < r.counts.size(); ++i) {
      const Report& o = d.outputs[i].bytes;
      ASSERT_EQ(o.size(), 65u);
      EXPECT_EQ(o[0], 0);
      EXPECT_EQ(o[1], r.counts[i]);
      sent.insert(sent.end(), o.begin() + 2, o.begin() + 2 + (o[1] & 0x7F));
    }
    EXPECT_EQ(sent, frame);
  }
}

TEST_F(HidExchangeTest, FeatureRequestsArePacedAndSucceedWhateverTheDeviceSays) {
  FakeHidDevice& d = OpenDevice(0, 0, 8);
  const Bytes frame = FrameV2(20);
  d.FailNth(fakehid::Op::SetFeature, 2, plat::HidIo::Error);
  EXPECT_EQ(m_dev.WriteFeatureReports(frame.data(), 20, &CountingCallback), 20u);
  ASSERT_EQ(d.setFeatures.size(), 2u);  // the failed one is not recorded by the device
  EXPECT_EQ(g_callbacks, 3);
  d.setFeatures.clear();
  EXPECT_EQ(m_dev.WriteFeatureReports(frame.data(), 20, nullptr), 20u);
  ASSERT_EQ(d.setFeatures.size(), 3u);
  Bytes sent;
  for (const auto& s : d.setFeatures) {
    ASSERT_EQ(s.bytes.size(), 8u);
    EXPECT_EQ(s.bytes[0], 0);
    sent.insert(sent.end(), s.bytes.begin() + 1, s.bytes.end());
  }
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 20), frame);
  EXPECT_EQ(sent[20], 0);
  // 5 ms after every report, 25 more after the last.
  EXPECT_EQ(d.setFeatures[1].atMs - d.setFeatures[0].atMs, 5u);
  const std::uint64_t t0 = Now();
  m_dev.WriteFeatureReports(frame.data(), 20, nullptr);
  EXPECT_EQ(Now() - t0, 3 * 5 + 25u);
}

TEST_F(HidExchangeTest, FeatureRequestsNeedFeatureReports) {
  OpenDevice(0, 0, 8);
  m_dev.m_caps.FeatureReportByteLength = 0;
  EXPECT_EQ(m_dev.WriteFeatureReports(m_ping.data(), 16, nullptr), 0u);
  // A 1-byte feature report carries no frame bytes at all: refused rather than looping.
  m_dev.m_caps.FeatureReportByteLength = 1;
  EXPECT_EQ(m_dev.WriteFeatureReports(m_ping.data(), 16, nullptr), 0u);
}

// ---- tagged responses ----

TEST_F(HidExchangeTest, TaggedResponsesOfEverySize) {
  FakeHidDevice& d = OpenDevice(64, 64, 0);
  m_dev.SetTaggedReports(1);
  for (bool v3 : {false, true}) {
    for (size_t len : {size_t(17), size_t(63), size_t(64), size_t(127), size_t(512)}) {
      SCOPED_TRACE(testing::Message() << (v3 ? "V3 " : "V2 ") << len);
      const Bytes frame = v3 ? FrameV3(len) : FrameV2(len);
      AnswerTagged(d, frame);
      MakeBuffer(512);
      ASSERT_EQ(Exchange(m_ping), len);
      EXPECT_EQ(Received(static_cast<DWORD>(len)), frame);
      EXPECT_EQ(m_dev.m_nFrameOverhead, v3 ? 17 : 16);
      EXPECT_EQ(m_dev.m_nStatusIdx, v3 ? 13 : 12);
      EXPECT_TRUE(GuardIntact());
    }
  }
}

TEST_F(HidExchangeTest, TaggedReportsOutOfOrderAreThrownAway) {
  FakeHidDevice& d = OpenDevice(64, 64, 0);
  const Bytes frame = FrameV2(64);
  const auto parts = TaggedReports(frame);  // tags 2, 4
  Report stray3 = parts[0];
  stray3[0] = 3;
  Report stray1 = TaggedReports(FrameV2(20, 0x77))[0];
  // A middle report before any first one, then a whole-frame report in the
  // middle of a frame: both are dropped and the frame still comes through.
  d.QueueInputs({stray3, parts[0], stray1, parts[1]});
  MakeBuffer(512);
  DWORD n = 512;
  m_dev.ReadTaggedFrame(m_resp.data(), &n, kTimeout, nullptr);
  EXPECT_EQ(n, 64u);
  EXPECT_EQ(Received(64), frame);
  EXPECT_EQ(d.reads, 4);
}

TEST_F(HidExchangeTest, TaggedFramesThatCannotBeTakenWholeGiveNoResponse) {
  FakeHidDevice& d = OpenDevice(64, 64, 0);
  struct Row {
    const char* name;
    std::vector<Report> reports;
    DWORD cap;
  };
  auto announce = [](Report r, int len) {  // rewrites the V2 length field
    r[13] = static_cast<BYTE>((len - 16) >> 8);
    r[14] = static_cast<BYTE>((len - 16) & 0xFF);
    return r;
  };
  const auto f127 = TaggedReports(FrameV2(127));
  const std::vector<Row> rows = {
      {"tag 1 longer than the capacity", TaggedReports(FrameV2(60)), 59},
      {"tag 2 longer than the capacity", f127, 126},
      {"tag 1 announcing more than one report holds", {announce(TaggedReports(FrameV2(60))[0], 100)}, 512},
      {"tag 4 after 2 when a middle report is due", {f127[0], f127[2]}, 512},
      {"tag 2 on a frame too short for the capacity left", {announce(f127[0], 40)}, 50},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    m_dev.SetV2Layout();
    d.QueueInputs(r.reports);
    MakeBuffer(r.cap, 0x11);
    DWORD n = r.cap;
    const int readsBefore = d.reads;
    m_dev.ReadTaggedFrame(m_resp.data(), &n, kTimeout, nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(GuardIntact());
    // The read ends at the report that gave the frame away, without waiting.
    EXPECT_LE(d.reads - readsBefore, static_cast<int>(r.reports.size()));
    d.ClearInputs();
  }
}

TEST_F(HidExchangeTest, ATag1FrameTooLongCopiesNothing) {
  FakeHidDevice& d = OpenDevice(64, 64, 0);
  d.QueueInputs(TaggedReports(FrameV2(60)));
  MakeBuffer(40, 0x11);
  DWORD n = 40;
  m_dev.ReadTaggedFrame(m_resp.data(), &n, kTimeout, nullptr);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(Received(40), Bytes(40, 0x11));
}

TEST_F(HidExchangeTest, AnEndlessStreamOfReportsIsLetGo) {
  FakeHidDevice& d = OpenDevice(64, 64, 0);
  struct Row {
    const char* name;
    BYTE tag;
  };
  // Middle reports that never follow a first one, and an unknown tag (taken,
  // after which no known tag is taken any more): neither stream ever ends.
  for (const Row& r : {Row{"middle reports only", 3}, Row{"unknown tag", 9}}) {
    SCOPED_TRACE(r.name);
    d.reads = 0;
    d.inputSource = [&r](Report* out) {
      *out = Report(64, 0x20);
      (*out)[0] = r.tag;
      return true;
    };
    MakeBuffer(4096);
    DWORD n = 4096;
    m_dev.ReadTaggedFrame(m_resp.data(), &n, kTimeout, nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_LE(d.reads, 200);
    EXPECT_TRUE(GuardIntact());
  }
  // An endless frame: a first report announcing the largest frame and
  // middle reports without end. The 4096-byte limit ends it.
  Report first = TaggedReports(FrameV2(4000))[0];
  bool sentFirst = false;
  d.reads = 0;
  d.inputSource = [&](Report* out) {
    *out = sentFirst ? Report(64, 0x33) : first;
    if (sentFirst) (*out)[0] = 3;
    sentFirst = true;
    return true;
  };
  MakeBuffer(8192);
  DWORD n = 8192;
  m_dev.ReadTaggedFrame(m_resp.data(), &n, kTimeout, nullptr);
  EXPECT_EQ(n, 0u);
  EXPECT_LE(d.reads, 66);
}

TEST_F(HidExchangeTest, ASilentReaderHoldsATaggedReadForItsTimeOut) {
  OpenDevice(64, 64, 0);
  m_dev.SetTaggedReports(1);
  MakeBuffer(512);
  EXPECT_EQ(Exchange(m_ping), 0u);
  EXPECT_GE(Elapsed(), kTimeout - 1);
  EXPECT_LE(Elapsed(), kTimeout + 10);
}

TEST_F(HidExchangeTest, TheCallbackRunsEveryPassAndCanEndTheTransfer) {
  FakeHidDevice& d = OpenDevice(64, 64, 0);
  BYTE report[64];
  DWORD len = 64;
  // Blocking passes are short while a callback is given: a 1-second silence
  // calls it about a hundred times.
  EXPECT_EQ(m_dev.ReadReportTimed(report, &len, 1000, &CountingCallback), 0);
  EXPECT_GE(g_callbacks, 50);
  EXPECT_LE(g_callbacks, 101);

  g_callbacks = 0;
  g_stopAtCall = 3;
  len = 64;
  const std::uint64_t t0 = Now();
  EXPECT_EQ(m_dev.ReadReportTimed(report, &len, kTimeout, &CountingCallback), 0);
  EXPECT_EQ(g_callbacks, 3);
  EXPECT_LT(Now() - t0, 100u);

  // The same for writes: a callback that says stop ends the write before it starts.
  g_callbacks = 0;
  g_stopAtCall = 1;
  Report r(64, 1);
  EXPECT_EQ(m_dev.WriteReportTimed(r.data(), 64, kTimeout, &CountingCallback), 0u);
  EXPECT_TRUE(d.outputs.empty());
}

TEST_F(HidExchangeTest, ReportTimingAtTheEdgeOfTheTimeOut) {
  FakeHidDevice& d = OpenDevice(64, 64, 0);
  BYTE report[64];
  DWORD len = 64;
  // A report that arrives in the pass that uses the time up still counts.
  d.QueueInput(TaggedReports(m_ping)[0], Now() + 1000);
  EXPECT_EQ(m_dev.ReadReportTimed(report, &len, 1000, nullptr), 1);
  EXPECT_EQ(len, 64u);
  // Only reports of exactly 64 bytes are written.
  EXPECT_EQ(m_dev.WriteReportTimed(report, 65, kTimeout, nullptr), 0u);
  EXPECT_EQ(m_dev.WriteReportTimed(report, 64, kTimeout, nullptr), 64u);
  // A write that stays pending runs until its time is up.
  d.FailNth(fakehid::Op::Write, 1, plat::HidIo::Timeout);
  const std::uint64_t t0 = Now();
  EXPECT_EQ(m_dev.WriteReportTimed(report, 64, 500, nullptr), 0u);
  EXPECT_EQ(Now() - t0, 500u);
  // Transient failures are issued again within the same time.
  d.FailNth(fakehid::Op::Write, 1, plat::HidIo::Retry);
  EXPECT_EQ(m_dev.WriteReportTimed(report, 64, 500, nullptr), 64u);
  d.FailNth(fakehid::Op::Read, 1, plat::HidIo::Retry);
  d.QueueInput(TaggedReports(m_ping)[0]);
  len = 64;
  EXPECT_EQ(m_dev.ReadReportTimed(report, &len, 500, nullptr), 1);
}

// ---- counted responses ----

TEST_F(HidExchangeTest, CountedResponsesOfEverySize) {
  FakeHidDevice& d = OpenDevice(65, 65, 0);
  for (size_t len : {size_t(16), size_t(63), size_t(64), size_t(127), size_t(500)}) {
    SCOPED_TRACE(len);
    const Bytes frame = FrameV2(len);
    AnswerCounted(d, frame);
    MakeBuffer(512);
    ASSERT_EQ(Exchange(m_ping), len);
    EXPECT_EQ(Received(static_cast<DWORD>(len)), frame);
    EXPECT_TRUE(GuardIntact());
  }
}

TEST_F(HidExchangeTest, CountBytesSayHowMuchAndWhetherMoreFollows) {
  FakeHidDevice& d = OpenDevice(65, 65, 0);
  auto counted = [](BYTE count, BYTE fill) {
    Report r(65, fill);
    r[0] = 0;
    r[1] = count;
    return r;
  };
  // 0x85: five bytes and more to come; 0x05: five bytes and the end.
  d.QueueInputs({counted(0x85, 0x01), counted(0x05, 0x02)});
  MakeBuffer(512);
  EXPECT_EQ(m_dev.ReadCountedReports(m_resp.data(), 512, 512), 10u);
  EXPECT_EQ(Received(10), (Bytes{1, 1, 1, 1, 1, 2, 2, 2, 2, 2}));
  EXPECT_EQ(d.reads, 2);
  EXPECT_EQ(Elapsed(), 0u);

  // Counts above 63 never take more than the report holds.
  d.QueueInputs({counted(0xFF, 0x04), counted(0x7F, 0x05)});
  MakeBuffer(512);
  EXPECT_EQ(m_dev.ReadCountedReports(m_resp.data(), 512, 512), 126u);
  EXPECT_EQ(m_resp[62], 0x04);
  EXPECT_EQ(m_resp[63], 0x05);

  // More than the capacity: what fits is kept, nothing beyond.
  d.QueueInputs(CountedReports(FrameV2(300)));
  MakeBuffer(100);
  EXPECT_EQ(m_dev.ReadCountedReports(m_resp.data(), 100, 100), 100u);
  EXPECT_TRUE(GuardIntact());
}

TEST_F(HidExchangeTest, CountedReadGivesUpAfterFiveMisses) {
  FakeHidDevice& d = OpenDevice(65, 65, 0);
  auto counted = [](BYTE count) {
    Report r(65, 0x42);
    r[0] = 0;
    r[1] = count;
    return r;
  };
  // Silence: five waits of W, with 50 ms after each of the first four.
  MakeBuffer(512);
  EXPECT_EQ(m_dev.ReadCountedReports(m_resp.data(), 512, 512), 0u);
  EXPECT_EQ(Elapsed(), 5 * 512 + 4 * 50u);
  EXPECT_EQ(d.reads, 5);

  // Reports without payload (count 0, or just the "more" bit) are misses
  // too; a report with payload in between starts the count again.
  d.reads = 0;
  d.QueueInputs({counted(0x00), counted(0x80), counted(0x83), counted(0x80), counted(0x00), counted(0x80),
                 counted(0x00), counted(0x80)});
  EXPECT_EQ(m_dev.ReadCountedReports(m_resp.data(), 512, 512), 3u);
  EXPECT_EQ(d.reads, 8);
}

TEST_F(HidExchangeTest, ACountedReadEndsOnAStopRequest) {
  FakeHidDevice& d = OpenDevice(65, 65, 0);
  d.onOutput = [](const Report&) { plat::Stop().Request(); };
  MakeBuffer(4096);
  EXPECT_EQ(Exchange(m_ping, 4096), 0u);
  EXPECT_LT(Elapsed(), 4096u);
}

// ---- write failures ----

TEST_F(HidExchangeTest, AFailedCountedWriteClosesTheHandle) {
  for (plat::HidIo failure : {plat::HidIo::Error, plat::HidIo::Timeout, plat::HidIo::Gone}) {
    SCOPED_TRACE(static_cast<int>(failure));
    FakeHidBackend backend;
    plat::ScopedHidBackend use(backend);
    FakeHidDevice& d = backend.AddDevice(kVid, kPid, 65, 65, 0);
    CHidDevice dev;
    ASSERT_TRUE(dev.Open(kVid, kPid));
    d.FailNth(fakehid::Op::Write, 2, failure);
    const Bytes frame = FrameV2(100);
    Bytes resp(512, 0);
    EXPECT_EQ(dev.SendAndGetResponseUSBHID(frame.data(), 100, resp.data(), 512, kTimeout, nullptr), 0u);
    EXPECT_FALSE(dev.IsOpen());
    EXPECT_EQ(d.openHandles, 0);
    // Identity, mode and events stay; the next exchange fails at once.
    EXPECT_EQ(dev.m_nVendorID, kVid);
    EXPECT_EQ(dev.m_nReportMode, 0);
    EXPECT_NE(dev.m_hIoEvent, nullptr);
    const int writes = d.writes;
    const std::uint64_t t0 = Now();
    EXPECT_EQ(dev.SendAndGetResponseUSBHID(frame.data(), 100, resp.data(), 512, kTimeout, nullptr), 0u);
    EXPECT_EQ(d.writes, writes);
    EXPECT_EQ(Now(), t0);
    // Open searches again, since no device is open.
    EXPECT_TRUE(dev.Open(kVid, kPid));
  }
}

TEST_F(HidExchangeTest, AnExchangeWhoseWriteFailsLeavesTheResponseAlone) {
  struct Row {
    const char* name;
    int in, out;
    BYTE tagged;
    plat::HidIo failure;
    size_t len;
  };
  const Row rows[] = {
      {"raw write left pending", 64, 64, 0, plat::HidIo::Timeout, 16},
      {"tagged write failing", 64, 64, 1, plat::HidIo::Error, 16},
      {"tagged write failing on its second report", 64, 64, 1, plat::HidIo::Gone, 127},
      {"counted write failing", 65, 65, 0, plat::HidIo::Error, 16},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    FakeHidBackend backend;
    plat::ScopedHidBackend use(backend);
    FakeHidDevice& d = backend.AddDevice(kVid, kPid, r.in, r.out, 0);
    CHidDevice dev;
    ASSERT_TRUE(dev.Open(kVid, kPid));
    dev.SetTaggedReports(r.tagged);
    d.FailNth(fakehid::Op::Write, r.len > 63 ? 2 : 1, r.failure);
    d.QueueInputs(r.in == 65 ? CountedReports(FrameV2(16)) : TaggedReports(FrameV2(16)));
    const Bytes frame = FrameV2(r.len);
    Bytes resp(512, 0x5A);
    EXPECT_EQ(
        dev.SendAndGetResponseUSBHID(frame.data(), static_cast<DWORD>(r.len), resp.data(), 512, kTimeout, nullptr), 0u);
    EXPECT_EQ(resp, Bytes(512, 0x5A));
    EXPECT_EQ(d.reads, 0);
  }
}

TEST_F(HidExchangeTest, AResponseThatNeverComesLeavesTheStatusMarked) {
  FakeHidDevice& d = OpenDevice(64, 64, 0);
  m_dev.SetTaggedReports(1);
  MakeBuffer(512);
  EXPECT_EQ(Exchange(m_ping, 512, nullptr, 200), 0u);
  EXPECT_EQ(m_resp[10], 0);
  EXPECT_EQ(m_resp[11], 0xFF);
  EXPECT_EQ(m_resp[12], 0xFF);
  EXPECT_EQ(m_resp[13], 0);
  // After a V3 frame the marks move with its status byte.
  AnswerTagged(d, FrameV3(17));
  ASSERT_EQ(Exchange(m_ping), 17u);
  d.onOutput = nullptr;
  MakeBuffer(512);
  EXPECT_EQ(Exchange(m_ping, 512, nullptr, 200), 0u);
  EXPECT_EQ(m_resp[11], 0);
  EXPECT_EQ(m_resp[12], 0xFF);
  EXPECT_EQ(m_resp[13], 0xFF);
  // A capacity too small for the marks gets only what fits.
  MakeBuffer(12);
  EXPECT_EQ(Exchange(m_ping, 12, nullptr, 200), 0u);
  EXPECT_TRUE(GuardIntact());
}

// ---- feature responses ----

class HidFeatureTest : public HidExchangeTest {
 protected:
  HidFeatureTest() : d(OpenDevice(0, 0, 8)) {}
  FakeHidDevice& d;
};

TEST_F(HidFeatureTest, AV2FrameWith20DataBytesTakesSixReports) {
  const Bytes frame = FrameV2(36);
  for (const Report& r : FeatureReports(frame, 8)) d.QueueFeature(r);
  MakeBuffer(512);
  EXPECT_EQ(Exchange(m_ping), 36u);
  EXPECT_EQ(d.getFeatures, 6);
  EXPECT_EQ(Received(36), frame);
  EXPECT_EQ(m_dev.m_nHdrBase, 10);
  EXPECT_EQ(m_dev.m_nStatusIdx, 11);
}

TEST_F(HidFeatureTest, AV3FrameWith20DataBytesGives37) {
  const Bytes frame = FrameV3(37);
  for (const Report& r : FeatureReports(frame, 8)) d.QueueFeature(r);
  MakeBuffer(512);
  EXPECT_EQ(m_dev.ReadFeatureFrame(m_resp.data(), 512, 0, nullptr), 37);
  EXPECT_EQ(d.getFeatures, 6);
  EXPECT_EQ(m_dev.m_nStatusIdx, 12);
  EXPECT_EQ(Received(37), frame);
}

TEST_F(HidFeatureTest, AllZeroReportsGive16AfterThree) {
  MakeBuffer(512, 0x77);
  EXPECT_EQ(m_dev.ReadFeatureFrame(m_resp.data(), 512, 0, &CountingCallback), 16);
  EXPECT_EQ(d.getFeatures, 3);
  EXPECT_EQ(g_callbacks, 3);
  EXPECT_EQ(Received(21), Bytes(21, 0));
  EXPECT_EQ(m_resp[21], 0);  // the whole capacity was cleared first
  // Once a frame has set the layout in feature mode, the header is looked
  // for after two reports (14 bytes) instead of three.
  const Bytes frame = FrameV2(16);
  const auto reports = FeatureReports(frame, 8);
  d.getFeatures = 0;
  for (const Report& r : reports) d.QueueFeature(r);
  EXPECT_EQ(m_dev.ReadFeatureFrame(m_resp.data(), 512, 0, nullptr), 16);
  EXPECT_EQ(d.getFeatures, 3);
}

TEST_F(HidFeatureTest, AFrameLongerThanTheCapacityIsNoResponse) {
  const Bytes frame = FrameV2(200);
  for (const Report& r : FeatureReports(frame, 8)) d.QueueFeature(r);
  MakeBuffer(50);
  EXPECT_EQ(m_dev.ReadFeatureFrame(m_resp.data(), 50, 0, nullptr), 0);
  EXPECT_EQ(d.getFeatures, 8);  // ceil(50 / 7): the loop ends at the capacity
  EXPECT_EQ(Received(50), Bytes(frame.begin(), frame.begin() + 50));
  EXPECT_TRUE(GuardIntact());
}

TEST_F(HidFeatureTest, TinyCapacitiesStayInsideTheBuffer) {
  for (DWORD cap : {1u, 5u, 8u, 9u, 13u, 14u}) {
    SCOPED_TRACE(cap);
    for (const Report& r : FeatureReports(FrameV3(17), 8)) d.QueueFeature(r);
    MakeBuffer(cap);
    EXPECT_EQ(m_dev.ReadFeatureFrame(m_resp.data(), cap, 0, nullptr), 0);
    EXPECT_TRUE(GuardIntact());
    d.ClearFeatures();
  }
}

TEST_F(HidFeatureTest, AStopRequestEndsTheFeatureRead) {
  // A device that announces the largest frame and then trickles bytes.
  Report first = FeatureReports(FrameV2(20), 8)[0];
  Report second = FeatureReports(FrameV2(20), 8)[1];
  second[6] = 0xFF;  // length high byte (frame byte 12)
  second[7] = 0xFF;
  d.QueueFeature(first);
  d.QueueFeature(second);
  d.onGetFeature = [this](size_t len) {
    if (d.getFeatures == 10) plat::Stop().Request();
    return Report(len, 0x01);
  };
  MakeBuffer(4096);
  EXPECT_EQ(m_dev.ReadFeatureFrame(m_resp.data(), 4096, 0, nullptr), 0);
  EXPECT_EQ(d.getFeatures, 10);
}

TEST_F(HidFeatureTest, AFeatureExchangeRoundTrip) {
  const Bytes answer = FrameV2(30, 0x18);
  d.onSetFeature = [&](const Report&) {
    if (d.setFeatures.size() == 3) {
      for (const Report& r : FeatureReports(answer, 8)) d.QueueFeature(r);
    }
  };
  MakeBuffer(512);
  EXPECT_EQ(Exchange(FrameV2(20, 0x18)), 30u);
  EXPECT_EQ(Received(30), answer);
  EXPECT_TRUE(IsRespOk(m_resp.data(), 0x18));
}

}  // namespace
