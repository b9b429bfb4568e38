// The simulated reader's fronts: the serial byte stream (requests in any
// pieces, with garbage; answers paced at the baud rate) and the four USB HID
// report formats, driven at the report level the way the host sends them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "link/frame.h"
#include "platform/hid_descriptor.h"
#include "platform/posix/hid_sim_client.h"
#include "platform/pump.h"
#include "sim/model/hid_front.h"
#include "sim/model/reader_ids.h"
#include "sim/model/reader_model.h"
#include "sim/model/serial_front.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/sim_hid.h"
#include "support/sim_process.h"
#include "support/sim_serial.h"
#include "support/virtual_time.h"
#include "transport/hid_device.h"
#include "transport/rs232_port.h"

namespace {

constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();

std::vector<BYTE> Cat(std::initializer_list<std::vector<BYTE>> parts) {
  std::vector<BYTE> v;
  for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
  return v;
}

// Splits a received stream into its V2 answers, skipping bytes between them
// the way the tool's header search does.
std::vector<std::vector<BYTE>> Answers(const std::vector<BYTE>& s) {
  std::vector<std::vector<BYTE>> out;
  std::size_t i = 0;
  while (i + 16 <= s.size()) {
    if (!IsFrameHeader(s.data() + i, static_cast<DWORD>(s.size() - i))) {
      ++i;
      continue;
    }
    const int n = CheckRxFrame(s.data() + i, static_cast<DWORD>(s.size() - i));
    if (n <= 0) {
      ++i;
      continue;
    }
    out.emplace_back(s.begin() + static_cast<std::ptrdiff_t>(i), s.begin() + static_cast<std::ptrdiff_t>(i + n));
    i += static_cast<std::size_t>(n);
  }
  return out;
}

std::vector<WORD> Codes(const std::vector<std::vector<BYTE>>& answers) {
  std::vector<WORD> v;
  for (const auto& a : answers) v.push_back(GetRespCode(a.data()));
  return v;
}

class SerialFrontTest : public VirtualTimeTest {};

TEST_F(SerialFrontTest, RequestsInAnyPiecesWithGarbageAreEachAnsweredOnce) {
  const std::vector<BYTE> garbage = {0x00, 'K', 'e', 's', 0xFF, 'K', 'e', 's', 't', 'r', 'u', 'l', 'a', '3', 0x00};
  const auto stream = Cat({garbage,
                           MakeFrame(0x18, 0x01),
                           {0x55, 0xAA},
                           MakeFrame(0x29, 0x04),
                           std::vector<BYTE>(40, 0x00),
                           MakeFrame(0x29, 0x00, {}, CrcOrder::LowFirst),
                           MakeFrame(0xC7, 0x41),
                           garbage});
  const std::vector<WORD> want = {0x1800, 0x2900, 0x2900, 0xC700};
  // Fixed cuts first (byte by byte, header split at every place), then random ones.
  std::vector<std::vector<std::size_t>> cuts = {{1}, {2}, {3}, {7}, {9}, {10}, {11}, {13}, {stream.size()}};
  std::mt19937 rng(5);
  for (int i = 0; i < 200; ++i) {
    std::vector<std::size_t> c;
    for (int j = 0; j < 20; ++j) c.push_back(1 + rng() % 40);
    cuts.push_back(c);
  }
  for (const auto& cut : cuts) {
    ReaderModel m;
    SerialFront front(m);
    std::size_t off = 0, k = 0;
    while (off < stream.size()) {
      const std::size_t n = std::min(cut[k++ % cut.size()], stream.size() - off);
      front.OnReceive(stream.data() + off, n);
      off += n;
    }
    const auto answers = Answers(front.TakeDue(kAll));
    ASSERT_EQ(Codes(answers), want) << "first cut " << cut[0];
    EXPECT_EQ(m.RequestsSeen(), 4);
  }
}

TEST_F(SerialFrontTest, BrokenRequestsDoNotHideTheNextOne) {
  const auto ping = MakeFrame(0x18, 0x01);
  const auto block = MakeFrame(0xC7, 0x03, std::vector<BYTE>(100, 0x4B));
  auto badCrc = MakeFrame(0x29, 0x04);
  badCrc[14] ^= 0x01;
  std::vector<BYTE> huge(ping.begin(), ping.begin() + 14);
  huge[12] = 0x7F;
  struct Row {
    const char* name;
    std::vector<BYTE> stream;
    std::vector<WORD> want;
    const char* note;
  } rows[] = {
      {"truncated header, then a ping",
       Cat({std::vector<BYTE>(ping.begin(), ping.begin() + 12), ping}),
       {0x1800},
       "no answer: data length 19301 too large"},
      {"oversized length, then a ping", Cat({huge, ping}), {0x1800}, "no answer: data length 32512 too large"},
      {"wrong CRC, then a ping", Cat({badCrc, ping}), {0x1800}, "no answer: bad CRC"},
      // The truncated block swallows the pings until its length is in; its CRC
      // then fails and the pings inside it are found.
      {"truncated block, then pings",
       Cat({std::vector<BYTE>(block.begin(), block.begin() + 50), ping, ping, ping, ping, ping}),
       {0x1800, 0x1800, 0x1800, 0x1800, 0x1800},
       "no answer: bad CRC"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ReaderModel m;
    SerialFront front(m);
    front.OnReceive(r.stream.data(), r.stream.size());
    EXPECT_EQ(Codes(Answers(front.TakeDue(kAll))), r.want);
    const auto t = m.Transcript();
    EXPECT_TRUE(std::any_of(t.begin(), t.end(), [&](const TranscriptEntry& e) { return e.text == r.note; }));
  }
}

TEST_F(SerialFrontTest, APartialRequestIsDroppedWhenTheLineGoesQuiet) {
  ReaderModel m;
  SerialFront front(m);
  front.SetInterByteTimeout(500);
  const auto block = MakeFrame(0xC7, 0x03, std::vector<BYTE>(100, 0x11));
  const auto ping = MakeFrame(0x18, 0x01);
  front.OnReceive(block.data(), 50);
  m_clock.Advance(501);
  front.OnReceive(ping.data(), ping.size());
  EXPECT_EQ(Codes(Answers(front.TakeDue(kAll))), std::vector<WORD>{0x1800});
  const auto t = m.Transcript();
  ASSERT_GE(t.size(), 2u);
  EXPECT_EQ(t[1].text, "no answer: truncated frame, 50 of 116 bytes");
}

TEST_F(SerialFrontTest, AnswersKeepTheDelayAndTheWireTime) {
  ReaderConfig cfg;
  cfg.nAnswerDelayMs = 30;
  ReaderModel m(cfg);
  SerialFront front(m, 9600);
  const auto ping = MakeFrame(0x18, 0x01);
  const std::uint64_t t0 = Now();
  front.OnReceive(ping.data(), ping.size());
  front.OnReceive(ping.data(), ping.size());
  // 16 bytes at 9600 baud take 16.67 ms; the second answer follows the first.
  EXPECT_EQ(front.NextDueMs(), t0 + 30 + 2);
  EXPECT_TRUE(front.TakeDue(t0 + 31).empty());
  EXPECT_EQ(front.TakeDue(t0 + 30 + 16).size(), 15u);
  EXPECT_EQ(front.TakeDue(t0 + 30 + 17).size(), 1u);
  EXPECT_EQ(front.TakeDue(t0 + 30 + 33).size(), 15u);
  EXPECT_EQ(front.TakeDue(t0 + 30 + 34).size(), 1u);
  EXPECT_EQ(front.Pending(), 0u);
  EXPECT_EQ(front.NextDueMs(), kAll);

  // Without a baud rate the answer goes out whole at its due time.
  SerialFront fast(m);
  fast.OnReceive(ping.data(), ping.size());
  EXPECT_TRUE(fast.TakeDue(Now() + 29).empty());
  EXPECT_EQ(fast.TakeDue(Now() + 30).size(), 16u);
}

// A reader that runs at one rate answers only requests that came while the
// line was set to it; the others are recorded with why they got nothing.
TEST_F(SerialFrontTest, AnExpectedRateIsAnsweredOnlyWhileTheLineIsSetToIt) {
  struct Row {
    std::uint32_t expect, line;
    const char* note;  // nullptr: answered
  } rows[] = {
      {0, 9600, nullptr},
      {0, 0, nullptr},
      {115200, 115200, nullptr},
      {115200, 9600, "no answer: line at 9600 baud, the reader runs at 115200"},
      {9600, 115200, "no answer: line at 115200 baud, the reader runs at 9600"},
      {9600, 0, "no answer: line at 0 baud, the reader runs at 9600"},
  };
  const auto ping = MakeFrame(0x18, 0x01);
  for (const auto& r : rows) {
    SCOPED_TRACE(std::to_string(r.expect) + " expected, line at " + std::to_string(r.line));
    ReaderModel m;
    SerialFront front(m);
    front.ExpectBaud(r.expect);
    front.SetLineBaud(r.line);
    front.OnReceive(ping.data(), ping.size());
    const auto answers = Codes(Answers(front.TakeDue(kAll)));
    const auto t = m.Transcript();
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t[0].kind, TranscriptEntry::Request);
    if (!r.note) {
      EXPECT_EQ(answers, std::vector<WORD>{0x1800});
      EXPECT_EQ(m.RequestsSeen(), 1);
      continue;
    }
    EXPECT_TRUE(answers.empty());
    EXPECT_EQ(m.RequestsSeen(), 0);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[1].text, r.note);
    // Once the host sets the rate, the next request is answered.
    front.SetLineBaud(r.expect);
    front.OnReceive(ping.data(), ping.size());
    EXPECT_EQ(Codes(Answers(front.TakeDue(kAll))), std::vector<WORD>{0x1800});
  }
}

TEST_F(SerialFrontTest, NoiseFaultAndDisconnect) {
  ReaderModel m;
  ReaderFaults f;
  f.nNoiseBytes = 3;
  f.nDisconnectAfter = 1;
  m.SetFaults(f);
  SerialFront front(m);
  const auto ping = MakeFrame(0x18, 0x01);
  front.OnReceive(ping.data(), ping.size());
  const auto out = front.TakeDue(kAll);
  ASSERT_EQ(out.size(), 19u);
  EXPECT_TRUE(IsFrameHeader(out.data() + 3, 16));
  EXPECT_TRUE(front.Disconnected());
  front.OnReceive(ping.data(), ping.size());
  EXPECT_TRUE(front.TakeDue(kAll).empty());
}

// The tool's own serial exchange against the simulated reader on a fake
// line: the answers it accepts and the faults it must not accept.
void PumpWaitForTest(DWORD dwMs, BOOL) { plat::ThreadPump().WaitUntil(plat::NowMs() + dwMs); }

TEST_F(SerialFrontTest, TheToolsSerialExchangeTalksToTheReader) {
  struct Row {
    const char* name;
    CrcOrder order;
    ReaderFaults f;
    std::uint32_t baud;
    DWORD wantLen;
  };
  auto F = [](auto set) {
    ReaderFaults f;
    set(f);
    return f;
  };
  const Row rows[] = {
      {"plain", CrcOrder::HighFirst, {}, 0, 34},
      {"CRC low first, paced at 9600 baud", CrcOrder::LowFirst, {}, 9600, 34},
      {"noise before the header", CrcOrder::HighFirst, F([](auto& f) { f.nNoiseBytes = 3; }), 115200, 34},
      {"wrong CRC is refused", CrcOrder::HighFirst, F([](auto& f) { f.bBadCrc = true; }), 0, 0},
      {"silence", CrcOrder::HighFirst, F([](auto& f) { f.bSilent = true; }), 0, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    FakeSerial serial;
    ReaderConfig cfg;
    cfg.crcOrder = r.order;
    cfg.nAnswerDelayMs = 5;
    ReaderModel reader(cfg);
    reader.SetFaults(r.f);
    SimSerialLink link(serial.AddPort("COM1"), reader, r.baud);
    CRs232Port port;
    ASSERT_TRUE(port.Open("\\\\.\\COM1/baud=9600/parity=N/stop=1/data=8"));
    const auto req = MakeFrame(0x29, 0x04);
    BYTE resp[512] = {};
    DWORD len = sizeof resp;
    port.SendRecvFrame(req.data(), static_cast<DWORD>(req.size()), resp, &len, 65000, PumpWaitForTest);
    EXPECT_EQ(len, r.wantLen);
    if (r.wantLen) {
      EXPECT_TRUE(IsRespOk(resp, 0x29));
      EXPECT_EQ(std::string(resp + 24, resp + 32), "2.10.005");
    }
    EXPECT_EQ(reader.RequestsSeen(), 1);
    port.Close();
  }
}

// Real time: the readersim program on a pseudo-terminal, reached through a
// COM name of the override folder, answering the tool's own serial exchange.
void RealWait(DWORD dwMs, BOOL) { plat::ThreadPump().WaitUntil(plat::NowMs() + dwMs); }

TEST(ReadersimProgram, ServesTheSerialExchangeOnAPseudoTerminal) {
  char dirTemplate[] = "/tmp/readersim_comXXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const std::string dir = dirTemplate, link = dir + "/com200";
  SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(sim.Start({"--com", "200", "--com-dir", dir, "--delay", "10", "--fw-version", "3.00.001"}))
      << sim.Output();
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(target, sim.Printed("serial line"));

  setenv("READERTOOL_COM_DIR", dir.c_str(), 1);
  CRs232Port port;
  ASSERT_TRUE(port.Open("\\\\.\\COM200/baud=115200/parity=N/stop=1/data=8"));
  struct Row {
    std::vector<BYTE> req;
    WORD code;
    std::size_t len;
  } rows[] = {{MakeFrame(0x18, 0x01), 0x1800, 16}, {MakeFrame(0x29, 0x00, {}, CrcOrder::LowFirst), 0x2900, 34}};
  for (const auto& r : rows) {
    BYTE resp[512] = {};
    DWORD len = sizeof resp;
    port.SendRecvFrame(r.req.data(), static_cast<DWORD>(r.req.size()), resp, &len, 65000, RealWait);
    EXPECT_EQ(len, r.len);
    EXPECT_EQ(GetRespCode(resp), r.code);
  }
  port.Close();
  unsetenv("READERTOOL_COM_DIR");

  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_NE(sim.Output().find("readersim: stopped"), std::string::npos);
  EXPECT_NE(access(link.c_str(), F_OK), 0) << "the COM link is removed on exit";
  rmdir(dir.c_str());
}

// Real time: readersim told the rate the reader runs at takes the rate the
// tool set on its end of the pseudo-terminal, and answers only at that rate.
TEST(ReadersimProgram, AnswersOnlyAtTheExpectedRate) {
  char dirTemplate[] = "/tmp/readersim_comXXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const std::string dir = dirTemplate;
  SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(sim.Start({"--com", "201", "--com-dir", dir, "--expect-baud", "115200", "--delay", "10"}))
      << sim.Output();
  setenv("READERTOOL_COM_DIR", dir.c_str(), 1);
  // The wrong rate first: a later answer must not be an old one that came late.
  // The wait for nothing is many times the 10 ms the reader takes to answer.
  struct Row {
    const char* rate;
    DWORD waitMs, wantLen;
  } rows[] = {{"9600", 1000, 0}, {"57600", 1000, 0}, {"115200", 65000, 16}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.rate);
    CRs232Port port;
    const std::string name = std::string("\\\\.\\COM201/baud=") + r.rate + "/parity=N/stop=1/data=8";
    ASSERT_TRUE(port.Open(name.c_str()));
    const auto req = MakeFrame(0x18, 0x01);
    BYTE resp[512] = {};
    DWORD len = sizeof resp;
    port.SendRecvFrame(req.data(), static_cast<DWORD>(req.size()), resp, &len, r.waitMs, RealWait);
    EXPECT_EQ(len, r.wantLen);
    if (r.wantLen) {
      EXPECT_EQ(GetRespCode(resp), 0x1800);
    }
    port.Close();
  }
  unsetenv("READERTOOL_COM_DIR");
  EXPECT_EQ(sim.Stop(), 0);
  rmdir(dir.c_str());
}

// Whatever arrives — random bytes with headers, lengths and CRC-valid frames
// mixed in — the reader keeps serving: afterwards a quiet line and a ping get
// an answer on every front. The sanitizer build checks every access.
TEST_F(SerialFrontTest, RandomInputNeverBreaksAnyFront) {
  std::mt19937 rng(11);
  auto randomStream = [&](std::size_t n) {
    std::vector<BYTE> v;
    while (v.size() < n) {
      switch (rng() % 4) {
        case 0: {  // a header with a random length field
          const auto f = MakeFrame(static_cast<BYTE>(rng()), static_cast<BYTE>(rng()));
          v.insert(v.end(), f.begin(), f.begin() + 12);
          v.push_back(static_cast<BYTE>(rng()));
          v.push_back(static_cast<BYTE>(rng()));
          break;
        }
        case 1: {  // a whole frame, any command
          const auto f = MakeFrame(static_cast<BYTE>(rng()), static_cast<BYTE>(rng()),
                                   std::vector<BYTE>(rng() % 80, static_cast<BYTE>(rng())));
          v.insert(v.end(), f.begin(), f.end());
          break;
        }
        default:
          for (int i = 0; i < 20; ++i) v.push_back(static_cast<BYTE>(rng()));
      }
    }
    return v;
  };
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    ReaderModel m;
    SerialFront serial(m, 115200);
    HidFront fronts[] = {{m, SimHidMode::Interrupt64, 1, 2},
                         {m, SimHidMode::Counted65, 1, 2},
                         {m, SimHidMode::Feature8, 1, 2},
                         {m, SimHidMode::FeatureOnly, 1, 2}};
    const auto junk = randomStream(3000);
    for (std::size_t off = 0; off < junk.size();) {
      const std::size_t n = std::min<std::size_t>(1 + rng() % 70, junk.size() - off);
      std::vector<BYTE> piece(junk.begin() + off, junk.begin() + off + n);
      serial.OnReceive(piece.data(), piece.size());
      for (auto& f : fronts) {
        f.OnOutputReport(piece);
        f.OnSetFeature(piece);
        f.OnGetFeature(0, rng() % 80);
        std::vector<BYTE> r;
        std::uint64_t due;
        while (f.NextInputReport(&r, &due)) {
        }
      }
      off += n;
    }
    serial.TakeDue(UINT64_MAX);
    // The reader may have been sent into a restart or the bootloader: wait it
    // out, then a ping on a quiet line is answered.
    m_clock.Advance(5000);
    m.SetFaults({});
    m.Reconnect();
    const auto ping = MakeFrame(0x18, 0x01);
    serial.OnReceive(ping.data(), ping.size());
    EXPECT_EQ(Codes(Answers(serial.TakeDue(UINT64_MAX))), std::vector<WORD>{0x1800});
  }
}

// ---- USB HID ----

// The host's side of the four report formats, written from the format table.
std::vector<std::vector<BYTE>> HostRaw(const std::vector<BYTE>& f) {
  std::vector<std::vector<BYTE>> out;
  for (std::size_t off = 0; off < f.size(); off += 64) {
    std::vector<BYTE> r(64, 0);
    std::copy(f.begin() + static_cast<std::ptrdiff_t>(off),
              f.begin() + static_cast<std::ptrdiff_t>(std::min(f.size(), off + 64)), r.begin());
    out.push_back(r);
  }
  return out;
}
std::vector<std::vector<BYTE>> HostTagged(const std::vector<BYTE>& f) {
  std::vector<std::vector<BYTE>> out;
  const std::size_t n = (f.size() + 62) / 63;
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<BYTE> r(64, 0);
    r[0] = n == 1 ? 1 : i == 0 ? 2 : i + 1 == n ? 4 : 3;
    const std::size_t off = i * 63;
    std::copy(f.begin() + static_cast<std::ptrdiff_t>(off),
              f.begin() + static_cast<std::ptrdiff_t>(std::min(f.size(), off + 63)), r.begin() + 1);
    out.push_back(r);
  }
  return out;
}
std::vector<std::vector<BYTE>> HostCounted(const std::vector<BYTE>& f) {
  std::vector<std::vector<BYTE>> out;
  const std::size_t n = (f.size() + 62) / 63;
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<BYTE> r(65, 0);
    const std::size_t off = i * 63, take = std::min<std::size_t>(63, f.size() - off);
    r[1] = static_cast<BYTE>(i + 1 < n ? 0xBF : take);
    std::copy(f.begin() + static_cast<std::ptrdiff_t>(off), f.begin() + static_cast<std::ptrdiff_t>(off + take),
              r.begin() + 2);
    out.push_back(r);
  }
  return out;
}
std::vector<std::vector<BYTE>> HostFeature(const std::vector<BYTE>& f) {
  std::vector<std::vector<BYTE>> out;
  for (std::size_t off = 0; off < f.size(); off += 7) {
    std::vector<BYTE> r(8, 0);
    std::copy(f.begin() + static_cast<std::ptrdiff_t>(off),
              f.begin() + static_cast<std::ptrdiff_t>(std::min(f.size(), off + 7)), r.begin() + 1);
    out.push_back(r);
  }
  return out;
}

// Frame length from a V2 or V3 header.
std::size_t AnnouncedLength(const std::vector<BYTE>& f) {
  if (f.size() < 15) return 0;
  return f[8] == '3' ? f[13] * 256u + f[14] + 17u : f[12] * 256u + f[13] + 16u;
}

// Reads one answer back the way the host's readers do for the mode.
std::vector<BYTE> HostRead(HidFront& d, std::uint64_t now) {
  std::vector<BYTE> frame, r;
  std::uint64_t due = 0;
  switch (d.Mode()) {
    case SimHidMode::Interrupt64:
      while (d.NextInputReport(&r, &due)) {
        EXPECT_LE(due, now);
        EXPECT_EQ(r.size(), 64u);
        frame.insert(frame.end(), r.begin() + 1, r.end());
        if (r[0] == 1 || r[0] == 4) break;
      }
      break;
    case SimHidMode::Counted65:
      while (d.NextInputReport(&r, &due)) {
        EXPECT_EQ(r.size(), 65u);
        frame.insert(frame.end(), r.begin() + 2, r.begin() + 2 + (r[1] & 0x7F));
        if (!(r[1] & 0x80)) break;
      }
      return frame;
    case SimHidMode::Feature8:
    case SimHidMode::FeatureOnly:
      for (int i = 0; i < 1000; ++i) {
        r = d.OnGetFeature(0, 8);
        EXPECT_EQ(r.size(), 8u);
        frame.insert(frame.end(), r.begin() + 1, r.end());
        if (frame.size() >= 15 && frame.size() >= AnnouncedLength(frame)) break;
      }
      break;
  }
  frame.resize(std::min(frame.size(), AnnouncedLength(frame)));
  return frame;
}

void HostWrite(HidFront& d, const std::vector<BYTE>& req, bool bTagged) {
  switch (d.Mode()) {
    case SimHidMode::Interrupt64:
      for (const auto& r : bTagged ? HostTagged(req) : HostRaw(req)) d.OnOutputReport(r);
      break;
    case SimHidMode::Counted65:
      for (const auto& r : HostCounted(req)) d.OnOutputReport(r);
      break;
    case SimHidMode::Feature8:
    case SimHidMode::FeatureOnly:
      for (const auto& r : HostFeature(req)) d.OnSetFeature(r);
      break;
  }
}

class HidFrontTest : public VirtualTimeTest {};

TEST_F(HidFrontTest, EveryReportModeCarriesRequestsAndAnswers) {
  struct Mode {
    const char* name;
    SimHidMode mode;
    bool bTagged;
    SimFrameVersion ver;
  } modes[] = {
      {"64-byte tagged", SimHidMode::Interrupt64, true, SimFrameVersion::V2},
      {"64-byte raw requests", SimHidMode::Interrupt64, false, SimFrameVersion::V2},
      {"64-byte tagged, V3 answers", SimHidMode::Interrupt64, true, SimFrameVersion::V3},
      {"65-byte counted", SimHidMode::Counted65, false, SimFrameVersion::V2},
      {"8-byte feature", SimHidMode::Feature8, false, SimFrameVersion::V2},
      {"8-byte feature, V3 answers", SimHidMode::Feature8, false, SimFrameVersion::V3},
      {"feature-only device", SimHidMode::FeatureOnly, false, SimFrameVersion::V2},
  };
  for (const auto& md : modes) {
    SCOPED_TRACE(md.name);
    ReaderConfig cfg;
    cfg.frameVersion = md.ver;
    ReaderModel m(cfg);
    HidFront d(m, md.mode, kSimReaderVendorId, kSimReaderProductId);
    // Requests of 16, 17, 63, 64, 127 and 2068 bytes: one report, exact
    // boundaries and a full block.
    const std::vector<BYTE> zeros(2048, 0x4B);
    struct Req {
      std::vector<BYTE> frame;
      BYTE status;
      std::size_t dataLen;
    } reqs[] = {
        {MakeFrame(0x18, 0x01), 0x00, 0},
        {MakeFrame(0x29, 0x04), 0x00, 18},
        {MakeFrame(0x12, 0x34, std::vector<BYTE>(47, 0x4B)), kSimStatusUnknownCommand, 0},
        {MakeFrame(0x12, 0x34, std::vector<BYTE>(48, 0x4B)), kSimStatusUnknownCommand, 0},
        {MakeFrame(0xC7, 0x41), 0x00, 0},
        {MakeFrame(0xC7, 0x02, {0x00}), 0x00, 0},
        {MakeFrame(0xC7, 0x77, std::vector<BYTE>(111, 0x01)), 0x00, 0},
        {MakeFrame(0xC7, 0x03, Cat({{0, 0, 0, 0}, zeros})), 0x00, 0},
    };
    for (const auto& rq : reqs) {
      SCOPED_TRACE(rq.frame.size());
      if (rq.frame[10] == 0xC7 && rq.frame[11] == 0x02) m_clock.Advance(cfg.nBootEntryMs);
      HostWrite(d, rq.frame, md.bTagged);
      const auto a = HostRead(d, Now());
      ASSERT_EQ(a.size(), rq.dataLen + (md.ver == SimFrameVersion::V3 ? 17 : 16));
      EXPECT_EQ(a[10], rq.frame[10]);
      EXPECT_EQ(a[md.ver == SimFrameVersion::V3 ? 12 : 11], rq.status);
    }
    EXPECT_EQ(m.BlocksProgrammed(), 1);
  }
}

TEST_F(HidFrontTest, CuttingIntoReports) {
  struct Row {
    std::size_t n;
    std::vector<BYTE> tags;
    std::vector<BYTE> counts;
  } rows[] = {
      {16, {1}, {16}},
      {63, {1}, {0x3F}},
      {64, {2, 4}, {0xBF, 0x01}},
      {127, {2, 3, 4}, {0xBF, 0xBF, 0x01}},
      {126, {2, 4}, {0xBF, 0x3F}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.n);
    std::vector<BYTE> f(r.n);
    for (std::size_t i = 0; i < r.n; ++i) f[i] = static_cast<BYTE>(i + 1);
    const auto tagged = CutTaggedReports(f.data(), f.size());
    const auto counted = CutCountedReports(f.data(), f.size());
    ASSERT_EQ(tagged.size(), r.tags.size());
    ASSERT_EQ(counted.size(), r.counts.size());
    std::vector<BYTE> back;
    for (std::size_t i = 0; i < tagged.size(); ++i) {
      EXPECT_EQ(tagged[i].size(), 64u);
      EXPECT_EQ(tagged[i][0], r.tags[i]);
      back.insert(back.end(), tagged[i].begin() + 1, tagged[i].end());
      EXPECT_EQ(counted[i].size(), 65u);
      EXPECT_EQ(counted[i][0], 0);
      EXPECT_EQ(counted[i][1], r.counts[i]);
    }
    // Payload in order, zeros after the frame.
    EXPECT_TRUE(std::equal(f.begin(), f.end(), back.begin()));
    EXPECT_TRUE(
        std::all_of(back.begin() + static_cast<std::ptrdiff_t>(r.n), back.end(), [](BYTE b) { return b == 0; }));
  }
  EXPECT_TRUE(CutTaggedReports(nullptr, 0).empty());
}

TEST_F(HidFrontTest, TaggedRequestsOutOfOrder) {
  ReaderModel m;
  HidFront d(m, SimHidMode::Interrupt64, kSimReaderVendorId, kSimReaderProductId);
  const auto big = MakeFrame(0x12, 0x34, std::vector<BYTE>(100, 0x4B));  // tags 2, 4
  const auto tagged = HostTagged(big);
  // A stray middle or last report is thrown away.
  auto stray = tagged[1];
  stray[0] = 3;
  d.OnOutputReport(stray);
  d.OnOutputReport(tagged[1]);
  EXPECT_EQ(m.RequestsSeen(), 0);
  EXPECT_FALSE(d.NextInputReport(nullptr, nullptr));
  // A first report, then a whole frame: the unfinished one is given up.
  d.OnOutputReport(tagged[0]);
  for (const auto& r : HostTagged(MakeFrame(0x18, 0x01))) d.OnOutputReport(r);
  auto a = HostRead(d, Now());
  ASSERT_EQ(a.size(), 16u);
  EXPECT_EQ(GetRespCode(a.data()), 0x1800);
  const auto t = m.Transcript();
  EXPECT_EQ(t[1].text, "no answer: truncated frame, 63 of 116 bytes");
  // A report tagged 1 that announces more than it holds ends unanswered.
  auto lying = HostTagged(big)[0];
  lying[0] = 1;
  d.OnOutputReport(lying);
  EXPECT_FALSE(d.NextInputReport(nullptr, nullptr));
  // Counted reports with a count above 63 never read past the report.
  HidFront c(m, SimHidMode::Counted65, kSimReaderVendorId, kSimReaderProductId);
  auto rep = HostCounted(MakeFrame(0x18, 0x01))[0];
  rep[1] = 0x7F;
  c.OnOutputReport(rep);
  c.OnOutputReport(std::vector<BYTE>(3, 0x7F));
  for (const auto& r : HostCounted(MakeFrame(0x18, 0x01))) c.OnOutputReport(r);
  a = HostRead(c, Now());
  EXPECT_EQ(GetRespCode(a.data()), 0x1800);
}

TEST_F(HidFrontTest, FeatureAnswerWaitsForTheReaderAndThenRunsOut) {
  ReaderConfig cfg;
  cfg.nAnswerDelayMs = 50;
  ReaderModel m(cfg);
  HidFront d(m, SimHidMode::Feature8, kSimReaderVendorId, kSimReaderProductId);
  HostWrite(d, MakeFrame(0x18, 0x01), false);
  // Not ready yet: a reader has only zeros to give.
  EXPECT_EQ(d.OnGetFeature(0, 8), std::vector<BYTE>(8, 0));
  m_clock.Advance(50);
  const auto a = HostRead(d, Now());
  ASSERT_EQ(a.size(), 16u);
  EXPECT_EQ(GetRespCode(a.data()), 0x1800);
  // 16 bytes came in three reports (21 bytes); past the answer, zeros again.
  EXPECT_EQ(d.OnGetFeature(0, 8), std::vector<BYTE>(8, 0));
  // A request the reader leaves unanswered (it restarts after 04-0A) gets
  // zeros, not the rest of an older answer.
  HostWrite(d, MakeFrame(0x04, 0x0A, {}, CrcOrder::LowFirst), false);
  m_clock.Advance(50);
  EXPECT_EQ(d.OnGetFeature(0, 8)[1], 'K');
  HostWrite(d, MakeFrame(0x18, 0x01), false);
  m_clock.Advance(50);
  EXPECT_EQ(d.OnGetFeature(0, 8), std::vector<BYTE>(8, 0));
  // Interrupt devices have no feature reports; feature devices no output reports.
  HidFront i(m, SimHidMode::Interrupt64, kSimReaderVendorId, kSimReaderProductId);
  for (const auto& r : HostFeature(MakeFrame(0x18, 0x01))) i.OnSetFeature(r);
  EXPECT_EQ(i.OnGetFeature(0, 8), std::vector<BYTE>(8, 0));
  for (const auto& r : HostTagged(MakeFrame(0x18, 0x01))) d.OnOutputReport(r);
  EXPECT_EQ(d.OnGetFeature(0, 8), std::vector<BYTE>(8, 0));
}

TEST_F(HidFrontTest, IdentityAndDescriptors) {
  ReaderModel m;
  // Report lengths as the tool's descriptor parser gives them (longest report + 1).
  struct Row {
    SimHidMode mode;
    bool bFeatureOnly;
    std::uint16_t in, out, feature;
    bool bReportIds;  // the 64-byte mode's segment tags are its report IDs
  } rows[] = {
      {SimHidMode::Interrupt64, false, 64, 64, 0, true},
      {SimHidMode::Counted65, false, 65, 65, 0, false},
      {SimHidMode::Feature8, false, 0, 0, 8, false},
      {SimHidMode::FeatureOnly, true, 64, 64, 8, false},
  };
  for (const auto& r : rows) {
    HidFront d(m, r.mode, 0x1234, 0x5678);
    const auto info = d.Info();
    EXPECT_EQ(info.vendorId, 0x1234);
    EXPECT_EQ(info.productId, 0x5678);
    EXPECT_EQ(info.featureOnly, r.bFeatureOnly);
    plat::HidCaps caps;
    ASSERT_TRUE(plat::ParseReportDescriptor(info.reportDescriptor.data(), info.reportDescriptor.size(), &caps));
    EXPECT_EQ(caps.InputReportByteLength, r.in);
    EXPECT_EQ(caps.OutputReportByteLength, r.out);
    EXPECT_EQ(caps.FeatureReportByteLength, r.feature);
    EXPECT_EQ(caps.bReportIds, r.bReportIds);
  }
}

TEST_F(HidFrontTest, DisconnectedDeviceSendsNothing) {
  ReaderModel m;
  HidFront d(m, SimHidMode::Interrupt64, kSimReaderVendorId, kSimReaderProductId);
  HostWrite(d, MakeFrame(0x18, 0x01), true);
  m.Disconnect();
  EXPECT_TRUE(d.Disconnected());
  EXPECT_FALSE(d.NextInputReport(nullptr, nullptr));
  HostWrite(d, MakeFrame(0x18, 0x01), true);
  m.Reconnect();
  // The answer queued before the cable was pulled, nothing for the request sent while it was out.
  EXPECT_EQ(HostRead(d, Now()).size(), 16u);
  EXPECT_FALSE(d.NextInputReport(nullptr, nullptr));
}

// The tool's own HID transport against the reader in each report mode: the
// descriptor decides the mode, the host cuts and reassembles the frames.
TEST_F(HidFrontTest, TheToolsHidExchangeTalksToTheReaderInEveryMode) {
  struct Row {
    const char* name;
    SimHidMode mode;
    BYTE bTagged;
    SimFrameVersion ver;
    int nReportMode;
  } rows[] = {
      {"64-byte, tagged requests", SimHidMode::Interrupt64, 1, SimFrameVersion::V2, 0},
      {"64-byte, raw requests", SimHidMode::Interrupt64, 0, SimFrameVersion::V2, 0},
      {"64-byte, V3 answers", SimHidMode::Interrupt64, 1, SimFrameVersion::V3, 0},
      {"65-byte counted", SimHidMode::Counted65, 0, SimFrameVersion::V2, 0},
      {"8-byte feature", SimHidMode::Feature8, 0, SimFrameVersion::V2, 1},
      {"8-byte feature, V3 answers", SimHidMode::Feature8, 0, SimFrameVersion::V3, 1},
      {"feature-only device", SimHidMode::FeatureOnly, 1, SimFrameVersion::V2, 1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    fakehid::FakeHidBackend backend;
    plat::ScopedHidBackend use(backend);
    ReaderConfig cfg;
    cfg.frameVersion = r.ver;
    cfg.nAnswerDelayMs = 3;
    ReaderModel reader(cfg);
    SimHidDevice usb(backend, reader, r.mode);
    CHidDevice dev;
    const bool open = dev.Open(kSimReaderVendorId, kSimReaderProductId) ||
                      dev.OpenFeatureOnly(kSimReaderVendorId, kSimReaderProductId);
    ASSERT_TRUE(open);
    EXPECT_EQ(dev.m_nReportMode, r.nReportMode);
    EXPECT_EQ(dev.m_nVendorID, r.mode == SimHidMode::FeatureOnly ? 0 : kSimReaderVendorId);
    dev.SetTaggedReports(r.bTagged);
    const std::size_t overhead = r.ver == SimFrameVersion::V3 ? 17 : 16;
    const BYTE statusAt = r.ver == SimFrameVersion::V3 ? 12 : 11;
    struct Req {
      std::vector<BYTE> frame;
      std::size_t dataLen;
      BYTE status;
    } reqs[] = {
        {MakeFrame(0x29, 0x04), 18, 0x00},
        {MakeFrame(0x18, 0x01), 0, 0x00},
        {MakeFrame(0x12, 0x34, std::vector<BYTE>(300, 0x4B)), 0, kSimStatusUnknownCommand},
    };
    for (const auto& q : reqs) {
      BYTE resp[512] = {};
      const DWORD n = dev.SendAndGetResponseUSBHID(q.frame.data(), static_cast<DWORD>(q.frame.size()), resp,
                                                   sizeof resp, 65000, nullptr);
      EXPECT_EQ(n, q.dataLen + overhead);
      EXPECT_EQ(resp[10], q.frame[10]);
      EXPECT_EQ(resp[statusAt], q.status);
    }
    EXPECT_EQ(reader.RequestsSeen(), 3);
    dev.Close();
  }
}

// Real time: readersim on the HID simulator socket, reached by the tool's HID
// transport through the simulator backend, in two report modes.
TEST(ReadersimProgram, ServesTheHidExchangeOnTheSimulatorSocket) {
  char dirTemplate[] = "/tmp/readersim_hidXXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const std::string sock = std::string(dirTemplate) + "/reader.sock";
  for (const char* mode : {"int64", "feature-only"}) {
    SCOPED_TRACE(mode);
    SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
    ASSERT_TRUE(sim.Start({"--hid", mode, "--hid-socket", sock, "--frame", "v3"})) << sim.Output();
    auto backend = plat::MakeHidSimClientBackend(sock);
    plat::ScopedHidBackend use(*backend);
    CHidDevice dev;
    ASSERT_TRUE(dev.Open(kSimReaderVendorId, kSimReaderProductId) ||
                dev.OpenFeatureOnly(kSimReaderVendorId, kSimReaderProductId));
    dev.SetTaggedReports(1);
    const auto req = MakeFrame(0x29, 0x04);
    BYTE resp[512] = {};
    EXPECT_EQ(
        dev.SendAndGetResponseUSBHID(req.data(), static_cast<DWORD>(req.size()), resp, sizeof resp, 65000, nullptr),
        35u);
    EXPECT_EQ(resp[10], 0x29);
    EXPECT_EQ(resp[12], 0x00);
    EXPECT_EQ(std::string(resp + 25, resp + 33), "2.10.005");
    dev.Close();
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_NE(access(sock.c_str(), F_OK), 0) << "the socket is removed on exit";
  }
  rmdir(dirTemplate);
}

}  // namespace
