// The diagnostics library loaded by path, as the module loads it: its entry point, its
// configuration from the registry, its log file, and the trace connected to it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/dynamic_library.h"
#include "registry/store/registry_store.h"
#include "support/debug_capture.h"
#include "trace/diagnosis_abi.h"
#include "trace/trace.h"

namespace qx {
namespace {

using qx::testing::TempDir;

constexpr const char* kDiagnosisKey = "SOFTWARE\\TOLVAR\\NORVANE\\DIAGNOSIS";

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

// One registry for the whole program (the library opens the station registry once); each test
// writes the values it needs and gets its own log file.
class DiagnosisLibraryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    temp_ = std::make_unique<TempDir>("qxdiag");
    ASSERT_TRUE(temp_->ok());
    root_ = &temp_->path();
    ::setenv("QX_REGISTRY", (*root_ + "/registry.db").c_str(), 1);
  }
  static void TearDownTestSuite() { temp_.reset(); }

  void SetUp() override {
    logFile_ =
        *root_ + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
    ASSERT_TRUE(library_.Open(QX_DIAGNOSIS_LIBRARY_PATH)) << DynamicLibrary::LastError();
    create_ = reinterpret_cast<QxCreateDiagnosisObjectFunction>(
        library_.Symbol(QX_DIAGNOSIS_ENTRY_POINT));
    ASSERT_NE(create_, nullptr);
  }

  // Sets the DIAGNOSIS values; a null LogFile deletes the whole key; a logFileLimit of 0 leaves
  // LogFileLimit out.
  void Configure(std::uint32_t typeMask, std::uint32_t levelMask, const char* logFile,
                 std::uint32_t logFileLimit = 0) {
    std::unique_ptr<RegistryStore> store = OpenSqliteRegistry(*root_ + "/registry.db");
    KeyId machine = 0;
    KeyId key = 0;
    ASSERT_EQ(store->RootKey(RegRoot::kLocalMachine, &machine), RegStatus::kOk);
    if (logFile == nullptr) {
      if (store->OpenKey(machine, kDiagnosisKey, &key) == RegStatus::kOk) store->DeleteKey(key);
      return;
    }
    ASSERT_EQ(store->CreateKey(machine, kDiagnosisKey, &key), RegStatus::kOk);
    store->SetValue(key, "TypeMask", RegValue::Dword(typeMask));
    store->SetValue(key, "LevelMask", RegValue::Dword(levelMask));
    store->SetValue(key, "LogFile", RegValue::String(logFile));
    if (logFileLimit != 0) {
      store->SetValue(key, "LogFileLimit", RegValue::Dword(logFileLimit));
    } else {
      store->DeleteValue(key, "LogFileLimit");
    }
  }

  static inline std::unique_ptr<TempDir> temp_;
  static const std::string* root_;
  std::string logFile_;
  DynamicLibrary library_;
  QxCreateDiagnosisObjectFunction create_ = nullptr;
};
const std::string* DiagnosisLibraryTest::root_ = nullptr;

TEST_F(DiagnosisLibraryTest, ObjectTakesMasksAndLogFileFromTheRegistry) {
  Configure(0x80021, 0x5, logFile_.c_str());
  QxDiagnosisObject* object = create_(u"QXAgent.exe", nullptr);
  ASSERT_NE(object, nullptr);
  const QxDiagnosisFunctions* f = object->functions;
  EXPECT_EQ(f->version, QX_DIAGNOSIS_ABI_VERSION);
  EXPECT_GE(f->size, sizeof(QxDiagnosisFunctions));
  EXPECT_EQ(f->GetTypeMask(object), 0x80021u);
  EXPECT_EQ(f->GetLevelMask(object), 0x5u);
  EXPECT_EQ(f->WriteTrace(object, 0x1, 0x4, "<doRPCCommand>x</doRPCCommand>"), 0);
  EXPECT_EQ(f->WriteTrace(object, 0xFFFFFFFFu, 0x1, "startRemoteServer() failed!"), 0);
  f->Destroy(object);

  const std::vector<std::string> lines = ReadLines(logFile_);
  ASSERT_EQ(lines.size(), 2u);
  const std::string pid = "[" + std::to_string(::getpid()) + "]";
  EXPECT_NE(lines[0].find(" QXAgent.exe" + pid + ": 00000001/4 <doRPCCommand>x</doRPCCommand>"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find(": ffffffff/1 startRemoteServer() failed!"), std::string::npos)
      << lines[1];
}

TEST_F(DiagnosisLibraryTest, DefaultsWithoutConfiguration) {
  Configure(0, 0, nullptr);
  testing::DebugCapture runtime;  // points QX_RUNTIME_DIR at a fresh directory
  QxDiagnosisObject* object = create_(u"", nullptr);
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->functions->GetTypeMask(object), 0xFFFFFFFFu);
  EXPECT_EQ(object->functions->GetLevelMask(object), 0x1u);
  // A station of its own (QX_REGISTRY set) without a journal writes qxdiagnosis.log beside its
  // registry, and never the machine's /var/log/qxremote/qxdiagnosis.log.
  const std::string machineLog = "/var/log/qxremote/qxdiagnosis.log";
  struct stat before {};
  const bool machineLogExisted = ::stat(machineLog.c_str(), &before) == 0;
  EXPECT_EQ(object->functions->WriteTrace(object, 0x2, 0x1, "to the journal or the file"), 0);
  object->functions->Destroy(object);
  EXPECT_FALSE(std::filesystem::exists(runtime.dir() + "/qxdiagnosis.log"))
      << "the runtime directory (memory) holds no log";
  struct stat after {};
  if (machineLogExisted) {
    ASSERT_EQ(::stat(machineLog.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size) << "the machine's log file was written";
  } else {
    EXPECT_FALSE(std::filesystem::exists(machineLog)) << "the machine's log file was made";
  }
  if (::access("/run/systemd/journal/socket", W_OK) != 0) {
    const std::vector<std::string> lines = ReadLines(*root_ + "/qxdiagnosis.log");
    ASSERT_FALSE(lines.empty()) << "no qxdiagnosis.log beside the registry";
    EXPECT_NE(lines.back().find("to the journal or the file"), std::string::npos) << lines.back();
  }
}

TEST_F(DiagnosisLibraryTest, LogFileRotatesAtItsLimit) {
  constexpr std::uint32_t kLimit = 8192;
  Configure(kTraceAll, kTraceAll, logFile_.c_str(), kLimit);
  QxDiagnosisObject* object = create_(u"QXAgent.exe", nullptr);
  ASSERT_NE(object, nullptr);
  const std::string text(200, 'r');
  for (int i = 0; i < 200; ++i) {  // about 54 KB: rotated more often than files are kept
    ASSERT_EQ(object->functions->WriteTrace(object, 1, 1, text.c_str()), 0);
  }
  object->functions->Destroy(object);
  for (const std::string suffix : {"", ".1", ".2", ".3"}) {
    SCOPED_TRACE(suffix);
    ASSERT_TRUE(std::filesystem::exists(logFile_ + suffix));
    const auto size = std::filesystem::file_size(logFile_ + suffix);
    EXPECT_LE(size, kLimit);
    EXPECT_GT(size, 0u);
    for (const std::string& line : ReadLines(logFile_ + suffix)) {
      EXPECT_EQ(line.substr(line.size() - text.size()), text) << "lines stay whole";
    }
  }
  EXPECT_FALSE(std::filesystem::exists(logFile_ + ".4"));
}

TEST_F(DiagnosisLibraryTest, RefusesABrokenHostName) {
  const char16_t broken[] = {u'Q', char16_t(0xD800), 0};
  EXPECT_EQ(create_(broken, nullptr), nullptr);
  const std::u16string tooLong(300, u'h');
  EXPECT_EQ(create_(tooLong.c_str(), nullptr), nullptr);
}

TEST_F(DiagnosisLibraryTest, ConcurrentLinesStayWhole) {
  Configure(0xFFFFFFFFu, 0xFFFFFFFFu, logFile_.c_str());
  QxDiagnosisObject* object = create_(u"QXProjectMgr.exe", nullptr);
  ASSERT_NE(object, nullptr);
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  const std::string payload(3000, 'p');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string text = "thread " + std::to_string(t) + " " + payload;
      for (int i = 0; i < kLines; ++i) object->functions->WriteTrace(object, 4, 8, text.c_str());
    });
  }
  for (std::thread& thread : threads) thread.join();
  object->functions->Destroy(object);

  const std::vector<std::string> lines = ReadLines(logFile_);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  for (const std::string& line : lines) {
    ASSERT_EQ(line.substr(line.size() - payload.size() - 1), " " + payload);
  }
}

TEST_F(DiagnosisLibraryTest, TraceWritesThroughTheConnectedObject) {
  Configure(kTraceServer, kLevelMain | kLevelText, logFile_.c_str());
  testing::DebugCapture capture;
  CDiagnosis& diagnosis = Diagnosis();
  ASSERT_TRUE(diagnosis.LoadDiagnosticsFrom(QX_DIAGNOSIS_LIBRARY_PATH, "QXAgent.exe"));
  EXPECT_TRUE(diagnosis.connected());
  EXPECT_EQ(diagnosis.typeMask(), kTraceServer);
  EXPECT_EQ(diagnosis.levelMask(), kLevelMain | kLevelText);
  ASSERT_TRUE(diagnosis.LoadDiagnosticsFrom(QX_DIAGNOSIS_LIBRARY_PATH, "QXAgent.exe"))
      << "loading again keeps the object";

  const CTraceSource source("RemoteServer");
  Trace(source, "detail", "category", kTraceServer, kLevelText,
        "<A><Password>%s</Password></A>\r\n", "pw");
  Trace(source, nullptr, nullptr, kTraceMulticast, kLevelText, "type not configured");
  TraceError(source, "an error");
  EXPECT_FALSE(capture.Next(0).has_value()) << "nothing goes to the debug output";

  // While the viewer runs, lines go to it and not to the object. The viewer starts in a fresh
  // runtime directory, whose answer the trace has not cached.
  {
    testing::DebugCapture withViewer;
    ASSERT_TRUE(withViewer.StartViewer());
    TraceError(source, "for the viewer");
    EXPECT_EQ(withViewer.Next().value_or(""),
              "<xtr c=\"error\" p=\"RemoteServer|\"/>for the viewer");
    withViewer.StopViewer();
  }

  testing::DebugCapture afterViewer;
  diagnosis.UnloadDiagnostics();
  EXPECT_FALSE(diagnosis.connected());
  TraceError(source, "after unloading");
  EXPECT_EQ(afterViewer.Next().value_or(""), "after unloading");
  diagnosis.SetMasks(0, 0);

  const std::vector<std::string> lines = ReadLines(logFile_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("00000001/4 <A><Password>***</Password></A>"), std::string::npos)
      << lines[0];
  EXPECT_EQ(lines[0].back(), '>') << "line ends were removed";
  EXPECT_NE(lines[1].find("ffffffff/1 an error"), std::string::npos) << lines[1];
}

TEST_F(DiagnosisLibraryTest, UnloadWaitsForWritersInProgress) {
  Configure(kTraceAll, kTraceAll, logFile_.c_str());
  testing::DebugCapture capture;
  CDiagnosis diagnosis;
  const CTraceSource source("NetTree");
  for (int round = 0; round < 20; ++round) {
    ASSERT_TRUE(diagnosis.LoadDiagnosticsFrom(QX_DIAGNOSIS_LIBRARY_PATH, "QXAgent.exe"));
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
      writers.emplace_back([&] {
        for (int i = 0; i < 50; ++i) diagnosis.WriteTrace(kTraceServer, kLevelMain, "line");
      });
    }
    diagnosis.UnloadDiagnostics();
    for (std::thread& writer : writers) writer.join();
  }
  EXPECT_FALSE(diagnosis.connected());
}

}  // namespace
}  // namespace qx
