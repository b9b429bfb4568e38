#include "cli/wait_for_reader.h"

#include <algorithm>

#include "link/dispatch.h"
#include "link/interface_select.h"
#include "platform/clock.h"
#include "platform/stop.h"
#include "transport/connection.h"
#include "transport/reader_choice.h"
#include "ui/connect_step.h"
#include "ui/dialog_template.h"

namespace {

// One look: open the link with the reader check, then close it again.
bool LookOnce(const ReaderWaitTarget& target, std::uint64_t nEndMs) {
  ScopedExchangeDeadline cap(std::min(nEndMs, plat::NowMs() + kReaderPingMs));
  SelectInterface(target.bRs232);
  bool bAnswered = false;
  if (target.bRs232) {
    int nPort = target.nPort;
    if (nPort <= 0) {
      int ports[kMaxComPort] = {};
      int nCount = 0;
      if (EnumComPorts(target.nBaud, &nCount, ports)) nPort = ports[0];
    }
    bAnswered = nPort > 0 && OpenRs232(nPort, target.nBaud, true);
  } else {
    bAnswered = OpenFirstKnownReader(true);
  }
  CloseInterface();
  return bAnswered;
}

}  // namespace

bool WaitForReader(const ReaderWaitTarget& target, std::uint64_t nWaitMs) {
  const std::uint64_t nEndMs = plat::NowMs() + nWaitMs;
  for (;;) {
    const std::uint64_t nLookMs = plat::NowMs();
    if (LookOnce(target, nEndMs)) return true;
    if (plat::Stop().Requested() || plat::NowMs() >= nEndMs) return false;
    if (!plat::Clock().SleepUntil(std::min(nEndMs, nLookMs + kReaderPollMs))) return false;
  }
}

void PrepareRunReader(const CliOptions& opt, int nPort) {
  if (opt.devices.size() == 1) g_ReaderChoice.Pin(opt.devices.front());
  if (opt.nWaitSeconds <= 0) return;
  ReaderWaitTarget target;
  target.bRs232 = opt.bRs232;
  target.nPort = nPort;
  target.nBaud = kBaudTable[opt.nBaudIndex];
  WaitForReader(target, static_cast<std::uint64_t>(opt.nWaitSeconds) * 1000);
}
