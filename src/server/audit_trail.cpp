// audit_trail.cpp - the entries of the station's audit trail and the settings of its log.
#include "server/audit_trail.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "common/text.h"
#include "keys/cluster_keys.h"
#include "platform/environment.h"
#include "registry/store/registry_store.h"
#include "registry/store/settings.h"
#include "rpc/rpc.h"
#include "server/remote_file_answers.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kSource("AuditTrail");

// How long the end of the process (or of the library) waits for the entries still queued.
constexpr std::chrono::seconds kWriterEndTimeout{5};

// The children that may name an action's target, in the order the target lists them. None of
// them ever holds a secret; a password, a REMOTECALL parameter or a project's contents are not
// among them.
constexpr std::array<const char*, 8> kTargetFields = {
    "DSN", "Host", "USER", "IP", "Share", "Switch", "DefaultType", "DefaultLevel"};

// The local commands that only read what the station knows: they make no entry.
constexpr std::array<const char*, 6> kReadOnlyLocalCommands = {
    "GetTreeContent", "GetHostDetails",   "GetProjectDetails",
    "GetProjectList", "FindServerForDSN", "IsPasswordAvailable"};

// Discovery messages that stations send each other by RPC (ReplyWithRPC): membership traffic,
// not an action taken for the sender.
constexpr const char* kDiscoveryTag = "QXDISCOVER";

bool IsOneOf(std::string_view tag, const auto& tags) {
  for (const char* known : tags) {
    if (IEquals(tag, known)) return true;
  }
  return false;
}

std::string TargetOf(const CXmlElement& request) {
  const std::string tag = request.GetName();
  if (IEquals(tag, "REMOTECALL")) {
    return request.GetSubText("DLL") + "!" + request.GetSubText("FUNCTION");
  }
  if (IEquals(tag, "OPENFILE")) return request.GetSubText("FILE");
  if (IEquals(tag, "READFILE")) {
    return Format("%s [%d+%d]", request.GetSubText("FILE").c_str(),
                  static_cast<int>(request.GetSubInt("FROM")),
                  static_cast<int>(request.GetSubInt("COUNT")));
  }
  std::string target;
  CXmlElement child;
  for (const char* field : kTargetFields) {
    if (!request.FindChild(field, &child)) continue;
    if (!target.empty()) target += ' ';
    target += field;
    target += '=';
    target += child.GetText();
    if (target.size() > kMaxAuditFieldBytes) break;  // the rest would be cut anyway
  }
  return target;
}

std::string UserName(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  std::array<char, 4096> buffer{};
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_name != nullptr) {
    return found->pw_name;
  }
  return std::to_string(uid);
}

// Who asked: the peer of the RPC request this thread serves, else this process's user.
void FillRequester(AuditEntry* entry) {
  if (const std::optional<RpcCaller> caller = CurrentRpcCaller()) {
    entry->peer = caller->address;
    entry->keyId = caller->keyId != 0 ? KeyIdText(caller->keyId) : std::string();
    return;
  }
  const uid_t uid = ::getuid();
  entry->localUid = static_cast<std::int64_t>(uid);
  entry->localUser = UserName(uid);
}

void Record(std::string action, std::string target, HRESULT result) {
  AuditEntry entry;
  entry.action = std::move(action);
  entry.target = std::move(target);
  entry.result = result;
  FillRequester(&entry);
  StationAuditLog().Record(std::move(entry));
}

// Runs a hook: no exception (no memory, no thread for the writer) reaches the handler, whose
// result stays its own; the entry is then reported lost.
template <typename Hook>
void Guarded(Hook&& hook) {
  try {
    hook();
  } catch (...) {
    StationAuditLog().CountLost();
    TraceError(kSource, "audit entry lost: an exception while it was made");
  }
}

AuditDestination DestinationOf(const std::string& text) {
  if (IEquals(text, "journal")) return AuditDestination::kJournal;
  if (IEquals(text, "file")) return AuditDestination::kFile;
  if (!text.empty() && !IEquals(text, "auto")) {
    TraceWarning(kSource, "AUDIT\\Destination \"%s\" is none of journal, file, auto: auto is used",
                 CutTracedText(text, 64).c_str());
  }
  return AuditDestination::kAuto;
}

AuditConfig ReadAuditSettings() {
  AuditConfig config;
  std::string destination;
  ReadTextSetting(kAuditKey, "Destination", &destination);
  config.destination = DestinationOf(destination);
  config.file = LogDir() + "/" + kDefaultAuditFileName;
  std::string file;
  ReadTextSetting(kAuditKey, "File", &file);
  if (!file.empty() && file.front() == '/') {
    config.file = std::move(file);
  } else if (!file.empty()) {
    TraceWarning(kSource, "AUDIT\\File is not an absolute path: %s is used", config.file.c_str());
  }
  std::uint32_t maxBytes = kDefaultAuditMaxBytes;
  ReadDwordSetting(kAuditKey, "MaxBytes", &maxBytes, 4096);
  config.maxBytes = maxBytes;
  std::uint32_t keep = kDefaultAuditKeepFiles;
  ReadDwordSetting(kAuditKey, "KeepFiles", &keep, 1);
  config.keepFiles = static_cast<int>(std::min<std::uint32_t>(keep, 1000));
  return config;
}

}  // namespace

AuditConfig ReadAuditConfig() {
  // Never destroyed: the writer thread reads it, to the end of the process.
  static SettingsCache<AuditConfig>& cache =
      *std::make_unique<SettingsCache<AuditConfig>>(&ReadAuditSettings).release();
  return cache.Get();
}

AuditLog& StationAuditLog() {
  // Never destroyed: handlers that outlive a stop may still record.
  static AuditLog& log = *std::make_unique<AuditLog>(&ReadAuditConfig).release();
  // The writer reads the settings (the registry) for each batch: it writes what it holds and
  // ends before the registry's static object goes, at exit or when the library unloads. Made
  // after the registry, so destroyed before it.
  struct WriterEnd {
    WriterEnd() { Registry(); }
    ~WriterEnd() { log.Stop(kWriterEndTimeout); }
  };
  static WriterEnd writerEnd;
  return log;
}

bool FlushStationAudit(std::chrono::milliseconds timeout) {
  return StationAuditLog().Flush(timeout);
}

void AuditRemoteRequest(const CXmlElement& request, HRESULT result) {
  Guarded([&] {
    std::string tag = request.GetName();
    if (IEquals(tag, kDiscoveryTag)) return;
    Record(std::move(tag), TargetOf(request), result);
  });
}

void AuditReadFile(const std::uint8_t* request, std::size_t size, HRESULT result) {
  Guarded([&] {
    const std::optional<std::string> text = ReadFileRequestText(request, size);
    CXmlElement tree;
    if (!text || !tree.LoadXml(*text)) {
      Record("READFILE", "<request not readable>", result);
      return;
    }
    Record("READFILE", TargetOf(tree), result);
  });
}

void AuditLocalCommand(std::string_view command, HRESULT result) {
  Guarded([&] {
    CXmlElement tree;
    if (!tree.LoadXml(command)) {
      Record("<command not readable>", std::string(), result);
      return;
    }
    std::string tag = tree.GetName();
    if (IsOneOf(tag, kReadOnlyLocalCommands)) return;
    Record(std::move(tag), TargetOf(tree), result);
  });
}

}  // namespace qx
