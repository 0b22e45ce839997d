// Tests of REMOTECALL, OPENFILE and READFILE, and of the path policy behind them.
#include "server/remote_file_answers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <thread>

#include "platform/file.h"
#include "server/path_policy.h"
#include "server_test_support.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

class RemoteFileAnswersTest : public ::testing::Test {
 protected:
  void SetUp() override { station_ = &test::Station(); }
  test::TestStation* station_ = nullptr;
};

HRESULT Call(const std::string& request, AnswerText* answer) {
  CXmlElement tree;
  if (!tree.LoadXml(request)) return E_INVALIDARG;
  return PerformDllCall(tree, answer);
}

TEST_F(RemoteFileAnswersTest, RemoteCallPassesParameterAndAnswer) {
  const std::string lib = station_->libraryDir + "/libqxtestremote.so";
  struct Case {
    const char* name;
    std::string request;
    HRESULT result;
    std::optional<std::string> answer;  // nullopt: untouched
  };
  const Case cases[] = {
      {"no PARAM gives a null parameter",
       "<REMOTECALL><DLL>qxtestremote</DLL><FUNCTION>Echo</FUNCTION></REMOTECALL>", S_OK, "<null>"},
      {"empty PARAM gives an empty text",
       "<REMOTECALL><DLL>qxtestremote</DLL><FUNCTION>Echo</FUNCTION><PARAM/></REMOTECALL>", S_OK,
       ""},
      {"nested PARAM keeps its tags",
       "<REMOTECALL><DLL>libqxtestremote.so</DLL><FUNCTION>Echo</FUNCTION>"
       "<PARAM><a><b>1 &amp; 2</b></a>x</PARAM></REMOTECALL>",
       S_OK, "<a><b>1 &amp; 2</b></a>x"},
      {"a .dll name finds the library by its stem",
       "<REMOTECALL><DLL>qxtestremote.dll</DLL><FUNCTION>Echo</FUNCTION><PARAM>w</PARAM>"
       "</REMOTECALL>",
       S_OK, "w"},
      {"an absolute path inside the directory",
       "<remotecall><dll>" + lib + "</dll><function>Echo</function><param>p</param></remotecall>",
       S_OK, "p"},
      {"the function's failure is the result",
       "<REMOTECALL><DLL>qxtestremote</DLL><FUNCTION>Fail</FUNCTION></REMOTECALL>", E_NOTIMPL,
       std::nullopt},
      {"no answer leaves the answer untouched",
       "<REMOTECALL><DLL>qxtestremote</DLL><FUNCTION>NoAnswer</FUNCTION></REMOTECALL>", S_OK,
       std::nullopt},
      {"an exception is caught; what was written stays",
       "<REMOTECALL><DLL>qxtestremote</DLL><FUNCTION>Throw</FUNCTION></REMOTECALL>", E_FAIL,
       "written before the throw"},
      {"a missing function",
       "<REMOTECALL><DLL>qxtestremote</DLL><FUNCTION>Nope</FUNCTION></REMOTECALL>", E_FAIL,
       std::nullopt},
      {"no function name", "<REMOTECALL><DLL>qxtestremote</DLL></REMOTECALL>", E_FAIL,
       std::nullopt},
      {"a missing library",
       "<REMOTECALL><DLL>nosuchlib</DLL><FUNCTION>Echo</FUNCTION></REMOTECALL>", E_FAIL,
       std::nullopt},
      {"an absolute path outside the directories",
       "<REMOTECALL><DLL>/lib/x86_64-linux-gnu/libc.so.6</DLL><FUNCTION>getpid</FUNCTION>"
       "</REMOTECALL>",
       E_ACCESSDENIED, std::nullopt},
      {"a missing absolute path outside the directories",
       "<REMOTECALL><DLL>/nonexistent/lib.so</DLL><FUNCTION>Echo</FUNCTION></REMOTECALL>",
       E_ACCESSDENIED, std::nullopt},
      {"a relative path",
       "<REMOTECALL><DLL>../lib/libqxtestremote.so</DLL><FUNCTION>Echo</FUNCTION></REMOTECALL>",
       E_ACCESSDENIED, std::nullopt},
      {"a dot-dot escape from the directory",
       "<REMOTECALL><DLL>" + station_->libraryDir +
           "/../libqxtestremote.so</DLL><FUNCTION>Echo</FUNCTION></REMOTECALL>",
       E_ACCESSDENIED, std::nullopt},
      {"a Windows path",
       "<REMOTECALL><DLL>C:\\tools\\x.dll</DLL><FUNCTION>Echo</FUNCTION></REMOTECALL>",
       E_ACCESSDENIED, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AnswerText answer;
    EXPECT_EQ(Call(c.request, &answer), c.result);
    EXPECT_EQ(answer, c.answer);
  }
}

TEST_F(RemoteFileAnswersTest, RemoteCallRunsOnlyTheLibrarysOwnFunctions) {
  struct Case {
    const char* function;
    HRESULT result;
    std::optional<std::string> answer;
  } const cases[] = {
      {"getpid", E_ACCESSDENIED, std::nullopt},   // the C library's, found through the handle
      {"system", E_ACCESSDENIED, std::nullopt},   // no PARAM: system(NULL) runs nothing
      {"Counter", E_ACCESSDENIED, std::nullopt},  // the library's own, but data
      {"Pid", S_OK, std::to_string(::getpid())},  // its own function, which uses the C library
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    AnswerText answer;
    EXPECT_EQ(Call(std::string("<REMOTECALL><DLL>qxtestremote</DLL><FUNCTION>") + c.function +
                       "</FUNCTION></REMOTECALL>",
                   &answer),
              c.result);
    EXPECT_EQ(answer, c.answer);
  }
}

TEST_F(RemoteFileAnswersTest, RemoteCallWithoutAnswerPointer) {
  EXPECT_EQ(
      Call("<REMOTECALL><DLL>qxtestremote</DLL><FUNCTION>Echo</FUNCTION></REMOTECALL>", nullptr),
      S_OK);
  EXPECT_EQ(
      Call("<REMOTECALL><DLL>qxtestremote</DLL><FUNCTION>Throw</FUNCTION></REMOTECALL>", nullptr),
      E_FAIL);
}

TEST_F(RemoteFileAnswersTest, RemoteCallTracesTheCall) {
  test::TraceLines capture;
  AnswerText answer;
  Call("<REMOTECALL><DLL>qxtestremote</DLL><FUNCTION>Fail</FUNCTION><PARAM>z</PARAM></REMOTECALL>",
       &answer);
  Call("<REMOTECALL><DLL>qxtestremote</DLL><FUNCTION>Throw</FUNCTION></REMOTECALL>", &answer);
  Call("<REMOTECALL><DLL>qxtestremote</DLL><FUNCTION>Nope</FUNCTION></REMOTECALL>", &answer);
  EXPECT_EQ(capture.Count("Fail(z) in qxtestremote is successfully called and returned "
                          "hr(80004001)"),
            1);
  EXPECT_EQ(capture.Count("function(Throw) in dll(qxtestremote) caused an exception!"), 1);
  EXPECT_EQ(capture.Count("PerformDllCall hLib(qxtestremote) = "), 1);
  EXPECT_EQ(capture.Count("pfn(Nope) = 0"), 1);
}

TEST_F(RemoteFileAnswersTest, LibraryLinkLeavingTheDirectoryIsRefused) {
  const fs::path dir = station_->dir / "libs";
  fs::create_directories(dir);
  fs::create_symlink(station_->libraryDir + "/libqxtestremote.so", dir / "libescape.so");
  const std::vector<std::string> dirs = {dir.string()};
  CFILEW file;
  EXPECT_EQ(OpenLibrary("escape", dirs, &file), PathKind::kMissing);
  EXPECT_EQ(OpenLibrary((dir / "libescape.so").string(), dirs, &file), PathKind::kOutside);
  EXPECT_FALSE(file.IsOpen());
  fs::remove_all(dir);
}

TEST_F(RemoteFileAnswersTest, PathsAreJudgedByTextThenOpenedBeneathTheRoot) {
  const fs::path root = station_->dir / "pp" / "root";
  fs::create_directories(root / "sub");
  fs::create_directories(station_->dir / "pp" / "rootx");
  std::ofstream(root / "sub" / "f.txt") << "x";
  std::ofstream(station_->dir / "pp" / "rootx" / "g.txt") << "y";
  fs::create_symlink(station_->dir / "pp" / "rootx" / "g.txt", root / "link.txt");
  fs::create_symlink("sub/f.txt", root / "inner.txt");
  fs::create_symlink(root / "sub" / "f.txt", root / "absolute.txt");
  const std::vector<std::string> roots = {root.string() + "/"};
  const std::string r = root.string();
  struct Case {
    std::string path;
    PathKind kind;
  } const cases[] = {
      {r + "/sub/f.txt", PathKind::kAllowed},
      {r + "/./sub/../sub/f.txt", PathKind::kAllowed},
      {r + "/inner.txt", PathKind::kAllowed},
      {r + "/absolute.txt", PathKind::kOutside},  // an absolute link is not followed
      {r + "/sub/missing.txt", PathKind::kMissing},
      {r + "/../rootx/g.txt", PathKind::kOutside},
      {r + "x/g.txt", PathKind::kOutside},
      {r + "/link.txt", PathKind::kOutside},
      {"sub/f.txt", PathKind::kOutside},
      {"", PathKind::kOutside},
      {"/etc/passwd", PathKind::kOutside},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    CFILEW file;
    EXPECT_EQ(OpenBelowRoots(c.path, roots, &file), c.kind);
    EXPECT_EQ(file.IsOpen(), c.kind == PathKind::kAllowed);
  }
  CFILEW inner;
  ASSERT_EQ(OpenBelowRoots(r + "/inner.txt", roots, &inner), PathKind::kAllowed);
  char byte = 0;
  EXPECT_EQ(inner.Read(&byte, 1), 1);
  EXPECT_EQ(byte, 'x');
}

TEST_F(RemoteFileAnswersTest, OpenFileAnswersTheThreeTimes) {
  const std::string path = station_->WriteFile("open/times.bin", "0123456789");
  FileTimes expected;
  ASSERT_TRUE(GetPathTimes(path, &expected));

  CXmlElement request;
  ASSERT_TRUE(request.LoadXml("<OPENFILE><FILE>" + path + "</FILE></OPENFILE>"));
  AnswerText answer;
  ASSERT_EQ(AnswerOpenFile(request, &answer), S_OK);
  ASSERT_TRUE(answer);
  CXmlElement result;
  ASSERT_TRUE(result.LoadXml(*answer));
  EXPECT_EQ(result.GetName(), "RESULT");
  CXmlElement fileTime, lastWrite;
  ASSERT_TRUE(result.FindChild("FILETIME", &fileTime));
  ASSERT_TRUE(fileTime.FindChild("LastWrite", &lastWrite));
  EXPECT_EQ(lastWrite.GetSubUInt("high"), expected.lastWrite.high);
  EXPECT_EQ(lastWrite.GetSubUInt("low"), expected.lastWrite.low);
  std::string xml;
  fileTime.GetXml(&xml);
  for (const char* tag : {"<Creation><high>", "<LastAccess><high>", "</low></LastWrite>"}) {
    EXPECT_NE(xml.find(tag), std::string::npos) << tag;
  }
}

TEST_F(RemoteFileAnswersTest, OpenFileFailures) {
  const std::string outsideFile = (station_->outside / "secret.txt").string();
  std::ofstream(outsideFile) << "s";
  struct Case {
    std::string file;
    HRESULT result;
  } const cases[] = {
      {(station_->root / "missing.txt").string(), E_FAIL},
      {station_->root.string(), E_FAIL},
      {outsideFile, E_ACCESSDENIED},
      {(station_->root / ".." / "elsewhere" / "secret.txt").string(), E_ACCESSDENIED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    CXmlElement request;
    ASSERT_TRUE(request.LoadXml("<OPENFILE><FILE>" + c.file + "</FILE></OPENFILE>"));
    AnswerText answer;
    EXPECT_EQ(AnswerOpenFile(request, &answer), c.result);
    EXPECT_FALSE(answer);
  }
}

// The READFILE block as it travels: UTF-16LE with its terminating zero.
ByteBlock ReadBlock(const std::u16string& text) {
  ByteBlock block;
  for (char16_t unit : text) {
    block.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    block.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  block.push_back(0);
  block.push_back(0);
  return block;
}

std::u16string ReadRequest(const std::string& file, const std::string& from,
                           const std::string& count) {
  const std::string text = "<READFILE><FILE>" + file + "</FILE><FROM>" + from + "</FROM><COUNT>" +
                           count + "</COUNT></READFILE>";
  return std::u16string(text.begin(), text.end());
}

TEST_F(RemoteFileAnswersTest, ReadFileBlocks) {
  std::string content;
  for (int i = 0; i < 5000; ++i) content.push_back(static_cast<char>(i * 7));
  const std::string path = station_->WriteFile("read/data.bin", content);
  struct Case {
    const char* from;
    const char* count;
    std::string expected;
  } const cases[] = {
      {"0", "10", content.substr(0, 10)},
      {"4990", "100", content.substr(4990)},
      {"100", "4900", content.substr(100)},
      {"5000", "10", ""},
      {"999999", "10", ""},
      {"7", "0", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.from) + "+" + c.count);
    const ByteBlock request = ReadBlock(ReadRequest(path, c.from, c.count));
    ByteBlock block = {1, 2, 3};
    ASSERT_EQ(AnswerReadFile(request.data(), request.size(), &block), S_OK);
    EXPECT_EQ(std::string(block.begin(), block.end()), c.expected);
  }
}

// A COUNT far beyond the end of the file allocates what the file holds, not COUNT.
TEST_F(RemoteFileAnswersTest, ReadFileAnswerHoldsWhatTheFileGave) {
  std::string big;
  for (int i = 0; i < 200 * 1024; ++i) big.push_back(static_cast<char>(i * 13 + i / 509));
  const std::string tiny = station_->WriteFile("read/tiny.bin", "sixby!");
  const std::string large = station_->WriteFile("read/large.bin", big);
  struct Case {
    const std::string& path;
    const char* from;
    const char* count;
    std::string expected;
  } const cases[] = {
      {tiny, "0", "16777216", "sixby!"},
      {large, "0", "16777216", big},  // grows past its first block
      {large, "1000", "150000", big.substr(1000, 150000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " " + c.from + "+" + c.count);
    const ByteBlock request = ReadBlock(ReadRequest(c.path, c.from, c.count));
    ByteBlock block;
    ASSERT_EQ(AnswerReadFile(request.data(), request.size(), &block), S_OK);
    EXPECT_EQ(std::string(block.begin(), block.end()), c.expected);
    EXPECT_LE(block.capacity(), c.expected.size() + 4096) << "the answer holds what was read";
  }
}

TEST_F(RemoteFileAnswersTest, ReadFileRefusals) {
  const std::string path = station_->WriteFile("read/small.bin", "abc");
  std::ofstream(station_->outside / "secret.bin") << "secret";
  fs::create_symlink(station_->outside / "secret.bin", station_->root / "read" / "link.bin");
  const std::string root = station_->root.string();
  struct Case {
    const char* name;
    ByteBlock request;
    HRESULT result;
  } const cases[] = {
      {"negative COUNT", ReadBlock(ReadRequest(path, "0", "-1")), E_INVALIDARG},
      {"negative FROM", ReadBlock(ReadRequest(path, "-5", "1")), E_INVALIDARG},
      {"COUNT above the limit", ReadBlock(ReadRequest(path, "0", "2000000000")), E_INVALIDARG},
      {"missing file", ReadBlock(ReadRequest(root + "/read/none.bin", "0", "1")), E_UNEXPECTED},
      {"directory", ReadBlock(ReadRequest(root + "/read", "0", "1")), E_UNEXPECTED},
      {"outside the roots",
       ReadBlock(ReadRequest((station_->outside / "secret.bin").string(), "0", "6")),
       E_ACCESSDENIED},
      {"dot-dot escape",
       ReadBlock(ReadRequest(root + "/read/../../elsewhere/secret.bin", "0", "6")), E_ACCESSDENIED},
      {"link leaving the root", ReadBlock(ReadRequest(root + "/read/link.bin", "0", "6")),
       E_ACCESSDENIED},
      {"relative path", ReadBlock(ReadRequest("read/small.bin", "0", "1")), E_ACCESSDENIED},
      {"not XML", ReadBlock(u"<READFILE>"), E_FAIL},
      {"odd size", ByteBlock{'<', 0, 'A', 0, '/', 0, '>', 0, 0, 0, 0}, E_INVALIDARG},
      {"no terminator", ByteBlock{'<', 0, 'A', 0, '/', 0, '>', 0}, E_INVALIDARG},
      {"lone surrogate", ReadBlock(u"<A>\xD800</A>"), E_INVALIDARG},
      {"empty block", ByteBlock{}, E_INVALIDARG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteBlock block = {9};
    EXPECT_EQ(AnswerReadFile(c.request.data(), c.request.size(), &block), c.result);
    EXPECT_EQ(block, ByteBlock{9});
  }
}

TEST_F(RemoteFileAnswersTest, ReadFileTracesTheFileError) {
  test::TraceLines capture;
  const ByteBlock request =
      ReadBlock(ReadRequest((station_->root / "gone.bin").string(), "0", "1"));
  ByteBlock block;
  EXPECT_EQ(AnswerReadFile(request.data(), request.size(), &block), E_UNEXPECTED);
  int found = 0;
  for (const std::string& line : capture.Lines()) {
    found += line.find("Exception(") != std::string::npos &&
             line.find("gone.bin") != std::string::npos &&
             line.find(") in readFile") != std::string::npos;
  }
  EXPECT_EQ(found, 1);
}

// Runs a request on a thread; one stuck on the FIFO is released by opening it for writing, so
// that a regression fails instead of hanging the suite.
template <typename Request>
HRESULT Unblocked(Request request, const fs::path& fifo) {
  auto result = std::async(std::launch::async, request);
  if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "the request blocked";
    ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
  }
  return result.get();
}

// Escapes by "..", by an absolute path and by a link to a file are in the refusal tables above.
TEST_F(RemoteFileAnswersTest, EscapesAndSpecialFilesAreRefused) {
  const fs::path dir = station_->root / "esc";
  fs::create_directories(dir / "sub");
  std::ofstream(dir / "sub" / "in.bin") << "inside";
  std::ofstream(station_->outside / "out.bin") << "secret";
  fs::create_symlink(station_->outside, dir / "outdir");
  fs::create_symlink("sub/in.bin", dir / "relative_in");
  fs::create_symlink("/dev/zero", dir / "zero");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const bool haveDevice = ::mknod((dir / "null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
  struct Case {
    std::string name;
    HRESULT open;  // OPENFILE
    HRESULT read;  // READFILE
  } const cases[] = {
      {"relative_in", S_OK, S_OK},  // a link that stays inside is followed
      {"outdir/out.bin", E_ACCESSDENIED, E_ACCESSDENIED},
      {"zero", E_ACCESSDENIED, E_ACCESSDENIED},
      {"fifo", E_FAIL, E_UNEXPECTED},
      {haveDevice ? "null" : "fifo", E_FAIL, E_UNEXPECTED},  // a device node (as root only)
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = (dir / c.name).string();
    CXmlElement open;
    ASSERT_TRUE(open.LoadXml("<OPENFILE><FILE>" + file + "</FILE></OPENFILE>"));
    EXPECT_EQ(Unblocked([&] { return AnswerOpenFile(open, nullptr); }, dir / "fifo"), c.open);
    const ByteBlock read = ReadBlock(ReadRequest(file, "0", "4"));
    ByteBlock block;
    EXPECT_EQ(
        Unblocked([&] { return AnswerReadFile(read.data(), read.size(), &block); }, dir / "fifo"),
        c.read);
    EXPECT_EQ(std::string(block.begin(), block.end()), c.read == S_OK ? "insi" : "");
  }
}

// A directory on the way is swapped with a link to outside the root while READFILE runs: no
// read may ever return the outside file's bytes.
TEST_F(RemoteFileAnswersTest, LinkSwappedInDuringTheRequestDoesNotLeadOut) {
  const fs::path dir = station_->root / "race";
  fs::create_directories(dir / "sub");
  std::ofstream(dir / "sub" / "f.bin") << "inside";
  fs::create_directories(station_->outside / "race");
  std::ofstream(station_->outside / "race" / "f.bin") << "secret";
  fs::create_symlink(station_->outside / "race", dir / "swap");

  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    for (int i = 0; i < 2000000 && !stop; ++i) {
      ::renameat2(AT_FDCWD, (dir / "sub").c_str(), AT_FDCWD, (dir / "swap").c_str(),
                  RENAME_EXCHANGE);
    }
  });
  const ByteBlock request = ReadBlock(ReadRequest((dir / "sub" / "f.bin").string(), "0", "6"));
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  int leaks = 0;
  for (int i = 0; i < 20000 && std::chrono::steady_clock::now() < end; ++i) {
    ByteBlock block;
    if (AnswerReadFile(request.data(), request.size(), &block) == S_OK) {
      leaks += std::string(block.begin(), block.end()) == "secret";
    }
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(leaks, 0);
}

}  // namespace
}  // namespace qx
