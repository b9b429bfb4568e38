// The stop signal's descriptor made readable by a stray write (bytes sent
// through a stale descriptor number, as when a program started with standard
// output closed got the eventfd as descriptor 1): no wait may take that for
// a stop, and none may keep returning at once on it. Each wait runs for a
// few milliseconds of real time, which the tests do not measure.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <functional>

#include "cli/console_pump.h"
#include "platform/clock.h"
#include "platform/posix/fd_wait.h"
#include "platform/pump.h"
#include "platform/stop.h"

namespace {

bool StopFdReadable() {
  pollfd p{plat::StopFd(), POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

TEST(StrayStopWake, NoWaitTakesAStrayWriteForAStop) {
  plat::Stop().Clear();
  ASSERT_GE(plat::StopFd(), 0);
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  ConsolePump pump;
  struct Row {
    const char* pszName;
    std::function<bool()> wait;  // true when the wait ended as it should without a stop
  } rows[] = {
      {"a transport's wait",
       [&] { return plat::WaitForFd(pipeFds[0], POLLIN, plat::NowMs() + 20) == plat::FdWait::Timeout; }},
      {"a sleep", [] { return plat::Clock().SleepUntil(plat::NowMs() + 20); }},
      {"readerctl's event queue",
       [&] { return pump.Serve(nullptr, plat::NowMs() + 20, true) == ConsolePump::ServeEnd::Deadline; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pszName);
    const std::uint64_t stray = 0x0a7478742e6e7572;  // "run.txt\n"
    ASSERT_EQ(write(plat::StopFd(), &stray, sizeof stray), static_cast<ssize_t>(sizeof stray));
    EXPECT_TRUE(row.wait());
    EXPECT_FALSE(plat::Stop().Requested());
    EXPECT_FALSE(StopFdReadable()) << "left readable, every later wait would return at once";
  }
  // A real stop is still seen, and still signalled to every wait.
  plat::Stop().Request();
  EXPECT_EQ(plat::WaitForFd(pipeFds[0], POLLIN, plat::NowMs() + 60000), plat::FdWait::Stopped);
  EXPECT_TRUE(StopFdReadable());
  plat::Stop().Clear();
  close(pipeFds[0]);
  close(pipeFds[1]);
}

}  // namespace
