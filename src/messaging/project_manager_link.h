// project_manager_link.h - the project manager's request object, over a Unix socket.
//
// qxprojectmgr listens on "projectmgr.sock" in the runtime directory. "The project manager
// runs" means that socket accepts a connection. HandleRequest sends one request text and reads
// one answer (with the project manager's HRESULT). Any thread may call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/answer.h"
#include "common/hresult.h"

namespace qx {

std::string ProjectManagerSocketPath();
bool ProjectManagerSocketAccepts();
// E_FAIL when the project manager does not answer.
HRESULT ProjectManagerHandleRequest(std::string_view request, AnswerText* answer);
// The same with an explicit call timeout instead of LocalCallTimeout().
HRESULT ProjectManagerHandleRequest(std::string_view request, AnswerText* answer,
                                    std::uint32_t callTimeoutMs);
// The same for a request that another station sent and this one forwards: it has no local
// caller, so the serving side's ProjectManagerPeerUid() is nullopt for it (the forwarding
// process's own credentials never stand for a remote caller).
HRESULT ProjectManagerForwardRequest(std::string_view request, AnswerText* answer);
// Longest request or answer text that either side sends or accepts.
inline constexpr std::uint32_t kMaxProjectManagerMessage = 16u << 20;

// The serving side, used by qxprojectmgr: each request is handed to the handler on a thread
// of the listener; Stop waits for the handlers to end.
using ProjectManagerHandler =
    std::function<HRESULT(const std::string& request, AnswerText* answer)>;
class ProjectManagerListener {
 public:
  virtual ~ProjectManagerListener() = default;
  virtual void Stop() = 0;
};
std::unique_ptr<ProjectManagerListener> StartProjectManagerListener(ProjectManagerHandler handler,
                                                                    std::string* error);
// Inside a handler: the user id of the process that sent the request; nullopt for a request
// forwarded on behalf of another station, and outside a handler.
std::optional<std::uint32_t> ProjectManagerPeerUid();

}  // namespace qx
