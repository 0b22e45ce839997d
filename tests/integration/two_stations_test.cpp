// Two whole stations on one machine: STATIONA (127.0.0.2) and STATIONB (127.0.0.3), each with
// its own registry and runtime directory and its own qxagent process. This test process is a
// host of station A: it loads the module with A's environment and sends every remote request
// to B through the C interface, as a host program of A would.
//
// The test runs in a network namespace of its own when it may make one, so that its stations
// neither meet nor disturb anything else on the machine; either way, only 127.0.0.2 and
// 127.0.0.3 are ever addressed.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/text.h"
#include "qxremoteserver.h"
#include "support/station_process.h"
#include "support/temp_dir.h"
#include "xml/xml_element.h"

namespace qx::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr HRESULT kOk = 0;
constexpr HRESULT kNotImpl = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005u);
constexpr std::int32_t kCopyFailed = -10;
constexpr const char* kNotRunning = "<Result>ProjectManager not Running</Result>";
constexpr std::uint32_t kCallTimeoutMs = 3000;

// The module of station A, loaded into this process after A's environment is set.
struct Module {
  void* handle = nullptr;
  decltype(&::RemoteCommand) remoteCommand = nullptr;
  decltype(&::RemoteCopyFile) remoteCopyFile = nullptr;
  decltype(&::GetStateOfNorvaneMachine) stateOfMachine = nullptr;
  decltype(&::SysStringLen) sysStringLen = nullptr;
  decltype(&::SysFreeString) sysFreeString = nullptr;

  bool Load(const char* path) {
    handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return false;
    remoteCommand = reinterpret_cast<decltype(remoteCommand)>(dlsym(handle, "RemoteCommand"));
    remoteCopyFile = reinterpret_cast<decltype(remoteCopyFile)>(dlsym(handle, "RemoteCopyFile"));
    stateOfMachine =
        reinterpret_cast<decltype(stateOfMachine)>(dlsym(handle, "GetStateOfNorvaneMachine"));
    sysStringLen = reinterpret_cast<decltype(sysStringLen)>(dlsym(handle, "SysStringLen"));
    sysFreeString = reinterpret_cast<decltype(sysFreeString)>(dlsym(handle, "SysFreeString"));
    return remoteCommand && remoteCopyFile && stateOfMachine && sysStringLen && sysFreeString;
  }
};
Module module;

struct Reply {
  HRESULT hr = 0;
  std::optional<std::string> text;
};

Reply TakeAnswer(HRESULT hr, BSTR answer) {
  Reply reply{hr, std::nullopt};
  if (answer != nullptr) {
    reply.text = qx::Utf16ToUtf8(std::u16string_view(answer, module.sysStringLen(answer)));
    module.sysFreeString(answer);
  }
  return reply;
}

Reply Remote(const std::string& request) {
  const std::u16string text = qx::Utf8ToUtf16(request);
  BSTR answer = nullptr;
  const HRESULT hr = module.remoteCommand(text.c_str(), &answer);
  return TakeAnswer(hr, answer);
}

Reply StateOfMachine(const std::string& host) {
  const std::u16string text = qx::Utf8ToUtf16(host);
  BSTR answer = nullptr;
  const HRESULT hr = module.stateOfMachine(text.c_str(), &answer);
  return TakeAnswer(hr, answer);
}

// Progress calls of the copy running now; breakAtFirstBlock makes the first code 11 answer 1.
std::vector<std::pair<std::int32_t, std::int32_t>> progressCalls;
bool breakAtFirstBlock = false;

std::int32_t RecordProgress(std::int32_t code, std::int32_t value) {
  progressCalls.emplace_back(code, value);
  return breakAtFirstBlock && code == 11 ? 1 : 0;
}

std::int32_t Copy(const std::string& host, const std::string& source,
                  const std::string& destination, std::optional<int> buffer) {
  std::string request = "<RemoteCopyFile><HOST>" + qx::XmlEscape(host) + "</HOST><SOURCE>" +
                        qx::XmlEscape(source) + "</SOURCE><DESTINATION>" +
                        qx::XmlEscape(destination) + "</DESTINATION>";
  if (buffer) request += "<BUFFER>" + std::to_string(*buffer) + "</BUFFER>";
  request += "</RemoteCopyFile>";
  progressCalls.clear();
  const std::u16string text = qx::Utf8ToUtf16(request);
  return module.remoteCopyFile(text.c_str(), &RecordProgress);
}

// One step of an answer path such as "/A/B[C='v']/D": an element name (exact case) and,
// optionally, a child that the element must have with that text.
struct PathStep {
  std::string name, key, value;
};

std::vector<PathStep> PathSteps(std::string_view path) {
  std::vector<PathStep> steps;
  std::size_t pos = 0;
  while (pos < path.size() && path[pos] == '/') {
    const std::size_t end = std::min(path.find_first_of("/[", pos + 1), path.size());
    PathStep step{std::string(path.substr(pos + 1, end - pos - 1)), {}, {}};
    pos = end;
    if (pos < path.size() && path[pos] == '[') {  // [KEY='VALUE']
      const std::size_t equals = path.find("='", pos);
      const std::size_t close = path.find("']", equals);
      if (equals == std::string_view::npos || close == std::string_view::npos) return {};
      step.key = path.substr(pos + 1, equals - pos - 1);
      step.value = path.substr(equals + 2, close - equals - 2);
      pos = close + 2;
    }
    steps.push_back(std::move(step));
  }
  return pos == path.size() ? steps : std::vector<PathStep>();
}

bool StepMatches(const qx::CXmlElement& element, const PathStep& step) {
  if (element.GetName() != step.name) return false;
  if (step.key.empty()) return true;
  qx::CXmlElement::ChildList list;
  qx::CXmlElement child;
  element.GetChildList(&list);
  while (element.NextChild(&list, step.key, &child)) {
    if (child.GetName() == step.key && child.GetText() == step.value) return true;
  }
  return false;
}

// The texts of the elements at steps[next..] below element, in document order.
void CollectAt(const qx::CXmlElement& element, const std::vector<PathStep>& steps, std::size_t next,
               std::vector<std::string>* texts) {
  if (next == steps.size()) {
    texts->push_back(element.GetText());
    return;
  }
  qx::CXmlElement::ChildList list;
  qx::CXmlElement child;
  element.GetChildList(&list);
  while (element.NextChild(&list, {}, &child)) {
    if (StepMatches(child, steps[next])) CollectAt(child, steps, next + 1, texts);
  }
}

// The texts at a path ("/Root/Child[Key='value']/Leaf") of an XML answer, in document order;
// none when the answer does not parse or lacks them.
std::vector<std::string> AnswerAll(const std::optional<std::string>& answer, const char* path) {
  std::vector<std::string> texts;
  qx::CXmlElement root;
  const std::vector<PathStep> steps = PathSteps(path);
  if (!answer || !root.LoadXml(*answer) || steps.empty() || !StepMatches(root, steps[0])) {
    return texts;
  }
  CollectAt(root, steps, 1, &texts);
  return texts;
}

// The first text at a path of an XML answer; nullopt when the answer does not parse or lacks it.
std::optional<std::string> AnswerAt(const std::optional<std::string>& answer, const char* path) {
  std::vector<std::string> texts = AnswerAll(answer, path);
  if (texts.empty()) return std::nullopt;
  return std::move(texts.front());
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWhole(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

// FILETIME (100 ns since 1601) of a modification time.
std::uint64_t FileTimeOf(const timespec& time) {
  return static_cast<std::uint64_t>(time.tv_sec) * 10000000u +
         static_cast<std::uint64_t>(time.tv_nsec) / 100u + 116444736000000000u;
}

bool SocketAccepts(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

using Station = TestStation;

class TwoStations : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    temp_ = std::make_unique<TempDir>("qxstations");
    ASSERT_TRUE(temp_->ok());
    root_ = temp_->path();
    a_ = {"STATIONA", "127.0.0.2", root_ + "/a", nullptr, {}};
    b_ = {"STATIONB", "127.0.0.3", root_ + "/b", nullptr, {}};
    for (Station* station : {&a_, &b_}) {
      ASSERT_TRUE(MakeStationDir(station->dir));
    }
    fs::create_directories(root_ + "/b/projects");
    fs::create_directories(root_ + "/files");

    Configure(a_, b_);
    Configure(b_, a_);
    ASSERT_NO_FATAL_FAILURE(WriteProjects());
    ASSERT_NO_FATAL_FAILURE(StartAgent(a_));
    ASSERT_NO_FATAL_FAILURE(StartAgent(b_));

    for (const auto& [name, value] : a_.env()) setenv(name.c_str(), value.c_str(), 1);
    ASSERT_TRUE(module.Load(QX_MODULE_PATH)) << dlerror();
  }

  static void TearDownTestSuite() {
    for (Station* station : {&a_, &b_}) {
      if (!station->agent) continue;
      const int status = station->agent->Terminate(10s);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
          << station->name << " agent ended with status " << status << "\n"
          << station->agent->errors();
      station->agent.reset();
    }
    temp_.reset();
  }

  void SetUp() override {
    ASSERT_NE(module.handle, nullptr) << "the module of station A is not loaded";
    ASSERT_TRUE(a_.agent && a_.agent->running() && b_.agent && b_.agent->running())
        << "the stations do not run";
  }

  static void Qxstation(const Station& station, const std::vector<std::string>& args) {
    const ProgramResult result = RunProgram(QX_STATION_PATH, args, station.env());
    ASSERT_EQ(result.exitCode, 0) << "qxstation " << args[0] << ": " << result.err;
  }

  static void Set(const Station& station, const std::string& key, const std::string& name,
                  const std::string& value, bool dword = false) {
    Qxstation(station, RegistrySetArgs(key, name, value, dword));
  }

  static void Configure(const Station& station, const Station& other) {
    Set(station, "PLATFORM", "ComputerName", station.name);
    Set(station, "RPC", "ListenAddress", station.address);
    Set(station, "RPC", "CallTimeoutMs", std::to_string(kCallTimeoutMs), true);
    Set(station, "RPC", "ConnectTimeoutMs", "2000", true);
    Set(station, "RPC\\HOSTS", other.name, other.address);
    Set(station, "SECURITY", "LibraryDirs", QX_TEST_REMOTE_DIR);
    Set(station, "SECURITY", "FileRoots", root_);
    Set(station, "SETUP", "Version", "7.1");
    Set(station, "SETUP", "BuildNr", "4711");
    Set(station, "SETUP", "Inst_Path", "/opt/norvane");
  }

  static void WriteProjects() {
    struct Project {
      const char* dsn;
      const char* type;
      std::string path;
      bool exists;
    };
    const Project projects[] = {
        {"Plant", "Multi User", root_ + "/b/projects/R&D <plant>.mcp", true},
        {"Lab", "multi user", root_ + "/b/projects/lab.mcp", true},
        {"Office", "Single User", root_ + "/b/projects/office.mcp", true},
        {"Gone", "Multi User", root_ + "/b/projects/gone.mcp", false},
    };
    for (const Project& project : projects) {
      if (project.exists) WriteWhole(project.path, "project");
      Qxstation(b_, {"write-project", "--dsn", project.dsn, "--name", project.dsn, "--type",
                     project.type, "--full-path", project.path, "--unc-path",
                     "\\\\STATIONB\\projects\\" + std::string(project.dsn), "--server", "STATIONB",
                     "--host", "STATIONB"});
    }
  }

  static void StartAgent(Station& station) {
    station.agent =
        std::make_unique<ChildProcess>(QX_AGENT_PATH, std::vector<std::string>{}, station.env());
    ASSERT_TRUE(station.agent->started());
    ASSERT_TRUE(station.agent->WaitForLine("ready", 30s))
        << station.name << " agent did not get ready:\n"
        << station.agent->output() << station.agent->errors();
  }

  static inline std::unique_ptr<TempDir> temp_;  // root_ and all below it
  static std::string root_;
  static Station a_;
  static Station b_;
};

std::string TwoStations::root_;
Station TwoStations::a_;
Station TwoStations::b_;

std::string Addressed(const std::string& tag, const std::string& children = "") {
  return "<" + tag + "><Receiver>STATIONB</Receiver>" + children + "</" + tag + ">";
}

TEST_F(TwoStations, HostDetailsDescribeTheOtherStationAndItsMultiUserProjects) {
  const Reply reply = Remote(Addressed("GetHostDetails"));
  ASSERT_EQ(reply.hr, kOk);
  EXPECT_EQ(AnswerAt(reply.text, "/HostDetails/EVENT"), "UPDATE");
  EXPECT_EQ(AnswerAt(reply.text, "/HostDetails/Receiver"), ".");
  EXPECT_EQ(AnswerAt(reply.text, "/HostDetails/Host"), "STATIONB");
  EXPECT_EQ(AnswerAt(reply.text, "/HostDetails/NorvaneVersion"), "7.1");
  EXPECT_EQ(AnswerAt(reply.text, "/HostDetails/NorvaneBuild"), "4711");
  EXPECT_EQ(AnswerAt(reply.text, "/HostDetails/NorvanePath"), "/opt/norvane");
  std::vector<std::string> dsns = AnswerAll(reply.text, "/HostDetails/PROJECTLIST/PROJECT/DSN");
  std::sort(dsns.begin(), dsns.end());
  EXPECT_EQ(dsns, (std::vector<std::string>{"Lab", "Plant"})) << *reply.text;
  EXPECT_EQ(AnswerAt(reply.text, "/HostDetails/PROJECTLIST/PROJECT[DSN='Plant']/FullPath"),
            root_ + "/b/projects/R&D <plant>.mcp");
}

TEST_F(TwoStations, ProjectDetailsComeFromTheOtherStationsList) {
  struct Case {
    const char* dsn;
    HRESULT hr;
    std::optional<std::string> fullPath;
  };
  const Case cases[] = {
      {"Plant", kOk, root_ + "/b/projects/R&D <plant>.mcp"},
      {"plant", kOk, root_ + "/b/projects/R&D <plant>.mcp"},
      {"Office", kOk, root_ + "/b/projects/office.mcp"},
      // Its file never existed, so the clean pass at the start of B's discovery removed it.
      {"Gone", kFail, std::nullopt},
      {"Nowhere", kFail, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dsn);
    const Reply reply =
        Remote(Addressed("GetProjectDetails", "<DSN>" + std::string(c.dsn) + "</DSN>"));
    EXPECT_EQ(reply.hr, c.hr);
    if (c.fullPath) {
      EXPECT_EQ(AnswerAt(reply.text, "/PROJECT/FullPath"), c.fullPath);
      EXPECT_EQ(AnswerAt(reply.text, "/PROJECT/SERVER"), "STATIONB");
    } else {
      EXPECT_FALSE(reply.text.has_value()) << *reply.text;
    }
  }
}

TEST_F(TwoStations, RequestsAnsweredByTheOtherStationItself) {
  struct Case {
    const char* name;
    std::string request;
    HRESULT hr;
    std::optional<std::string> answer;
  };
  const Case cases[] = {
      {"test", Addressed("Test"), kOk, "Test Answered"},
      {"test in lower case", Addressed("test"), kOk, "Test Answered"},
      {"unknown tag", Addressed("NoSuchRequest"), kNotImpl, std::nullopt},
      {"unknown share", Addressed("ResolveShare", "<Share>no-such-share-here</Share>"), kFail,
       std::nullopt},
      {"discovery message by RPC",
       Addressed("QXDISCOVER", "<EVENT>UPDATE</EVENT><Host>STATIONA</Host>"), kOk, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Reply reply = Remote(c.request);
    EXPECT_EQ(reply.hr, c.hr);
    EXPECT_EQ(reply.text, c.answer);
  }
}

TEST_F(TwoStations, RemoteCallRunsLibraryFunctionsOfTheOtherStation) {
  struct Case {
    const char* name;
    std::string library;
    std::string function;
    std::optional<std::string> param;
    HRESULT hr;
    std::optional<std::string> answer;
  };
  const Case cases[] = {
      {"nested parameter", "qxtestremote", "Echo", "<A><B>x &amp; y</B></A>", kOk,
       "<A><B>x &amp; y</B></A>"},
      {"empty parameter", "qxtestremote", "Echo", "", kOk, ""},
      {"no parameter", "qxtestremote", "Echo", std::nullopt, kOk, "<null>"},
      {"failing function", "qxtestremote", "Fail", "x", kNotImpl, std::nullopt},
      {"no answer", "qxtestremote", "NoAnswer", "x", kOk, std::nullopt},
      {"throwing function", "qxtestremote", "Throw", "x", kFail, std::nullopt},
      {"missing function", "qxtestremote", "NoSuchFunction", "x", kFail, std::nullopt},
      {"library outside the allowed directories", "/lib/x86_64-linux-gnu/libc.so.6", "getpid",
       std::nullopt, kAccessDenied, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string children = "<DLL>" + c.library + "</DLL><FUNCTION>" + c.function + "</FUNCTION>";
    if (c.param) children += "<PARAM>" + *c.param + "</PARAM>";
    const Reply reply = Remote(Addressed("REMOTECALL", children));
    EXPECT_EQ(reply.hr, c.hr);
    if (c.hr != kFail) {
      EXPECT_EQ(reply.text, c.answer);
    }
  }
}

TEST_F(TwoStations, OpenFileAnswersTheTimesOfFilesBelowTheRoots) {
  const std::string file = root_ + "/files/times.bin";
  WriteWhole(file, "times");
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  const std::uint64_t lastWrite = FileTimeOf(info.st_mtim);

  const Reply reply = Remote(Addressed("OPENFILE", "<FILE>" + qx::XmlEscape(file) + "</FILE>"));
  ASSERT_EQ(reply.hr, kOk);
  const auto high = AnswerAt(reply.text, "/RESULT/FILETIME/LastWrite/high");
  const auto low = AnswerAt(reply.text, "/RESULT/FILETIME/LastWrite/low");
  ASSERT_TRUE(high && low) << *reply.text;
  EXPECT_EQ((std::stoull(*high) << 32) | std::stoull(*low), lastWrite);

  EXPECT_EQ(Remote(Addressed("OPENFILE", "<FILE>" + root_ + "/files/missing.bin</FILE>")).hr,
            kFail);
  const Reply outside = Remote(Addressed("OPENFILE", "<FILE>/etc/passwd</FILE>"));
  EXPECT_EQ(outside.hr, kAccessDenied);
  EXPECT_FALSE(outside.text.has_value());
}

TEST_F(TwoStations, ForwardedRequestsFollowTheOtherStationsProjectManager) {
  const char* const forwarded[] = {"RemoteActivate",           "RemoteDeactivate",
                                   "GetApplicationPath",       "CloseProjectOnClient",
                                   "IsClientInMachineList",    "CheckUserAdmin",
                                   "IsServerForDSN",           "IsClientForDSN",
                                   "GetStateOfProjectManager", "GetStateOfNorvaneProject"};
  for (const char* tag : forwarded) {
    SCOPED_TRACE(tag);
    const Reply reply = Remote(Addressed(tag));
    EXPECT_EQ(reply.hr, kFail);
    EXPECT_EQ(reply.text, kNotRunning);
  }
  const Reply stateBefore = StateOfMachine("STATIONB");
  EXPECT_EQ(stateBefore.hr, kFail);
  EXPECT_EQ(stateBefore.text, kNotRunning);

  const std::string project = root_ + "/b/projects/lab.mcp";
  ChildProcess manager(QX_PROJECTMGR_PATH, {"--project", project}, b_.env());
  ASSERT_TRUE(manager.started());
  const std::string socketPath = b_.dir + "/run/projectmgr.sock";
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!SocketAccepts(socketPath) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(SocketAccepts(socketPath)) << manager.errors();

  struct Case {
    const char* tag;
    std::string children;
    HRESULT hr;
    const char* xpath;
    std::string expected;
  };
  const Case cases[] = {
      {"GetStateOfProjectManager", "", kOk, "/ProjectManager/State", "Running"},
      {"GetStateOfNorvaneProject", "<Path>" + project + "</Path>", kOk, "/Project/State", "Loaded"},
      {"GetStateOfNorvaneProject", "<Path>" + root_ + "/b/projects/office.mcp</Path>", kOk,
       "/Project/State", "NotLoaded"},
      {"CheckUserAdmin", "<User>root</User>", kOk, "/Result", "TRUE"},
      // Over RPC there is no local caller: the forwarding agent's own root must not count.
      {"CheckUserAdmin", "", kOk, "/Result", "FALSE"},
      {"RemoteActivate", "", kNotImpl, "/Result", "not supported"},
      {"IsServerForDSN", "<DSN>Plant</DSN>", kNotImpl, "/Result", "not supported"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tag) + c.children);
    const Reply reply = Remote(Addressed(c.tag, c.children));
    EXPECT_EQ(reply.hr, c.hr);
    EXPECT_EQ(AnswerAt(reply.text, c.xpath), c.expected) << reply.text.value_or("<none>");
  }
  // On the station itself the caller is local: root is a local administrator; a request that
  // came over RPC above was not, although the same agent forwarded it.
  if (geteuid() == 0) {
    const ProgramResult local =
        RunProgram(QX_STATION_PATH, {"command", "--receiver", ".", "<CheckUserAdmin/>"}, b_.env());
    EXPECT_EQ(local.exitCode, 0) << local.err;
    EXPECT_NE(local.out.find("<Result>TRUE</Result>"), std::string::npos) << local.out;
  }
  const Reply applicationPath = Remote(Addressed("GetApplicationPath"));
  EXPECT_EQ(applicationPath.hr, kOk);
  EXPECT_TRUE(applicationPath.text && !applicationPath.text->empty());

  const Reply stateRunning = StateOfMachine("STATIONB");
  EXPECT_EQ(stateRunning.hr, kOk);
  EXPECT_EQ(AnswerAt(stateRunning.text, "/ProjectManager/State"), "Running");
  EXPECT_EQ(AnswerAt(stateRunning.text, "/ProjectManager/Host"), "STATIONB");

  const int status = manager.Terminate(10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << manager.errors();
  const Reply stateAfter = StateOfMachine("STATIONB");
  EXPECT_EQ(stateAfter.hr, kFail);
  EXPECT_EQ(stateAfter.text, kNotRunning);
}

TEST_F(TwoStations, CopyIsByteIdenticalWithTheSourcesModificationTime) {
  struct Case {
    const char* name;
    std::size_t size;
    std::optional<int> buffer;
  };
  const Case cases[] = {
      {"150000 bytes in 64 KiB blocks", 150000, 65536},
      {"whole multiple of the block", 131072, 65536},
      {"empty file", 0, 65536},
      {"default block size", 70000, std::nullopt},
      {"odd block size", 10007, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string source = root_ + "/files/source-" + std::to_string(c.size) + ".bin";
    const std::string destination = a_.dir + "/copy-" + std::to_string(c.size) + ".bin";
    const std::string bytes = RandomBytes(c.size, static_cast<unsigned>(c.size));
    WriteWhole(source, bytes);
    const timespec times[2] = {{1577934245, 123456700}, {1577934245, 987654300}};
    ASSERT_EQ(utimensat(AT_FDCWD, source.c_str(), times, 0), 0);

    ASSERT_EQ(Copy("STATIONB", source, destination, c.buffer), static_cast<std::int32_t>(c.size));

    // A block shorter than asked for ends the copy, so a whole multiple of the block size
    // ends with an empty read.
    const std::int32_t block = c.buffer.value_or(65536);
    const auto size = static_cast<std::int32_t>(c.size);
    std::vector<std::pair<std::int32_t, std::int32_t>> expected = {{10, 0}};
    for (std::int32_t i = 0; i <= size / block; ++i) {
      expected.emplace_back(11, std::min(size, (i + 1) * block));
    }
    expected.emplace_back(12, size);
    EXPECT_EQ(progressCalls, expected);

    EXPECT_TRUE(ReadWhole(destination) == bytes);
    struct stat copied {};
    ASSERT_EQ(stat(destination.c_str(), &copied), 0);
    EXPECT_EQ(copied.st_mtim.tv_sec, times[1].tv_sec);
    EXPECT_EQ(copied.st_mtim.tv_nsec, times[1].tv_nsec);
  }
}

TEST_F(TwoStations, CopyBrokenOffByTheCallerLeavesNoDestination) {
  const std::string source = root_ + "/files/break.bin";
  const std::string destination = a_.dir + "/break.bin";
  const std::string bytes = RandomBytes(150000, 7);
  WriteWhole(source, bytes);
  breakAtFirstBlock = true;
  const std::int32_t result = Copy("STATIONB", source, destination, 65536);
  breakAtFirstBlock = false;
  EXPECT_EQ(result, kCopyFailed);
  const std::vector<std::pair<std::int32_t, std::int32_t>> expected = {{10, 0}, {11, 65536}};
  EXPECT_EQ(progressCalls, expected);
  EXPECT_FALSE(std::filesystem::exists(destination));
  // Nor a temporary file beside it.
  for (const auto& entry : std::filesystem::directory_iterator(a_.dir)) {
    EXPECT_EQ(entry.path().filename().string().find(".break.bin."), std::string::npos)
        << entry.path();
  }
}

TEST_F(TwoStations, CopyFromAStationThatDoesNotAnswerFailsWithinTheCallTimeout) {
  const std::string source = root_ + "/files/unanswered.bin";
  WriteWhole(source, RandomBytes(1000, 3));

  b_.agent->Signal(SIGSTOP);
  const auto start = std::chrono::steady_clock::now();
  const std::int32_t stopped = Copy("STATIONB", source, a_.dir + "/unanswered.bin", 65536);
  const auto took = std::chrono::steady_clock::now() - start;
  b_.agent->Signal(SIGCONT);
  EXPECT_EQ(stopped, kCopyFailed);
  EXPECT_LT(took, std::chrono::milliseconds(2 * kCallTimeoutMs + 2000));
  EXPECT_FALSE(fs::exists(a_.dir + "/unanswered.bin"));

  b_.agent->Kill();
  EXPECT_EQ(Copy("STATIONB", source, a_.dir + "/killed.bin", 65536), kCopyFailed);
  EXPECT_TRUE(progressCalls.empty());
  EXPECT_FALSE(fs::exists(a_.dir + "/killed.bin"));
  EXPECT_EQ(Remote(Addressed("Test")).hr, kFail);

  ASSERT_NO_FATAL_FAILURE(StartAgent(b_));
  EXPECT_EQ(Remote(Addressed("Test")).text, "Test Answered");
}

TEST_F(TwoStations, QxstationReachesTheOtherStation) {
  ProgramResult hosts = RunProgram(QX_STATION_PATH, {"hosts", "STATIONB"}, a_.env());
  EXPECT_EQ(hosts.exitCode, 0) << hosts.err;
  EXPECT_NE(hosts.out.find("HRESULT 0x00000000 (S_OK)"), std::string::npos) << hosts.out;
  EXPECT_NE(hosts.out.find("<Host>STATIONB</Host>"), std::string::npos) << hosts.out;

  ProgramResult refused =
      RunProgram(QX_STATION_PATH, {"command", "--receiver", "STATIONB", "<Bogus/>"}, a_.env());
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.out.find("0x80004001 (E_NOTIMPL)"), std::string::npos) << refused.out;

  ProgramResult call =
      RunProgram(QX_STATION_PATH, {"call", "STATIONB", "qxtestremote", "Echo", "a < b"}, a_.env());
  EXPECT_EQ(call.exitCode, 0) << call.err;
  EXPECT_NE(call.out.find("a &lt; b"), std::string::npos) << call.out;

  const std::string source = root_ + "/files/cli.bin";
  const std::string bytes = RandomBytes(100000, 11);
  WriteWhole(source, bytes);
  ProgramResult copy =
      RunProgram(QX_STATION_PATH,
                 {"copy", "STATIONB", source, a_.dir + "/cli.bin", "--buffer", "30000"}, a_.env());
  EXPECT_EQ(copy.exitCode, 0) << copy.err;
  EXPECT_NE(copy.out.find("copied 100000 bytes"), std::string::npos) << copy.out;
  EXPECT_TRUE(ReadWhole(a_.dir + "/cli.bin") == bytes);

  ProgramResult failed =
      RunProgram(QX_STATION_PATH,
                 {"copy", "STATIONB", root_ + "/files/none.bin", a_.dir + "/none.bin"}, a_.env());
  EXPECT_EQ(failed.exitCode, 1);
}

}  // namespace
}  // namespace qx::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  signal(SIGPIPE, SIG_IGN);
  if (!qx::testing::EnterPrivateNetwork()) {
    std::fprintf(stderr,
                 "note: no private network namespace; using 127.0.0.2 and 127.0.0.3 of "
                 "this machine\n");
  }
  return RUN_ALL_TESTS();
}
