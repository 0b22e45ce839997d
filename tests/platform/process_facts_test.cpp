// ReadProcessFacts on this test's own process: the figures follow what the process does, a
// command name with parentheses and spaces does not shift the fields of stat, and a process
// that is not there gives no figures rather than wrong ones.
#include "platform/process_facts.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <vector>

namespace qx {
namespace {

TEST(ProcessFacts, FollowTheProcess) {
  const ProcessFacts before = ReadProcessFacts("/proc/self");
  ASSERT_TRUE(before.uptimeSeconds && before.residentBytes && before.openDescriptors);
  EXPECT_GE(*before.uptimeSeconds, 0.0);
  EXPECT_LT(*before.uptimeSeconds, 3600.0) << "the test started moments ago";
  EXPECT_GT(*before.residentBytes, 0u);

  std::vector<int> pipes(16);
  for (std::size_t i = 0; i < pipes.size(); i += 2) ASSERT_EQ(::pipe(&pipes[i]), 0);
  const ProcessFacts opened = ReadProcessFacts("/proc/self");
  for (const int fd : pipes) ::close(fd);
  ASSERT_TRUE(opened.openDescriptors);
  EXPECT_EQ(*opened.openDescriptors, *before.openDescriptors + pipes.size())
      << "the listing's own descriptor is not counted";
}

TEST(ProcessFacts, ACommandNameOfParenthesesAndSpacesDoesNotShiftTheFields) {
  const ProcessFacts before = ReadProcessFacts("/proc/self");
  ASSERT_TRUE(before.uptimeSeconds);
  char name[17] = {};
  ASSERT_EQ(::prctl(PR_GET_NAME, name), 0);
  ASSERT_EQ(::prctl(PR_SET_NAME, "x) 1 2 (3) 4 5"), 0);
  const ProcessFacts facts = ReadProcessFacts("/proc/self");
  ::prctl(PR_SET_NAME, name);
  ASSERT_TRUE(facts.uptimeSeconds);
  EXPECT_NEAR(*facts.uptimeSeconds, *before.uptimeSeconds, 60.0);
}

TEST(ProcessFacts, NoProcessGivesNoFigures) {
  const ProcessFacts none = ReadProcessFacts("/proc/0");
  EXPECT_FALSE(none.uptimeSeconds);
  EXPECT_FALSE(none.residentBytes);
  EXPECT_FALSE(none.openDescriptors);
  EXPECT_TRUE(ReadProcText("/proc/0/status").empty());
  EXPECT_EQ(ReadProcText("/proc/self/status", 5).size(), 5u);
}

}  // namespace
}  // namespace qx
