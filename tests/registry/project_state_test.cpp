// Tests of the local project's state record.
#include "registry/project_state.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace qx {
namespace {

TEST(ProjectState, RecordsOneProjectAndAnswersForItsDsnIgnoringCase) {
  SetCurrentProjectState("Plant", "Run Time");
  EXPECT_EQ(GetCurrentProjectDsn(), "Plant");
  EXPECT_EQ(GetCurrentProjectState("PLANT"), "Run Time");
  EXPECT_EQ(GetCurrentProjectState("plant"), "Run Time");
  EXPECT_EQ(GetCurrentProjectState("Other"), "");
  EXPECT_EQ(GetCurrentProjectState("Plant", 4), "Run");
  EXPECT_EQ(GetCurrentProjectState("Plant", 0), "");

  SetCurrentProjectState("Plant", "");  // an empty state empties both fields
  EXPECT_EQ(GetCurrentProjectDsn(), "");
  EXPECT_EQ(GetCurrentProjectState("Plant"), "");
  EXPECT_EQ(GetCurrentProjectState(""), "");
}

TEST(ProjectState, FieldsAreCutTo127Characters) {
  const std::string longDsn(200, 'd');
  const std::string longState = std::string(126, 's') + "\xC3\xA9\xC3\xA9";  // 128 characters
  SetCurrentProjectState(longDsn, longState);
  EXPECT_EQ(GetCurrentProjectDsn(), std::string(127, 'd'));
  EXPECT_EQ(GetCurrentProjectState(longDsn), "") << "a cut DSN no longer equals the full one";
  EXPECT_EQ(GetCurrentProjectState(std::string(127, 'D')), std::string(126, 's') + "\xC3\xA9");
  SetCurrentProjectState("", "");
}

TEST(ProjectState, ReadersNeverSeeHalfARecord) {
  const std::string a(127, 'a');
  const std::string b(127, 'b');
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) SetCurrentProjectState("Plant", i % 2 ? a : b);
  });
  for (int i = 0; i < 2000; ++i) {
    const std::string state = GetCurrentProjectState("Plant");
    ASSERT_TRUE(state.empty() || state == a || state == b);
  }
  writer.join();
  SetCurrentProjectState("", "");
}

}  // namespace
}  // namespace qx
