#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/posix/fd_wait.h"
#include "platform/stop.h"

namespace plat {

StopSignal::StopSignal() {
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  m_handle = fd >= 0 ? fd : kNoWaitHandle;
}

StopSignal::~StopSignal() {
  if (m_handle != kNoWaitHandle) close(static_cast<int>(m_handle));
}

void StopSignal::Request() {
  __atomic_store_n(&m_requested, 1, __ATOMIC_SEQ_CST);
  if (m_handle != kNoWaitHandle) {
    std::uint64_t one = 1;
    ssize_t r = write(static_cast<int>(m_handle), &one, sizeof one);
    (void)r;
  }
}

void StopSignal::Clear() {
  __atomic_store_n(&m_requested, 0, __ATOMIC_SEQ_CST);
  if (m_handle != kNoWaitHandle) {
    std::uint64_t v;
    ssize_t r = read(static_cast<int>(m_handle), &v, sizeof v);
    (void)r;
  }
}

bool StopSignal::Requested() const { return __atomic_load_n(&m_requested, __ATOMIC_SEQ_CST) != 0; }

StopSignal& Stop() {
  static StopSignal s;
  return s;
}

int StopFd() { return static_cast<int>(Stop().NativeHandle()); }

bool StopAfterWake() {
  if (Stop().Requested()) return true;
  const int fd = StopFd();
  if (fd < 0) return false;
  std::uint64_t v = 0;
  ssize_t r = read(fd, &v, sizeof v);
  (void)r;
  // Request() sets its flag before it writes: a request that came between
  // the look above and the read is seen now, and gets its signal back.
  if (!Stop().Requested()) return false;
  const std::uint64_t one = 1;
  r = write(fd, &one, sizeof one);
  (void)r;
  return true;
}

}  // namespace plat
