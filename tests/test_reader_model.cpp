// The simulated reader model at byte level, in virtual time: every command
// in both states, the state changes, the download with its verification
// rule, bad input and each fault on demand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/frame.h"
#include "sim/model/image_rule.h"
#include "sim/model/reader_model.h"
#include "support/virtual_time.h"

namespace {

struct Resp {
  bool bAnswered = false;
  BYTE cmd = 0, status = 0;
  std::vector<BYTE> data;
  std::uint64_t dueMs = 0;
  std::vector<BYTE> raw;
};

// Parses a V2 answer (checked by the same helpers the tool uses) or a V3 one.
Resp Parse(const ReaderReply& r) {
  Resp p;
  p.bAnswered = r.bAnswer;
  p.dueMs = r.dueMs;
  p.raw = r.bytes;
  if (!r.bAnswer) return p;
  const auto& b = r.bytes;
  if (b.size() >= 17 && b[8] == '3') {
    p.cmd = b[10];
    p.status = b[12];
    p.data.assign(b.begin() + 15, b.end() - 2);
  } else if (b.size() >= 16 && CheckRxFrame(b.data(), static_cast<DWORD>(b.size())) == static_cast<int>(b.size())) {
    p.cmd = b[10];
    p.status = b[11];
    p.data.assign(b.begin() + 14, b.end() - 2);
  } else {
    p.cmd = 0xEE;  // not a well-formed answer
  }
  return p;
}

std::vector<BYTE> Block(DWORD address, const std::vector<BYTE>& body, std::size_t off, std::size_t n) {
  std::vector<BYTE> d = {static_cast<BYTE>(address >> 24), static_cast<BYTE>(address >> 16),
                         static_cast<BYTE>(address >> 8), static_cast<BYTE>(address)};
  d.insert(d.end(), body.begin() + static_cast<std::ptrdiff_t>(off),
           body.begin() + static_cast<std::ptrdiff_t>(off + n));
  return d;
}

std::vector<BYTE> VerifyData(const std::vector<BYTE>& trailer) {
  std::vector<BYTE> d = {0x00, 0x03, 0xFF, 0xF0};
  d.insert(d.end(), trailer.begin(), trailer.end());
  return d;
}

std::vector<BYTE> PatternBody(std::size_t n) {
  std::vector<BYTE> b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<BYTE>(i * 7 + (i >> 8));
  return b;
}

// The version number as the tool reads it from data bytes 10-17.
long VersionNumber(const std::vector<BYTE>& data) {
  long v = 0;
  for (std::size_t i = 10; i < 18 && i < data.size(); ++i)
    if (data[i] != '.') v = v * 10 + (data[i] - '0');
  return v;
}

class ReaderModelTest : public VirtualTimeTest {
 protected:
  Resp Send(ReaderModel& m, BYTE cmd, BYTE sub, const std::vector<BYTE>& data = {},
            CrcOrder order = CrcOrder::HighFirst) {
    return Parse(m.HandleRequest(MakeFrame(cmd, sub, data, order)));
  }
  Resp SendBytes(ReaderModel& m, const std::vector<BYTE>& bytes) { return Parse(m.HandleRequest(bytes)); }

  // C7-41, then the bootloader's start-up time.
  void EnterBoot(ReaderModel& m) {
    ASSERT_EQ(Send(m, 0xC7, 0x41).status, 0x00);
    m_clock.Advance(m.Config().nAnswerDelayMs + m.Config().nBootEntryMs);
    ASSERT_EQ(m.State(), SimState::Bootloader);
    ASSERT_FALSE(m.Restarting());
  }

  // Erase and program a body in 2048-byte blocks at addresses k * 2032.
  void Program(ReaderModel& m, const std::vector<BYTE>& body) {
    ASSERT_EQ(Send(m, 0xC7, 0x02, {0x00}).status, 0x00);
    for (std::size_t off = 0, k = 0; off < body.size(); off += 2048, ++k) {
      const std::size_t n = std::min<std::size_t>(2048, body.size() - off);
      ASSERT_EQ(Send(m, 0xC7, 0x03, Block(static_cast<DWORD>(k * 2032), body, off, n)).status, 0x00) << "block " << k;
    }
  }
};

TEST_F(ReaderModelTest, ApplicationCommands) {
  struct Row {
    const char* name;
    BYTE cmd, sub;
    CrcOrder order;
    BYTE status;
    bool bVersion;
  } rows[] = {
      {"ping", 0x18, 0x01, CrcOrder::HighFirst, 0x00, false},
      {"firmware version 29-00, CRC low first", 0x29, 0x00, CrcOrder::LowFirst, 0x00, true},
      {"version query 29-04", 0x29, 0x04, CrcOrder::HighFirst, 0x00, true},
      {"reset default 04-F0", 0x04, 0xF0, CrcOrder::LowFirst, 0x00, false},
      {"reset default 04-0A", 0x04, 0x0A, CrcOrder::LowFirst, 0x00, false},
      {"enter bootloader C7-41", 0xC7, 0x41, CrcOrder::HighFirst, 0x00, false},
      {"bootloader version C7-01 is not the application's", 0xC7, 0x01, CrcOrder::HighFirst, kSimStatusUnknownCommand,
       false},
      {"program C7-03 is not the application's", 0xC7, 0x03, CrcOrder::HighFirst, kSimStatusUnknownCommand, false},
      {"unknown 12-34", 0x12, 0x34, CrcOrder::HighFirst, kSimStatusUnknownCommand, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ReaderModel m;
    Resp a = Send(m, r.cmd, r.sub, {}, r.order);
    ASSERT_TRUE(a.bAnswered);
    EXPECT_EQ(a.cmd, r.cmd);
    EXPECT_EQ(a.status, r.status);
    if (r.bVersion) {
      ASSERT_EQ(a.data.size(), 18u);
      EXPECT_EQ(std::string(a.data.begin(), a.data.end()), "Firmware: 2.10.005");
    } else {
      EXPECT_TRUE(a.data.empty());
    }
  }
}

TEST_F(ReaderModelTest, BootloaderCommands) {
  struct Row {
    const char* name;
    BYTE cmd, sub;
    std::vector<BYTE> data;
    BYTE status;
  } rows[] = {
      {"ping", 0x18, 0x01, {}, 0x00},
      {"version C7-01", 0xC7, 0x01, {}, 0x00},
      {"version C7-10", 0xC7, 0x10, {}, 0x00},
      {"erase", 0xC7, 0x02, {0x00}, 0x00},
      {"erase without its data byte", 0xC7, 0x02, {}, kSimStatusBadParameter},
      {"pacing command C7-15", 0xC7, 0x15, {}, 0x00},
      {"C7-41 again", 0xC7, 0x41, {}, 0x00},
      {"any other C7", 0xC7, 0x77, {}, 0x00},
      {"block before erase", 0xC7, 0x03, {0, 0, 0, 0, 1, 2, 3}, kSimStatusSequence},
      {"verify before any block", 0xC7, 0x04, VerifyData(std::vector<BYTE>(256, 0xFF)), kSimStatusVerifyFailed},
      {"application query 29-04", 0x29, 0x04, {}, kSimStatusUnknownCommand},
      {"reset default 04-F0", 0x04, 0xF0, {}, kSimStatusUnknownCommand},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ReaderModel m;
    EnterBoot(m);
    Resp a = Send(m, r.cmd, r.sub, r.data);
    ASSERT_TRUE(a.bAnswered);
    EXPECT_EQ(a.cmd, r.cmd);
    EXPECT_EQ(a.status, r.status);
    EXPECT_EQ(m.State(), SimState::Bootloader);
  }
}

TEST_F(ReaderModelTest, VersionTextsAndTheToolsVersionFlag) {
  struct Row {
    const char* name;
    std::string app, boot;
    BYTE byBootStatus;
    long appNumber, bootNumber;
  } rows[] = {
      {"legacy reader", "2.99.999", "", 0x00, 299999, 299999},
      {"new reader, separate bootloader version", "3.00.001", "1.02.003", 0xF2, 300001, 102003},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ReaderConfig cfg;
    cfg.strAppVersion = r.app;
    cfg.strBootVersion = r.boot;
    cfg.byBootEntryStatus = r.byBootStatus;
    ReaderModel m(cfg);
    Resp v = Send(m, 0x29, 0x04);
    EXPECT_EQ(VersionNumber(v.data), r.appNumber);
    // The tool copies the data out with GetRxData; the text stays intact.
    BYTE out[128] = {};
    const auto frame = MakeFrame(0x29, 0x00, v.data);
    ASSERT_EQ(GetRxData(frame.data(), out, 127), 18);

    Resp b = Send(m, 0xC7, 0x41);
    EXPECT_EQ(b.status, r.byBootStatus);
    m_clock.Advance(cfg.nBootEntryMs);
    Resp bl = Send(m, 0xC7, 0x10);
    ASSERT_EQ(bl.status, 0x00);
    EXPECT_EQ(std::string(bl.data.begin(), bl.data.begin() + 10), "Boot Ldr: ");
    EXPECT_EQ(VersionNumber(bl.data), r.bootNumber);
  }
  EXPECT_TRUE(ReaderModel::IsVersionText("3.00.001"));
  EXPECT_FALSE(ReaderModel::IsVersionText("3.0.0001"));
  EXPECT_FALSE(ReaderModel::IsVersionText("3.00.01"));
  EXPECT_FALSE(ReaderModel::IsVersionText("a.00.001"));
}

TEST_F(ReaderModelTest, BootEntryWithAnErrorStatusStaysInTheApplication) {
  ReaderConfig cfg;
  cfg.byBootEntryStatus = 0x07;
  ReaderModel m(cfg);
  EXPECT_EQ(Send(m, 0xC7, 0x41).status, 0x07);
  EXPECT_EQ(m.State(), SimState::Application);
  EXPECT_TRUE(Send(m, 0x18, 0x01).bAnswered);
}

TEST_F(ReaderModelTest, FullDownloadUpdatesTheFirmware) {
  ReaderModel m;
  const auto body = PatternBody(300000 - 256);
  EXPECT_EQ(Send(m, 0xC7, 0x41).status, 0x00);
  // The bootloader starts up: nothing is answered for a while.
  EXPECT_FALSE(Send(m, 0x18, 0x01).bAnswered);
  m_clock.Advance(m.Config().nBootEntryMs);
  EXPECT_TRUE(Send(m, 0x18, 0x01).bAnswered);
  EXPECT_EQ(Send(m, 0xC7, 0x01).status, 0x00);
  Program(m, body);
  EXPECT_EQ(m.BlocksProgrammed(), 147);
  EXPECT_EQ(m.ProgrammedBody(), body);
  EXPECT_EQ(Send(m, 0xC7, 0x04, VerifyData(MakeSimTrailer(body.data(), body.size()))).status, 0x00);
  EXPECT_EQ(Send(m, 0xC7, 0x05).status, 0x00);
  EXPECT_TRUE(m.Restarting());
  EXPECT_FALSE(Send(m, 0x29, 0x04).bAnswered);
  m_clock.Advance(m.Config().nRestartMs);
  Resp v = Send(m, 0x29, 0x04);
  ASSERT_EQ(v.status, 0x00);
  EXPECT_EQ(std::string(v.data.begin() + 10, v.data.end()), "3.10.001");
  EXPECT_EQ(m.State(), SimState::Application);
  EXPECT_TRUE(m.AppValid());
}

TEST_F(ReaderModelTest, VerificationCatchesEveryBadTransfer) {
  const auto body = PatternBody(5000);  // blocks of 2048, 2048, 904
  const auto good = MakeSimTrailer(body.data(), body.size());
  struct Row {
    const char* name;
    std::size_t nProgram;  // bytes of the body programmed
    int nCorruptAt;        // body byte altered before programming, -1 none
    std::vector<BYTE> verifyData;
    BYTE status;
  } rows[] = {
      {"complete and intact", 5000, -1, VerifyData(good), 0x00},
      {"last block missing", 4096, -1, VerifyData(good), kSimStatusVerifyFailed},
      {"one byte corrupted", 5000, 3000, VerifyData(good), kSimStatusVerifyFailed},
      {"trailer of another body", 5000, -1, VerifyData(MakeSimTrailer(body.data(), 4999)), kSimStatusVerifyFailed},
      {"trailer without the 00 03 FF F0 prefix", 5000, -1,
       [&] {
         auto d = VerifyData(good);
         d[1] = 0x04;
         return d;
       }(),
       kSimStatusBadParameter},
      {"trailer cut short", 5000, -1,
       [&] {
         auto d = VerifyData(good);
         d.pop_back();
         return d;
       }(),
       kSimStatusBadParameter},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ReaderModel m;
    EnterBoot(m);
    auto sent = body;
    if (r.nCorruptAt >= 0) sent[static_cast<std::size_t>(r.nCorruptAt)] ^= 0x01;
    sent.resize(r.nProgram);
    Program(m, sent);
    EXPECT_EQ(Send(m, 0xC7, 0x04, r.verifyData).status, r.status);
    // Only a verified download leaves a valid application behind.
    EXPECT_EQ(m.AppValid(), r.status == 0x00);
  }
}

TEST_F(ReaderModelTest, BlocksMustComeInAddressOrder) {
  const auto body = PatternBody(6000);
  struct Step {
    DWORD address;
    std::size_t off, n;
    BYTE status;
  };
  struct Row {
    const char* name;
    std::vector<Step> steps;
    int blocks;
  } rows[] = {
      {"addresses advance by 2032", {{0, 0, 2048, 0}, {2032, 2048, 2048, 0}, {4064, 4096, 1904, 0}}, 3},
      {"address advanced by 2048 is refused", {{0, 0, 2048, 0}, {2048, 2048, 2048, kSimStatusSequence}}, 1},
      {"first block not at 0", {{2032, 0, 2048, kSimStatusSequence}}, 0},
      {"nothing after a short block", {{0, 0, 1000, 0}, {2032, 1000, 2048, kSimStatusSequence}}, 1},
      {"the last block sent again is taken once", {{0, 0, 2048, 0}, {0, 0, 2048, 0}, {2032, 2048, 100, 0}}, 2},
      {"a block longer than 2048 bytes", {{0, 0, 2049, kSimStatusBadParameter}}, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ReaderModel m;
    EnterBoot(m);
    ASSERT_EQ(Send(m, 0xC7, 0x02, {0x00}).status, 0x00);
    for (const auto& s : r.steps) EXPECT_EQ(Send(m, 0xC7, 0x03, Block(s.address, body, s.off, s.n)).status, s.status);
    EXPECT_EQ(m.BlocksProgrammed(), r.blocks);
  }
  // A block with an address but no bytes (the tool's null-data case) is refused.
  ReaderModel m;
  EnterBoot(m);
  ASSERT_EQ(Send(m, 0xC7, 0x02, {0x00}).status, 0x00);
  EXPECT_EQ(Send(m, 0xC7, 0x03, {}).status, kSimStatusBadParameter);
  EXPECT_EQ(Send(m, 0xC7, 0x03, {0, 0, 0, 0}).status, kSimStatusBadParameter);
}

TEST_F(ReaderModelTest, RestartsAndWhereTheReaderComesUp) {
  struct Row {
    const char* name;
    bool bBoot, bErase;
    BYTE cmd, sub;
    std::uint32_t silentMs;
    SimState after;
  } rows[] = {
      {"04-F0 restarts the application", false, false, 0x04, 0xF0, 3000, SimState::Application},
      {"04-0A restarts the application", false, false, 0x04, 0x0A, 3000, SimState::Application},
      {"C7-05 before any erase returns to the old firmware", true, false, 0xC7, 0x05, 3000, SimState::Application},
      {"C7-05 after an erase without verification stays in the bootloader", true, true, 0xC7, 0x05, 3000,
       SimState::Bootloader},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ReaderConfig cfg;
    cfg.nAnswerDelayMs = 20;
    ReaderModel m(cfg);
    if (r.bBoot) EnterBoot(m);
    if (r.bErase) {
      ASSERT_EQ(Send(m, 0xC7, 0x02, {0x00}).status, 0x00);
    }
    Resp a = Send(m, r.cmd, r.sub, {}, r.cmd == 0x04 ? CrcOrder::LowFirst : CrcOrder::HighFirst);
    ASSERT_TRUE(a.bAnswered);
    EXPECT_EQ(a.status, 0x00);
    // Silent from the answer on for the restart time, then up again.
    m_clock.Advance(cfg.nAnswerDelayMs + r.silentMs - 1);
    EXPECT_FALSE(Send(m, 0x18, 0x01).bAnswered);
    m_clock.Advance(1);
    EXPECT_TRUE(Send(m, 0x18, 0x01).bAnswered);
    EXPECT_EQ(m.State(), r.after);
    EXPECT_EQ(m.AppVersion(), "2.10.005");
  }
}

TEST_F(ReaderModelTest, UntrustedRequestsGetNoAnswerAndServingGoesOn) {
  auto ping = MakeFrame(0x18, 0x01);
  auto badCrc = ping;
  badCrc[15] ^= 0xFF;
  auto v3 = ping;
  v3[8] = '3';
  std::vector<BYTE> huge(ping.begin(), ping.begin() + 14);
  huge[12] = 0xFF;
  huge[13] = 0xFF;
  auto block = MakeFrame(0xC7, 0x03, std::vector<BYTE>(100, 0x11));
  struct Row {
    const char* name;
    std::vector<BYTE> bytes;
    const char* note;
  } rows[] = {
      {"nothing", {}, "no answer: not a frame"},
      {"garbage",
       {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10},
       "no answer: not a frame"},
      {"header only", std::vector<BYTE>(ping.begin(), ping.begin() + 13), "no answer: not a frame"},
      {"V3 request", v3, "no answer: not a frame"},
      {"CRC missing", std::vector<BYTE>(ping.begin(), ping.begin() + 15), "no answer: truncated frame, 15 of 16 bytes"},
      {"truncated data", std::vector<BYTE>(block.begin(), block.begin() + 60),
       "no answer: truncated frame, 60 of 116 bytes"},
      {"wrong CRC", badCrc, "no answer: bad CRC"},
      {"length 65535", huge, "no answer: data length 65535 too large"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ReaderModel m;
    EXPECT_FALSE(SendBytes(m, r.bytes).bAnswered);
    auto t = m.Transcript();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].kind, TranscriptEntry::Request);
    EXPECT_EQ(t[1].text, r.note);
    EXPECT_EQ(m.RequestsSeen(), 0);
    EXPECT_EQ(Send(m, 0x18, 0x01).status, 0x00);
  }
  // Extra bytes behind a frame are not part of it.
  ReaderModel m;
  auto padded = ping;
  padded.resize(64, 0);
  EXPECT_EQ(SendBytes(m, padded).status, 0x00);
  EXPECT_EQ(m.Transcript()[0].bytes.size(), 16u);
}

TEST_F(ReaderModelTest, AnswerFormats) {
  struct Row {
    const char* name;
    SimFrameVersion ver;
    CrcOrder order;
    std::uint32_t delay;
  } rows[] = {
      {"V2, CRC high first", SimFrameVersion::V2, CrcOrder::HighFirst, 0},
      {"V2, CRC low first, delayed", SimFrameVersion::V2, CrcOrder::LowFirst, 250},
      {"V3, CRC high first", SimFrameVersion::V3, CrcOrder::HighFirst, 0},
      {"V3, CRC low first", SimFrameVersion::V3, CrcOrder::LowFirst, 10},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ReaderConfig cfg;
    cfg.frameVersion = r.ver;
    cfg.crcOrder = r.order;
    cfg.nAnswerDelayMs = r.delay;
    ReaderModel m(cfg);
    ReaderReply rep = m.HandleRequest(MakeFrame(0x29, 0x04));
    ASSERT_TRUE(rep.bAnswer);
    EXPECT_EQ(rep.dueMs, Now() + r.delay);
    const auto& b = rep.bytes;
    const std::size_t overhead = r.ver == SimFrameVersion::V3 ? 17 : 16;
    ASSERT_EQ(b.size(), 18 + overhead);
    EXPECT_EQ(b[8], r.ver == SimFrameVersion::V3 ? '3' : '2');
    EXPECT_EQ(b[10], 0x29);
    const std::size_t lenAt = r.ver == SimFrameVersion::V3 ? 13 : 12;
    EXPECT_EQ(b[lenAt] * 256 + b[lenAt + 1], 18);
    const WORD crc = CalcCrc16(b.data(), static_cast<DWORD>(b.size() - 2));
    const BYTE first = r.order == CrcOrder::HighFirst ? crc >> 8 : crc & 0xFF;
    const BYTE second = r.order == CrcOrder::HighFirst ? crc & 0xFF : crc >> 8;
    EXPECT_EQ(b[b.size() - 2], first);
    EXPECT_EQ(b[b.size() - 1], second);
  }
}

TEST_F(ReaderModelTest, FaultsOnAnswers) {
  struct Row {
    const char* name;
    ReaderFaults f;
    WORD cmd;  // command sent (ping or version query)
    bool bAnswered;
    int nNoise;  // expected bytes before the header
    bool bCrcOk;
  };
  auto F = [](auto set) {
    ReaderFaults f;
    set(f);
    return f;
  };
  const Row rows[] = {
      {"no fault", {}, 0x1801, true, 0, true},
      {"noise before the header", F([](auto& f) { f.nNoiseBytes = 3; }), 0x1801, true, 3, true},
      {"wrong CRC", F([](auto& f) { f.bBadCrc = true; }), 0x1801, true, 0, false},
      {"silence", F([](auto& f) { f.bSilent = true; }), 0x1801, false, 0, false},
      {"silence for another command only", F([](auto& f) {
         f.bSilent = true;
         f.nFaultCmd = 0x2904;
       }),
       0x1801, true, 0, true},
      {"silence for this command", F([](auto& f) {
         f.bSilent = true;
         f.nFaultCmd = 0x2904;
       }),
       0x2904, false, 0, false},
      {"noise and wrong CRC together", F([](auto& f) {
         f.nNoiseBytes = 20;
         f.bBadCrc = true;
       }),
       0x2904, true, 20, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ReaderModel m;
    m.SetFaults(r.f);
    ReaderReply rep = m.HandleRequest(MakeFrame(r.cmd >> 8, r.cmd & 0xFF));
    ASSERT_EQ(rep.bAnswer, r.bAnswered);
    if (!rep.bAnswer) continue;
    const BYTE* frame = rep.bytes.data() + r.nNoise;
    const DWORD n = static_cast<DWORD>(rep.bytes.size() - r.nNoise);
    EXPECT_TRUE(IsFrameHeader(frame, n));
    for (int i = 0; i < r.nNoise; ++i) EXPECT_FALSE(IsFrameHeader(rep.bytes.data() + i, 10 + n)) << i;
    EXPECT_EQ(CheckRxFrame(frame, n) == static_cast<int>(n), r.bCrcOk);
    if (!r.bCrcOk) {
      EXPECT_EQ(CheckRxFrame(frame, n), -3);
    }
  }
}

TEST_F(ReaderModelTest, StopAnsweringAfterNAndStatusOnACommand) {
  ReaderModel m;
  ReaderFaults f;
  f.nStopAfter = 2;
  f.nStatusCmd = 0x2904;
  f.byStatus = 0x6A;
  m.SetFaults(f);
  Resp a = Send(m, 0x29, 0x04);
  EXPECT_EQ(a.status, 0x6A);
  EXPECT_TRUE(a.data.empty());
  EXPECT_EQ(Send(m, 0x29, 0x00, {}, CrcOrder::LowFirst).status, 0x00);
  EXPECT_FALSE(Send(m, 0x18, 0x01).bAnswered);
  EXPECT_FALSE(Send(m, 0x18, 0x01).bAnswered);
  // A status fault on C7-41 is answered but does not enter the bootloader.
  ReaderModel b;
  f = {};
  f.nStatusCmd = 0xC741;
  f.byStatus = 0x01;
  b.SetFaults(f);
  EXPECT_EQ(Send(b, 0xC7, 0x41).status, 0x01);
  EXPECT_EQ(b.State(), SimState::Application);
}

TEST_F(ReaderModelTest, RejectBlockN) {
  ReaderModel m;
  ReaderFaults f;
  f.nRejectBlock = 2;
  m.SetFaults(f);
  EnterBoot(m);
  const auto body = PatternBody(10000);
  ASSERT_EQ(Send(m, 0xC7, 0x02, {0x00}).status, 0x00);
  EXPECT_EQ(Send(m, 0xC7, 0x03, Block(0, body, 0, 2048)).status, 0x00);
  EXPECT_EQ(Send(m, 0xC7, 0x03, Block(2032, body, 2048, 2048)).status, 0x00);
  // Every try at block 2 is refused: the host's retries fail too.
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Send(m, 0xC7, 0x03, Block(4064, body, 4096, 2048)).status, kSimStatusFlashError);
  EXPECT_EQ(m.BlocksProgrammed(), 2);
}

TEST_F(ReaderModelTest, PowerLossDuringTheDownloadLeavesTheBootloader) {
  ReaderModel m;
  ReaderFaults f;
  f.nRestartAtBlock = 1;
  m.SetFaults(f);
  EnterBoot(m);
  const auto body = PatternBody(6000);
  ASSERT_EQ(Send(m, 0xC7, 0x02, {0x00}).status, 0x00);
  EXPECT_EQ(Send(m, 0xC7, 0x03, Block(0, body, 0, 2048)).status, 0x00);
  EXPECT_FALSE(Send(m, 0xC7, 0x03, Block(2032, body, 2048, 2048)).bAnswered);
  EXPECT_TRUE(m.Restarting());
  m_clock.Advance(m.Config().nRestartMs);
  // A later run asks as the tool does: the application query fails, the
  // bootloader answers, so the run sees boot mode.
  EXPECT_EQ(Send(m, 0x29, 0x04).status, kSimStatusUnknownCommand);
  EXPECT_EQ(Send(m, 0xC7, 0x10).status, 0x00);
  EXPECT_EQ(m.State(), SimState::Bootloader);
  // A power cycle does not help: the flash holds no valid application.
  m.PowerCycle();
  m_clock.Advance(m.Config().nRestartMs);
  EXPECT_EQ(m.State(), SimState::Bootloader);
  // The fault struck once; the next download goes through.
  Program(m, body);
  EXPECT_EQ(Send(m, 0xC7, 0x04, VerifyData(MakeSimTrailer(body.data(), body.size()))).status, 0x00);
  EXPECT_EQ(Send(m, 0xC7, 0x05).status, 0x00);
  m_clock.Advance(m.Config().nRestartMs);
  EXPECT_EQ(m.State(), SimState::Application);
  EXPECT_EQ(m.AppVersion(), "3.10.001");
}

TEST_F(ReaderModelTest, DisconnectAfterN) {
  ReaderModel m;
  int unplugged = 0;
  m.SetDisconnectHandler([&] { ++unplugged; });
  ReaderFaults f;
  f.nDisconnectAfter = 1;
  m.SetFaults(f);
  EXPECT_TRUE(Send(m, 0x18, 0x01).bAnswered);
  EXPECT_TRUE(m.Disconnected());
  EXPECT_FALSE(Send(m, 0x18, 0x01).bAnswered);
  m.Disconnect();
  EXPECT_EQ(unplugged, 1);
  m.SetFaults({});
  m.Reconnect();
  EXPECT_TRUE(Send(m, 0x18, 0x01).bAnswered);
}

TEST_F(ReaderModelTest, TranscriptHoldsEveryRequestAndAnswerWithItsTime) {
  ReaderConfig cfg;
  cfg.nAnswerDelayMs = 40;
  ReaderModel m(cfg);
  std::vector<TranscriptEntry> live;
  m.SetTranscriptSink([&](const TranscriptEntry& e) { live.push_back(e); });
  const std::uint64_t t0 = Now();
  Send(m, 0x18, 0x01);
  m_clock.Advance(100);
  Send(m, 0x04, 0x0A, {}, CrcOrder::LowFirst);
  m_clock.Advance(100);
  Send(m, 0x18, 0x01);  // restarting: no answer

  const auto t = m.Transcript();
  struct Want {
    TranscriptEntry::Kind kind;
    std::uint64_t t;
    WORD code;
  } want[] = {
      {TranscriptEntry::Request, t0, 0x1801},       {TranscriptEntry::Response, t0 + 40, 0x1800},
      {TranscriptEntry::Request, t0 + 100, 0x040A}, {TranscriptEntry::Response, t0 + 140, 0x0400},
      {TranscriptEntry::Note, t0 + 140, 0},         {TranscriptEntry::Request, t0 + 200, 0x1801},
      {TranscriptEntry::Note, t0 + 200, 0},
  };
  ASSERT_EQ(t.size(), std::size(want));
  for (std::size_t i = 0; i < t.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(t[i].kind, want[i].kind);
    EXPECT_EQ(t[i].tMs, want[i].t);
    EXPECT_EQ(t[i].wCode, want[i].code);
  }
  EXPECT_EQ(t[1].bytes, MakeFrame(0x18, 0x00));
  EXPECT_EQ(t[4].text, "restart: silent for 3000 ms, then application");
  EXPECT_EQ(t[6].text, "no answer: restarting");
  EXPECT_EQ(live.size(), t.size());
  m.ClearTranscript();
  EXPECT_TRUE(m.Transcript().empty());
}

TEST(SimTrailer, RuleOnKnownBytes) {
  const BYTE body[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  const auto t = MakeSimTrailer(body, sizeof body);
  ASSERT_EQ(t.size(), 256u);
  const BYTE head[] = {0, 0, 0, 9, 0x29, 0xB1};
  EXPECT_TRUE(std::equal(head, head + 6, t.begin()));
  EXPECT_TRUE(std::all_of(t.begin() + 6, t.end(), [](BYTE b) { return b == 0xFF; }));
  EXPECT_TRUE(SimTrailerMatches(t.data(), body, sizeof body));
  EXPECT_FALSE(SimTrailerMatches(t.data(), body, 8));
  EXPECT_FALSE(SimTrailerMatches(nullptr, body, sizeof body));
}

}  // namespace
