// Tests of the project-manager watch: its tick and its timer thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "discovery/project_watch.h"
#include "discovery/recording_komm.h"
#include "registry/project_state.h"
#include "server/server_test_support.h"

namespace qx {
namespace {

using Clock = std::chrono::steady_clock;

TEST(ProjectWatch, TickWithoutProjectManagerClearsTheRecordedStateOnce) {
  test::Station();
  test::RecordSends record;
  const bool clean = cleanRegistryEnabled.exchange(false);
  SetCurrentProjectState("Plant", "Run Time");
  WatchTick(test::Station().core, {});
  std::vector<test::Sent> sends = test::TakeSent();
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].receiver, "*");
  EXPECT_EQ(test::RootAndField(sends[0].text, "DSN"), "PM_MULTICAST/Plant");
  EXPECT_EQ(test::RootAndField(sends[0].text, "STATE"), "PM_MULTICAST/");
  EXPECT_EQ(test::RootAndField(sends[0].text, "HOST"), "PM_MULTICAST/STATIONT");
  EXPECT_EQ(GetCurrentProjectDsn(), "");
  WatchTick(test::Station().core, {});
  EXPECT_TRUE(test::TakeSent().empty());
  cleanRegistryEnabled = clean;
}

TEST(ProjectWatch, TimerTicksAndStopsAtOnceWhileItWaits) {
  struct Case {
    std::uint32_t periodMs;
    int ticksBeforeStop;
  } const cases[] = {{5, 3}, {600000, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.periodMs);
    std::atomic<int> ticks{0};
    WatchTimer timer;
    ASSERT_TRUE(timer.Start(c.periodMs, [&] { ++ticks; }));
    EXPECT_FALSE(timer.Start(c.periodMs, [] {}));  // one thread a timer
    EXPECT_EQ(timer.periodMs(), c.periodMs);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (ticks.load() < c.ticksBeforeStop && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GE(ticks.load(), c.ticksBeforeStop);
    const auto stopAt = Clock::now();
    timer.Stop();
    EXPECT_LT(Clock::now() - stopAt, std::chrono::milliseconds(500));
    const int stopped = ticks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ticks.load(), stopped);
    EXPECT_EQ(timer.periodMs(), 0u);
  }
}

}  // namespace
}  // namespace qx
