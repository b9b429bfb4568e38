#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/frame.h"

namespace {

std::vector<BYTE> Bytes(const char* s) { return std::vector<BYTE>(s, s + std::strlen(s)); }

TEST(Crc16, CheckValueAndEmpty) {
  auto v = Bytes("123456789");
  EXPECT_EQ(CalcCrc16(v.data(), 9), 0x29B1);
  EXPECT_EQ(CalcCrc16Hi(v.data(), 9), 0x29);
  EXPECT_EQ(CalcCrc16(v.data(), 0), 0xFFFF);
}

// Frames worked out by hand from the layout: header, cmd, sub, length, CRC.
TEST(BuildFrame, GoldenFixedFrames) {
  struct Row {
    const char* name;
    BYTE cmd, sub;
    CrcOrder order;
    WORD crc;  // CRC-16 of the 14 bytes before it
  } rows[] = {
      {"ping 18-01", 0x18, 0x01, CrcOrder::HighFirst, 0xFF61},
      {"boot C7-41", 0xC7, 0x41, CrcOrder::HighFirst, 0x9E21},
      {"reset 04-F0", 0x04, 0xF0, CrcOrder::LowFirst, 0x7F96},
      {"fw version 29-00", 0x29, 0x00, CrcOrder::LowFirst, 0x920C},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    auto f = MakeFrame(r.cmd, r.sub, {}, r.order);
    ASSERT_EQ(f.size(), 16u);
    EXPECT_EQ(0, std::memcmp(f.data(), "Kestrula2\0", 10));
    EXPECT_EQ(f[10], r.cmd);
    EXPECT_EQ(f[11], r.sub);
    EXPECT_EQ(f[12], 0);
    EXPECT_EQ(f[13], 0);
    const WORD crc = r.crc;  // worked out by hand, not by the code under test
    if (r.order == CrcOrder::HighFirst) {
      EXPECT_EQ(f[14], crc >> 8);
      EXPECT_EQ(f[15], crc & 0xFF);
    } else {
      EXPECT_EQ(f[14], crc & 0xFF);
      EXPECT_EQ(f[15], crc >> 8);
    }
    EXPECT_EQ(CheckRxFrame(f.data(), 16), 16);
    EXPECT_EQ(GetRespCode(f.data()), (r.cmd << 8) | r.sub);
  }
}

TEST(BuildFrame, DataAndCapacity) {
  BYTE data[5] = {1, 2, 3, 4, 5};
  BYTE buf[32] = {};
  EXPECT_EQ(BuildFrame(buf, sizeof buf, 0xC7, 0x03, data, 5, CrcOrder::HighFirst), 21u);
  EXPECT_EQ(buf[12], 0);
  EXPECT_EQ(buf[13], 5);
  EXPECT_EQ(0, std::memcmp(buf + 14, data, 5));
  EXPECT_EQ(CheckRxFrame(buf, 21), 21);
  BYTE small[20] = {};
  EXPECT_EQ(BuildFrame(small, sizeof small, 0xC7, 0x03, data, 5, CrcOrder::HighFirst), 0u);
  EXPECT_EQ(small[0], 0) << "nothing written when the frame does not fit";
}

TEST(IsFrameHeader, Cases) {
  auto f = MakeFrame(0x18, 0x01);
  EXPECT_TRUE(IsFrameHeader(f.data(), 10));
  EXPECT_FALSE(IsFrameHeader(f.data(), 9));
  auto bad = f;
  bad[9] = ' ';
  EXPECT_FALSE(IsFrameHeader(bad.data(), 16));
  auto v3 = MakeFrameV3(0x18, 0x00);
  EXPECT_FALSE(IsFrameHeader(v3.data(), v3.size()));
  EXPECT_FALSE(IsFrameHeader(nullptr, 16));
}

TEST(CheckRxFrame, Table) {
  auto ok = MakeFrame(0x29, 0x00);
  auto low = MakeFrame(0x29, 0x00, {}, CrcOrder::LowFirst);
  auto wrong = ok;
  wrong[15] ^= 0x5A;
  wrong[14] ^= 0x11;
  std::vector<BYTE> long300 = MakeFrame(0x29, 0x00, std::vector<BYTE>(300, 0x41));
  struct Row {
    const char* name;
    const std::vector<BYTE>* frame;
    DWORD count;
    int expect;
  } rows[] = {
      {"13 bytes", &ok, 13, -1},
      {"15 bytes, no data", &ok, 15, -2},
      {"CRC high first", &ok, 16, 16},
      {"CRC low first", &low, 16, 16},
      {"CRC wrong", &wrong, 16, -3},
      {"300 data, 200 buffered", &long300, 200, -1},
      {"300 data complete", &long300, 316, 316},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(CheckRxFrame(r.frame->data(), r.count), r.expect);
  }
}

TEST(CheckRxFrame, LengthThatWrapsIsNeverAFrame) {
  // Length 0xFFFF: 65535 + 14 wraps to 13 in 16-bit arithmetic, and these
  // bytes would then pass as a 15-byte frame whose CRC (BAFF, low byte first)
  // sits at offsets 13 and 14. The frame they announce is 65551 bytes long
  // and cannot have arrived yet.
  std::vector<BYTE> f(0xFFFF, 0);
  std::memcpy(f.data(), "Kestrula2\0", 10);
  const BYTE rest[] = {0x00, 0x61, 0xFF, 0xFF, 0xBA};
  std::memcpy(f.data() + 10, rest, sizeof rest);
  ASSERT_EQ(CalcCrc16(f.data(), 13), 0xBAFF);
  for (DWORD n : {15u, 64u, 0xFFFFu}) EXPECT_EQ(CheckRxFrame(f.data(), n), -1) << n;
}

TEST(GetRxData, CapacityBoundsTheFrame) {
  BYTE dest[128];
  auto f113 = MakeFrame(0xC7, 0x00, std::vector<BYTE>(113, 'a'));
  std::memset(dest, 0x55, sizeof dest);
  EXPECT_EQ(GetRxData(f113.data(), dest, 127), 113);
  EXPECT_EQ(dest[112], 'a');
  EXPECT_EQ(dest[113], 0);

  auto f114 = MakeFrame(0xC7, 0x00, std::vector<BYTE>(114, 'b'));
  std::memset(dest, 0x55, sizeof dest);
  EXPECT_EQ(GetRxData(f114.data(), dest, 127), -2);
  EXPECT_EQ(dest[0], 0x55) << "destination untouched";

  auto f0 = MakeFrame(0xC7, 0x00);
  EXPECT_EQ(GetRxData(f0.data(), dest, 127), 0);
  EXPECT_EQ(dest[0], 0x55);
  EXPECT_EQ(GetRxData(nullptr, dest, 127), -1);
  EXPECT_EQ(GetRxData(f0.data(), dest, 13), -2);

  auto wrap = f0;
  wrap[12] = 0xFF;
  wrap[13] = 0xFF;
  EXPECT_EQ(GetRxData(wrap.data(), dest, 127), -2);
}

TEST(IsRespOk, StatusRules) {
  BYTE zero[512] = {};
  for (BYTE cmd : {0x18, 0xC7, 0x29, 0x04}) EXPECT_FALSE(IsRespOk(zero, cmd));
  EXPECT_FALSE(IsRespOk(nullptr, 0xC7));
  auto ok = MakeFrame(0xC7, 0x00);
  EXPECT_TRUE(IsRespOk(ok.data(), 0xC7));
  EXPECT_FALSE(IsRespOk(ok.data(), 0x29));
  auto f2 = MakeFrame(0xC7, 0xF2);
  EXPECT_FALSE(IsRespOk(f2.data(), 0xC7));
  // V3 keeps the status at offset 12; its offset 11 is a spare byte.
  EXPECT_TRUE(IsRespOk(MakeFrameV3(0xC7, 0x00).data(), 0xC7));
  EXPECT_FALSE(IsRespOk(MakeFrameV3(0xC7, 0x04).data(), 0xC7));
  // A V3 answer whose offset-11 byte is not 0 is refused, whatever offset 12 says.
  auto v3Spare = MakeFrameV3(0xC7, 0x00);
  v3Spare[11] = 0x01;
  EXPECT_FALSE(IsRespOk(v3Spare.data(), 0xC7));
  EXPECT_FALSE(IsRespStatusIn(v3Spare.data(), 0x00, 0xF2));
  EXPECT_EQ(GetRespStatus(MakeFrameV3(0xC7, 0x04).data()), 0x04);
  EXPECT_EQ(GetRespStatus(f2.data()), 0xF2);
  EXPECT_EQ(GetRespCode(MakeFrame(0x04, 0xF0, {}, CrcOrder::LowFirst).data()), 0x04F0);
  EXPECT_EQ(GetRespCode(nullptr), 0);
}

TEST(MakeFrameV3, Layout) {
  auto f = MakeFrameV3(0x29, 0x00, std::vector<BYTE>(20, 'x'));
  ASSERT_EQ(f.size(), 37u);
  EXPECT_EQ(f[8], '3');
  EXPECT_EQ(f[10], 0x29);
  EXPECT_EQ(f[12], 0x00);
  EXPECT_EQ(f[13] * 256 + f[14], 20);
}

}  // namespace
