// Arbitrary report streams from a HID device, in every report mode: the
// exchange must never write past the response capacity, never read past a
// report, and always end (virtual time, so every time-out passes at once).
//
// Input: [mode] [capacity lo] [capacity hi] [options] [request length] [report stream...]
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "link/frame.h"
#include "platform/clock.h"
#include "platform/stop.h"
#include "support/fake_hid.h"
#include "transport/hid_device.h"

namespace {

int g_calls = 0;
int g_stopAt = 0;
int Callback() { return ++g_calls == g_stopAt ? 1 : 0; }

struct Mode {
  int in, out, feature;
  bool featureOnly;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  static const Mode kModes[] = {
      {64, 64, 0, false},  // tagged or raw requests, tagged responses
      {65, 65, 0, false},  // counted
      {0, 0, 8, false},    // feature reports
      {64, 64, 8, true},   // reached only by the feature-only open
      {64, 65, 0, false},  // no mode: counted writes, tagged reads
      {65, 64, 0, false},  // no mode: raw or tagged writes, counted reads
      {0, 0, 3, true},     // feature-only with tiny feature reports
      {0, 0, 33, true},    // feature-only with long feature reports
  };
  const Mode& mode = kModes[data[0] % (sizeof kModes / sizeof kModes[0])];
  const DWORD cap = 1 + ((data[1] | (data[2] << 8)) % 4608);
  const std::uint8_t opt = data[3];
  const DWORD reqLen = 1 + data[4] * 3;
  data += 5;
  size -= 5;

  plat::VirtualClock clock(1000);
  plat::ScopedClock useClock(clock);
  plat::Stop().Clear();
  g_calls = 0;
  g_stopAt = (opt & 0x08) ? 1 + (opt >> 4) * 7 : 0;

  fakehid::FakeHidBackend backend;
  plat::ScopedHidBackend useBackend(backend);
  fakehid::FakeHidDevice& d = backend.AddDevice(0x1DB2, 0x0042, mode.in, mode.out, mode.feature);
  if (mode.featureOnly) d.refuseExclusive = plat::HidOpenError::Refused;
  if (opt & 0x04) d.FailNth(fakehid::Op::Any, 1 + (opt >> 5), plat::HidIo::Gone);

  // The stream, cut into reports of the device's own length.
  const std::size_t reportLen = mode.featureOnly || mode.in == 0 ? mode.feature : mode.in;
  for (std::size_t off = 0; off < size; off += reportLen) {
    fakehid::Report r(data + off, data + off + std::min(reportLen, size - off));
    if (mode.featureOnly || mode.in == 0)
      d.QueueFeature(std::move(r));
    else
      d.QueueInput(std::move(r), 1000 + (opt & 0x40 ? off : 0));
  }

  CHidDevice dev;
  if (!dev.Open(0x1DB2, 0x0042) && !dev.OpenFeatureOnly(0x1DB2, 0x0042)) __builtin_trap();
  dev.SetTaggedReports(opt & 0x01);
  if (opt & 0x02)
    dev.SetV3Layout();
  else
    dev.SetV2Layout();

  const std::vector<BYTE> request = MakeFrame(0x18, 0x01, std::vector<BYTE>(reqLen - 1, 0x42));
  // Exactly the capacity, on the heap: one byte more is a sanitizer report.
  std::unique_ptr<BYTE[]> resp(new BYTE[cap]);
  std::memset(resp.get(), 0xCC, cap);
  const DWORD n = dev.SendAndGetResponseUSBHID(request.data(), static_cast<DWORD>(request.size()), resp.get(), cap, 200,
                                               (opt & 0x80) ? &Callback : nullptr);
  if (n > cap) __builtin_trap();
  // Bounded time: a few hundred reports at most, each within its time-out.
  if (clock.NowMs() - 1000 > 60u * 60 * 1000) __builtin_trap();
  return 0;
}
