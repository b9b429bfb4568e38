// The event queue of readerctl's main thread, which plays the window thread.
//
// The window's logic sends its log refreshes from the worker to the window
// thread and waits for them (IDialogView::SendToWindowThread); its timers
// call back on the window thread. Here the main thread runs this pump: other
// threads post functions to it and it runs them, together with the timers
// that are due, whenever the main thread waits — in WaitUntil (installed as
// the thread's plat::ThreadPump(), so the procedures' waits on the main
// thread serve it too) and in Serve, where the main thread waits for a run
// to end.
//
// Nothing spins: between events the pump blocks on its own wake-up object
// and on the stop signal's (poll() on descriptors on POSIX,
// WaitForMultipleObjects on events on Windows), with the next timer or the
// deadline as the time-out. Times are read from the project clock (plat::NowMs()).
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/pump.h"
#include "platform/stop.h"

class ConsolePump final : public plat::IEventPump {
 public:
  // The constructing thread is the pump's thread.
  ConsolePump();
  ~ConsolePump() override;
  ConsolePump(const ConsolePump&) = delete;
  ConsolePump& operator=(const ConsolePump&) = delete;

  bool IsPumpThread() const { return std::this_thread::get_id() == m_owner; }

  // Queues fn to run on the pump's thread; any thread may call it.
  void Post(std::function<void()> fn);
  // Runs fn on the pump's thread and returns when it has run: inline on the
  // pump's thread, else posted and waited for.
  void RunOnPumpThread(std::function<void()> fn);
  // Wakes the pump's thread so that it looks at its predicates again.
  void Wake();

  // Timer nKey calls fn on the pump's thread every nIntervalMs (at least
  // 1 ms) until killed; setting it again restarts it. Any thread.
  void SetTimer(std::uint64_t nKey, std::uint32_t nIntervalMs, std::function<void()> fn);
  void KillTimer(std::uint64_t nKey);
  bool IsTimerSet(std::uint64_t nKey) const;

  // plat::IEventPump (pump's thread only).
  void DispatchOne() override;
  void WaitUntil(std::uint64_t nDeadlineMs) override;

  enum class ServeEnd { Done, Stopped, Deadline };
  // Runs posted functions and timers on the pump's thread until fnDone()
  // returns true (checked after every event and every wake-up), the deadline
  // passes, or — with bEndOnStop — a stop is requested. Without bEndOnStop a
  // pending stop is not waited on, so the pump keeps serving a worker that
  // is on its way out.
  ServeEnd Serve(const std::function<bool()>& fnDone, std::uint64_t nDeadlineMs, bool bEndOnStop);

 private:
  struct Timer {
    std::uint32_t nIntervalMs = 0;
    std::uint64_t nDueMs = 0;
    std::uint64_t nGeneration = 0;
    std::function<void()> fn;
  };

  // Runs one posted function, else one due timer; false when there was none.
  bool RunOne();
  // The earliest due time of a timer, or UINT64_MAX.
  std::uint64_t NextTimerDue() const;
  // Blocks until a wake-up, a stop (when watched) or nUntilMs.
  void Block(std::uint64_t nUntilMs, bool bWatchStop);
  void DrainWake();

  std::thread::id m_owner;
  // The wake-up: an eventfd (POSIX) or an auto-reset event (Windows).
  plat::NativeWaitHandle m_wake = plat::kNoWaitHandle;
  mutable std::mutex m_mutex;
  std::deque<std::function<void()>> m_queue;
  std::map<std::uint64_t, Timer> m_timers;
  std::uint64_t m_nGeneration = 0;
};
