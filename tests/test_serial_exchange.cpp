// CRs232Port::SendRecvFrame over the fake serial line, in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "link/frame.h"
#include "platform/pump.h"
#include "platform/stop.h"
#include "support/fake_serial.h"
#include "support/virtual_time.h"
#include "transport/rs232_port.h"

namespace {

const char* const kDefCom1 = "\\\\.\\COM1/baud=115200/parity=N/stop=1/data=8";
constexpr DWORD kGuard = 64;
constexpr BYTE kFill = 0xEE;

// The wait callback: records each wait and lets virtual time pass through
// the thread's pump, as the tool's own wait does. It can raise a stop
// request at a chosen wait.
std::vector<DWORD> g_waits;
std::size_t g_stopAtWait = 0;  // 1-based; 0: never

void RecordingWait(DWORD dwMs, BOOL bPing) {
  EXPECT_FALSE(bPing);
  g_waits.push_back(dwMs);
  if (g_waits.size() == g_stopAtWait) plat::Stop().Request();
  plat::ThreadPump().WaitUntil(plat::NowMs() + dwMs);
}

std::vector<BYTE> Join(std::vector<BYTE> a, const std::vector<BYTE>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
std::vector<BYTE> Slice(const std::vector<BYTE>& v, std::size_t from, std::size_t to) {
  return std::vector<BYTE>(v.begin() + from, v.begin() + std::min(to, v.size()));
}
std::vector<BYTE> Noise(std::size_t n) {
  std::vector<BYTE> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(0x30 + i % 7);  // never 'K'
  return v;
}
std::vector<BYTE> Data(std::size_t n) {
  std::vector<BYTE> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(i * 7 + 1);
  return v;
}
std::vector<BYTE> Response(std::size_t dataLen, CrcOrder order = CrcOrder::HighFirst) {
  return MakeFrame(0x18, 0x00, Data(dataLen), order);
}
std::size_t CountOf(const std::vector<DWORD>& v, DWORD x) { return std::count(v.begin(), v.end(), x); }

struct Arrival {
  std::uint64_t afterWriteMs;
  std::vector<BYTE> bytes;
};

class SerialExchangeTest : public VirtualTimeTest {
 protected:
  SerialExchangeTest() {
    g_waits.clear();
    g_stopAtWait = 0;
    EXPECT_EQ(g_Rs232Port.Open(kDefCom1), TRUE);
  }
  ~SerialExchangeTest() override {
    g_Rs232Port.Close();
    g_stopAtWait = 0;
  }

  struct Result {
    DWORD len;
    std::vector<BYTE> resp;
    std::uint64_t elapsed;
  };

  // One exchange of m_req with a response buffer of `capacity` bytes; fails
  // the test when anything is written past the capacity.
  Result Exchange(DWORD capacity = 512, DWORD timeout = 65000) {
    std::vector<BYTE> buf(capacity + kGuard, kFill);
    DWORD len = capacity;
    const std::uint64_t t0 = Now();
    g_Rs232Port.SendRecvFrame(m_req.data(), static_cast<DWORD>(m_req.size()), buf.data(), &len, timeout,
                              RecordingWait);
    for (std::size_t i = capacity; i < buf.size(); ++i) EXPECT_EQ(buf[i], kFill) << "written past capacity at " << i;
    buf.resize(capacity);
    return {len, buf, Now() - t0};
  }

  // The reader answers once, when the whole request is in, with these chunks.
  void AnswerWith(std::vector<Arrival> chunks) {
    m_com1.OnWrite([this, chunks](const std::vector<BYTE>&) {
      if (m_answered || m_com1.WrittenBytes().size() < m_req.size()) return;
      m_answered = true;
      for (const auto& c : chunks) m_com1.ArriveAfter(c.afterWriteMs, c.bytes);
    });
  }

  FakeSerial m_serial;
  FakeSerialPort& m_com1 = m_serial.AddPort("COM1");
  std::vector<BYTE> m_req = MakeFrame(0x18, 0x01);
  bool m_answered = false;
};

TEST_F(SerialExchangeTest, PlainAnswerSpends400MsInWaits) {
  const auto resp = Response(5);
  AnswerWith({{20, resp}});
  const Result r = Exchange();
  EXPECT_EQ(r.len, resp.size());
  EXPECT_TRUE(std::equal(resp.begin(), resp.end(), r.resp.begin()));
  EXPECT_EQ(m_com1.WrittenBytes(), m_req);
  EXPECT_EQ(g_waits, (std::vector<DWORD>{100, 100, 100, 100}));
}

// However the bytes are chunked, a valid V2 frame is found and completed.
TEST_F(SerialExchangeTest, FindsTheFrameWhateverTheChunking) {
  const auto resp = Response(8);
  struct Row {
    const char* name;
    std::vector<Arrival> chunks;
    std::vector<BYTE> frame;
  } rows[] = {
      {"3 bytes of noise before the header", {{20, Join(Noise(3), resp)}}, resp},
      {"CRC low byte first", {{20, Response(8, CrcOrder::LowFirst)}}, Response(8, CrcOrder::LowFirst)},
      {"a read of noise alone first", {{20, Noise(40)}, {1000, resp}}, resp},
      {"10 bytes, then the rest", {{20, Slice(resp, 0, 10)}, {1000, Slice(resp, 10, 99)}}, resp},
      {"header split across reads after noise",
       {{20, Join(Noise(5), Slice(resp, 0, 6))}, {1000, Slice(resp, 6, 99)}},
       resp},
      {"header that ends a read", {{20, Join(Noise(3), Slice(resp, 0, 10))}, {1000, Slice(resp, 10, 99)}}, resp},
      {"noise filling the seek buffer, header split at its end",
       {{20, Join(Noise(250), Slice(resp, 0, 6))}, {1000, Slice(resp, 6, 99)}},
       resp},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    m_answered = false;
    g_waits.clear();
    AnswerWith(row.chunks);
    const Result r = Exchange();
    ASSERT_EQ(r.len, row.frame.size());
    EXPECT_TRUE(std::equal(row.frame.begin(), row.frame.end(), r.resp.begin()));
    EXPECT_EQ(CountOf(g_waits, 200), 0u) << "no step failed";
  }
}

TEST_F(SerialExchangeTest, WrongCrcFailsAfterFiveChecksWith300MsEach) {
  auto bad = Response(4);
  bad[bad.size() - 1] ^= 0x5A;
  AnswerWith({{20, bad}});
  const Result r = Exchange();
  EXPECT_EQ(r.len, 0u);
  // Write (100, 100), header found (100), then five failed checks.
  EXPECT_EQ(g_waits, (std::vector<DWORD>{100, 100, 100, 200, 100, 200, 100, 200, 100, 200, 100, 200, 100}));
  EXPECT_LT(r.elapsed, 65000u);
  // What was gathered stays in the caller's buffer.
  EXPECT_TRUE(std::equal(bad.begin(), bad.end(), r.resp.begin()));
}

TEST_F(SerialExchangeTest, SilenceLastsTheWholeDeadline) {
  for (DWORD timeout : {65000u, 1000u}) {
    SCOPED_TRACE(timeout);
    g_waits.clear();
    const Result r = Exchange(512, timeout);
    EXPECT_EQ(r.len, 0u);
    EXPECT_GE(r.elapsed, timeout);
    EXPECT_LE(r.elapsed, timeout + 300u);  // ends within one pass of the deadline
    EXPECT_EQ(CountOf(g_waits, 200), 0u) << "empty reads are no errors";
  }
}

TEST_F(SerialExchangeTest, V3FrameIsNeverFound) {
  const auto v3 = MakeFrameV3(0x18, 0x00, Data(4));
  AnswerWith({{20, v3}, {3000, v3}, {6000, Join(Noise(2), v3)}});
  const Result r = Exchange();
  EXPECT_EQ(r.len, 0u);
  EXPECT_GE(r.elapsed, 65000u);
}

// The caller's capacity (at most 512) bounds what is stored; a frame that
// does not fit is never completed.
TEST_F(SerialExchangeTest, CapacityBoundsTheResponse) {
  struct Row {
    DWORD capacity;
    std::size_t frameLen;
    bool completes;
  } rows[] = {
      {128, 100, true}, {128, 128, true}, {128, 129, false}, {64, 100, false}, {2000, 240, true}, {16, 16, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "capacity " << row.capacity << ", frame " << row.frameLen);
    m_answered = false;
    g_waits.clear();
    const auto resp = Response(row.frameLen - 16);
    AnswerWith({{20, resp}});
    const Result r = Exchange(row.capacity);
    if (row.completes) {
      EXPECT_EQ(r.len, row.frameLen);
    } else {
      EXPECT_EQ(r.len, 0u);
      EXPECT_EQ(CountOf(g_waits, 200), 5u) << "ends after five failed checks";
      EXPECT_TRUE(std::equal(r.resp.begin(), r.resp.end(), resp.begin())) << "holds the first bytes";
    }
  }
}

TEST_F(SerialExchangeTest, ClosedPortAnswersNothingAtOnce) {
  g_Rs232Port.Close();
  const Result r = Exchange();
  EXPECT_EQ(r.len, 0u);
  EXPECT_EQ(r.elapsed, 0u);
  EXPECT_TRUE(g_waits.empty());
  EXPECT_TRUE(m_com1.Writes().empty());
}

TEST_F(SerialExchangeTest, WriteFailuresEndTheExchangeAfterFive) {
  m_com1.FailCall(SerialOp::kWrite, 1, EIO, 5);
  const Result r = Exchange();
  EXPECT_EQ(r.len, 0u);
  EXPECT_EQ(m_com1.Calls(SerialOp::kWrite), 5);
  EXPECT_EQ(g_waits, (std::vector<DWORD>{200, 100, 200, 100, 200, 100, 200, 100, 200, 100}));
  EXPECT_EQ(r.elapsed, 1500u);
}

TEST_F(SerialExchangeTest, PartialWriteContinuesWhereItStopped) {
  m_com1.SetWriteLimit(10);
  const auto resp = Response(2);
  AnswerWith({{20, resp}});
  const Result r = Exchange();
  EXPECT_EQ(r.len, resp.size());
  const auto writes = m_com1.Writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].bytes.size(), 10u);
  EXPECT_EQ(m_com1.WrittenBytes(), m_req);
  EXPECT_GE(writes[1].atMs - writes[0].atMs, 5000u) << "the short write lasted its time-out";
}

// Four failed reads while seeking, then the header: the count starts again,
// so one more failed check while collecting does not end the exchange.
TEST_F(SerialExchangeTest, FindingTheHeaderResetsTheErrorCount) {
  const auto resp = Response(6);
  m_com1.FailCall(SerialOp::kRead, m_com1.Calls(SerialOp::kRead) + 1, EIO, 4);
  AnswerWith({{1000, Slice(resp, 0, 12)}, {2500, Slice(resp, 12, 99)}});
  const Result r = Exchange();
  EXPECT_EQ(r.len, resp.size());
  EXPECT_GE(CountOf(g_waits, 200), 5u) << "five or more failed steps in all";
}

TEST_F(SerialExchangeTest, ReadFailuresEndTheExchangeAfterFive) {
  m_com1.FailCall(SerialOp::kRead, m_com1.Calls(SerialOp::kRead) + 1, EIO, 1000);
  AnswerWith({{20, Response(2)}});
  const Result r = Exchange();
  EXPECT_EQ(r.len, 0u);
  EXPECT_EQ(CountOf(g_waits, 200), 5u);
  EXPECT_LT(r.elapsed, 5000u);
}

// A stop request ends the exchange at its next step, whatever phase it is
// in, with no frame and no further I/O.
TEST_F(SerialExchangeTest, StopRequestEndsTheExchange) {
  const auto resp = Response(6);
  struct Row {
    const char* name;
    std::size_t stopAtWait;
  } rows[] = {{"after the write", 1}, {"before seeking", 2}, {"after the header", 3}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    plat::Stop().Clear();
    g_Rs232Port.Close();  // reopen: the purge drops what the last row left unread
    ASSERT_EQ(g_Rs232Port.Open(kDefCom1), TRUE);
    m_answered = false;
    g_waits.clear();
    g_stopAtWait = row.stopAtWait;
    AnswerWith({{20, Slice(resp, 0, 12)}, {5000, Slice(resp, 12, 99)}});
    const int readsBefore = m_com1.Calls(SerialOp::kRead);
    const Result r = Exchange();
    EXPECT_EQ(r.len, 0u);
    EXPECT_LT(r.elapsed, 1000u);
    EXPECT_EQ(g_waits.size(), row.stopAtWait + (row.stopAtWait == 1 ? 1u : 0u))
        << "only the waits of the step that saw the stop";
    EXPECT_LE(m_com1.Calls(SerialOp::kRead) - readsBefore, 2);
  }
  plat::Stop().Clear();
  g_stopAtWait = 0;
  // Without a stop, the port completes an exchange again.
  g_Rs232Port.Close();
  ASSERT_EQ(g_Rs232Port.Open(kDefCom1), TRUE);
  m_answered = false;
  AnswerWith({{20, resp}});
  EXPECT_EQ(Exchange().len, resp.size());
}

TEST_F(SerialExchangeTest, StopBeforeTheExchangeWritesNothing) {
  plat::Stop().Request();
  const Result r = Exchange();
  EXPECT_EQ(r.len, 0u);
  EXPECT_TRUE(m_com1.Writes().empty());
  EXPECT_EQ(r.elapsed, 0u);
}

}  // namespace
