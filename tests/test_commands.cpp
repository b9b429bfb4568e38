// The reader command set over both interfaces, in virtual time: the exact
// request frame of every wrapper, what it does with the tagged-report flag
// and the serial time-outs around its exchange, how it judges the answer,
// the version query in any mode, and the programming loop with its blocks,
// addresses and progress texts. Last, a whole bootloader session against the
// simulated reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "link/commands.h"
#include "link/dispatch.h"
#include "sim/model/image_rule.h"
#include "sim/model/reader_model.h"
#include "sim/model/samples.h"
#include "support/link_bench.h"
#include "support/sim_hid.h"
#include "support/sim_serial.h"

namespace {

using linkbench::Bytes;
using linkbench::Hex;
using linkbench::LinkBench;
using linkbench::Req;
using linkbench::ToHex;

const char* InterfaceName(int n) { return n == kInterfaceRs232 ? "RS232" : "UsbHid"; }

std::vector<std::pair<std::string, int>> g_progress;
void RecordProgress(const char* pszText, int nPos) { g_progress.emplace_back(pszText ? pszText : "(null)", nPos); }

// The 256 bytes VerifyFlash carries in the golden frame below.
Bytes Trailer() {
  Bytes t(256);
  for (int i = 0; i < 256; ++i) t[i] = static_cast<BYTE>(i * 7 + 3);
  return t;
}

// Version answers carry a 10-character label, then "x.xx.xxx" at data bytes 10 to 17.
Bytes VersionData(const std::string& version) {
  std::string s = "Version : " + version;
  return Bytes(s.begin(), s.end());
}

class CommandsTest : public LinkBench, public ::testing::WithParamInterface<int> {
 protected:
  CommandsTest() {
    g_progress.clear();
    Use(GetParam());
  }
};

INSTANTIATE_TEST_SUITE_P(BothInterfaces, CommandsTest, ::testing::Values(kInterfaceRs232, kInterfaceUsbHid),
                         [](const ::testing::TestParamInfo<int>& i) { return std::string(InterfaceName(i.param)); });

// ---------------------------------------------------------------------------
// Request frames, tagged-report flag and serial time-outs
// ---------------------------------------------------------------------------

// The frames are written out by hand (CRC-16/CCITT-FALSE computed apart from
// the tool): 29-00 and the resets carry the CRC low byte first, everything
// else high byte first (compare 29-00 with 29-04).
TEST_P(CommandsTest, EveryWrapperSendsItsFrameWithTheFlagSetAndTheTimeOutsOfItsRow) {
  constexpr int kSerialNone = -1;  // the wrapper leaves the serial time-outs alone
  const Bytes trailer = Trailer();
  Bytes verify = Req("C7 04 01 04 00 03 FF F0");
  verify.insert(verify.end(), trailer.begin(), trailer.end());
  verify.push_back(0x96);
  verify.push_back(0x11);
  const Bytes rawFrame = Req("99 01 00 02 AB CD 12 34");  // sent as given, CRC included
  Bytes block4080(4080, 0x5A);
  Bytes golden4080 = Req("C7 03 0F F0");
  golden4080.insert(golden4080.end(), block4080.begin(), block4080.end());

  struct Row {
    const char* name;
    std::function<void()> call;
    Bytes frame;
    BYTE bTaggedDuring;
    int nSerialWrite;  // write time-out during the exchange on RS-232
  };
  BYTE data[600];
  int len = sizeof data;
  int newVersion = 0;
  BYTE resp[128];
  DWORD respLen = sizeof resp;
  const BYTE blockData[] = {0x00, 0x00, 0x07, 0xF0, 0xA1, 0xB2, 0xC3};
  std::vector<Row> rows = {
      {"PingReader", [] { PingReader(); }, Req("18 01 00 00 FF 61"), 1, 200},
      {"RequestBootMode", [] { RequestBootMode(); }, Req("C7 41 00 00 9E 21"), 1, kSerialNone},
      {"QueryReader 29-04", [&] { QueryReader(0x29, 0x04, data, &len, &newVersion); }, Req("29 04 00 00 4E CC"), 1,
       500},
      {"GetBLVersion", [&] { GetBLVersion(data, &len); }, Req("C7 01 00 00 83 8C"), 1, 500},
      {"GetBLVersionAlt", [&] { GetBLVersionAlt(data, &len, &newVersion); }, Req("C7 10 00 00 F7 DF"), 1, 500},
      {"EraseFlash", [] { EraseFlash(); }, Req("C7 02 00 01 00 85 06"), 1, kSerialNone},
      {"ProgramFlashBlock without data", [&] { ProgramFlashBlock(nullptr, 0, resp, &respLen); },
       Req("C7 03 00 00 ED EC"), 1, kSerialNone},
      {"ProgramFlashBlock", [&] { ProgramFlashBlock(blockData, sizeof blockData, resp, &respLen); },
       Req("C7 03 00 07 00 00 07 F0 A1 B2 C3 56 5F"), 1, kSerialNone},
      {"ProgramFlashBlock of 4080 bytes",
       [&] { ProgramFlashBlock(block4080.data(), 4080, resp, &respLen); },
       [&] {
         Bytes f = golden4080;
         const WORD crc = CalcCrc16(f.data(), static_cast<DWORD>(f.size()));
         f.push_back(static_cast<BYTE>(crc >> 8));
         f.push_back(static_cast<BYTE>(crc));
         return f;
       }(),
       1, kSerialNone},
      {"VerifyFlash", [&] { VerifyFlash(trailer.data()); }, verify, 1, kSerialNone},
      {"ResetBootloader", [] { ResetBootloader(); }, Req("C7 05 00 00 5F 4C"), 1, kSerialNone},
      {"GetFwVersion", [&] { GetFwVersion(data, &len); }, Req("29 00 00 00 0C 92"), 1, kSerialNone},
      {"ResetDefaultF0", [] { ResetDefaultF0(); }, Req("04 F0 00 00 96 7F"), 1, kSerialNone},
      {"ResetDefault0A", [] { ResetDefault0A(false); }, Req("04 0A 00 00 05 5B"), 1, kSerialNone},
      {"RawTransceive", [&] {
         DWORD n = sizeof resp;
         RawTransceive(rawFrame.data(), static_cast<DWORD>(rawFrame.size()), resp, &n);
       },
       rawFrame, 0, kSerialNone},
  };

  // With USB HID selected, an open serial port must be left alone.
  if (GetParam() == kInterfaceUsbHid) {
    ASSERT_TRUE(g_Rs232Port.Open(linkbench::kCom1Def));
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    m_requests.clear();
    len = sizeof data;
    respLen = sizeof resp;
    g_HidDevice.SetTaggedReports(0);
    ASSERT_TRUE(g_Rs232Port.SetTimeouts(1234, 777));

    row.call();

    ASSERT_EQ(m_requests.size(), 1u);
    EXPECT_EQ(ToHex(m_requests[0].bytes), ToHex(row.frame));
    EXPECT_EQ(m_requests[0].nInterface, GetParam());
    EXPECT_EQ(m_requests[0].bTagged, row.bTaggedDuring);
    EXPECT_EQ(g_HidDevice.GetTaggedReports(), 0) << "flag put back";

    const bool shortened = GetParam() == kInterfaceRs232 && row.nSerialWrite != kSerialNone;
    EXPECT_EQ(m_requests[0].serial.WriteTotalTimeoutConstant, shortened ? DWORD(row.nSerialWrite) : 1234u);
    EXPECT_EQ(m_requests[0].serial.ReadTotalTimeoutConstant, 777u) << "read time-out unchanged";
    // Afterwards the values of ResetTimeouts, whatever was there before.
    EXPECT_EQ(m_com1.Timeouts().WriteTotalTimeoutConstant, shortened ? 10000u : 1234u);
    EXPECT_EQ(m_com1.Timeouts().ReadTotalTimeoutConstant, shortened ? 200u : 777u);
  }
}

TEST_P(CommandsTest, FlagSetBeforeAnExchangeIsKeptAndRawTransceiveSendsWithIt) {
  g_HidDevice.SetTaggedReports(1);
  EXPECT_TRUE(PingReader());
  EXPECT_EQ(g_HidDevice.GetTaggedReports(), 1);
  EXPECT_EQ(HidGetTaggedReports(), 1);

  const Bytes frame = Req("18 01 00 00 FF 61");
  BYTE resp[512];
  DWORD n = sizeof resp;
  EXPECT_EQ(RawTransceive(frame.data(), 16, resp, &n), 16u);
  EXPECT_EQ(n, 16u);
  ASSERT_EQ(m_requests.size(), 2u);
  EXPECT_EQ(m_requests[1].bTagged, 1);
  EXPECT_EQ(g_HidDevice.GetTaggedReports(), 1);
}

// ---------------------------------------------------------------------------
// Judging the answer
// ---------------------------------------------------------------------------

TEST_P(CommandsTest, EachWrapperJudgesTheAnswerByItsOwnTest) {
  BYTE data[600];
  int len = 0;
  BYTE resp[128];
  DWORD respLen = 0;
  const Bytes trailer = Trailer();
  const BYTE block[] = {0, 0, 0, 0, 1, 2, 3};
  const std::optional<Bytes> kNone;
  auto A = [](BYTE cmd, BYTE status) { return std::optional<Bytes>(MakeFrame(cmd, status)); };
  auto Query = [&] {
    len = sizeof data;
    return QueryReader(0x29, 0x04, data, &len, nullptr);
  };
  auto FwVersion = [&] {
    len = sizeof data;
    return GetFwVersion(data, &len);
  };
  auto Block = [&] {
    respLen = sizeof resp;
    return ProgramFlashBlock(block, sizeof block, resp, &respLen);
  };
  struct Row {
    const char* name;
    std::function<bool()> call;
    std::optional<Bytes> answer;
    bool ok;
  } rows[] = {
      {"ping, any command and status", PingReader, A(0x55, 0x99), true},
      {"ping, silence", PingReader, kNone, false},
      {"C7-41 status 00", RequestBootMode, A(0xC7, 0x00), true},
      {"C7-41 status F2", RequestBootMode, A(0xC7, 0xF2), true},
      {"C7-41 status 01", RequestBootMode, A(0xC7, 0x01), false},
      {"C7-41 answered for 18", RequestBootMode, A(0x18, 0x00), false},
      {"C7-41 silence", RequestBootMode, kNone, false},
      {"29-04 status 00", Query, A(0x29, 0x00), true},
      {"29-04 status F2", Query, A(0x29, 0xF2), false},
      {"29-04 answered for C7", Query, A(0xC7, 0x00), false},
      {"29-04 silence", Query, kNone, false},
      {"C7-02 status 00", EraseFlash, A(0xC7, 0x00), true},
      {"C7-02 status F2", EraseFlash, A(0xC7, 0xF2), false},
      {"C7-02 silence", EraseFlash, kNone, false},
      {"C7-03 status 00", Block, A(0xC7, 0x00), true},
      {"C7-03 status F2", Block, A(0xC7, 0xF2), false},
      {"C7-04 status 00", [&] { return VerifyFlash(trailer.data()); }, A(0xC7, 0x00), true},
      {"C7-04 status 05", [&] { return VerifyFlash(trailer.data()); }, A(0xC7, 0x05), false},
      {"C7-05 status 00", ResetBootloader, A(0xC7, 0x00), true},
      {"C7-05 answered for 29", ResetBootloader, A(0x29, 0x00), false},
      {"29-00 status 00", FwVersion, A(0x29, 0x00), true},
      {"29-00 status 01", FwVersion, A(0x29, 0x01), false},
      {"04-F0 status 00", ResetDefaultF0, A(0x04, 0x00), true},
      {"04-F0 status F2", ResetDefaultF0, A(0x04, 0xF2), false},
      {"04-F0 silence", ResetDefaultF0, kNone, false},
      {"04-0A status 00", [] { return ResetDefault0A(false); }, A(0x04, 0x00), true},
      {"04-0A silence", [] { return ResetDefault0A(false); }, kNone, false},
      {"04-0A silence, reply ignored", [] { return ResetDefault0A(true); }, kNone, true},
      {"04-0A status 01, reply ignored", [] { return ResetDefault0A(true); }, A(0x04, 0x01), true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::optional<Bytes> answer = row.answer;
    m_responder = [answer](const Request&) { return answer; };
    m_requests.clear();
    EXPECT_EQ(row.call(), row.ok);
    EXPECT_EQ(m_requests.size(), 1u) << "exactly one exchange, never repeated";
  }
}

// The wrappers whose answer is judged by its command and status.
struct JudgedCall {
  const char* name;
  BYTE cmd;
  std::function<bool()> call;
};
std::vector<JudgedCall> JudgedCalls() {
  static BYTE data[600];
  static int len = 0;
  static BYTE resp[128];
  static DWORD respLen = 0;
  static const Bytes trailer = Trailer();
  static const BYTE block[] = {0, 0, 0, 0, 1, 2, 3};
  return {
      {"C7-41", 0xC7, RequestBootMode},
      {"29-04", 0x29,
       [] {
         len = sizeof data;
         return QueryReader(0x29, 0x04, data, &len, nullptr);
       }},
      {"C7-02", 0xC7, EraseFlash},
      {"C7-03", 0xC7,
       [] {
         respLen = sizeof resp;
         return ProgramFlashBlock(block, sizeof block, resp, &respLen);
       }},
      {"C7-04", 0xC7, [] { return VerifyFlash(trailer.data()); }},
      {"C7-05", 0xC7, ResetBootloader},
      {"29-00", 0x29,
       [] {
         len = sizeof data;
         return GetFwVersion(data, &len);
       }},
      {"04-F0", 0x04, ResetDefaultF0},
  };
}

// Answers with the right command and status 00 that are no valid frame: a
// CRC that fits neither order, or a frame cut off after its status byte. The
// serial receiver gathered their bytes, then gave up on them; they are no
// acceptance. (The HID receivers check no CRC and take a frame whole.)
TEST_P(CommandsTest, AnAnswerThatDoesNotCheckOutIsNoAcceptance) {
  if (GetParam() != kInterfaceRs232) GTEST_SKIP() << "serial frames only";
  for (const JudgedCall& c : JudgedCalls()) {
    SCOPED_TRACE(c.name);
    Bytes badCrc = MakeFrame(c.cmd, 0x00, {0x11, 0x22});
    badCrc[badCrc.size() - 1] ^= 0x5A;
    const Bytes cut(badCrc.begin(), badCrc.begin() + 12);
    for (const Bytes& answer : {badCrc, cut}) {
      m_responder = [answer](const Request&) { return std::optional<Bytes>(answer); };
      EXPECT_FALSE(c.call());
    }
    // The same answer whole and sound is accepted.
    m_responder = [&c](const Request&) { return std::optional<Bytes>(MakeFrame(c.cmd, 0x00, {0x11, 0x22})); };
    EXPECT_TRUE(c.call());
  }
}

// A V3 answer keeps its status one byte later than a V2 answer: a V3 refusal
// is a refusal, a V3 acceptance an acceptance. (The serial header search
// finds V2 frames only.)
TEST_P(CommandsTest, AV3AnswerIsJudgedByItsOwnStatusByte) {
  if (GetParam() != kInterfaceUsbHid) GTEST_SKIP() << "V3 answers reach the wrappers over USB HID only";
  for (const JudgedCall& c : JudgedCalls()) {
    SCOPED_TRACE(c.name);
    for (BYTE status : {BYTE{0x00}, BYTE{0x05}}) {
      m_responder = [&c, status](const Request&) { return std::optional<Bytes>(MakeFrameV3(c.cmd, status)); };
      EXPECT_EQ(c.call(), status == 0x00) << "status " << int(status);
    }
  }
  // Boot-mode entry takes 0xF2 in either version.
  m_responder = [](const Request&) { return std::optional<Bytes>(MakeFrameV3(0xC7, 0xF2)); };
  EXPECT_TRUE(RequestBootMode());
  // Both status places of a V3 answer must accept: a nonzero offset 11 refuses.
  for (const JudgedCall& c : JudgedCalls()) {
    SCOPED_TRACE(c.name);
    m_responder = [&c](const Request&) {
      Bytes answer = MakeFrameV3(c.cmd, 0x00);
      answer[11] = 0x07;
      const WORD crc = CalcCrc16(answer.data(), 15);  // still a frame that checks out
      answer[15] = static_cast<BYTE>(crc >> 8);
      answer[16] = static_cast<BYTE>(crc & 0xFF);
      return std::optional<Bytes>(answer);
    };
    EXPECT_FALSE(c.call());
  }
}

TEST_P(CommandsTest, RawTransceiveReturnsTheResponseLengthWithoutJudging) {
  const Bytes frame = Req("99 01 00 00 54 ED");
  for (const auto& answer : {MakeFrame(0x99, 0xF2, {1, 2, 3}), MakeFrame(0x12, 0x34)}) {
    m_responder = [answer](const Request&) { return std::optional<Bytes>(answer); };
    BYTE resp[512] = {};
    DWORD n = sizeof resp;
    EXPECT_EQ(RawTransceive(frame.data(), 16, resp, &n), answer.size());
    EXPECT_EQ(Bytes(resp, resp + n), answer);
  }
  AnswerNothing();
  BYTE resp[512];
  DWORD n = sizeof resp;
  EXPECT_EQ(RawTransceive(frame.data(), 16, resp, &n), 0u);
  EXPECT_EQ(n, 0u);
}

TEST_P(CommandsTest, EnterBootModeSendsNothingAfterAFailedPing) {
  AnswerNothing();
  EXPECT_FALSE(EnterBootMode());
  ASSERT_EQ(m_requests.size(), 1u);
  EXPECT_EQ(GetRespCode(m_requests[0].bytes.data()), 0x1801);

  for (BYTE status : {BYTE(0x00), BYTE(0xF2), BYTE(0x01)}) {
    SCOPED_TRACE(status);
    m_requests.clear();
    m_responder = [status](const Request& r) {
      return std::optional<Bytes>(MakeFrame(r.bytes[10], r.bytes[10] == 0xC7 ? status : 0x00));
    };
    EXPECT_EQ(EnterBootMode(), status != 0x01);
    ASSERT_EQ(m_requests.size(), 2u);
    EXPECT_EQ(GetRespCode(m_requests[0].bytes.data()), 0x1801);
    EXPECT_EQ(GetRespCode(m_requests[1].bytes.data()), 0xC741);
  }
}

// ---------------------------------------------------------------------------
// Data out of the queries
// ---------------------------------------------------------------------------

TEST_P(CommandsTest, QueryCopiesTheDataAndSetsTheVersionFlagFromBytes10To17) {
  struct Row {
    const char* name;
    Bytes data;
    int cap;
    int nLen;       // expected *pnLen
    int nNew;       // expected *pbNewVersion
  } rows[] = {
      {"3.00.001 is new", VersionData("3.00.001"), 64, 18, 1},
      {"9.99.999 is new", VersionData("9.99.999"), 64, 18, 1},
      {"3.00.000 is old", VersionData("3.00.000"), 64, 18, 0},
      {"2.99.999 is old", VersionData("2.99.999"), 64, 18, 0},
      // Fewer than 18 bytes: positions 10 to 17 hold what the destination
      // held before (a new version here), which is no version of this reader.
      {"short answer", Bytes{'V', 'e', 'r', ' ', '3'}, 64, 5, 0},
      // Frame of 18 + 14 bytes does not fit 31: nothing copied, length -2.
      {"capacity too small", VersionData("3.00.001"), 31, -2, 0},
      {"capacity exact", VersionData("3.00.001"), 32, 18, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Bytes answer = MakeFrame(0x29, 0x00, row.data);
    m_responder = [answer](const Request&) { return std::optional<Bytes>(answer); };
    std::string before = "Version : 3.00.001 and more";
    Bytes dest(before.begin(), before.end());
    dest.resize(64, 0xEE);
    const Bytes untouched = dest;
    int len = row.cap;
    int isNew = 7;
    EXPECT_TRUE(QueryReader(0x29, 0x04, dest.data(), &len, &isNew));
    EXPECT_EQ(len, row.nLen);
    EXPECT_EQ(isNew, row.nNew);
    if (row.nLen >= 0) {
      EXPECT_EQ(Bytes(dest.begin(), dest.begin() + row.nLen), row.data);
      EXPECT_EQ(dest[static_cast<size_t>(row.nLen)], 0) << "NUL-terminated";
    } else {
      EXPECT_EQ(dest, untouched);
    }
  }

  // A refused query leaves both out-parameters as they were.
  AnswerAll(0x01);
  BYTE dest[64];
  int len = 64, isNew = 7;
  EXPECT_FALSE(QueryReader(0x29, 0x04, dest, &len, &isNew));
  EXPECT_EQ(len, 64);
  EXPECT_EQ(isNew, 7);
}

// An answer whose length field claims more than the 512-byte response buffer
// holds: the receiver gives up on the frame, and the bytes it gathered
// (command and status included) are no answer. Nothing is copied, and
// nothing is read past the response buffer, however large the caller's
// capacity.
TEST_P(CommandsTest, AnswerClaimingMoreThanTheResponseBufferIsNotCopied) {
  Bytes answer = Req("29 00 03 E8");  // data length 1000
  answer.resize(14 + 600, 0x33);
  m_responder = [this, answer](const Request& r) -> std::optional<Bytes> {
    if (r.nInterface == kInterfaceUsbHid) return answer;
    // In pieces the serial receiver can take, until its buffer is full.
    for (size_t off = 0; off < answer.size(); off += 100)
      m_com1.ArriveAfter(20 + off * 3, Bytes(answer.begin() + off, answer.begin() + std::min(off + 100, answer.size())));
    return std::nullopt;
  };
  Bytes dest(4096, 0xEE);
  for (int which = 0; which < 2; ++which) {
    SCOPED_TRACE(which == 0 ? "QueryReader" : "GetFwVersion");
    int len = 4096;
    int isNew = 7;
    const bool ok = which == 0 ? QueryReader(0x29, 0x04, dest.data(), &len, &isNew) : GetFwVersion(dest.data(), &len);
    // Both receivers take a frame whole or not at all.
    EXPECT_FALSE(ok);
    EXPECT_EQ(len, 4096);
    EXPECT_EQ(isNew, 7);
    EXPECT_EQ(std::count(dest.begin(), dest.end(), 0xEE), 4096) << "destination untouched";
  }
}

// ---------------------------------------------------------------------------
// GetVersionAnyMode
// ---------------------------------------------------------------------------

TEST_P(CommandsTest, VersionAnyModeAsksAppThenBootloaderTwiceWithPausesOnUsbHidOnly) {
  WORD okCode = 0;  // the one query answered with status 0 (0: none)
  m_responder = [&okCode](const Request& r) {
    const WORD code = GetRespCode(r.bytes.data());
    return std::optional<Bytes>(MakeFrame(r.bytes[10], code == okCode ? 0x00 : 0x01, VersionData("3.00.001")));
  };
  // How long one refused query lasts on this interface.
  BYTE d[64];
  int n = 64;
  const std::uint64_t t0 = Now();
  ASSERT_FALSE(QueryReader(0x29, 0x04, d, &n, nullptr));
  const std::uint64_t exchange = Now() - t0;
  const std::uint64_t pause = GetParam() == kInterfaceUsbHid ? 300 : 0;

  struct Row {
    const char* name;
    WORD okCode;
    std::vector<WORD> sent;
    bool ok;
    BYTE inBoot;  // 0x55: untouched
  } rows[] = {
      {"application answers", 0x2904, {0x2904}, true, 0},
      {"bootloader answers C7-10", 0xC710, {0x2904, 0xC710}, true, 1},
      {"bootloader answers C7-01", 0xC701, {0x2904, 0xC710, 0xC701}, true, 1},
      {"nobody answers", 0, {0x2904, 0xC710, 0xC701}, false, 0x55},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    okCode = row.okCode;
    m_requests.clear();
    Bytes data(64, 0);
    int len = 64, isNew = 7;
    BYTE inBoot = 0x55;
    EXPECT_EQ(GetVersionAnyMode(data.data(), &len, &isNew, &inBoot), row.ok);
    EXPECT_EQ(inBoot, row.inBoot);
    EXPECT_EQ(len, row.ok ? 18 : 64) << "each query starts from the caller's capacity";
    EXPECT_EQ(isNew, row.ok ? 1 : 7);
    ASSERT_EQ(m_requests.size(), row.sent.size());
    for (size_t i = 0; i < row.sent.size(); ++i) {
      EXPECT_EQ(GetRespCode(m_requests[i].bytes.data()), row.sent[i]);
      if (i) {
        EXPECT_EQ(m_requests[i].atMs - m_requests[i - 1].atMs, exchange + pause) << "before query " << i;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// ProgramFlash
// ---------------------------------------------------------------------------

struct Block {
  DWORD address;
  size_t length;  // request data length: address + block bytes
};

std::vector<Block> BlocksOf(const std::vector<linkbench::Request>& requests, Bytes* pBody) {
  std::vector<Block> out;
  for (const auto& r : requests) {
    EXPECT_EQ(GetRespCode(r.bytes.data()), 0xC703);
    const size_t len = 256u * r.bytes[12] + r.bytes[13];
    const DWORD addr = (DWORD(r.bytes[14]) << 24) | (DWORD(r.bytes[15]) << 16) | (DWORD(r.bytes[16]) << 8) | r.bytes[17];
    out.push_back({addr, len});
    if (pBody) pBody->insert(pBody->end(), r.bytes.begin() + 18, r.bytes.begin() + 14 + static_cast<long>(len));
  }
  return out;
}

Bytes Image(size_t n) {
  Bytes img(n);
  for (size_t i = 0; i < n; ++i) img[i] = static_cast<BYTE>((i * 131 + i / 251) & 0xFF);
  return img;
}

TEST_P(CommandsTest, ProgramFlashSmallImagesBlocksAddressesAndTexts) {
  struct Row {
    int size;
    std::vector<std::pair<DWORD, size_t>> blocks;
    std::vector<std::pair<std::string, int>> progress;
  } rows[] = {
      {2049,
       {{0, 2052}, {2032, 5}},
       // 101 / (2049 / 2048) is just above 100: held at 99 inside the loop.
       {{"[Programming] Address=00000000, 0% Done", 0}, {"[Programming] Address=00000800, 99% Done", 99}}},
      {4096,
       {{0, 2052}, {2032, 2052}},
       {{"[Programming] Address=00000000, 0% Done", 0}, {"[Programming] Address=00000800, 50% Done", 50}}},
      {2048, {{0, 2052}}, {{"[Programming] Address=00000000, 1% Done", 1}}},
      // Under one block: counted as one whole block, never a division by a fraction.
      {1000, {{0, 1004}}, {{"[Programming] Address=00000000, 1% Done", 1}}},
      {1, {{0, 5}}, {{"[Programming] Address=00000000, 1% Done", 1}}},
      {0, {}, {}},
      {-5, {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.size);
    m_requests.clear();
    g_progress.clear();
    const Bytes img = Image(row.size > 0 ? static_cast<size_t>(row.size) : 1);
    EXPECT_TRUE(ProgramFlash(img.data(), row.size, RecordProgress));
    Bytes body;
    const auto blocks = BlocksOf(m_requests, &body);
    ASSERT_EQ(blocks.size(), row.blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i) {
      EXPECT_EQ(blocks[i].address, row.blocks[i].first) << "block " << i;
      EXPECT_EQ(blocks[i].length, row.blocks[i].second) << "block " << i;
    }
    if (row.size > 0) {
      EXPECT_EQ(body, img);
    }
    EXPECT_EQ(g_progress, row.progress);
  }
}

TEST_P(CommandsTest, ProgramFlashOf300000BytesReportsEachRisingPercentOnce) {
  const Bytes img = Image(300000);
  ASSERT_TRUE(ProgramFlash(img.data(), 300000, RecordProgress));
  Bytes body;
  const auto blocks = BlocksOf(m_requests, &body);
  ASSERT_EQ(blocks.size(), 147u);
  for (size_t k = 0; k < blocks.size(); ++k) {
    EXPECT_EQ(blocks[k].address, k * 2032) << "block " << k;
    EXPECT_EQ(blocks[k].length, k < 146 ? 2052u : 300000u - 146 * 2048 + 4) << "block " << k;
  }
  EXPECT_EQ(body, img);

  // One callback per new percentage: 0 to 99, never repeated, never 100.
  ASSERT_EQ(g_progress.size(), 100u);
  for (size_t i = 0; i < g_progress.size(); ++i) EXPECT_EQ(g_progress[i].second, static_cast<int>(i));
  const std::vector<std::pair<std::string, int>> head(g_progress.begin(), g_progress.begin() + 4);
  EXPECT_EQ(head, (std::vector<std::pair<std::string, int>>{{"[Programming] Address=00000000, 0% Done", 0},
                                                            {"[Programming] Address=00001000, 1% Done", 1},
                                                            {"[Programming] Address=00001800, 2% Done", 2},
                                                            {"[Programming] Address=00002800, 3% Done", 3}}));
  EXPECT_EQ(g_progress.back().first, "[Programming] Address=00049000, 99% Done");
}

TEST_P(CommandsTest, ProgramFlashStopsAtTheRejectedThirdBlock) {
  m_responder = [this](const Request&) {
    return std::optional<Bytes>(MakeFrame(0xC7, m_requests.size() == 3 ? 0x04 : 0x00));
  };
  const Bytes img = Image(300000);
  EXPECT_FALSE(ProgramFlash(img.data(), 300000, RecordProgress));
  const auto blocks = BlocksOf(m_requests, nullptr);
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[2].address, 2u * 2032);
  EXPECT_EQ(g_progress, (std::vector<std::pair<std::string, int>>{
                            {"[Programming] Address=00000000, 0% Done", 0},
                            {"[Failed] Address=00001000, Block # (0-based) = 2/146", 100}}));

  // Without a callback the same blocks go out and nothing is reported.
  m_requests.clear();
  g_progress.clear();
  EXPECT_FALSE(ProgramFlash(img.data(), 300000, nullptr));
  EXPECT_EQ(m_requests.size(), 3u);
  EXPECT_TRUE(g_progress.empty());
}

TEST_P(CommandsTest, ProgramFlashBlockRefusesWhatDoesNotFitBeforeSendingAnything) {
  const Bytes data(4081, 0x11);
  BYTE resp[64];
  struct Row {
    const char* name;
    DWORD dataLen;
    BYTE* pResp;
    DWORD cap;
    bool useLen;
  } rows[] = {
      {"4081 data bytes", 4081, resp, sizeof resp, true},
      {"no response buffer", 10, nullptr, sizeof resp, true},
      {"no response length", 10, resp, sizeof resp, false},
      {"response buffer of 11 bytes", 10, resp, 11, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    DWORD cap = row.cap;
    EXPECT_FALSE(ProgramFlashBlock(data.data(), row.dataLen, row.pResp, row.useLen ? &cap : nullptr));
    EXPECT_TRUE(m_requests.empty());
  }
  // The smallest buffer that holds command and status is used as it is.
  DWORD cap = 16;
  EXPECT_TRUE(ProgramFlashBlock(data.data(), 4080, resp, &cap));
  EXPECT_EQ(cap, 16u) << "response length out";
  EXPECT_EQ(m_requests.size(), 1u);
}

// ---------------------------------------------------------------------------
// A whole bootloader session against the simulated reader
// ---------------------------------------------------------------------------

TEST_P(CommandsTest, BootloaderSessionAgainstTheSimulatedReader) {
  ResetLinkGlobals();
  ReaderModel reader;
  FakeSerialPort& com2 = m_serial.AddPort("COM2");
  SimSerialLink serialLink(com2, reader, 115200);
  SimHidDevice usb(m_backend, reader, SimHidMode::Interrupt64);
  if (GetParam() == kInterfaceRs232) {
    ASSERT_TRUE(g_Rs232Port.Open("\\\\.\\COM2/baud=115200/parity=N/stop=1/data=8"));
  } else {
    ASSERT_TRUE(g_HidDevice.Open(kSimReaderVendorId, kSimReaderProductId));
  }
  g_nInterface = GetParam();

  std::vector<BYTE> image;
  std::string err;
  ASSERT_TRUE(MakeSampleImage(300000, 7, &image, &err)) << err;
  const int body = static_cast<int>(image.size() - kSimTrailerSize);

  BYTE data[512];
  int len = sizeof data, isNew = 7;
  BYTE inBoot = 0x55;
  ASSERT_TRUE(GetVersionAnyMode(data, &len, &isNew, &inBoot));
  EXPECT_EQ(inBoot, 0);
  EXPECT_EQ(isNew, 0) << reader.AppVersion();

  ASSERT_TRUE(EnterBootMode());
  PumpWait(reader.Config().nBootEntryMs + 500, FALSE);  // the bootloader starts
  len = sizeof data;
  ASSERT_TRUE(GetBLVersion(data, &len));
  EXPECT_GT(len, 0);
  ASSERT_TRUE(EraseFlash());
  ASSERT_TRUE(ProgramFlash(image.data(), body, RecordProgress));
  EXPECT_EQ(g_progress.back().second, 99);
  ASSERT_TRUE(VerifyFlash(image.data() + body));
  ASSERT_TRUE(ResetBootloader());
  PumpWait(reader.Config().nRestartMs + 500, TRUE);  // pings until the application answers

  EXPECT_EQ(reader.ProgrammedBody(), Bytes(image.begin(), image.begin() + body));
  len = sizeof data;
  isNew = 7;
  inBoot = 0x55;
  ASSERT_TRUE(GetVersionAnyMode(data, &len, &isNew, &inBoot));
  EXPECT_EQ(inBoot, 0);
  EXPECT_EQ(isNew, 1) << reader.AppVersion();
}

}  // namespace
