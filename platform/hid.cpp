#include "platform/hid.h"

#include <atomic>
#include <cstdlib>

namespace plat {
namespace {
std::atomic<IHidBackend*> g_hidBackend{nullptr};
}  // namespace

IHidBackend& HidBackend() {
  if (IHidBackend* b = g_hidBackend.load(std::memory_order_acquire)) return *b;
  // Read at every call so that a front end can point the tool at a simulated
  // reader just by setting the variable before it connects.
  const char* sim = std::getenv("READERTOOL_HID_SIM");
  if (sim && *sim) return HidSimClientBackend();
  return HidrawBackend();
}

void SetHidBackend(IHidBackend* backend) { g_hidBackend.store(backend, std::memory_order_release); }

}  // namespace plat
