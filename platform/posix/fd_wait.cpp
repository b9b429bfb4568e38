#include "platform/posix/fd_wait.h"

#include <errno.h>
#include <poll.h>

#include <algorithm>

#include "platform/clock.h"
#include "platform/stop.h"

namespace plat {
namespace {
// One poll() call lasts at most this long even without a deadline, so that a
// clock jump cannot leave a wait asleep for good.
constexpr std::uint64_t kMaxPollMs = 60000;
}  // namespace

FdWait WaitForFd(int fd, short events, std::uint64_t deadlineMs, short* pRevents, int* pErrno) {
  for (;;) {
    if (Stop().Requested()) return FdWait::Stopped;
    const std::uint64_t left = deadlineMs == kNoDeadline ? kMaxPollMs : RemainingMs(deadlineMs);
    pollfd fds[2] = {{fd, events, 0}, {StopFd(), POLLIN, 0}};
    const nfds_t count = fds[1].fd >= 0 ? 2 : 1;
    const int r = ::poll(fds, count, static_cast<int>(std::min(left, kMaxPollMs)));
    if (r < 0) {
      if (errno == EINTR) continue;
      if (pErrno) *pErrno = errno;
      return FdWait::Error;
    }
    if (fds[0].revents) {
      if (pRevents) *pRevents = fds[0].revents;
      return FdWait::Ready;
    }
    if (count == 2 && (fds[1].revents & POLLIN) && StopAfterWake()) return FdWait::Stopped;
    if (deadlineMs != kNoDeadline && RemainingMs(deadlineMs) == 0) return FdWait::Timeout;
  }
}

}  // namespace plat
