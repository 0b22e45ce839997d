// Tests of the station's environment: variables read at each call, the runtime directory.
#include "platform/environment.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace qx {
namespace {

// Sets (or clears) a variable for one test and puts the old value back.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (previous_) {
      ::setenv(name_, previous_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

TEST(EnvironmentTest, VariablesAreReadAtEveryCall) {
  {
    ScopedVariable registry("QX_REGISTRY", nullptr);
    ScopedVariable runtime("QX_RUNTIME_DIR", nullptr);
    EXPECT_EQ(RegistryPath(), "/var/lib/qxremote/registry.db");
    EXPECT_EQ(RuntimeDir(), "/run/qxremote");
  }
  {
    ScopedVariable registry("QX_REGISTRY", "/tmp/a.db");
    ScopedVariable runtime("QX_RUNTIME_DIR", "/tmp/station-a");
    EXPECT_EQ(RegistryPath(), "/tmp/a.db");
    EXPECT_EQ(RuntimeDir(), "/tmp/station-a");
    ::setenv("QX_RUNTIME_DIR", "/tmp/station-b", 1);
    EXPECT_EQ(RuntimeDir(), "/tmp/station-b");
  }
  {
    ScopedVariable runtime("QX_RUNTIME_DIR", "");  // empty is unset
    EXPECT_EQ(RuntimeDir(), "/run/qxremote");
  }
}

TEST(EnvironmentTest, EnsureRuntimeDirCreatesTheWholePathWithItsMode) {
  char pattern[] = "/tmp/qx-env-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string base = pattern;
  const std::string dir = base + "/a/b/run";
  {
    ScopedVariable runtime("QX_RUNTIME_DIR", dir.c_str());
    mode_t previousMask = ::umask(077);
    EXPECT_TRUE(EnsureRuntimeDir());
    ::umask(previousMask);
    struct stat info {};
    ASSERT_EQ(::stat(dir.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0750u);
    EXPECT_TRUE(EnsureRuntimeDir());  // already there

    std::ofstream(base + "/file") << "x";
    ::setenv("QX_RUNTIME_DIR", (base + "/file").c_str(), 1);
    EXPECT_FALSE(EnsureRuntimeDir());  // a file stands in the way
    ::setenv("QX_RUNTIME_DIR", (base + "/file/sub").c_str(), 1);
    EXPECT_FALSE(EnsureRuntimeDir());
  }
  std::filesystem::remove_all(base);
}

TEST(EnvironmentTest, ExecutablePathIsThisTestProgram) {
  std::string path = ExecutablePath();
  EXPECT_EQ(path, std::filesystem::canonical("/proc/self/exe").string());
  EXPECT_EQ(path.front(), '/');
}

}  // namespace
}  // namespace qx
