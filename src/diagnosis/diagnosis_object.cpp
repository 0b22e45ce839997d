// diagnosis_object.cpp - CreateDiagnosisObjectW and the diagnostics object of libqxdiagnosis.so.
//
// The object is made for one host process: it reads its masks and log file from the registry
// key HKEY_LOCAL_MACHINE\SOFTWARE\TOLVAR\NORVANE\DIAGNOSIS once, at creation ("TypeMask" and
// "LevelMask" as REG_DWORD, default every type at level 1; "LogFile" as a text, default the
// journal or /var/log/qxremote/qxdiagnosis.log; "LogFileLimit" as REG_DWORD, the size in bytes
// at which the log file rotates, default 10 MiB), and writes each line it is given through a
// LogWriter. The caller owns the object and ends it with
// Destroy; WriteTrace may run on many threads at once.
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "common/text.h"
#include "diagnosis/log_writer.h"
#include "registry/store/registry_store.h"
#include "trace/diagnosis_abi.h"

namespace qx::diagnosis {
namespace {

constexpr const char* kDiagnosisKey = "SOFTWARE\\TOLVAR\\NORVANE\\DIAGNOSIS";
constexpr std::uint32_t kDefaultTypeMask = 0xFFFFFFFFu;
constexpr std::uint32_t kDefaultLevelMask = 0x1;  // errors, warnings and main lines
constexpr std::size_t kMaxHostNameUnits = 260;

struct DiagnosisConfig {
  std::uint32_t typeMask = kDefaultTypeMask;
  std::uint32_t levelMask = kDefaultLevelMask;
  std::string logFile;
  std::uint64_t logFileLimit = kDefaultLogFileLimit;
};

DiagnosisConfig ReadConfig() {
  DiagnosisConfig config;
  RegistryStore& store = Registry();
  KeyId root = 0;
  KeyId key = 0;
  if (store.RootKey(RegRoot::kLocalMachine, &root) != RegStatus::kOk ||
      store.OpenKey(root, kDiagnosisKey, &key) != RegStatus::kOk) {
    return config;
  }
  RegValue value;
  if (store.GetValue(key, "TypeMask", &value) == RegStatus::kOk && value.type == RegType::kDword)
    config.typeMask = value.dword;
  if (store.GetValue(key, "LevelMask", &value) == RegStatus::kOk && value.type == RegType::kDword)
    config.levelMask = value.dword;
  if (store.GetValue(key, "LogFile", &value) == RegStatus::kOk &&
      (value.type == RegType::kSz || value.type == RegType::kExpandSz))
    config.logFile = value.text;
  if (store.GetValue(key, "LogFileLimit", &value) == RegStatus::kOk &&
      value.type == RegType::kDword)
    config.logFileLimit = value.dword;
  return config;
}

// The object handed out: derived from the C header, so that a QxDiagnosisObject* handed back
// converts to this object.
struct DiagnosisObject : QxDiagnosisObject {
  DiagnosisConfig config;
  std::unique_ptr<LogWriter> writer;
};

DiagnosisObject* Self(QxDiagnosisObject* object) { return static_cast<DiagnosisObject*>(object); }

void Destroy(QxDiagnosisObject* object) { std::unique_ptr<DiagnosisObject> owned(Self(object)); }

int32_t WriteTrace(QxDiagnosisObject* object, uint32_t type, uint32_t level, const char* utf8Text) {
  if (object == nullptr || utf8Text == nullptr) return -1;
  try {
    return Self(object)->writer->Write(type, level, utf8Text);
  } catch (...) {
    return -1;
  }
}

uint32_t GetTypeMask(QxDiagnosisObject* object) {
  return object != nullptr ? Self(object)->config.typeMask : 0;
}

uint32_t GetLevelMask(QxDiagnosisObject* object) {
  return object != nullptr ? Self(object)->config.levelMask : 0;
}

constexpr QxDiagnosisFunctions kFunctions = {
    sizeof(QxDiagnosisFunctions),
    QX_DIAGNOSIS_ABI_VERSION,
    &Destroy,
    &WriteTrace,
    &GetTypeMask,
    &GetLevelMask,
};

}  // namespace
}  // namespace qx::diagnosis

extern "C" __attribute__((visibility("default"))) QxDiagnosisObject* CreateDiagnosisObjectW(
    const QxDiagnosisChar* hostName, QxDiagnosisNotify /*notify: no events are told yet*/) {
  using namespace qx::diagnosis;
  try {
    std::string host = "QXRemoteServer.dll";
    if (hostName != nullptr) {
      const std::size_t length = qx::BoundedLength16(hostName, kMaxHostNameUnits);
      if (length > kMaxHostNameUnits) return nullptr;
      std::optional<std::string> utf8 = qx::Utf16ToUtf8(std::u16string_view(hostName, length));
      if (!utf8) return nullptr;
      if (!utf8->empty()) host = std::move(*utf8);
    }
    auto object = std::make_unique<DiagnosisObject>();
    object->functions = &kFunctions;
    object->config = ReadConfig();
    object->writer =
        std::make_unique<LogWriter>(host, object->config.logFile, object->config.logFileLimit);
    return object.release();
  } catch (...) {
    return nullptr;
  }
}
