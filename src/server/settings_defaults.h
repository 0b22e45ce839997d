// settings_defaults.h - the default of each known setting, as the settings file would write it,
// taken from the layer that owns the setting.
//
// The store's table of known settings (registry/store/known_settings.h) holds names, types and
// forms only, since the store lies below the layers whose settings it lists. The server is the
// lowest layer that sees every owner: rpc/rpc_settings.h (RPC, RPC\PORTS), path_settings.h
// (SECURITY), the multicast settings' struct (MULTICAST), the project watch (STORAGE) and the
// audit trail (AUDIT). The diagnosis library lies beside the module, out of reach, so its four
// defaults are written here as it reads them. qxstation config shows these. Pure functions; any thread may call.
//
//   const KnownSetting* known = FindKnownSetting(kRpcKey, "CallTimeoutMs");
//   std::string text = KnownSettingDefault(*known);  // "30000"
#pragma once

#include <string>

#include "registry/store/known_settings.h"

namespace qx {

// The default's text; empty when the station decides (the host name, every interface, ...).
std::string KnownSettingDefault(const KnownSetting& setting);

}  // namespace qx
