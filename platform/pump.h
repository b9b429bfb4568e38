// Event pump of the calling thread. The procedures wait "while the thread's
// events flow": on the window's thread that means the window keeps painting
// and its timer keeps ticking; on a worker thread there is nothing to pump
// and a wait simply blocks until its deadline or a stop request.
//
// Each thread has its own pump. The Qt window installs one that runs the Qt
// event loop until the deadline; tests install recorders; everything else
// gets the blocking default.
#pragma once
#include <cstdint>

namespace plat {

// Longest a transfer blocks on a thread with an installed pump before that
// thread's pending events are dispatched again, so a window keeps painting
// and ticking through a transfer's time-outs.
constexpr std::uint64_t kPumpSliceMs = 10;

class IEventPump {
 public:
  virtual ~IEventPump() = default;
  // Dispatches at most one pending event of the calling thread; never blocks.
  virtual void DispatchOne() = 0;
  // Processes the thread's events until Clock().NowMs() >= deadlineMs or a
  // stop is requested. Blocks between events; never spins.
  virtual void WaitUntil(std::uint64_t deadlineMs) = 0;
};

// The calling thread's pump (the blocking default unless one is installed).
IEventPump& ThreadPump();
// Whether a pump has been installed for the calling thread: its events need
// dispatching while it waits in a transfer, not only in WaitUntil.
bool ThreadPumpInstalled();
// Installs a pump for the calling thread; nullptr restores the default. Not owned.
void SetThreadPump(IEventPump* pump);

class ScopedThreadPump {
 public:
  explicit ScopedThreadPump(IEventPump& p) { SetThreadPump(&p); }
  ~ScopedThreadPump() { SetThreadPump(nullptr); }
  ScopedThreadPump(const ScopedThreadPump&) = delete;
  ScopedThreadPump& operator=(const ScopedThreadPump&) = delete;
};

}  // namespace plat
