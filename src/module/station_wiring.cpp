// station_wiring.cpp - ConnectStationLayers.
#include "module/station_wiring.h"

#include <mutex>

#include "client/remote_client.h"
#include "discovery/project_watch.h"
#include "registry/registry_projects.h"
#include "server/answer_request.h"

namespace qx {

void ConnectStationLayers() {
  static std::once_flag once;
  std::call_once(once, [] {
    SetLocalRequestHandler(&AnswerLocalRequest);
    SetProjectRemovalListener(&ProjectRemovalSender());
  });
}

}  // namespace qx
