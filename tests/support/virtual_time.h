// Test fixture: every test runs in virtual time, starting at a fixed tick,
// with no pending stop request.
#pragma once
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/stop.h"

class VirtualTimeTest : public ::testing::Test {
 protected:
  VirtualTimeTest() : m_use(m_clock) { plat::Stop().Clear(); }
  ~VirtualTimeTest() override { plat::Stop().Clear(); }
  std::uint64_t Now() { return m_clock.NowMs(); }
  // Milliseconds of virtual time since the test began.
  std::uint64_t Elapsed() { return m_clock.NowMs() - kStart; }

  static constexpr std::uint64_t kStart = 1'000'000;
  plat::VirtualClock m_clock{kStart};

 private:
  plat::ScopedClock m_use;
};
