#include <gtest/gtest.h>

#include <thread>

#include "platform/clock.h"
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

}  // namespace
