#include "platform/hid.h"

#include <atomic>

namespace plat {
namespace {
std::atomic<IHidBackend*> g_hidBackend{nullptr};
}  // namespace

IHidBackend& HidBackend() {
  if (IHidBackend* b = g_hidBackend.load(std::memory_order_acquire)) return *b;
  return SystemHidBackend();
}

void SetHidBackend(IHidBackend* backend) { g_hidBackend.store(backend, std::memory_order_release); }

}  // namespace plat
