#include "platform/stop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace plat {

StopSignal::StopSignal() { m_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

StopSignal::~StopSignal() {
  if (m_fd >= 0) close(m_fd);
}

void StopSignal::Request() {
  __atomic_store_n(&m_requested, 1, __ATOMIC_SEQ_CST);
  if (m_fd >= 0) {
    std::uint64_t one = 1;
    ssize_t r = write(m_fd, &one, sizeof one);
    (void)r;
  }
}

void StopSignal::Clear() {
  __atomic_store_n(&m_requested, 0, __ATOMIC_SEQ_CST);
  if (m_fd >= 0) {
    std::uint64_t v;
    ssize_t r = read(m_fd, &v, sizeof v);
    (void)r;
  }
}

bool StopSignal::Requested() const { return __atomic_load_n(&m_requested, __ATOMIC_SEQ_CST) != 0; }

StopSignal& Stop() {
  static StopSignal s;
  return s;
}

}  // namespace plat
