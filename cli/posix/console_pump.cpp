// The POSIX wake-up and wait of the console pump: an eventfd, and poll() on
// it and on the stop signal's descriptor.
#include "cli/console_pump.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/clock.h"
#include "platform/posix/fd_wait.h"
#include "platform/stop.h"

namespace {

// The wake-up handle is an eventfd descriptor here.
int Fd(plat::NativeWaitHandle h) { return static_cast<int>(h); }

}  // namespace

ConsolePump::ConsolePump() : m_owner(std::this_thread::get_id()) { m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

ConsolePump::~ConsolePump() {
  if (m_wake >= 0) close(Fd(m_wake));
}

void ConsolePump::Wake() {
  if (m_wake < 0) return;
  const std::uint64_t one = 1;
  // A full counter still leaves the descriptor readable: nothing is lost.
  [[maybe_unused]] const ssize_t n = write(Fd(m_wake), &one, sizeof one);
}

void ConsolePump::DrainWake() {
  if (m_wake < 0) return;
  std::uint64_t value = 0;
  [[maybe_unused]] const ssize_t n = read(Fd(m_wake), &value, sizeof value);
}

void ConsolePump::Block(std::uint64_t nUntilMs, bool bWatchStop) {
  const std::uint64_t nLeft = plat::RemainingMs(nUntilMs);
  if (nLeft == 0) return;
  pollfd fds[2];
  nfds_t n = 0;
  if (m_wake >= 0) fds[n++] = {Fd(m_wake), POLLIN, 0};
  if (bWatchStop && plat::StopFd() >= 0) fds[n++] = {plat::StopFd(), POLLIN, 0};
  const int nTimeout = nLeft > 60000 ? 60000 : static_cast<int>(nLeft);
  const int rc = poll(n ? fds : nullptr, n, nTimeout);
  if (rc < 0 && errno != EINTR) return;
  if (m_wake >= 0 && n > 0 && (fds[0].revents & POLLIN)) DrainWake();
  // A stop descriptor readable without a stop would end every wait at once.
  if (rc > 0 && bWatchStop && (fds[n - 1].revents & POLLIN) && fds[n - 1].fd == plat::StopFd()) plat::StopAfterWake();
}
