// Process-wide stop request. A run that must end early (window closed,
// Ctrl-C, SIGTERM) raises it; every wait and every transfer watches it and
// returns at once. The descriptor becomes readable while a stop is pending,
// so poll() loops add it to their set instead of waking up periodically.
#pragma once

namespace plat {

class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // Async-signal-safe: only an atomic store and a write(2).
  void Request();
  void Clear();
  bool Requested() const;
  // Readable while a stop is requested; -1 if the descriptor could not be made.
  int Fd() const { return m_fd; }

 private:
  int m_fd = -1;
  volatile int m_requested = 0;
};

StopSignal& Stop();

}  // namespace plat
