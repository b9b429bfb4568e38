// Arbitrary bytes as a HID report descriptor: the parser must accept or
// refuse them without reading outside the buffer, and an accepted one must
// give the same capabilities every time and open like any other device.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/hid_descriptor.h"
#include "support/fake_hid.h"
#include "transport/hid_device.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy, so that the sanitizer sees a read one byte past the end.
  std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[size ? size : 1]);
  if (size) std::memcpy(exact.get(), data, size);

  plat::HidCaps a, b;
  const bool ok = plat::ParseReportDescriptor(exact.get(), size, &a);
  if (ok != plat::ParseReportDescriptor(exact.get(), size, &b)) __builtin_trap();
  if (!ok) return 0;
  if (a.InputReportByteLength != b.InputReportByteLength || a.OutputReportByteLength != b.OutputReportByteLength ||
      a.FeatureReportByteLength != b.FeatureReportByteLength || a.bReportIds != b.bReportIds)
    __builtin_trap();
  // A length is 0 or counts the report-ID byte.
  for (int len : {a.InputReportByteLength, a.OutputReportByteLength, a.FeatureReportByteLength})
    if (len == 1) __builtin_trap();

  fakehid::FakeHidBackend backend;
  plat::ScopedHidBackend use(backend);
  backend.AddDeviceWithDescriptor(0x1DB2, 0x0042, std::vector<std::uint8_t>(data, data + size));
  CHidDevice dev;
  if (!dev.Open(0x1DB2, 0x0042)) __builtin_trap();
  if (dev.m_nReportMode < -1 || dev.m_nReportMode > 1) __builtin_trap();
  return 0;
}
