// Tests of REMOTECALL, OPENFILE and READFILE, and of the path policy behind them.
#include "server/remote_file_answers.h"

#include <gtest/gtest.h>

#include <filesystem>

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

TEST_F(RemoteFileAnswersTest, RemoteCallWithoutAnswerPointer) {
  EXPECT_EQ(
      Call("<REMOTECALL><DLL>qxtestremote</DLL><FUNCTION>Echo</FUNCTION></REMOTECALL>", nullptr),
      S_OK);
  EXPECT_EQ(
      Call("<REMOTECALL><DLL>qxtestremote</DLL><FUNCTION>Throw</FUNCTION></REMOTECALL>", nullptr),
      E_FAIL);
}

TEST_F(RemoteFileAnswersTest, RemoteCallTracesTheCall) {
  test::DebugCapture capture;
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
  EXPECT_EQ(ResolveLibrary("escape", dirs).kind, PathKind::kMissing);
  EXPECT_EQ(ResolveLibrary((dir / "libescape.so").string(), dirs).kind, PathKind::kOutside);
  fs::remove_all(dir);
}

TEST_F(RemoteFileAnswersTest, PathsAreJudgedByTextThenByRealPath) {
  const fs::path root = station_->dir / "pp" / "root";
  fs::create_directories(root / "sub");
  fs::create_directories(station_->dir / "pp" / "rootx");
  std::ofstream(root / "sub" / "f.txt") << "x";
  std::ofstream(station_->dir / "pp" / "rootx" / "g.txt") << "y";
  fs::create_symlink(station_->dir / "pp" / "rootx" / "g.txt", root / "link.txt");
  fs::create_symlink(root / "sub" / "f.txt", root / "inner.txt");
  const std::vector<std::string> roots = {root.string() + "/"};
  const std::string r = root.string();
  struct Case {
    std::string path;
    PathKind kind;
  } const cases[] = {
      {r + "/sub/f.txt", PathKind::kAllowed},
      {r + "/./sub/../sub/f.txt", PathKind::kAllowed},
      {r + "/inner.txt", PathKind::kAllowed},
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
    EXPECT_EQ(ResolveBelowRoots(c.path, roots).kind, c.kind);
  }
  EXPECT_EQ(ResolveBelowRoots(r + "/inner.txt", roots).path, r + "/sub/f.txt");
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
  test::DebugCapture capture;
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

}  // namespace
}  // namespace qx
