// module_calls.h - the calls of qxstation into the module's C interface, in UTF-8.
//
// Each call converts its texts to UTF-16, calls the export, takes the answer BSTR (freeing it)
// and hands back the HRESULT and the answer as UTF-8. Any thread may call.
//
//   ModuleAnswer a = CallRemoteCommand("<Test><Receiver>STATIONB</Receiver></Test>");
//   if (a.hr >= 0 && a.text) std::cout << *a.text;
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "qxremoteserver.h"

namespace qxstation {

struct ModuleAnswer {
  HRESULT hr = 0;
  std::optional<std::string> text;  // none when the module wrote no answer
};

ModuleAnswer CallRemoteCommand(std::string_view command);
ModuleAnswer CallStateOfMachine(std::string_view host);
// A discovery command (DiscoverCommand): without a receiver it is a local command of this
// station's discovery service, answered by the agent through its multicast component.
ModuleAnswer CallDiscoverCommand(std::string_view command);
std::int32_t CallRemoteCopyFile(std::string_view request, QXProgressCallback progress);
// A local command (TalkByString) on a server of this process started under a service name of
// no role, stopped again afterwards. Nullopt when no such server could be started.
std::optional<ModuleAnswer> CallLocalCommand(std::string_view command);

// "0x80004005 (E_FAIL)" for the codes the module uses, "0x........" for others.
std::string DescribeHresult(HRESULT hr);
// "E_FAIL" for the codes the module uses, "0x........" for others.
std::string HresultName(HRESULT hr);

// REGDB_E_CLASSNOTREG: the station's agent (its multicast component) does not run.
inline constexpr HRESULT kNoAgent = static_cast<HRESULT>(0x80040154u);
inline constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005u);
// The other station and this one could not prove a shared cluster key to each other.
inline constexpr HRESULT kAuthenticationFailed = static_cast<HRESULT>(0x80070721u);

}  // namespace qxstation
