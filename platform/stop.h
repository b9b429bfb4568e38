// Process-wide stop request. A run that must end early (window closed,
// Ctrl-C, SIGTERM) raises it; every wait and every transfer watches it and
// returns at once. The signal carries an operating-system wait object that
// is signalled while a stop is pending, so blocking waits add it to what
// they wait on instead of waking up periodically.
#pragma once
#include <cstdint>

namespace plat {

// An operating-system wait object, as the platform files understand it: a
// file descriptor that becomes readable (POSIX) or an event handle that
// becomes signalled (Windows). Shared code only passes it on.
using NativeWaitHandle = std::intptr_t;
constexpr NativeWaitHandle kNoWaitHandle = -1;

class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // Async-signal-safe: only an atomic store and one system call.
  void Request();
  void Clear();
  bool Requested() const;
  // Signalled while a stop is requested; kNoWaitHandle if it could not be made.
  NativeWaitHandle NativeHandle() const { return m_handle; }

 private:
  NativeWaitHandle m_handle = kNoWaitHandle;
  volatile int m_requested = 0;
};

StopSignal& Stop();

}  // namespace plat
