// known_settings.cpp - the table of known settings and the checks of a value against it.
#include "registry/store/known_settings.h"

#include <arpa/inet.h>

#include <algorithm>
#include <vector>

#include "common/peer_list.h"
#include "common/text.h"
#include "platform/network_interfaces.h"

namespace qx {
namespace {

constexpr std::uint32_t kAny = 0xFFFFFFFFu;

// Every setting the station reads below HKEY_LOCAL_MACHINE\SOFTWARE\TOLVAR\NORVANE. Each
// owning layer's reader refuses a value out of the range given here too; the defaults are the
// owners' (server/settings_defaults.h).
constexpr KnownSetting kKnown[] = {
    {"PLATFORM", "ComputerName", RegType::kSz, ValueForm::kText, 0, 0, false,
     "this station's name (default: the host name, 15 characters)"},
    {"PLATFORM", "Domain", RegType::kSz, ValueForm::kText, 0, 0, false,
     "this station's domain (default: the DNS domain, or WORKGROUP)"},
    {"RPC", "ListenAddress", RegType::kSz, ValueForm::kIpv4, 0, 0, true,
     "address the RPC endpoints listen on (loopback: local mode)"},
    {"RPC", "ConnectTimeoutMs", RegType::kDword, ValueForm::kNumber, 0, kAny, false,
     "a client's connect ends within this many ms"},
    {"RPC", "CallTimeoutMs", RegType::kDword, ValueForm::kNumber, 0, kAny, false,
     "a client's call ends within this many ms"},
    {"RPC", "ServerThreads", RegType::kDword, ValueForm::kNumber, 1, kAny, false,
     "I/O threads of a server"},
    {"RPC", "MaxFrameBytes", RegType::kDword, ValueForm::kNumber, 1, kAny, false,
     "largest message accepted"},
    {"RPC", "ReadFileLimit", RegType::kDword, ValueForm::kNumber, 1, kAny, false,
     "largest block a remote station may ask for in one read"},
    {"RPC", "IdleConnectionMs", RegType::kDword, ValueForm::kNumber, 0, kAny, false,
     "how long an unused client connection is kept"},
    {"RPC", "BufferBudgetBytes", RegType::kDword, ValueForm::kNumber, 1, kAny, false,
     "bytes of unfinished request frames a server buffers"},
    {"RPC", "StopGraceMs", RegType::kDword, ValueForm::kNumber, 0, kAny, false,
     "how long a stop waits for running handlers"},
    {"RPC", "HandlerThreads", RegType::kDword, ValueForm::kNumber, 1, kAny, false,
     "threads that run request handlers"},
    {"RPC", "HandlerQueue", RegType::kDword, ValueForm::kNumber, 0, kAny, false,
     "requests that may wait for a handler thread"},
    {"RPC\\PORTS", "E5C46732-E547-4867-9100-B99D57B8B2EC", RegType::kDword, ValueForm::kNumber, 1,
     65535, true, "port of the discovery service"},
    {"RPC\\PORTS", "D41CAB86-77B0-4081-8404-E75568C24F98", RegType::kDword, ValueForm::kNumber, 1,
     65535, true, "port of the project-manager service"},
    {"SECURITY", "LibraryDirs", RegType::kMultiSz, ValueForm::kDirectories, 0, 0, true,
     "the only directories REMOTECALL loads libraries from"},
    {"SECURITY", "FileRoots", RegType::kMultiSz, ValueForm::kDirectories, 0, 0, true,
     "the only trees OPENFILE and READFILE read below"},
    {"MULTICAST", "Group", RegType::kSz, ValueForm::kGroup, 0, 0, true,
     "the stations' multicast group"},
    {"MULTICAST", "Port", RegType::kDword, ValueForm::kNumber, 1, 65535, true,
     "the group's UDP port"},
    {"MULTICAST", "Interface", RegType::kSz, ValueForm::kIpv4, 0, 0, true,
     "loopback: local mode on this machine; any other address: network mode"},
    {"MULTICAST", "Interfaces", RegType::kMultiSz, ValueForm::kPatterns, 0, 0, true,
     "network mode: the interfaces announced on (default: every suitable one)"},
    {"MULTICAST", "TTL", RegType::kDword, ValueForm::kNumber, 0, 255, true,
     "hops a datagram may travel; 0 keeps it on this machine"},
    {"MULTICAST", "UnicastAddress", RegType::kSz, ValueForm::kIpv4, 0, 0, true,
     "this station's own address for replies (default: the RPC ListenAddress)"},
    {"MULTICAST", "Peers", RegType::kMultiSz, ValueForm::kPeers, 0, 0, true,
     "stations beyond the group that get and send group datagrams by unicast (addresses or "
     "names)"},
    {"MULTICAST", "Relay", RegType::kDword, ValueForm::kNumber, 0, 1, true,
     "1: carry group datagrams between the group and the peers"},
    {"MULTICAST", "PeersResolveMs", RegType::kDword, ValueForm::kNumber, 1000, 86400000, false,
     "how often the peers' names are resolved again"},
    {"MULTICAST", "HeartbeatIntervalMs", RegType::kDword, ValueForm::kNumber, 0, 60000, false,
     "liveness: this station's heartbeat period in ms (0: no heartbeat)"},
    {"MULTICAST", "SuspectAfterMs", RegType::kDword, ValueForm::kNumber, 100, 600000, false,
     "liveness: silence after which a station is suspect (at least 5/4 of its period)"},
    {"MULTICAST", "ProbeIntervalMs", RegType::kDword, ValueForm::kNumber, 10, 60000, false,
     "liveness: time between the probes of a suspect station"},
    {"MULTICAST", "ProbeAttempts", RegType::kDword, ValueForm::kNumber, 1, 100, false,
     "liveness: unanswered probes after which a station is removed"},
    {"MULTICAST", "ReceiveBudgetBitsPerSecond", RegType::kDword, ValueForm::kNumber, 1000,
     1000000000, false, "liveness: the heartbeats a station receives stay within this budget"},
    {"MULTICAST", "MaxPeers", RegType::kDword, ValueForm::kNumber, 16, 100000, false,
     "liveness: the stations tracked at most"},
    {"MULTICAST", "DatagramBytes", RegType::kDword, ValueForm::kNumber, 0, 65507, false,
     "largest datagram sent (0: 60000 on loopback, else 1400)"},
    {"MULTICAST", "ReceiveBufferBytes", RegType::kDword, ValueForm::kNumber, 65536, 1u << 30, false,
     "receive buffer of each socket"},
    {"MULTICAST", "MaxMessageBytes", RegType::kDword, ValueForm::kNumber, 1, 64u << 20, false,
     "largest message reassembled from fragments"},
    {"MULTICAST", "IncompleteExpiryMs", RegType::kDword, ValueForm::kNumber, 10, 600000, false,
     "unfinished messages expire after this many ms"},
    {"MULTICAST", "QueueDatagrams", RegType::kDword, ValueForm::kNumber, 1, 1u << 20, false,
     "datagrams received and not yet delivered"},
    {"DIAGNOSIS", "TypeMask", RegType::kDword, ValueForm::kNumber, 0, kAny, false,
     "the trace types written"},
    {"DIAGNOSIS", "LevelMask", RegType::kDword, ValueForm::kNumber, 0, kAny, false,
     "the trace levels written (1: errors, warnings and main lines)"},
    {"DIAGNOSIS", "LogFile", RegType::kSz, ValueForm::kAbsolutePath, 0, 0, true,
     "the log file when no journal runs"},
    {"DIAGNOSIS", "LogFileLimit", RegType::kDword, ValueForm::kNumber, 0, kAny, false,
     "the log file's size cap in bytes"},
    {"AUDIT", "Destination", RegType::kSz, ValueForm::kText, 0, 0, true,
     "where the audit trail goes: journal, file or auto (the journal when one runs)"},
    {"AUDIT", "File", RegType::kSz, ValueForm::kAbsolutePath, 0, 0, true,
     "the audit trail's JSON-lines file (without a journal)"},
    {"AUDIT", "MaxBytes", RegType::kDword, ValueForm::kNumber, 4096, kAny, true,
     "the audit file's size that makes it rotate"},
    {"AUDIT", "KeepFiles", RegType::kDword, ValueForm::kNumber, 1, 1000, true,
     "rotated audit files kept beside it"},
    {"STORAGE", "CleanRegistry", RegType::kDword, ValueForm::kNumber, 0, kAny, false,
     "period of the project-list watch in ms (0: none)"},
};

// Keys whose every value the table lists.
constexpr const char* kClosedKeys[] = {"PLATFORM",  "RPC",       "SECURITY",
                                       "MULTICAST", "DIAGNOSIS", "AUDIT"};

std::string_view TrimSlashes(std::string_view path) {
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return path;
}

bool IsIpv4(const std::string& text, std::uint32_t* address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  *address = ntohl(parsed.s_addr);
  return true;
}

std::string FormText(const KnownSetting& setting) {
  const std::string name = setting.name;
  switch (setting.form) {
    case ValueForm::kText:
      return name + " takes a text (" + RegTypeName(setting.type) + ")";
    case ValueForm::kNumber:
      return name + " takes a number from " + std::to_string(setting.minimum) + " to " +
             std::to_string(setting.maximum) + " (REG_DWORD, --dword)";
    case ValueForm::kIpv4:
      return name + " takes an IPv4 address such as 127.0.0.1";
    case ValueForm::kGroup:
      return name + " takes an IPv4 multicast address such as 239.255.47.81";
    case ValueForm::kPatterns:
      return name +
             " takes a list (REG_MULTI_SZ, --multi) of interface names (eth0), name* patterns "
             "(enp*) or IPv4 CIDR blocks (10.1.0.0/16)";
    case ValueForm::kDirectories:
      return name + " takes a list (REG_MULTI_SZ, --multi) of absolute directories";
    case ValueForm::kAbsolutePath:
      return name + " takes an absolute path such as /var/log/qxremote/qxdiagnosis.log";
    case ValueForm::kPeers:
      return name +
             " takes a list (REG_MULTI_SZ, --multi, or one text with commas between the items) "
             "of at most " +
             std::to_string(kMaxPeers) + " IPv4 addresses or host names (10.2.0.5 relay-b)";
  }
  return name;
}

bool FitsForm(const KnownSetting& setting, const RegValue& value) {
  switch (setting.form) {
    case ValueForm::kText:
      return value.type == RegType::kMultiSz || !value.text.empty();
    case ValueForm::kNumber:
      return value.dword >= setting.minimum && value.dword <= setting.maximum;
    case ValueForm::kIpv4: {
      std::uint32_t address = 0;
      return IsIpv4(value.text, &address);
    }
    case ValueForm::kGroup: {
      std::uint32_t address = 0;
      return IsIpv4(value.text, &address) && (address >> 28) == 0xE;
    }
    case ValueForm::kPatterns:
      return std::all_of(value.texts.begin(), value.texts.end(), [](const std::string& item) {
        return item.empty() || IsInterfacePattern(item);
      });
    case ValueForm::kDirectories: {
      std::vector<std::string> items = value.texts;
      if (value.type == RegType::kSz) items = SplitDirectoryText(value.text);
      return std::all_of(items.begin(), items.end(), [](const std::string& item) {
        return item.empty() || item.front() == '/';
      });
    }
    case ValueForm::kAbsolutePath:
      return !value.text.empty() && value.text.front() == '/';
    case ValueForm::kPeers: {
      std::vector<std::string> peers;
      return ParsePeerList(
          value.type == RegType::kSz ? std::vector<std::string>{value.text} : value.texts, &peers,
          nullptr);
    }
  }
  return false;
}

}  // namespace

std::vector<std::string> SplitDirectoryText(std::string_view rest) {
  std::vector<std::string> dirs;
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    if (!dir.empty()) dirs.emplace_back(dir);
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return dirs;
}

std::span<const KnownSetting> KnownSettings() { return kKnown; }

std::string KnownSettingKeyPath(const KnownSetting& setting) {
  return std::string(kSettingsBaseKey) + "\\" + setting.key;
}

std::optional<std::string_view> RelativeSettingsKey(std::string_view keyPath) {
  keyPath = TrimSlashes(keyPath);
  if (keyPath.size() <= kSettingsBaseKey.size() + 1 ||
      !IEquals(keyPath.substr(0, kSettingsBaseKey.size()), kSettingsBaseKey) ||
      keyPath[kSettingsBaseKey.size()] != '\\') {
    return std::nullopt;
  }
  return keyPath.substr(kSettingsBaseKey.size() + 1);
}

const KnownSetting* FindKnownSetting(std::string_view keyPath, std::string_view name) {
  const std::optional<std::string_view> relative = RelativeSettingsKey(keyPath);
  if (!relative) return nullptr;
  for (const KnownSetting& setting : kKnown) {
    if (IEquals(*relative, setting.key) && IEquals(name, setting.name)) return &setting;
  }
  return nullptr;
}

bool IsClosedSettingsKey(std::string_view keyPath) {
  const std::optional<std::string_view> relative = RelativeSettingsKey(keyPath);
  if (!relative) return false;
  return std::any_of(std::begin(kClosedKeys), std::end(kClosedKeys),
                     [&](const char* key) { return IEquals(*relative, key); });
}

std::string NearestSettingName(std::string_view keyPath, std::string_view name) {
  const std::optional<std::string_view> relative = RelativeSettingsKey(keyPath);
  if (!relative) return std::string();
  std::string nearest;
  std::size_t best = 0;
  for (const KnownSetting& setting : kKnown) {
    if (!IEquals(*relative, setting.key)) continue;
    const std::size_t distance = IEditDistance(name, setting.name);
    if (nearest.empty() || distance < best) {
      nearest = setting.name;
      best = distance;
    }
  }
  // Near: at most a third of the name's letters differ.
  const std::size_t allowed = std::max<std::size_t>(2, nearest.size() / 3);
  return best <= allowed ? nearest : std::string();
}

std::optional<std::string> CheckKnownValue(const KnownSetting& setting, const RegValue& value) {
  const bool listAsText =
      (setting.form == ValueForm::kDirectories || setting.form == ValueForm::kPeers) &&
      value.type == RegType::kSz;
  const bool textAsExpand = setting.type == RegType::kSz && value.type == RegType::kExpandSz;
  if (value.type == RegType::kNone) return FormText(setting);
  if (value.type != setting.type && !listAsText && !textAsExpand) {
    return FormText(setting) + ", not a " + RegTypeName(value.type);
  }
  if (!FitsForm(setting, value)) return FormText(setting);
  return std::nullopt;
}

const char* RegTypeName(RegType type) {
  switch (type) {
    case RegType::kSz:
      return "REG_SZ";
    case RegType::kExpandSz:
      return "REG_EXPAND_SZ";
    case RegType::kDword:
      return "REG_DWORD";
    case RegType::kMultiSz:
      return "REG_MULTI_SZ";
    case RegType::kNone:
      break;
  }
  return "REG_NONE";
}

}  // namespace qx
