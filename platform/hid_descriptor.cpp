#include "platform/hid_descriptor.h"

#include <algorithm>
#include <array>
#include <vector>

namespace plat {
namespace {

enum ItemType { kMain = 0, kGlobal = 1, kLocal = 2 };
enum MainTag { kInput = 0x8, kOutput = 0x9, kCollection = 0xA, kFeature = 0xB, kEndCollection = 0xC };
enum GlobalTag { kReportSize = 0x7, kReportId = 0x8, kReportCount = 0x9, kPush = 0xA, kPop = 0xB };

// The global items that decide sizes; the rest of the global state (usage
// page, logical and physical ranges, units) does not change a report's length.
struct Globals {
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
  std::uint32_t reportId = 0;
};

constexpr std::size_t kMaxPushDepth = 32;
constexpr std::uint64_t kBitCap = 0xFFFFull * 8;  // beyond this every length is 65535 anyway

struct ReportBits {
  std::array<std::uint64_t, 3> bits{};  // input, output, feature
};

}  // namespace

bool ParseReportDescriptor(const std::uint8_t* p, std::size_t n, HidCaps* caps) {
  if (!caps) return false;
  *caps = HidCaps{};
  if (!p && n) return false;

  std::vector<ReportBits> reports(256);
  Globals g;
  std::vector<Globals> stack;
  long collectionDepth = 0;
  bool usesIds = false;

  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t prefix = p[i];
    if (prefix == 0xFE) {
      // Long item: size byte, tag byte, data. None is defined; skip it whole.
      if (n - i < 3) return false;
      const std::size_t dataLen = p[i + 1];
      if (n - i - 3 < dataLen) return false;
      i += 3 + dataLen;
      continue;
    }
    const std::size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
    const int type = (prefix >> 2) & 3;
    const int tag = prefix >> 4;
    if (n - i - 1 < size) return false;
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < size; ++k) value |= static_cast<std::uint32_t>(p[i + 1 + k]) << (8 * k);
    i += 1 + size;

    if (type == kMain) {
      int kind = -1;
      switch (tag) {
        case kInput:
          kind = 0;
          break;
        case kOutput:
          kind = 1;
          break;
        case kFeature:
          kind = 2;
          break;
        case kCollection:
          ++collectionDepth;
          break;
        case kEndCollection:
          if (--collectionDepth < 0) return false;
          break;
        default:
          break;
      }
      if (kind >= 0) {
        const std::uint64_t add = static_cast<std::uint64_t>(g.reportSize) * g.reportCount;
        std::uint64_t& b = reports[g.reportId].bits[kind];
        b = std::min<std::uint64_t>(b + std::min(add, kBitCap), kBitCap);
      }
    } else if (type == kGlobal) {
      switch (tag) {
        case kReportSize:
          g.reportSize = value;
          break;
        case kReportCount:
          g.reportCount = value;
          break;
        case kReportId:
          if (value == 0 || value > 255) return false;
          g.reportId = value;
          usesIds = true;
          break;
        case kPush:
          if (stack.size() >= kMaxPushDepth) return false;
          stack.push_back(g);
          break;
        case kPop:
          if (stack.empty()) return false;
          g = stack.back();
          stack.pop_back();
          break;
        default:
          break;
      }
    }
    // Local items (usages, designators, strings, delimiters) do not change sizes.
  }
  if (collectionDepth != 0) return false;

  std::array<std::uint64_t, 3> longest{};
  std::array<bool, 3> present{};
  for (const ReportBits& r : reports) {
    for (int k = 0; k < 3; ++k) {
      // A report counts as present when it carries at least one bit of that kind.
      if (r.bits[k] == 0) continue;
      present[k] = true;
      longest[k] = std::max(longest[k], (r.bits[k] + 7) / 8);
    }
  }
  auto length = [&](int k) -> std::uint16_t {
    if (!present[k]) return 0;
    return static_cast<std::uint16_t>(std::min<std::uint64_t>(longest[k] + 1, 0xFFFF));
  };
  caps->InputReportByteLength = length(0);
  caps->OutputReportByteLength = length(1);
  caps->FeatureReportByteLength = length(2);
  caps->bReportIds = usesIds;
  return true;
}

}  // namespace plat
