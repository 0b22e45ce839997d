// diagnosis_object.cpp - CreateDiagnosisObjectW and the diagnostics object of libqxdiagnosis.so.
//
// The object is made for one host process: it reads its masks and log file from the key
// HKEY_LOCAL_MACHINE\SOFTWARE\TOLVAR\NORVANE\DIAGNOSIS once, at creation, from the registry
// or the settings file (LogFile is root's alone: protected_settings.h) ("TypeMask" and
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
#include "registry/store/protected_settings.h"
#include "registry/store/registry_store.h"
#include "trace/diagnosis_abi.h"

namespace qx::diagnosis {
namespace {

constexpr const char* kDiagnosisKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\DIAGNOSIS";
constexpr std::uint32_t kDefaultTypeMask = 0xFFFFFFFFu;
constexpr std::uint32_t kDefaultLevelMask = 0x1;  // errors, warnings and main lines
constexpr std::size_t kMaxHostNameUnits = 260;

struct DiagnosisConfig {
  std::uint32_t typeMask = kDefaultTypeMask;
  std::uint32_t levelMask = kDefaultLevelMask;
  std::string logFile;
  std::uint64_t logFileLimit = kDefaultLogFileLimit;
};

// The value in effect (registry, else settings file; LogFile only from a registry that is root's
// alone), or nullopt: absent or unreadable, the default holds.
std::optional<RegValue> ReadValue(std::string_view name, RegType asked) {
  SettingRead read = ReadSetting(kDiagnosisKey, name, asked);
  if (read.status != RegStatus::kOk) return std::nullopt;
  return std::move(read.value);
}

DiagnosisConfig ReadConfig() {
  DiagnosisConfig config;
  if (const auto value = ReadValue("TypeMask", RegType::kDword);
      value && value->type == RegType::kDword) {
    config.typeMask = value->dword;
  }
  if (const auto value = ReadValue("LevelMask", RegType::kDword);
      value && value->type == RegType::kDword) {
    config.levelMask = value->dword;
  }
  if (const auto value = ReadValue("LogFile", RegType::kSz);
      value && (value->type == RegType::kSz || value->type == RegType::kExpandSz)) {
    config.logFile = value->text;
  }
  if (const auto value = ReadValue("LogFileLimit", RegType::kDword);
      value && value->type == RegType::kDword) {
    config.logFileLimit = value->dword;
  }
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
