// multicast_settings.h - the station's multicast settings, read from the registry and the
// settings file (Group, Port, Interface, Interfaces, UnicastAddress and TTL are root's alone:
// protected_settings.h).
//
// Key HKEY_LOCAL_MACHINE\SOFTWARE\TOLVAR\NORVANE\MULTICAST, values (each optional):
//   Group (SZ, default 239.255.47.81), Port (DWORD, 24780), Interface (SZ, 127.0.0.1),
//   TTL (DWORD, 0 in local mode, 1 in network mode), UnicastAddress (SZ, default the RPC
//   ListenAddress, or Interface when that listens on every address), DatagramBytes (DWORD, 0 =
//   chosen by the interface), ReceiveBufferBytes (DWORD, 32 MiB), MaxMessageBytes (DWORD, 1 MiB),
//   IncompleteExpiryMs (DWORD, 2000), QueueDatagrams (DWORD, 16384), Interfaces (MULTI_SZ,
//   network mode only: interface names, name* patterns or IPv4 CIDR blocks; absent or empty:
//   every interface that is up, not loopback, link-local or a container's or VM's bridge).
// Defaults apply only to absent values: a value of another type, out of range, or a registry
// that cannot be read fails the read (the agent does not serve on settings it cannot read).
// Interfaces is the exception: a list that cannot be read (wrong type, an item that is no
// pattern, damaged) selects no interface and says why in interfacesError; the agent starts,
// announces nowhere and reports it.
// Any thread may call.
//
//   MulticastSettings settings;
//   if (!ReadMulticastSettings(ReadRpcSettings().listenAddress, &settings, &error)) ... refuse ...
#pragma once

#include <string>
#include <string_view>

#include "messaging/multicast_transport.h"

namespace qx {

inline constexpr const char* kMulticastKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\MULTICAST";

// True with *settings filled and checked (CheckMulticastSettings); false with *error naming the
// value that is wrong. rpcListenAddress is the station's RPC ListenAddress (rpc/rpc_settings.h),
// which UnicastAddress defaults to.
bool ReadMulticastSettings(std::string_view rpcListenAddress, MulticastSettings* settings,
                           std::string* error);

// One DWORD value of the MULTICAST key, for the layers above that keep settings of their own
// there: absent leaves *out as it is; true when it is absent or within minimum..maximum, false
// with *error naming it when it is of another type, out of range or cannot be read.
bool ReadMulticastNumber(std::string_view name, std::uint32_t minimum, std::uint32_t maximum,
                         std::uint32_t* out, std::string* error);

}  // namespace qx
