// host_identity.cpp - host identification by the executable's path.
#include "module/host_identity.h"

#include "common/text.h"

namespace qx {
namespace {

struct KnownHost {
  std::string_view windowsName;  // searched anywhere in the upper-cased path
  std::string_view fileName;     // the upper-cased last path component
  const char* hostName;
};

// The agent comes first: a path naming both is the agent's.
constexpr KnownHost kKnownHosts[] = {
    {"QXAGENT.EXE", "QXAGENT", kHostAgent},
    {"QXPROJECTMGR.EXE", "QXPROJECTMGR", kHostProjectManager},
};

}  // namespace

std::string IdentifyHost(std::string_view executablePath) {
  const std::string upper = ToUpper(executablePath);
  const std::size_t slash = upper.find_last_of("/\\");
  const std::string_view fileName = slash == std::string::npos
                                        ? std::string_view(upper)
                                        : std::string_view(upper).substr(slash + 1);
  for (const KnownHost& host : kKnownHosts) {
    if (upper.find(host.windowsName) != std::string::npos || fileName == host.fileName) {
      return host.hostName;
    }
  }
  return kHostModule;
}

}  // namespace qx
