// Tests of CFILEW::OpenBeneath, by openat2 and by the walk that replaces it on older kernels.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/file.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

TEST(FileBeneathTest, OpensOnlyRegularFilesBeneathTheRoot) {
  char pattern[] = "/tmp/qx-beneath-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path top = pattern;
  const fs::path root = top / "root";
  fs::create_directories(root / "sub");
  fs::create_directories(top / "out");
  std::ofstream(root / "sub" / "f.bin") << "f";
  std::ofstream(top / "out" / "s.bin") << "s";
  fs::create_symlink("sub/f.bin", root / "in_rel");
  fs::create_symlink(root / "sub" / "f.bin", root / "in_abs");
  fs::create_symlink(top / "out", root / "out_dir");
  fs::create_symlink("loop", root / "loop");
  ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);

  using B = BeneathOpen;
  struct Case {
    const char* relative;
    BeneathOpen byOpenat2;
    BeneathOpen byWalk;  // refuses every link
  } const cases[] = {
      {"sub/f.bin", B::kOpened, B::kOpened},
      {"in_rel", B::kOpened, B::kOutside},
      {"in_abs", B::kOutside, B::kOutside},
      {"out_dir/s.bin", B::kOutside, B::kOutside},
      {"sub/../../out/s.bin", B::kOutside, B::kOutside},
      {"loop", B::kOutside, B::kOutside},
      {"fifo", B::kNotRegular, B::kNotRegular},
      {"sub", B::kNotRegular, B::kNotRegular},
      {"none.bin", B::kMissing, B::kMissing},
      {"sub/f.bin/x", B::kMissing, B::kMissing},
  };
  for (bool walk : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(walk ? "walk: " : "openat2: ") + c.relative);
      CFILEW file;
      const BeneathOpen expected = walk ? c.byWalk : c.byOpenat2;
      EXPECT_EQ(file.OpenBeneath(root.string(), c.relative,
                                 walk ? CFILEW::Resolve::kWalk : CFILEW::Resolve::kKernel),
                expected);
      EXPECT_EQ(file.IsOpen(), expected == B::kOpened);
      EXPECT_EQ(file.lastError().empty(), expected == B::kOpened);
    }
  }
  fs::remove_all(top);
}

}  // namespace
}  // namespace qx
