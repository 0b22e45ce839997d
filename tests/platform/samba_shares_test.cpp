// Tests of ResolveSharePath on configuration files written by the test.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/host_platform.h"

namespace qx {
namespace {

constexpr const char* kConfig =
    "# Samba configuration of a test station\n"
    "[global]\n"
    "   workgroup = PLANTS\n"
    "   path = /srv/global-default\n"
    "   include = /etc/samba/more.conf\n"
    "\n"
    "[Projects]\n"
    "   comment = the plant projects\n"
    "   Path = /srv/projects\n"
    "   read only = no\n"
    "\n"
    "; [Hidden]\n"
    ";   path = /srv/hidden\n"
    "[homes]\n"
    "   browseable = no\n"
    "\n"
    "[ spaced ]\n"
    "   p a t h=/srv/spaced   \n"
    "[legacy]\n"
    "   directory = /srv/legacy\n"
    "[hash]\n"
    "   path = /srv/with#hash\n"
    "   # path = /srv/commented\n"
    "   ; path = /srv/commented\n"
    "[continued]\n"
    "   path = /srv/very/\\\n"
    "long/path\n"
    "[twice]\n"
    "   path = /srv/first\n"
    "[data]\r\n"
    "   path = /srv/data\r\n"
    "[TWICE]\n"
    "   path = /srv/second\n"
    "[empty]\n"
    "   path =\n"
    "[broken\n"
    "   path = /srv/broken\n";

class SambaSharesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qx-smb-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    config_ = dir_ + "/smb.conf";
    std::ofstream(config_, std::ios::binary) << kConfig;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string dir_;
  std::string config_;
};

TEST_F(SambaSharesTest, FindsThePathOfAShare) {
  const struct {
    const char* share;
    std::optional<std::string> path;
  } cases[] = {
      {"Projects", "/srv/projects"},
      {"PROJECTS", "/srv/projects"},
      {"projects", "/srv/projects"},
      {"spaced", "/srv/spaced"},
      {"legacy", "/srv/legacy"},
      {"hash", "/srv/with#hash"},
      {"continued", "/srv/very/long/path"},
      {"twice", "/srv/second"},  // sections of one name merge; the last path counts
      {"data", "/srv/data"},
      {"broken", "/srv/broken"},
      {"global", std::nullopt},  // not a share
      {"homes", std::nullopt},   // no path of its own
      {"Hidden", std::nullopt},  // commented out
      {"empty", std::nullopt},
      {"nothing", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.share);
    EXPECT_EQ(ResolveSharePath(c.share, config_), c.path);
  }
}

TEST_F(SambaSharesTest, NoConfigurationMeansNoShares) {
  EXPECT_EQ(ResolveSharePath("Projects", dir_ + "/missing.conf"), std::nullopt);
  EXPECT_EQ(ResolveSharePath("Projects", dir_), std::nullopt);  // a directory
}

}  // namespace
}  // namespace qx
