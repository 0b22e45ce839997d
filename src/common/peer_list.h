// peer_list.h - a list of peers as the registry holds it: IPv4 addresses or DNS host names, the
// items of a REG_MULTI_SZ or one REG_SZ with the items separated by commas, semicolons or white
// space. The multicast transport's peers (messaging/multicast_peers.h) and the check of a value
// written into the registry (registry/store/known_settings.h) both read a list through it.
// Pure functions; any thread may call.
//
//   std::vector<std::string> peers;
//   if (!ParsePeerList({"10.1.0.7, relay-b"}, &peers, &error)) ... refuse ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qx {

inline constexpr std::size_t kMaxPeers = 64;
inline constexpr std::size_t kMaxPeerNameBytes = 253;

// The peers of items (each may hold several), without repeats (names compare ignoring case).
// False, with *peers untouched and *error (may be null) naming the first item that is no IPv4
// address or host name, or when there are more than kMaxPeers.
bool ParsePeerList(const std::vector<std::string>& items, std::vector<std::string>* peers,
                   std::string* error);

// The address (host order) of a peer given as a dotted IPv4 text; nothing for a name.
std::optional<std::uint32_t> PeerIpv4(const std::string& text);

}  // namespace qx
