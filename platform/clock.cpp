#include "platform/clock.h"

#include <poll.h>
#include <time.h>

#include <atomic>

#include "platform/stop.h"

namespace plat {

std::uint64_t RealClock::NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

bool RealClock::SleepUntil(std::uint64_t deadlineMs) {
  for (;;) {
    if (Stop().Requested()) return false;
    std::uint64_t now = NowMs();
    if (now >= deadlineMs) return true;
    std::uint64_t left = deadlineMs - now;
    pollfd pfd{Stop().Fd(), POLLIN, 0};
    int timeout = left > 60000 ? 60000 : static_cast<int>(left);
    poll(pfd.fd >= 0 ? &pfd : nullptr, pfd.fd >= 0 ? 1 : 0, timeout);
  }
}

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
