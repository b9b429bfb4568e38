#include <gtest/gtest.h>

#include <thread>

#include <poll.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/posix/fd_wait.h"
#include "platform/pump.h"
#include "platform/stop.h"

namespace {

TEST(VirtualClock, MovesOnlyWhenSomebodyWaits) {
  plat::VirtualClock vc(5000);
  plat::ScopedClock use(vc);
  EXPECT_EQ(plat::NowMs(), 5000u);
  EXPECT_EQ(plat::NowMs(), 5000u);
  plat::ThreadPump().WaitUntil(5000 + 65000);
  EXPECT_EQ(plat::NowMs(), 70000u);
  plat::ThreadPump().WaitUntil(100);  // a deadline in the past never moves time back
  EXPECT_EQ(plat::NowMs(), 70000u);
  vc.Advance(5);
  EXPECT_EQ(plat::RemainingMs(70010), 5u);
}

TEST(RealClock, StopEndsASleepAtOnce) {
  plat::RealClock rc;
  std::thread t([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    plat::Stop().Request();
  });
  const auto start = rc.NowMs();
  EXPECT_FALSE(rc.SleepUntil(start + 60000));
  t.join();
  EXPECT_LT(rc.NowMs() - start, 10000u);
  plat::Stop().Clear();
  EXPECT_FALSE(plat::Stop().Requested());
  EXPECT_TRUE(rc.SleepUntil(rc.NowMs() + 5));
}

TEST(ThreadPump, InstalledPerThread) {
  struct CountingPump : plat::IEventPump {
    int dispatched = 0;
    void DispatchOne() override { ++dispatched; }
    void WaitUntil(std::uint64_t) override {}
  } pump;
  plat::ScopedThreadPump use(pump);
  plat::ThreadPump().DispatchOne();
  bool otherThreadUsesDefault = false;
  std::thread t([&] { otherThreadUsesDefault = &plat::ThreadPump() != &pump; });
  t.join();
  EXPECT_EQ(pump.dispatched, 1);
  EXPECT_TRUE(otherThreadUsesDefault);
}

// The transports' one wait, on a pipe in real time: data, silence, hang-up
// and a stop each end it the right way.
TEST(WaitForFd, EndsOnDataDeadlineHangupOrStop) {
  plat::Stop().Clear();
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  short revents = 0;
  EXPECT_EQ(plat::WaitForFd(p[0], POLLIN, plat::NowMs() + 20, &revents), plat::FdWait::Timeout);
  ASSERT_EQ(write(p[1], "x", 1), 1);
  EXPECT_EQ(plat::WaitForFd(p[0], POLLIN, plat::kNoDeadline, &revents), plat::FdWait::Ready);
  EXPECT_TRUE(revents & POLLIN);
  char c;
  ASSERT_EQ(read(p[0], &c, 1), 1);
  plat::Stop().Request();
  EXPECT_EQ(plat::WaitForFd(p[0], POLLIN, plat::kNoDeadline), plat::FdWait::Stopped);
  plat::Stop().Clear();
  close(p[1]);
  EXPECT_EQ(plat::WaitForFd(p[0], POLLIN, plat::kNoDeadline, &revents), plat::FdWait::Ready);
  EXPECT_TRUE(revents & POLLHUP);
  close(p[0]);
}

}  // namespace
