// Real time on POSIX: CLOCK_MONOTONIC, and sleeps that block in poll() on
// the stop signal's descriptor so that a stop ends them at once.
#include <poll.h>
#include <time.h>

#include "platform/clock.h"
#include "platform/posix/fd_wait.h"
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
    pollfd pfd{StopFd(), POLLIN, 0};
    int timeout = left > 60000 ? 60000 : static_cast<int>(left);
    if (poll(pfd.fd >= 0 ? &pfd : nullptr, pfd.fd >= 0 ? 1 : 0, timeout) > 0) StopAfterWake();
  }
}

}  // namespace plat
