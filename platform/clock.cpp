#include "platform/clock.h"

#include <atomic>

#include "platform/stop.h"

namespace plat {

std::uint64_t VirtualClock::NowMs() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_now;
}

bool VirtualClock::SleepUntil(std::uint64_t deadlineMs) {
  if (Stop().Requested()) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (deadlineMs > m_now) m_now = deadlineMs;
  return true;
}

void VirtualClock::Advance(std::uint64_t ms) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_now += ms;
}

namespace {
RealClock g_realClock;
std::atomic<IClock*> g_clock{&g_realClock};
}  // namespace

IClock& Clock() { return *g_clock.load(std::memory_order_acquire); }

void SetClock(IClock* clock) { g_clock.store(clock ? clock : &g_realClock, std::memory_order_release); }

}  // namespace plat
