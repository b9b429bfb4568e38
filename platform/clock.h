// The one clock of the tool. Every wait, deadline and time-out reads this
// clock, so tests can swap in virtual time and a 65-second silence passes in
// microseconds.
#pragma once
#include <cstdint>
#include <mutex>
#include <condition_variable>

namespace plat {

class IClock {
 public:
  virtual ~IClock() = default;
  // Monotonic milliseconds. Never wraps in practice (64 bits).
  virtual std::uint64_t NowMs() = 0;
  // Blocks until NowMs() >= deadlineMs or a stop is requested (see stop.h).
  // Returns false when it ended early because of a stop request.
  virtual bool SleepUntil(std::uint64_t deadlineMs) = 0;
};

// Real monotonic time; sleeps block on the stop signal with a deadline.
class RealClock final : public IClock {
 public:
  std::uint64_t NowMs() override;
  bool SleepUntil(std::uint64_t deadlineMs) override;
};

// Virtual time for tests: time moves only when somebody sleeps or advances it.
// SleepUntil jumps straight to the deadline. Thread-safe.
class VirtualClock final : public IClock {
 public:
  explicit VirtualClock(std::uint64_t startMs = 1000) : m_now(startMs) {}
  std::uint64_t NowMs() override;
  bool SleepUntil(std::uint64_t deadlineMs) override;
  void Advance(std::uint64_t ms);

 private:
  std::mutex m_mutex;
  std::uint64_t m_now;
};

// The clock in force for the whole process (a RealClock unless replaced).
IClock& Clock();
// Replaces the process clock; nullptr restores the real one. Not owned.
void SetClock(IClock* clock);

inline std::uint64_t NowMs() { return Clock().NowMs(); }
// Milliseconds left until deadline (0 when passed).
inline std::uint64_t RemainingMs(std::uint64_t deadlineMs) {
  std::uint64_t now = NowMs();
  return deadlineMs > now ? deadlineMs - now : 0;
}

// Installs a clock for the lifetime of a scope (tests).
class ScopedClock {
 public:
  explicit ScopedClock(IClock& c) { SetClock(&c); }
  ~ScopedClock() { SetClock(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace plat
