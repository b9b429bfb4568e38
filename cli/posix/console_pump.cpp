#include "cli/console_pump.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>

#include "platform/clock.h"
#include "platform/posix/fd_wait.h"
#include "platform/stop.h"

ConsolePump::ConsolePump() : m_owner(std::this_thread::get_id()) { m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

ConsolePump::~ConsolePump() {
  if (m_wakeFd >= 0) close(m_wakeFd);
}

void ConsolePump::Wake() {
  if (m_wakeFd < 0) return;
  const std::uint64_t one = 1;
  // A full counter still leaves the descriptor readable: nothing is lost.
  [[maybe_unused]] const ssize_t n = write(m_wakeFd, &one, sizeof one);
}

void ConsolePump::DrainWake() {
  if (m_wakeFd < 0) return;
  std::uint64_t value = 0;
  [[maybe_unused]] const ssize_t n = read(m_wakeFd, &value, sizeof value);
}

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

void ConsolePump::Block(std::uint64_t nUntilMs, bool bWatchStop) {
  const std::uint64_t nLeft = plat::RemainingMs(nUntilMs);
  if (nLeft == 0) return;
  pollfd fds[2];
  nfds_t n = 0;
  if (m_wakeFd >= 0) fds[n++] = {m_wakeFd, POLLIN, 0};
  if (bWatchStop && plat::StopFd() >= 0) fds[n++] = {plat::StopFd(), POLLIN, 0};
  const int nTimeout = nLeft > 60000 ? 60000 : static_cast<int>(nLeft);
  const int rc = poll(n ? fds : nullptr, n, nTimeout);
  if (rc < 0 && errno != EINTR) return;
  if (m_wakeFd >= 0 && n > 0 && (fds[0].revents & POLLIN)) DrainWake();
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
