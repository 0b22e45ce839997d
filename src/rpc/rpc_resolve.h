// rpc_resolve.h - where a client's call goes: the RPC settings and service ports as clients
// read them, and the address of a station by its name. Used by the RPC client and by the
// processes that must find a station as the client would (the agent's unicast sends).
// The caches are process-wide, safe from any thread, and never destroyed.
#pragma once

#include <asio/ip/address_v4.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/host_platform.h"
#include "rpc/rpc_settings.h"

namespace qx {

using RpcClock = std::chrono::steady_clock;

// Settings read for clients, at most once a second (ClearRpcClientCaches forgets them).
RpcSettings CachedRpcSettings();
std::optional<std::uint16_t> CachedServicePort(std::string_view serviceGuid);
// The address of a station: an IPv4 text, this computer's name as platform gives it (the
// listen address), the registry's hosts table, the system resolver (IPv4 only), in that order.
// Cached like the settings. The system resolver's answer is waited for until the deadline only.
std::optional<asio::ip::address_v4> ResolveStationAddress(std::string_view host,
                                                          const RpcSettings& settings,
                                                          RpcClock::time_point deadline,
                                                          HostPlatform& platform);
void ClearRpcClientCaches();

}  // namespace qx
