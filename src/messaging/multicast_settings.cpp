// multicast_settings.cpp - reader of the MULTICAST key (see multicast_settings.h).
#include "messaging/multicast_settings.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "messaging/multicast_peers.h"
#include "platform/network_interfaces.h"

#include "registry/store/protected_settings.h"
#include "registry/store/registry_store.h"

namespace qx {
namespace {

class Reader {
 public:
  explicit Reader(std::string* error) : error_(error) {}

  bool Text(std::string_view name, std::string* out) {
    std::optional<RegValue> value;
    if (!Get(name, RegType::kSz, &value)) return false;
    if (!value) return true;
    if (value->type != RegType::kSz || value->text.empty()) {
      return Wrong(name, "is not a non-empty REG_SZ");
    }
    *out = value->text;
    return true;
  }

  // A MULTI_SZ list; absent leaves *out empty. False with *why for any other type, an item that
  // is no interface pattern, or more than kMaxPatterns items.
  bool Patterns(std::string_view name, std::vector<std::string>* out, std::string* why) {
    std::optional<RegValue> value;
    if (!Get(name, RegType::kMultiSz, &value, why)) return false;
    if (!value) return true;
    if (value->type != RegType::kMultiSz) {
      *why = std::string(kMulticastKey) + "\\" + std::string(name) + " is not a REG_MULTI_SZ";
      return false;
    }
    if (value->texts.size() > kMaxPatterns) {
      *why = std::string(kMulticastKey) + "\\" + std::string(name) + " holds more than " +
             std::to_string(kMaxPatterns) + " items";
      return false;
    }
    std::vector<std::string> patterns;
    for (const std::string& item : value->texts) {
      if (item.empty()) continue;
      if (!IsInterfacePattern(item)) {
        *why = std::string(kMulticastKey) + "\\" + std::string(name) + " item \"" +
               item.substr(0, 64) + "\" is no interface name, name* or IPv4 CIDR block";
        return false;
      }
      patterns.push_back(item);
    }
    *out = std::move(patterns);
    return true;
  }

  // The peers (multicast_peers.h): a REG_MULTI_SZ, or a REG_SZ of separated items; absent
  // leaves *out empty. An item that is no peer fails the read: the station does not guess
  // where its datagrams go.
  bool Peers(std::string_view name, std::vector<std::string>* out) {
    std::optional<RegValue> value;
    if (!Get(name, RegType::kMultiSz, &value)) return false;
    if (!value) return true;
    std::vector<std::string> items;
    if (value->type == RegType::kMultiSz) {
      items = value->texts;
    } else if (value->type == RegType::kSz) {
      items.push_back(value->text);
    } else {
      return Wrong(name, "is not a REG_MULTI_SZ or REG_SZ");
    }
    std::string why;
    if (!ParsePeerList(items, out, &why)) return Wrong(name, why);
    return true;
  }

  bool Number(std::string_view name, std::uint32_t minimum, std::uint32_t maximum,
              std::uint32_t* out) {
    std::optional<RegValue> value;
    if (!Get(name, RegType::kDword, &value)) return false;
    if (!value) return true;
    if (value->type != RegType::kDword) return Wrong(name, "is not a REG_DWORD");
    if (value->dword < minimum || value->dword > maximum) {
      return Wrong(name, "is outside " + std::to_string(minimum) + ".." + std::to_string(maximum));
    }
    *out = value->dword;
    return true;
  }

 private:
  // The value in effect (protected_settings.h). A failure is described in *error, or the
  // reader's error when that is null.
  bool Get(std::string_view name, RegType asked, std::optional<RegValue>* out,
           std::string* error = nullptr) {
    SettingRead read = ReadSetting(kMulticastKey, name, asked);
    if (read.status == RegStatus::kNotFound) return true;
    if (read.status != RegStatus::kOk) {
      *(error != nullptr ? error : error_) =
          "setting " + std::string(kMulticastKey) + "\\" + std::string(name) +
          " cannot be read (error " + std::to_string(RegStatusCode(read.status)) + ")" +
          (read.detail.empty() ? std::string() : ": " + read.detail);
      return false;
    }
    *out = std::move(read.value);
    return true;
  }
  bool Wrong(std::string_view name, const std::string& why) {
    *error_ = std::string(kMulticastKey) + "\\" + std::string(name) + " " + why;
    return false;
  }

  static constexpr std::size_t kMaxPatterns = 64;
  std::string* const error_;
};

}  // namespace

bool ReadMulticastNumber(std::string_view name, std::uint32_t minimum, std::uint32_t maximum,
                         std::uint32_t* out, std::string* error) {
  std::string ignored;
  Reader reader(error != nullptr ? error : &ignored);
  return reader.Number(name, minimum, maximum, out);
}

bool ReadMulticastSettings(std::string_view rpcListenAddress, MulticastSettings* settings,
                           std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  MulticastSettings read;
  Reader reader(error);
  std::uint32_t port = read.port;
  // TTL 0 would keep a network-mode station's datagrams on its own machine: absent, the TTL is
  // 0 in local mode and 1 (the link) in network mode.
  constexpr std::uint32_t kUnset = 0xFFFFFFFFu;
  std::uint32_t ttl = kUnset;
  std::uint32_t relay = 0;
  if (!reader.Text("Group", &read.group) || !reader.Number("Port", 1, 65535, &port) ||
      !reader.Text("Interface", &read.interfaceAddress) || !reader.Number("TTL", 0, 255, &ttl) ||
      !reader.Number("DatagramBytes", 0, 65507, &read.datagramBytes) ||
      !reader.Number("ReceiveBufferBytes", 65536, 1u << 30, &read.receiveBufferBytes) ||
      !reader.Number("MaxMessageBytes", 1, 64u << 20, &read.maxMessageBytes) ||
      !reader.Number("IncompleteExpiryMs", 10, 600000, &read.incompleteExpiryMs) ||
      !reader.Number("QueueDatagrams", 1, 1u << 20, &read.queueDatagrams) ||
      !reader.Number("PeersResolveMs", 1000, 86400000, &read.peersResolveMs) ||
      !reader.Number("Relay", 0, 1, &relay) || !reader.Peers("Peers", &read.peers)) {
    return false;
  }
  read.relay = relay != 0;
  read.port = static_cast<std::uint16_t>(port);
  read.ttl = ttl != kUnset ? ttl : IsLocalMulticastMode(read) ? 0 : 1;
  // The interfaces to announce on: a list that cannot be read selects none (the owner reports
  // interfacesError), rather than every interface.
  if (!reader.Patterns("Interfaces", &read.interfaces, &read.interfacesError)) {
    read.interfaces.clear();
  }
  // The station's own address: its RPC listen address, unless the registry names another.
  read.unicastAddress =
      rpcListenAddress == "0.0.0.0" ? read.interfaceAddress : std::string(rpcListenAddress);
  if (!reader.Text("UnicastAddress", &read.unicastAddress)) return false;
  if (!CheckMulticastSettings(read, error)) {
    *error = std::string(kMulticastKey) + ": " + *error;
    return false;
  }
  *settings = std::move(read);
  return true;
}

}  // namespace qx
