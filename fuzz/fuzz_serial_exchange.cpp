// Arbitrary byte streams on the serial line, in arbitrary pieces at arbitrary
// times, as the answer to one request: the serial exchange must write nothing
// past the caller's response buffer, hand back only a whole frame whose CRC
// checks out, and end within its deadline (virtual time, so every time-out
// passes at once).
//
// Input: [options] [capacity lo] [capacity hi] [time-out] then chunks, each
//        [delay] [length] [bytes...]: the bytes arrive delay * 4 ms after the
//        chunk before (the first after the request was written).
//   options bits 0-2: the Nth read fails (0: none)
//           bits 3-4: the Nth write fails (0: none)
//           bit 5: the line takes 7 bytes per write
//           bit 6: a stop request at the Nth wait (N from bits 0-2)
//           bit 7: no wait callback
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "link/frame.h"
#include "platform/clock.h"
#include "platform/stop.h"
#include "support/fake_serial.h"
#include "transport/rs232_port.h"

namespace {

int g_waits = 0;
int g_stopAt = 0;

void Wait(DWORD dwMs, BOOL) {
  if (++g_waits == g_stopAt) plat::Stop().Request();
  plat::Clock().SleepUntil(plat::NowMs() + dwMs);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint8_t opt = data[0];
  const DWORD cap = 1 + ((data[1] | (data[2] << 8)) % 1024);
  const DWORD timeoutMs = 100u + data[3] * 300u;  // up to about 77 s
  data += 4;
  size -= 4;

  plat::VirtualClock clock(1000);
  plat::ScopedClock useClock(clock);
  plat::Stop().Clear();
  g_waits = 0;
  g_stopAt = (opt & 0x40) ? 1 + (opt & 0x07) : 0;

  FakeSerial serial;
  FakeSerialPort& com = serial.AddPort("COM7");
  if (!(opt & 0x40) && (opt & 0x07)) com.FailCall(SerialOp::kRead, opt & 0x07, EIO);
  if (opt & 0x18) com.FailCall(SerialOp::kWrite, (opt >> 3) & 0x03, EIO);
  if (opt & 0x20) com.SetWriteLimit(7);

  // The chunks are scheduled once the request is out, relative to that time.
  struct Chunk {
    std::uint64_t delayMs;
    std::vector<BYTE> bytes;
  };
  std::vector<Chunk> chunks;
  std::uint64_t at = 0;
  for (std::size_t i = 0; i + 2 <= size;) {
    at += data[i] * 4u;
    const std::size_t len = data[i + 1];
    i += 2;
    const std::size_t take = len < size - i ? len : size - i;
    chunks.push_back({at, std::vector<BYTE>(data + i, data + i + take)});
    i += take;
  }
  bool scheduled = false;
  com.OnWrite([&](const std::vector<BYTE>&) {
    if (scheduled) return;
    scheduled = true;
    for (const Chunk& c : chunks) com.ArriveAfter(c.delayMs, c.bytes);
  });

  CRs232Port port;
  if (!port.Open("\\\\.\\COM7/baud=115200/parity=N/stop=1/data=8")) __builtin_trap();

  const std::vector<BYTE> request = MakeFrame(0xC7, 0x03, std::vector<BYTE>(40, 0x5A));
  // Exactly the capacity, on the heap: one byte more is a sanitizer report.
  std::unique_ptr<BYTE[]> resp(new BYTE[cap]);
  std::memset(resp.get(), 0, cap);
  DWORD len = cap;
  const std::uint64_t t0 = clock.NowMs();
  port.SendRecvFrame(request.data(), static_cast<DWORD>(request.size()), resp.get(), &len, timeoutMs,
                     (opt & 0x80) ? nullptr : &Wait);

  // Only a whole V2 frame that fits, with a CRC that checks out.
  if (len > cap || len > CRs232Port::kMaxResponse) __builtin_trap();
  if (len > 0) {
    if (!IsFrameHeader(resp.get(), len)) __builtin_trap();
    if (CheckRxFrame(resp.get(), len) != static_cast<int>(len)) __builtin_trap();
  }
  // The deadline plus one pass (a read's 200 ms and 300 ms of waits) and a
  // write that the line does not take (its 5000 ms time-out).
  if (clock.NowMs() - t0 > timeoutMs + 500 + CRs232Port::kOpenWriteTotal) __builtin_trap();
  plat::Stop().Clear();
  return 0;
}
