#include "platform/pump.h"

#include "platform/clock.h"

namespace plat {
namespace {

// Threads without events: dispatching does nothing and waiting blocks on the
// clock, which ends early on a stop request.
class BlockingPump final : public IEventPump {
 public:
  void DispatchOne() override {}
  void WaitUntil(std::uint64_t deadlineMs) override { Clock().SleepUntil(deadlineMs); }
};

BlockingPump g_blockingPump;
thread_local IEventPump* t_pump = nullptr;

}  // namespace

IEventPump& ThreadPump() { return t_pump ? *t_pump : g_blockingPump; }

bool ThreadPumpInstalled() { return t_pump != nullptr; }

void SetThreadPump(IEventPump* pump) { t_pump = pump; }

}  // namespace plat
