// Arbitrary bytes on the HID simulator socket, in both directions:
//   - as a client's messages to the server of a simulated reader: the server
//     must answer or drop that client, and go on serving the next one;
//   - as a server's messages to the tool's socket backend during an open and
//     the transfers after it: the backend must open or refuse, and every
//     call must end, when the stream ends.
// Underneath both, the message splitter must give back exactly the messages
// the encoder makes, however the stream is cut.
//
// Input: [selector byte] [stream bytes...]
//   selector bit 0: 0 = to the server, 1 = to the tool's backend
//   selector bits 1-7: the size of the pieces the splitter is fed
#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/hid_sim_protocol.h"
#include "platform/hid_sim_wire.h"
#include "platform/posix/hid_sim_client.h"
#include "platform/posix/hid_sim_server.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace hidsim = plat::hidsim;

// A device with 64-byte reports in every direction; it keeps nothing.
class QuietDevice final : public hidsim::IDeviceSide {
 public:
  hidsim::DeviceInfo Info() override {
    return {0x1DB2, 0x0042,
            {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x09,
             0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0x09, 0x01, 0xB1, 0x02, 0xC0},
            false};
  }
  void OnOutputReport(const Bytes&) override {}
  void OnSetFeature(const Bytes&) override {}
  Bytes OnGetFeature(std::uint8_t id, std::size_t len) override {
    Bytes r(len, 0x5A);
    if (!r.empty()) r[0] = id;
    return r;
  }
  bool NextInputReport(Bytes*, std::uint64_t*) override { return false; }
};

// Made once, removed when the fuzzer exits; never freed, so that the exit
// handler can still read it after static objects are gone.
const std::string& Scratch() {
  static const std::string* const dir = [] {
    char tmpl[] = "/tmp/fuzz_hid_sim_wire.XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (!made) __builtin_trap();
    std::string d = made;
    std::atexit([] { std::filesystem::remove_all(Scratch()); });
    return new std::string(d);
  }();
  return *dir;
}

int UnixSocket(const std::string& path, bool bListen) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) __builtin_trap();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  const auto* pAddr = reinterpret_cast<const sockaddr*>(&addr);
  if (bListen ? (bind(fd, pAddr, sizeof addr) != 0 || listen(fd, 4) != 0) : connect(fd, pAddr, sizeof addr) != 0)
    __builtin_trap();
  return fd;
}

// Waits up to ms for fd to become readable. The fuzzer's own timer signals
// interrupt poll(); those waits go on with the time that is left.
bool PollIn(int fd, int ms) {
  const std::uint64_t deadline = plat::NowMs() + static_cast<std::uint64_t>(ms);
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    const int r = poll(&pfd, 1, static_cast<int>(plat::RemainingMs(deadline)));
    if (r > 0) return true;
    if (r == 0 || errno != EINTR) return false;
  }
}

void SendAll(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
    if (r <= 0) return;  // the other end has had enough
    p += r;
    n -= static_cast<std::size_t>(r);
  }
}

// Reads what the other end sends until it closes or falls silent for a while.
Bytes Drain(int fd, int quietMs) {
  Bytes got;
  for (;;) {
    if (!PollIn(fd, quietMs)) return got;
    std::uint8_t buf[4096];
    const ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r <= 0) return got;
    got.insert(got.end(), buf, buf + r);
  }
}

// The splitter, fed in pieces of `piece` bytes, against the encoder.
void CheckSplitter(const std::uint8_t* p, std::size_t n, std::size_t piece) {
  hidsim::MessageReader reader;
  Bytes again;
  std::size_t fed = 0;
  std::uint8_t type = 0;
  Bytes payload;
  while (fed < n) {
    const std::size_t k = std::min(piece, n - fed);
    reader.Feed(p + fed, k);
    fed += k;
    while (reader.Next(&type, &payload))
      if (!hidsim::AppendMessage(&again, type, payload)) __builtin_trap();
  }
  // What was taken is a prefix of the stream, byte for byte.
  if (again.size() > n || !std::equal(again.begin(), again.end(), p)) __builtin_trap();
  // What is left is one incomplete message.
  const std::size_t left = n - again.size();
  if (left >= hidsim::kMsgHeaderLen && left >= hidsim::kMsgHeaderLen + hidsim::GetLe16(p + again.size() + 1))
    __builtin_trap();
}

void ToServer(const std::uint8_t* p, std::size_t n) {
  static QuietDevice device;
  static plat::HidSimServer server(device);
  static const std::string path = Scratch() + "/reader.sock";
  if (!server.Running() && !server.Start(path)) __builtin_trap();

  const int fd = UnixSocket(path, false);
  SendAll(fd, p, n);
  shutdown(fd, SHUT_WR);
  Drain(fd, 20);
  close(fd);

  // The server still serves a well-behaved client.
  const int probe = UnixSocket(path, false);
  Bytes hello;
  hidsim::AppendMessage(&hello, hidsim::kMsgHello, Bytes{hidsim::kProtocolVersion});
  SendAll(probe, hello.data(), hello.size());
  hidsim::MessageReader reader;
  std::uint8_t type = 0;
  Bytes payload;
  while (!reader.Next(&type, &payload)) {
    std::uint8_t buf[512];
    ssize_t r = 0;
    if (!PollIn(probe, 5000) || (r = recv(probe, buf, sizeof buf, 0)) <= 0) __builtin_trap();  // no answer
    reader.Feed(buf, static_cast<std::size_t>(r));
  }
  if (type != hidsim::kMsgDeviceInfo) __builtin_trap();
  close(probe);
}

void ToBackend(const std::uint8_t* p, std::size_t n, bool bExclusive) {
  const std::string path = Scratch() + "/fake.sock";
  std::filesystem::remove(path);
  const int listener = UnixSocket(path, true);

  // The tool's side: open, then every kind of transfer once. The stream ends
  // when the fake server below closes, so each call ends at once.
  std::thread tool([&] {
    auto backend = plat::MakeHidSimClientBackend(path);
    plat::HidOpenStatus status;
    auto h = backend->Open(path, bExclusive ? plat::HidOpenMode::Exclusive : plat::HidOpenMode::FeatureOnly, &status);
    if (!h) return;
    plat::HidCaps caps;
    h->GetCaps(&caps);
    std::uint16_t vid = 0, pid = 0;
    h->GetAttributes(&vid, &pid);
    std::uint8_t report[256] = {};
    std::size_t moved = 0;
    const std::uint64_t deadline = plat::NowMs() + 2000;
    h->WriteReport(report, sizeof report, &moved, deadline);
    h->ReadReport(report, sizeof report, &moved, deadline);
    h->SetFeature(report, 8);
    h->GetFeature(report, sizeof report);
  });

  if (!PollIn(listener, 10000)) __builtin_trap();  // the tool never connected
  const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) __builtin_trap();
  SendAll(fd, p, n);
  shutdown(fd, SHUT_WR);
  Drain(fd, 50);  // whatever the tool sends meanwhile
  close(fd);
  close(listener);
  tool.join();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t selector = data[0];
  const std::uint8_t* p = data + 1;
  const std::size_t n = size - 1;
  CheckSplitter(p, n, std::size_t{1} + (selector >> 1));
  if (selector & 1)
    ToBackend(p, n, (selector & 2) == 0);
  else
    ToServer(p, n);
  return 0;
}
