// station_wiring.cpp - ConnectStationLayers.
#include "module/station_wiring.h"

#include <mutex>

#include "client/remote_client.h"
#include "discovery/project_watch.h"
#include "keys/cluster_keys.h"
#include "module/module_root.h"
#include "platform/environment.h"
#include "platform/host_platform.h"
#include "registry/registry_projects.h"
#include "registry/store/settings.h"
#include "rpc/rpc_settings.h"
#include "rpc/rpc_tls.h"
#include "server/answer_request.h"

namespace qx {

void ConnectStationLayers() {
  static std::once_flag once;
  std::call_once(once, [] {
    SetHostSettingSource(&PlatformSettingValue);
    SetLocalCallTimeoutSource(&RpcCallTimeoutMs);
    SetKeyRingProblemSink(&TraceKeyRingProblem);
    SetLocalRequestHandler(&AnswerLocalRequest);
    SetProjectRemovalListener(&ModuleRemovalSender());
  });
}

}  // namespace qx
