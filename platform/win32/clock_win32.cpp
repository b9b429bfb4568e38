// Real time on Windows: GetTickCount64, and sleeps that block on the stop
// event so that a stop ends them at once.
#include <windows.h>

#include "platform/clock.h"
#include "platform/stop.h"
#include "platform/win32/win32_wait.h"

namespace plat {

std::uint64_t RealClock::NowMs() { return GetTickCount64(); }

bool RealClock::SleepUntil(std::uint64_t deadlineMs) {
  for (;;) {
    if (Stop().Requested()) return false;
    const std::uint64_t now = NowMs();
    if (now >= deadlineMs) return true;
    const std::uint64_t left = deadlineMs - now;
    const DWORD dwMs = static_cast<DWORD>(left > 60000 ? 60000 : left);
    if (HANDLE hStop = win32::StopEvent())
      WaitForSingleObject(hStop, dwMs);
    else
      Sleep(dwMs);
  }
}

}  // namespace plat
