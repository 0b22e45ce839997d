// remote_client.h - commands to other stations' servers, to this station, or to the group.
//
// The receiver comes from the message itself ("Receiver", else "HOST"); ".", "LOCAL", "THIS"
// and the computer's name are this station and are served by AnswerRemoteRequest in-process;
// "*" is the multicast group. Synchronous commands run on the caller's thread; "ASYNCHRON" YES
// or TRUE runs the command on a detached worker thread. Any thread may call.
#pragma once

#include <string>
#include <string_view>

#include "common/answer.h"
#include "common/hresult.h"

namespace qx {

HRESULT doRemoteCommand(std::string_view message, AnswerText* answer);
HRESULT DiscoverCommand(std::string_view message, AnswerText* answer);
HRESULT doRPCCommand(std::string_view service, std::string_view receiver,
                     std::string_view message, AnswerText* answer);
HRESULT StartAsyncCommand(std::string_view service, std::string_view receiver,
                          std::string_view message);
bool IsLocalHost(std::string_view name);
// ".", "LOCAL" and "THIS" become the computer's name; other names stay.
void ResolveLocalHost(std::string* name);

}  // namespace qx
