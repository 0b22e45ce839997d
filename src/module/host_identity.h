// host_identity.h - which host process has loaded the module, from its executable's path.
//
// The upper-cased path is searched for the agent's name first, then the project manager's:
//   IdentifyHost("/usr/sbin/qxagent")          -> "QXAgent.exe"
//   IdentifyHost("C:\\QX\\QXProjectMgr.exe")   -> "QXProjectMgr.exe"
//   IdentifyHost("/usr/bin/python3")           -> "QXRemoteServer.dll"
// Pure; any thread may call.
#pragma once

#include <string>
#include <string_view>

namespace qx {

inline constexpr const char* kHostAgent = "QXAgent.exe";
inline constexpr const char* kHostProjectManager = "QXProjectMgr.exe";
inline constexpr const char* kHostModule = "QXRemoteServer.dll";

// The host name given to the diagnostics library: kHostAgent when the upper-cased path holds
// "QXAGENT.EXE" or the file is named "qxagent" (any case), else kHostProjectManager for
// "QXPROJECTMGR.EXE" or "qxprojectmgr", else kHostModule.
std::string IdentifyHost(std::string_view executablePath);

}  // namespace qx
