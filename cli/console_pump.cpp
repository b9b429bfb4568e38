// The event queue's logic, the same on every OS; the wake-up object and the
// blocking wait are each OS's own (cli/posix, cli/win32).
#include "cli/console_pump.h"

#include <condition_variable>
#include <cstdint>

#include "platform/clock.h"
#include "platform/stop.h"

void ConsolePump::Post(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(std::move(fn));
  }
  Wake();
}

void ConsolePump::RunOnPumpThread(std::function<void()> fn) {
  if (IsPumpThread()) {
    fn();
    return;
  }
  std::mutex doneMutex;
  std::condition_variable doneCv;
  bool bDone = false;
  Post([&] {
    fn();
    std::lock_guard<std::mutex> lock(doneMutex);
    bDone = true;
    doneCv.notify_one();
  });
  std::unique_lock<std::mutex> lock(doneMutex);
  doneCv.wait(lock, [&] { return bDone; });
}

void ConsolePump::SetTimer(std::uint64_t nKey, std::uint32_t nIntervalMs, std::function<void()> fn) {
  if (nIntervalMs == 0) nIntervalMs = 1;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    Timer& t = m_timers[nKey];
    t.nIntervalMs = nIntervalMs;
    t.nDueMs = plat::NowMs() + nIntervalMs;
    t.nGeneration = ++m_nGeneration;
    t.fn = std::move(fn);
  }
  Wake();  // the pump may be blocked with a later time-out
}

void ConsolePump::KillTimer(std::uint64_t nKey) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_timers.erase(nKey);
}

bool ConsolePump::IsTimerSet(std::uint64_t nKey) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_timers.count(nKey) != 0;
}

std::uint64_t ConsolePump::NextTimerDue() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::uint64_t nNext = UINT64_MAX;
  for (const auto& [key, t] : m_timers)
    if (t.nDueMs < nNext) nNext = t.nDueMs;
  return nNext;
}

bool ConsolePump::RunOne() {
  std::function<void()> fn;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_queue.empty()) {
      fn = std::move(m_queue.front());
      m_queue.pop_front();
    } else {
      const std::uint64_t nNow = plat::NowMs();
      for (auto& [key, t] : m_timers) {
        if (t.nDueMs > nNow) continue;
        // A late timer fires once and keeps its rhythm from now on, as a
        // window timer does: missed ticks are not made up.
        t.nDueMs = nNow + t.nIntervalMs;
        fn = t.fn;
        break;
      }
    }
  }
  // Run without the lock: the function may set or kill timers, post, or
  // call into the window's logic.
  if (!fn) return false;
  fn();
  return true;
}

void ConsolePump::DispatchOne() {
  if (!IsPumpThread()) return;
  DrainWake();
  RunOne();
}

ConsolePump::ServeEnd ConsolePump::Serve(const std::function<bool()>& fnDone, std::uint64_t nDeadlineMs,
                                         bool bEndOnStop) {
  for (;;) {
    // One event at a time, with a look at the ends after each, so that a
    // busy queue or a timer slower than its interval cannot hold the wait
    // past its end.
    const bool bRan = RunOne();
    if (fnDone && fnDone()) return ServeEnd::Done;
    if (bEndOnStop && plat::Stop().Requested()) return ServeEnd::Stopped;
    if (plat::NowMs() >= nDeadlineMs) return ServeEnd::Deadline;
    if (bRan) continue;
    const std::uint64_t nTimer = NextTimerDue();
    Block(nTimer < nDeadlineMs ? nTimer : nDeadlineMs, bEndOnStop);
  }
}

void ConsolePump::WaitUntil(std::uint64_t nDeadlineMs) {
  if (!IsPumpThread()) {
    plat::Clock().SleepUntil(nDeadlineMs);
    return;
  }
  Serve(nullptr, nDeadlineMs, true);
}
