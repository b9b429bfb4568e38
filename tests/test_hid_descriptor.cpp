// Report-descriptor parser: the byte lengths a device's reports have, counted
// as the transport's mode table expects them, on descriptors of real device
// kinds; malformed input is refused without reading outside the buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/hid_descriptor.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Vendor page, one application collection, 8-bit fields.
Bytes Head() { return {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08}; }
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Count(std::uint8_t n) { return {0x95, n}; }
const Bytes kIn = {0x09, 0x01, 0x81, 0x02};
const Bytes kOut = {0x09, 0x01, 0x91, 0x02};
const Bytes kFeat = {0x09, 0x01, 0xB1, 0x02};
const Bytes kEnd = {0xC0};
Bytes Id(std::uint8_t id) { return {0x85, id}; }

// The readers' tagged interface: report IDs 1 to 4 (the segment tags), each
// carrying 63 bytes in and out.
Bytes TaggedReader() {
  Bytes d = Cat({Head(), Count(63)});
  for (std::uint8_t id = 1; id <= 4; ++id) d = Cat({d, Id(id), kIn, kOut});
  return Cat({d, kEnd});
}

// USB HID specification, appendix B.1: the boot keyboard.
const Bytes kBootKeyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15,
                             0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08,
                             0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91,
                             0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00,
                             0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

struct Case {
  const char* name;
  Bytes desc;
  int in, out, feature;
  bool ids;
};

TEST(HidDescriptor, ReportLengthsOfRealDeviceKinds) {
  const std::vector<Case> cases = {
      {"tagged reader, IDs 1-4 x 63 bytes", TaggedReader(), 64, 64, 0, true},
      {"vendor 63 bytes in/out, no IDs", Cat({Head(), Count(63), kIn, kOut, kEnd}), 64, 64, 0, false},
      {"counted reader, 64 bytes in/out, no IDs", Cat({Head(), Count(64), kIn, kOut, kEnd}), 65, 65, 0, false},
      {"counted reader with ID 1", Cat({Head(), Id(1), Count(64), kIn, kOut, kEnd}), 65, 65, 0, true},
      {"63 in/out plus 7-byte feature", Cat({Head(), Count(63), kIn, kOut, Count(7), kFeat, kEnd}), 64, 64, 8, false},
      {"feature only, 7 bytes", Cat({Head(), Count(7), kFeat, kEnd}), 0, 0, 8, false},
      {"feature only, ID 5, 7 bytes", Cat({Head(), Id(5), Count(7), kFeat, kEnd}), 0, 0, 8, true},
      {"boot keyboard", kBootKeyboard, 9, 2, 0, false},
      {"longest of several numbered reports",
       Cat({Head(), Id(1), Count(10), kIn, Id(2), Count(40), kIn, Id(3), Count(20), kIn, kEnd}), 41, 0, 0, true},
      {"one report split over several items", Cat({Head(), Count(30), kIn, Count(33), kIn, kEnd}), 64, 0, 0, false},
      {"12 bits round up to 2 bytes", {0xA1, 0x01, 0x75, 0x01, 0x95, 0x0C, 0x81, 0x02, 0xC0}, 3, 0, 0, false},
      {"Push and Pop restore size and count",
       Cat({Head(), Count(7), {0xA4}, {0x75, 0x10}, Count(2), kFeat, {0xB4}, kIn, kEnd}), 8, 0, 5, false},
      {"long items are skipped whole", Cat({Head(), {0xFE, 0x03, 0x10, 0x95, 0x40, 0x81}, Count(7), kFeat, kEnd}), 0, 0,
       8, false},
      {"4-byte item data", Cat({Head(), {0x97, 0x07, 0x00, 0x00, 0x00}, kFeat, kEnd}), 0, 0, 8, false},
      {"zero-sized fields make no report", Cat({Head(), Count(0), kIn, kEnd}), 0, 0, 0, false},
      {"empty descriptor", {}, 0, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    plat::HidCaps caps;
    ASSERT_TRUE(plat::ParseReportDescriptor(c.desc.data(), c.desc.size(), &caps));
    EXPECT_EQ(caps.InputReportByteLength, c.in);
    EXPECT_EQ(caps.OutputReportByteLength, c.out);
    EXPECT_EQ(caps.FeatureReportByteLength, c.feature);
    EXPECT_EQ(caps.bReportIds, c.ids);
  }
}

TEST(HidDescriptor, HugeCountsSaturateInsteadOfWrapping) {
  // 32-bit size times 32-bit count would wrap a 32-bit product.
  Bytes d = {0xA1, 0x01, 0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02, 0x81, 0x02, 0xC0};
  plat::HidCaps caps;
  ASSERT_TRUE(plat::ParseReportDescriptor(d.data(), d.size(), &caps));
  EXPECT_EQ(caps.InputReportByteLength, 0xFFFF);
}

TEST(HidDescriptor, MalformedDescriptorsAreRefused) {
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"short item cut in its data", {0xA1, 0x01, 0x26, 0xFF}},
      {"4-byte item cut", {0x97, 0x01, 0x02}},
      {"long item header cut", {0xFE, 0x05}},
      {"long item data cut", {0xFE, 0x05, 0x10, 0x01, 0x02}},
      {"Pop without Push", {0xB4}},
      {"report ID 0", {0x85, 0x00}},
      {"report ID above 255", {0x86, 0x00, 0x01}},
      {"collection never closed", {0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}},
      {"End Collection without Collection", {0xC0}},
  };
  for (const auto& [name, d] : cases) {
    SCOPED_TRACE(name);
    plat::HidCaps caps;
    caps.InputReportByteLength = 99;
    EXPECT_FALSE(plat::ParseReportDescriptor(d.data(), d.size(), &caps));
    EXPECT_EQ(caps.InputReportByteLength, 0);
  }
  Bytes deep(40, 0xA4);  // Push nested deeper than any device needs
  plat::HidCaps caps;
  EXPECT_FALSE(plat::ParseReportDescriptor(deep.data(), deep.size(), &caps));
}

// Every prefix of a real descriptor, each in a buffer of exactly its size, so
// that the sanitizer build catches any read past the end.
TEST(HidDescriptor, EveryTruncationStaysInsideTheBuffer) {
  for (const Bytes& full : {TaggedReader(), kBootKeyboard}) {
    for (std::size_t n = 0; n <= full.size(); ++n) {
      std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[n ? n : 1]);
      std::copy_n(full.begin(), n, exact.get());
      plat::HidCaps caps;
      const bool ok = plat::ParseReportDescriptor(exact.get(), n, &caps);
      if (n == full.size()) {
        EXPECT_TRUE(ok);
      }
    }
  }
}

}  // namespace
