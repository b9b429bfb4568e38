// The one blocking wait of the transports: poll() on one descriptor together
// with the stop signal, until the descriptor is ready, the deadline on the
// process clock passes, or a stop is requested. Nothing spins and nothing
// sleeps in slices; a stop wakes the wait at once.
#pragma once
#include <cstdint>

namespace plat {

// A deadline that never comes.
constexpr std::uint64_t kNoDeadline = UINT64_MAX;

enum class FdWait {
  Ready,    // the descriptor reported something: see revents (it may be POLLHUP/POLLERR alone)
  Timeout,  // the deadline passed
  Stopped,  // a stop is requested
  Error,    // poll() itself failed: see the errno
};

// The stop signal's descriptor (readable while a stop is requested), or -1.
int StopFd();

// For a wait whose poll() found the stop descriptor readable: whether a stop
// is requested. A descriptor made readable by anything else (bytes written
// into it through a stale descriptor number) is emptied, so that the next
// poll() blocks again instead of returning at once and spinning.
bool StopAfterWake();

FdWait WaitForFd(int fd, short events, std::uint64_t deadlineMs, short* pRevents = nullptr, int* pErrno = nullptr);

}  // namespace plat
