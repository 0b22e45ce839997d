#include "client/remote_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client_test_station.h"
#include "common/text.h"
#include "module/module_root.h"
#include "server/remote_server.h"

namespace qx {
namespace {

using namespace testing_station;
using Calls = std::vector<std::pair<std::int32_t, std::int32_t>>;

// What the progress callback saw, and when it breaks the copy off.
Calls progressCalls;
int breakOnCode = 0;
int breakOnNth = 0;
std::int32_t RecordProgress(std::int32_t code, std::int32_t value) {
  progressCalls.emplace_back(code, value);
  if (code == breakOnCode && --breakOnNth == 0) return kUserBreak;
  return 0;
}

// The calls that reading one block after the other gives for a file of size bytes.
Calls SequentialProgress(std::int64_t size, std::int64_t block) {
  Calls calls{{kProgressOpened, 0}};
  std::int64_t total = 0, last = block;
  while (last == block) {
    last = std::min(block, size - total);
    total += last;
    calls.emplace_back(kProgressBlock, static_cast<std::int32_t>(total));
  }
  calls.emplace_back(kProgressDone, static_cast<std::int32_t>(total));
  return calls;
}

std::string CopyRequest(const std::string& host, const std::string& source,
                        const std::string& destination, const char* buffer = nullptr) {
  std::string text = "<RemoteCopy><HOST>" + XmlEscape(host) + "</HOST><SOURCE>" +
                     XmlEscape(source) + "</SOURCE><DESTINATION>" + XmlEscape(destination) +
                     "</DESTINATION>";
  if (buffer != nullptr) text += std::string("<BUFFER>") + buffer + "</BUFFER>";
  return text + "</RemoteCopy>";
}

class RemoteFileTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { UseTestStation(); }

  void SetUp() override {
    progressCalls.clear();
    breakOnCode = 0;
    breakOnNth = 0;
    dir_ = UseTestStation().files / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Source(std::size_t size, const std::string& name = "source.bin") {
    const auto path = dir_ / name;
    WriteFile(path, PatternBytes(size));
    return path.string();
  }
  std::string Destination() const { return (dir_ / "copy.bin").string(); }

  std::filesystem::path dir_;
};

// The names in the copy's folder other than the source and the destination.
std::vector<std::string> Leftovers(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name != "source.bin" && name != "copy.bin") names.push_back(name);
  }
  return names;
}

bool SameModificationTime(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  // FILETIME carries 100 ns steps.
  return sa.st_mtim.tv_sec == sb.st_mtim.tv_sec &&
         sa.st_mtim.tv_nsec / 100 == sb.st_mtim.tv_nsec / 100;
}

TEST_F(RemoteFileTest, CopiesInBlocksWithSequentialProgressBytesAndTimes) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  // Sets the source's times into the past so that a copy that forgets them shows.
  const std::string source = Source(150000);
  const timespec past[2] = {{1500000000, 123456700}, {1600000000, 987654300}};
  ASSERT_EQ(::utimensat(AT_FDCWD, source.c_str(), past, 0), 0);

  EXPECT_EQ(RemoteCopyFile(CopyingStation(),
                           CopyRequest(kReachable, source, Destination(), "65536"), RecordProgress),
            150000);
  const Calls expected{{10, 0}, {11, 65536}, {11, 131072}, {11, 150000}, {12, 150000}};
  EXPECT_EQ(progressCalls, expected);
  struct stat copy {};
  ASSERT_EQ(::stat(Destination().c_str(), &copy), 0);  // before reading it moves the access time
  EXPECT_EQ(copy.st_atim.tv_sec, 1500000000);
  EXPECT_TRUE(SameModificationTime(source, Destination()));
  EXPECT_EQ(ReadFileBytes(Destination()), PatternBytes(150000));

  // The reads that made the copy asked for consecutive blocks from the start; asks past the
  // end of the file may follow them, but none asks for anything else.
  const auto reads = holder.Reads();
  ASSERT_GE(reads.size(), 3u);
  for (std::size_t i = 0; i < reads.size(); ++i) {
    EXPECT_EQ(reads[i].from, static_cast<std::int64_t>(i) * 65536);
    EXPECT_EQ(reads[i].count, 65536);
  }
}

TEST_F(RemoteFileTest, SizesAroundTheBlockSizeCopyExactly) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  struct Case {
    std::size_t size;
    const char* buffer;
    std::int64_t block;
  };
  const Case cases[] = {
      {0, "65536", 65536},       {1, "65536", 65536},           {65535, "65536", 65536},
      {65536, "65536", 65536},   {131072, nullptr, 65536},      {65537, nullptr, 65536},
      {10000, "1000", 1000},     {9999, "1000", 1000},          {5, "1", 1},
      {3 << 20, "65536", 65536}, {(1 << 20) + 3, "4096", 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes, BUFFER " + (c.buffer ? c.buffer : "absent"));
    progressCalls.clear();
    const std::string source = Source(c.size);
    std::filesystem::remove(Destination());
    EXPECT_EQ(
        RemoteCopyFile(CopyingStation(), CopyRequest(kReachable, source, Destination(), c.buffer),
                       RecordProgress),
        static_cast<std::int32_t>(c.size));
    EXPECT_EQ(progressCalls, SequentialProgress(static_cast<std::int64_t>(c.size), c.block));
    EXPECT_EQ(ReadFileBytes(Destination()), PatternBytes(c.size));
  }
}

TEST_F(RemoteFileTest, BufferThatIsNotAPositiveNumberMeansDefaultBlocks) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  const std::string source = Source(70000);
  const char* buffers[] = {nullptr, "0", "-5", "", "many", "65536"};
  std::size_t seen = 0;
  for (const char* buffer : buffers) {
    SCOPED_TRACE(buffer ? buffer : "absent");
    EXPECT_EQ(RemoteCopyFile(CopyingStation(),
                             CopyRequest(kReachable, source, Destination(), buffer), nullptr),
              70000);
    const auto reads = holder.Reads();
    ASSERT_GT(reads.size(), seen);
    for (std::size_t i = seen; i < reads.size(); ++i) EXPECT_EQ(reads[i].count, 65536);
    seen = reads.size();
  }
}

TEST_F(RemoteFileTest, BlockIsCappedAtTheHoldersReadLimit) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  SetRegistryValue(kRpcPath, "ReadFileLimit", RegValue::Dword(32768));
  const std::string source = Source(100000);
  const std::int32_t copied = RemoteCopyFile(
      CopyingStation(), CopyRequest(kReachable, source, Destination(), "1000000"), RecordProgress);
  SetRegistryValue(kRpcPath, "ReadFileLimit", RegValue::Dword(16u << 20));
  EXPECT_EQ(copied, 100000);
  EXPECT_EQ(progressCalls, SequentialProgress(100000, 32768));
  for (const auto& read : holder.Reads()) EXPECT_EQ(read.count, 32768);
}

TEST_F(RemoteFileTest, UserBreakLeavesNoNewDestinationAndFails) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  const std::string source = Source(150000);
  struct Case {
    int code;
    Calls calls;
  };
  const Case cases[] = {
      {kProgressOpened, {{10, 0}}},
      {kProgressBlock, {{10, 0}, {11, 65536}}},
      {kProgressDone, {{10, 0}, {11, 65536}, {11, 131072}, {11, 150000}, {12, 150000}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("break on code " + std::to_string(c.code));
    std::filesystem::remove(Destination());  // an existing one would be kept whole
    TraceLines trace;
    progressCalls.clear();
    breakOnCode = c.code;
    breakOnNth = 1;
    EXPECT_EQ(RemoteCopyFile(CopyingStation(), CopyRequest(kReachable, source, Destination()),
                             RecordProgress),
              kCopyFailed);
    EXPECT_EQ(progressCalls, c.calls);
    EXPECT_FALSE(std::filesystem::exists(Destination()));
    EXPECT_EQ(Leftovers(dir_), std::vector<std::string>{});
    EXPECT_TRUE(trace.Contains("Exception in Copy File! ERR_USER_BREAK"));
  }
  // The connection left with answers outstanding is not handed to the next copy.
  progressCalls.clear();
  breakOnCode = 0;
  EXPECT_EQ(RemoteCopyFile(CopyingStation(), CopyRequest(kReachable, source, Destination()),
                           RecordProgress),
            150000);
  EXPECT_EQ(ReadFileBytes(Destination()), PatternBytes(150000));
}

TEST_F(RemoteFileTest, NullCallbackCopiesToTheEnd) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  const std::string source = Source(200000);
  EXPECT_EQ(
      RemoteCopyFile(CopyingStation(), CopyRequest(kReachable, source, Destination()), nullptr),
      200000);
  EXPECT_EQ(ReadFileBytes(Destination()), PatternBytes(200000));
}

TEST_F(RemoteFileTest, LocalNamesReadThroughThisStationsServer) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  const std::string source = Source(1234);
  for (const char* host : {"this", ".", "Local", kComputerName}) {
    SCOPED_TRACE(host);
    std::filesystem::remove(Destination());
    EXPECT_EQ(RemoteCopyFile(CopyingStation(), CopyRequest(host, source, Destination()), nullptr),
              1234);
    EXPECT_EQ(ReadFileBytes(Destination()), PatternBytes(1234));
  }
}

TEST_F(RemoteFileTest, CopyOfAFileOntoItselfOnThisMachineIsRefusedAndTheSourceKept) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  const std::string source = Source(70000);
  const std::string viaDots = std::filesystem::path(source).parent_path().string() + "/./" +
                              std::filesystem::path(source).filename().string();
  const std::string hardLink = (dir_ / "same-inode.bin").string();
  std::filesystem::create_hard_link(source, hardLink);
  // Every name that reaches this machine: local names, loopback by number and by the system
  // resolver, and a hosts-table alias of a loopback address.
  for (const char* host : {"this", "127.0.0.1", "localhost", kReachable}) {
    for (const std::string& destination : {viaDots, hardLink}) {
      SCOPED_TRACE(std::string(host) + " onto " + destination);
      EXPECT_EQ(RemoteCopyFile(CopyingStation(), CopyRequest(host, source, destination), nullptr),
                kCopyFailed);
      EXPECT_EQ(ReadFileBytes(source), PatternBytes(70000));
    }
  }
  EXPECT_TRUE(holder.Strings().empty()) << "refused before the file was asked for";
}

TEST_F(RemoteFileTest, ExistingDestinationIsReplacedOnlyByACompleteCopy) {
  const std::string source = Source(300000);
  struct Case {
    const char* name;
    int failReadAt;
    int breakOnCode;
    int breakOnNth;
    std::int32_t result;
  };
  const Case cases[] = {
      {"complete copy", -1, 0, 0, 300000},
      {"holder fails the third read", 2, 0, 0, kCopyFailed},
      {"holder fails the first read", 0, 0, 0, kCopyFailed},
      {"user break after two blocks", -1, kProgressBlock, 2, kCopyFailed},
      {"user break after the last block", -1, kProgressDone, 1, kCopyFailed},
  };
  const auto old = PatternBytes(100000, 99);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestHolder holder;
    holder.failReadAt = c.failReadAt;
    ASSERT_TRUE(holder.Start());
    WriteFile(Destination(), old);
    ASSERT_EQ(::chmod(Destination().c_str(), 0640), 0);
    breakOnCode = c.breakOnCode;
    breakOnNth = c.breakOnNth;
    EXPECT_EQ(RemoteCopyFile(CopyingStation(), CopyRequest(kReachable, source, Destination()),
                             RecordProgress),
              c.result);
    EXPECT_EQ(ReadFileBytes(Destination()), c.result > 0 ? PatternBytes(300000) : old);
    if (c.result > 0) {
      EXPECT_TRUE(SameModificationTime(source, Destination()));
    }
    struct stat copy {};
    ASSERT_EQ(::stat(Destination().c_str(), &copy), 0);
    EXPECT_EQ(copy.st_mode & 0777, 0640u);
    EXPECT_EQ(Leftovers(dir_), std::vector<std::string>{});
  }
}

TEST_F(RemoteFileTest, FailuresBeforeTheFirstBlockLeaveNoLocalFile) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  const std::string source = Source(1000);
  const std::string longName(260, 'n');
  std::string surrogates;  // 130 characters outside the BMP: 260 UTF-16 units
  for (int i = 0; i < 130; ++i) surrogates += "\xF0\x9F\x98\x80";
  struct Case {
    const char* name;
    std::string request;
    const char* traced;
  };
  const Case cases[] = {
      {"unreachable station", CopyRequest(kUnreachable, source, Destination()),
       "Exception in Copy File! CRemoteFile::Open failed"},
      {"missing remote file", CopyRequest(kReachable, source + ".missing", Destination()),
       "Exception in Copy File! CRemoteFile::Open failed"},
      {"remote name of 260 characters", CopyRequest(kReachable, "/" + longName, Destination()),
       "Exception in Copy File! CRemoteFile::Open failed"},
      {"remote name of 260 UTF-16 units", CopyRequest(kReachable, surrogates, Destination()),
       "Exception in Copy File! CRemoteFile::Open failed"},
      {"source text of 512", CopyRequest(kReachable, "/" + std::string(511, 's'), Destination()),
       "Exception in Copy File! SOURCE too long"},
      {"station text of 512", CopyRequest(std::string(512, 'h'), source, Destination()),
       "Exception in Copy File! HOST too long"},
      {"station text of 2000", CopyRequest(std::string(2000, 'h'), source, Destination()),
       "Exception in Copy File! HOST too long"},
      {"destination of 512",
       CopyRequest(kReachable, source,
                   Destination() + std::string(512 - Destination().size(), 'd')),
       "Exception in Copy File! DESTINATION too long"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TraceLines trace;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RemoteCopyFile(CopyingStation(), c.request, RecordProgress), kCopyFailed);
    // Not a speed target: an unreachable station must not hang the caller.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(std::filesystem::exists(Destination()));
    EXPECT_TRUE(trace.Contains(c.traced));
  }
  EXPECT_TRUE(progressCalls.empty());
  // Only the missing file reached the holder; over-long names never left this station.
  EXPECT_EQ(holder.Strings().size(), 1u);
  EXPECT_EQ(RemoteCopyFile(CopyingStation(), "not a request", nullptr), kCopyFailed);
}

TEST_F(RemoteFileTest, NamesUpToTheLimitAndMarkupCharactersTravelIntact) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  const std::string tricky = Source(3000, "R&D <plant> 'x'.bin");
  EXPECT_EQ(
      RemoteCopyFile(CopyingStation(), CopyRequest(kReachable, tricky, Destination()), nullptr),
      3000);
  EXPECT_EQ(ReadFileBytes(Destination()), PatternBytes(3000));

  // A remote name of exactly 259 characters is still asked for.
  const std::string name = (dir_ / "").string();
  const std::string longest = Source(10, std::string(259 - name.size(), 'f'));
  ASSERT_EQ(longest.size(), 259u);
  EXPECT_EQ(
      RemoteCopyFile(CopyingStation(), CopyRequest(kReachable, longest, Destination()), nullptr),
      10);
}

TEST_F(RemoteFileTest, FailedReadsFailTheCopyAndLeaveNoNewDestination) {
  struct Case {
    const char* name;
    int failAt;
    int oversizeAt;
  };
  const Case cases[] = {{"holder fails the second read", 1, -1},
                        {"answer longer than asked", -1, 1},
                        {"first read fails", 0, -1}};
  const std::string source = Source(300000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestHolder holder;
    holder.failReadAt = c.failAt;
    holder.oversizeReadAt = c.oversizeAt;
    ASSERT_TRUE(holder.Start());
    std::filesystem::remove(Destination());  // an existing one would be kept whole
    TraceLines trace;
    progressCalls.clear();
    EXPECT_EQ(RemoteCopyFile(CopyingStation(), CopyRequest(kReachable, source, Destination()),
                             RecordProgress),
              kCopyFailed);
    EXPECT_TRUE(trace.Contains("Exception in Copy File! CRemoteFile::Read failed"));
    const std::size_t blocksBefore = static_cast<std::size_t>(std::max(c.failAt, c.oversizeAt));
    EXPECT_FALSE(std::filesystem::exists(Destination()));
    EXPECT_EQ(Leftovers(dir_), std::vector<std::string>{});
    EXPECT_EQ(progressCalls.size(), blocksBefore + 1);
  }
}

TEST_F(RemoteFileTest, OpenAnswerWithoutTimesLeavesTheCopysTimesAlone) {
  TestHolder holder;
  holder.omitTimes = true;
  ASSERT_TRUE(holder.Start());
  const std::string source = Source(500);
  const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, source.c_str(), past, 0), 0);
  EXPECT_EQ(
      RemoteCopyFile(CopyingStation(), CopyRequest(kReachable, source, Destination()), nullptr),
      500);
  struct stat copy {};
  ASSERT_EQ(::stat(Destination().c_str(), &copy), 0);
  EXPECT_GT(copy.st_mtim.tv_sec, 1000000000);
}

TEST_F(RemoteFileTest, HolderThatDiesMidCopyFailsTheCopy) {
  const std::string source = Source(1 << 20);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TestHolder holder;
    holder.exitProcessAtRead = 3;
    if (!holder.Start()) ::_exit(2);
    std::this_thread::sleep_for(std::chrono::seconds(20));
    ::_exit(3);
  }
  // Waits until the forked holder takes connections.
  TestHolder probe;  // not started: only to know the port is taken
  bool up = false;
  for (int i = 0; i < 200 && !up; ++i) {
    CRPCClientW client;
    client.setConnectionPool(CopyingStation().rpcPool());
    up = client.Connect(kServiceProjectManager, kReachable, "probe");
    if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_TRUE(up);
  TraceLines trace;
  EXPECT_EQ(RemoteCopyFile(CopyingStation(), CopyRequest(kReachable, source, Destination()),
                           RecordProgress),
            kCopyFailed);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(trace.Contains("Exception in Copy File! CRemoteFile::Read failed"));
  EXPECT_FALSE(progressCalls.empty());
  EXPECT_NE(progressCalls.back().first, kProgressDone);
  EXPECT_FALSE(std::filesystem::exists(Destination()));
  EXPECT_EQ(Leftovers(dir_), std::vector<std::string>{});
}

// A file of the temporary files' pattern, written and locked by a child process that then
// either ends at once (a copy that was killed) or holds the lock until told to end.
class ForeignWriter {
 public:
  ForeignWriter(const std::string& path, bool staysAlive) {
    int ready[2] = {-1, -1};
    if (::pipe(ready) != 0 || ::pipe(release_) != 0) return;
    child_ = ::fork();
    if (child_ == 0) {
      ::close(release_[1]);  // else the child's read would never see the parent's end
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      const bool ok = fd >= 0 && ::write(fd, "partial", 7) == 7 && ::flock(fd, LOCK_EX) == 0;
      char byte = ok ? 'y' : 'n';
      if (::write(ready[1], &byte, 1) != 1 || !ok) ::_exit(1);
      if (staysAlive) static_cast<void>(::read(release_[0], &byte, 1));  // the parent's end
      ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 'n';
    made_ = child_ > 0 && ::read(ready[0], &byte, 1) == 1 && byte == 'y';
    ::close(ready[0]);
    if (!staysAlive) End();
  }
  ~ForeignWriter() { End(); }
  ForeignWriter(const ForeignWriter&) = delete;
  ForeignWriter& operator=(const ForeignWriter&) = delete;

  bool made() const { return made_; }
  void End() {
    if (release_[1] >= 0) ::close(release_[1]);  // the child's read ends
    if (release_[0] >= 0) ::close(release_[0]);
    release_[0] = release_[1] = -1;
    if (child_ > 0) ::waitpid(child_, nullptr, 0);
    child_ = -1;
  }

 private:
  pid_t child_ = -1;
  int release_[2] = {-1, -1};
  bool made_ = false;
};

TEST_F(RemoteFileTest, TemporaryFilesOfDeadCopiesAreRemovedAndNothingElse) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  const std::string source = Source(70000);
  const std::filesystem::path outside = dir_ / "outside.bin";
  enum Kind { kDeadWriter, kLiveWriter, kUnlocked, kLink, kFolder, kFifo, kOtherOwner };
  struct Case {
    const char* name;
    Kind kind;
    const char* file;
    bool existingDestination;
    bool removed;
  };
  const Case cases[] = {
      {"killed copy to a new destination", kDeadWriter, ".copy.bin.Ab3xY9", false, true},
      {"killed copy over an existing one", kDeadWriter, ".copy.bin.Zz0000", true, true},
      {"file of the pattern that nobody locks", kUnlocked, ".copy.bin.q1w2e3", false, true},
      {"copy that is still writing", kLiveWriter, ".copy.bin.Ab3xY9", false, false},
      {"link of the pattern", kLink, ".copy.bin.LiNk00", false, false},
      {"folder of the pattern", kFolder, ".copy.bin.DiR000", false, false},
      {"FIFO of the pattern", kFifo, ".copy.bin.FiFo00", false, false},
      {"another destination's", kDeadWriter, ".other.bin.Ab3xY9", false, false},
      {"one character more", kDeadWriter, ".copy.bin.Ab3xY9Z", false, false},
      {"one character less", kDeadWriter, ".copy.bin.Ab3xY", false, false},
      {"not a letter or digit", kDeadWriter, ".copy.bin.Ab3-Y9", false, false},
      {"no leading dot", kDeadWriter, "copy.bin.Ab3xY9", false, false},
      {"another user's", kOtherOwner, ".copy.bin.Us3r00", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_ / c.file);
    std::filesystem::remove(Destination());
    WriteFile(outside, PatternBytes(10, 7));
    if (c.existingDestination) WriteFile(Destination(), PatternBytes(10, 99));
    const std::string leftover = (dir_ / c.file).string();
    std::unique_ptr<ForeignWriter> writer;
    switch (c.kind) {
      case kDeadWriter:
      case kLiveWriter:
        writer = std::make_unique<ForeignWriter>(leftover, c.kind == kLiveWriter);
        ASSERT_TRUE(writer->made());
        break;
      case kUnlocked:
        WriteFile(leftover, PatternBytes(10, 3));
        break;
      case kLink:
        std::filesystem::create_symlink(outside, leftover);
        break;
      case kFolder:
        std::filesystem::create_directory(leftover);
        break;
      case kFifo:
        ASSERT_EQ(::mkfifo(leftover.c_str(), 0600), 0);
        break;
      case kOtherOwner:
        if (::geteuid() != 0) continue;  // only root can make a file of another user's
        WriteFile(leftover, PatternBytes(10, 3));
        ASSERT_EQ(::chown(leftover.c_str(), 65534, 65534), 0);
        break;
    }
    EXPECT_EQ(
        RemoteCopyFile(CopyingStation(), CopyRequest(kReachable, source, Destination()), nullptr),
        70000);
    EXPECT_EQ(ReadFileBytes(Destination()), PatternBytes(70000));
    struct stat left {};
    EXPECT_EQ(::lstat(leftover.c_str(), &left) != 0, c.removed);
    if (c.kind == kLink) {
      EXPECT_TRUE(S_ISLNK(left.st_mode));
      EXPECT_EQ(ReadFileBytes(outside), PatternBytes(10, 7));
    }
    writer.reset();
    std::filesystem::remove_all(leftover);
    EXPECT_EQ(Leftovers(dir_), std::vector<std::string>{"outside.bin"});
  }
}

TEST_F(RemoteFileTest, NewDestinationGetsTheModeOfAFileCreatedInPlace) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  const std::string source = Source(1000);
  ASSERT_EQ(::chmod(source.c_str(), 0600), 0);
  for (const mode_t mask : {mode_t{022}, mode_t{027}, mode_t{002}}) {
    SCOPED_TRACE(mask);
    std::filesystem::remove(Destination());
    const mode_t before = ::umask(mask);
    const std::int32_t copied =
        RemoteCopyFile(CopyingStation(), CopyRequest(kReachable, source, Destination()), nullptr);
    ::umask(before);
    EXPECT_EQ(copied, 1000);
    struct stat copy {};
    ASSERT_EQ(::stat(Destination().c_str(), &copy), 0);
    EXPECT_EQ(copy.st_mode & 0777, 0666 & ~mask);
  }
}

TEST_F(RemoteFileTest, RemoteFileReadsOneBlockAfterAnother) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  const std::string source = Source(100);
  CRemoteFile file(CopyingStation());
  EXPECT_THROW(file.Read(nullptr, 10), CopyError);  // closed
  ASSERT_TRUE(file.Open(kReachable, source));
  EXPECT_TRUE(file.hasTimes());
  std::uint8_t buffer[64];
  EXPECT_EQ(file.Read(buffer, 64), 64u);
  EXPECT_EQ(file.Read(buffer, 64), 36u);
  EXPECT_EQ(file.Read(buffer, 64), 0u);  // end of file
  EXPECT_EQ(file.position(), 100u);
  EXPECT_TRUE(file.Close());
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(file.position(), 0u);
  EXPECT_THROW(file.Read(buffer, 64), CopyError);
}

TEST_F(RemoteFileTest, StationServerServesTheCopy) {
  CSERVER server{ModuleStation()};
  ASSERT_EQ(server.startRemoteServer(kServiceProjectManager), S_OK);
  const std::string source = Source(150000);
  EXPECT_EQ(RemoteCopyFile(CopyingStation(),
                           CopyRequest(kReachable, source, Destination(), "65536"), RecordProgress),
            150000);
  const Calls expected{{10, 0}, {11, 65536}, {11, 131072}, {11, 150000}, {12, 150000}};
  EXPECT_EQ(progressCalls, expected);
  EXPECT_TRUE(SameModificationTime(source, Destination()));
  EXPECT_EQ(ReadFileBytes(Destination()), PatternBytes(150000));

  // Files the holder does not have, or may not show, are refused before a local file exists.
  std::filesystem::remove(Destination());
  for (const std::string& missing : {source + ".missing", std::string("/etc/hostname")}) {
    SCOPED_TRACE(missing);
    EXPECT_EQ(
        RemoteCopyFile(CopyingStation(), CopyRequest(kReachable, missing, Destination()), nullptr),
        kCopyFailed);
    EXPECT_FALSE(std::filesystem::exists(Destination()));
  }
  EXPECT_EQ(server.stopRemoteServer(), S_OK);
}

}  // namespace
}  // namespace qx
