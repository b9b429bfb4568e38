// Arbitrary text as a hidraw node's device/uevent file: the enumeration
// must list the node with the identity of its HID_ID line, or pass it over,
// never read outside the text, and agree with the line parser.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/hidraw.h"

namespace {

// Made once, removed when the fuzzer exits; never freed, so that the exit
// handler can still read it after static objects are gone.
const std::string& Scratch() {
  static const std::string* const dir = [] {
    char tmpl[] = "/tmp/fuzz_hidraw_uevent.XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (!made) __builtin_trap();
    std::string d = made;
    std::filesystem::create_directories(d + "/sys/hidraw0/device");
    std::filesystem::create_directories(d + "/dev");
    std::atexit([] { std::filesystem::remove_all(Scratch()); });
    return new std::string(d);
  }();
  return *dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::uint16_t vid = 0, pid = 0;
  const bool parsed = plat::ParseHidId(text, &vid, &pid);

  {
    std::ofstream out(Scratch() + "/sys/hidraw0/device/uevent", std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  auto backend = plat::MakeHidrawBackend(Scratch() + "/sys", Scratch() + "/dev");
  std::vector<plat::HidInterfaceInfo> list;
  if (!backend->Enumerate(&list)) __builtin_trap();
  // The enumeration reads the first 4096 bytes of the file, as the kernel's
  // uevent files never hold more; within them it must see what the parser sees.
  if (size <= 4096) {
    if (list.size() != (parsed ? 1u : 0u)) __builtin_trap();
    if (parsed && (list[0].vendorId != vid || list[0].productId != pid)) __builtin_trap();
  }
  return 0;
}
