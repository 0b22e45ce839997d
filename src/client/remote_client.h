// remote_client.h - commands to other stations' servers, to this station, or to the group.
//
// The receiver comes from the message itself ("Receiver", else "HOST"); ".", "LOCAL", "THIS"
// and the computer's name are this station and are served in-process by the local request
// handler that the server installs, for the station given; "*" is the multicast group, reached
// through the station's multicast component. Synchronous commands run on the caller's thread;
// "ASYNCHRON" YES or TRUE runs the command on a worker thread that the module owns
// (async_commands.h: the server's stop, the module's unload and the process's exit wait for it).
// Any thread may call.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "client/async_commands.h"
#include "common/answer.h"
#include "common/hresult.h"
#include "platform/host_platform.h"
#include "station/station.h"
#include "xml/xml_element.h"

namespace qx {

HRESULT doRemoteCommand(Station& station, std::string_view message, AnswerText* answer);
HRESULT DiscoverCommand(Station& station, std::string_view message, AnswerText* answer);
// The RPC call of a command for station: the client names this computer by the station's host
// platform and keeps its connection in the station's pool. An asynchronous command's worker
// uses station until it ends, so station outlives the module's asynchronous commands.
HRESULT doRPCCommand(Station& station, std::string_view service, std::string_view receiver,
                     std::string_view message, AnswerText* answer);
HRESULT StartAsyncCommand(Station& station, std::string_view service, std::string_view receiver,
                          std::string_view message);
// True when name is ".", "LOCAL", "THIS" or the computer's name as platform gives it.
bool IsLocalHost(std::string_view name, HostPlatform& platform);

// Answers a request addressed to this station itself. The server's answerer is handed in when
// the station's layers are connected; without one a local request fails with E_FAIL.
using LocalRequestHandler = HRESULT (*)(Station& station, const CXmlElement& request,
                                        AnswerText* answer);
void SetLocalRequestHandler(LocalRequestHandler handler);
// ".", "LOCAL" and "THIS" become the computer's name as platform gives it; other names stay.
void ResolveLocalHost(std::string* name, HostPlatform& platform);

// Longest receiver of an asynchronous command, in UTF-16 characters; a longer one is refused
// (E_INVALIDARG) rather than cut into another station's name.
inline constexpr std::size_t kMaxAsyncReceiverUnits = 255;

}  // namespace qx
