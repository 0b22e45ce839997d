// Tests of CFILEW (reading, writing, seeking, times, failures), GetPathTimes and CFNameW.
#include "platform/file.h"

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/host_platform.h"

namespace qx {
namespace {

using ::testing::HasSubstr;

constexpr std::uint64_t kUnixEpoch = 116444736000000000ull;  // FILETIME of 1970-01-01
constexpr std::uint64_t kTicksPerSecond = 10000000ull;

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qx-file-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const char* name) const { return dir_ + "/" + name; }
  void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  std::string dir_;
};

TEST_F(FileTest, WritesThenReadsFromAnyOffset) {
  const std::string path = Path("plant.mcp");
  CFILEW out;
  ASSERT_TRUE(out.Create(path));
  EXPECT_EQ(out.Write("hello world", 11), 11);
  EXPECT_TRUE(out.Close());
  EXPECT_FALSE(out.IsOpen());

  CFILEW in;
  ASSERT_TRUE(in.Open(path));
  char buffer[64] = {};
  EXPECT_EQ(in.Read(buffer, 5), 5);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  ASSERT_TRUE(in.Seek(6));
  EXPECT_EQ(in.Read(buffer, sizeof buffer), 5);  // short at the end of the file
  EXPECT_EQ(std::string(buffer, 5), "world");
  ASSERT_TRUE(in.Seek(1000));  // past the end: nothing to read, no failure
  EXPECT_EQ(in.Read(buffer, sizeof buffer), 0);
  EXPECT_EQ(in.Read(buffer, 0), 0);
}

TEST_F(FileTest, CreateTruncatesAndReopeningClosesTheFirstFile) {
  const std::string path = Path("data");
  WriteText(path, "0123456789");
  CFILEW file;
  ASSERT_TRUE(file.Create(path));
  EXPECT_EQ(file.Write("ab", 2), 2);
  ASSERT_TRUE(file.Open(path));  // closes the written file first
  char buffer[16];
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 2);
  EXPECT_EQ(std::string(buffer, 2), "ab");
}

TEST_F(FileTest, LargeReadsAreWhole) {
  const std::string path = Path("big");
  std::string content(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  WriteText(path, content);
  CFILEW file;
  ASSERT_TRUE(file.Open(path));
  std::string back(content.size() + 100, '\0');
  ASSERT_EQ(file.Read(back.data(), back.size()), static_cast<std::int64_t>(content.size()));
  back.resize(content.size());
  EXPECT_EQ(back, content);
}

TEST_F(FileTest, FailuresAreReportedOrThrownWithWhatFailed) {
  const std::string missing = Path("missing");
  const std::string directory = dir_;
  const std::string inMissingDir = Path("no/such/file");
  struct Case {
    const char* name;
    std::function<bool(CFILEW&)> act;  // false when the call reported failure
    std::string text;                  // expected exception text
  };
  const Case cases[] = {
      {"open missing", [&](CFILEW& f) { return f.Open(missing); },
       "open(" + missing + "): No such file or directory"},
      {"open directory", [&](CFILEW& f) { return f.Open(directory); },
       "open(" + directory + "): Is a directory"},
      {"create in missing directory", [&](CFILEW& f) { return f.Create(inMissingDir); },
       "create(" + inMissingDir + "): No such file or directory"},
      {"read unopened",
       [](CFILEW& f) {
         char c;
         return f.Read(&c, 1) >= 0;
       },
       "read(): Bad file descriptor"},
      {"write unopened", [](CFILEW& f) { return f.Write("x", 1) >= 0; },
       "write(): Bad file descriptor"},
      {"seek unopened", [](CFILEW& f) { return f.Seek(0); }, "seek(): Bad file descriptor"},
      {"seek past the offset range",
       [&](CFILEW& f) {
         WriteText(missing + ".x", "x");
         return f.Open(missing + ".x") && f.Seek(~std::uint64_t{0});
       },
       "seek(" + missing + ".x): Invalid argument"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      CFILEW file;
      EXPECT_FALSE(c.act(file));
      if (std::string(c.name).rfind("open", 0) == 0) {
        EXPECT_FALSE(file.IsOpen());
      }
    }
    CFILEW file;
    file.setUseExceptions(true);
    try {
      c.act(file);
      ADD_FAILURE() << "no exception";
    } catch (const FileError& error) {
      EXPECT_EQ(error.text, c.text);
    }
  }
}

TEST_F(FileTest, ReadingAFileOpenedForWritingFails) {
  CFILEW file;
  ASSERT_TRUE(file.Create(Path("w")));
  char c;
  EXPECT_EQ(file.Read(&c, 1), -1);
  file.setUseExceptions(true);
  try {
    file.Read(&c, 1);
    ADD_FAILURE() << "no exception";
  } catch (const FileError& error) {
    EXPECT_THAT(error.text, HasSubstr("read(" + Path("w") + "): "));
  }
}

TEST_F(FileTest, TimesRoundTripAsFileTimes) {
  const std::string path = Path("timed");
  WriteText(path, "x");
  const struct {
    const char* name;
    std::uint64_t access;
    std::uint64_t write;
  } cases[] = {
      {"unix epoch", kUnixEpoch, kUnixEpoch},
      {"2020 with 100 ns", kUnixEpoch + 1577836800ull * kTicksPerSecond + 1234567,
       kUnixEpoch + 1577836801ull * kTicksPerSecond + 1},
      {"before 1970", kUnixEpoch - kTicksPerSecond / 2, kUnixEpoch - 86400ull * kTicksPerSecond},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CFILEW file;
    ASSERT_TRUE(file.Open(path));
    FileTimes set;
    set.lastAccess = FileTime::FromValue(c.access);
    set.lastWrite = FileTime::FromValue(c.write);
    ASSERT_TRUE(file.SetTimes(set));

    FileTimes got;
    ASSERT_TRUE(file.GetTimes(&got));
    EXPECT_EQ(got.lastAccess.value(), c.access);
    EXPECT_EQ(got.lastWrite.value(), c.write);
    FileTimes byPath;
    ASSERT_TRUE(GetPathTimes(path, &byPath));
    EXPECT_EQ(byPath.lastAccess.value(), c.access);
    EXPECT_EQ(byPath.lastWrite.value(), c.write);
    EXPECT_EQ(byPath.creation.value(), got.creation.value());
  }
}

TEST_F(FileTest, CreationTimeIsTheBirthOrTheModificationTime) {
  const std::string path = Path("born");
  WriteText(path, "x");
  const std::uint64_t now =
      kUnixEpoch + static_cast<std::uint64_t>(std::time(nullptr)) * kTicksPerSecond;
  FileTimes times;
  ASSERT_TRUE(GetPathTimes(path, &times));
  // Created just now (birth time) or, where no birth time is kept, modified just now.
  EXPECT_GT(times.creation.value(), now - 3600 * kTicksPerSecond);
  EXPECT_LT(times.creation.value(), now + 3600 * kTicksPerSecond);
  EXPECT_EQ(times.creation.high, static_cast<std::uint32_t>(times.creation.value() >> 32));
}

TEST_F(FileTest, TimesOfWhatCannotBeExamined) {
  FileTimes times;
  EXPECT_FALSE(GetPathTimes(Path("missing"), &times));
  CFILEW closed;
  EXPECT_FALSE(closed.GetTimes(&times));
  EXPECT_FALSE(closed.SetTimes(times));
  CFILEW file;
  WriteText(Path("f"), "x");
  ASSERT_TRUE(file.Open(Path("f")));
  FileTimes outOfRange;
  outOfRange.lastWrite = FileTime::FromValue(~std::uint64_t{0});
  EXPECT_FALSE(file.SetTimes(outOfRange));
}

// A host double that only names the computer.
class NamedHost : public HostPlatform {
 public:
  std::optional<std::string> ComputerName() override { return "Plant01"; }
  std::optional<std::string> DomainName() override { return "WORKGROUP"; }
  std::optional<std::string> UserName() override { return "operator"; }
  std::optional<std::vector<Ipv4Row>> Ipv4Addresses() override { return std::vector<Ipv4Row>{}; }
};

TEST(CFNameWTest, TellsLocalPathsFromRemoteHosts) {
  NamedHost platform;
  const struct {
    const char* path;
    const char* host;  // "" for a local path
  } cases[] = {
      {"\\\\server7\\projects\\plant.mcp", "server7"},
      {"//server7/srv/plant.mcp", "server7"},
      {"\\\\server7", "server7"},
      {"//10.0.0.7/share/x", "10.0.0.7"},
      {"\\\\.\\share\\x", ""},
      {"\\\\LOCAL\\share\\x", ""},
      {"//local/x", ""},
      {"\\\\This\\share", ""},
      {"\\\\PLANT01\\share\\x", ""},
      {"//plant01/x", ""},
      {"//plant011/x", "plant011"},
      {"/srv/projects/plant.mcp", ""},
      {"plant.mcp", ""},
      {"C:\\projects\\plant.mcp", ""},
      {"\\\\", ""},
      {"///srv/x", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    CFNameW name(c.path, platform);
    EXPECT_EQ(name.getHost(), c.host);
    EXPECT_EQ(name.isLocalFName(), std::string(c.host).empty());
  }
}

}  // namespace
}  // namespace qx
