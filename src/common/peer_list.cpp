// peer_list.cpp - parsing a list of peers (see peer_list.h).
#include "common/peer_list.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <utility>

#include "common/text.h"

namespace qx {
namespace {

// A DNS host name: labels of letters, digits and '-', neither starting nor ending with '-', at
// most 63 bytes each, 253 in all; a name of digits and dots only must be an IPv4 address.
bool IsHostName(std::string_view name) {
  if (name.empty() || name.size() > kMaxPeerNameBytes) return false;
  bool onlyDigits = true;
  std::size_t label = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '.') {
      if (label == 0 || name[i - 1] == '-') return false;
      label = 0;
      continue;
    }
    const bool letter = std::isalpha(static_cast<unsigned char>(c)) != 0;
    const bool digit = std::isdigit(static_cast<unsigned char>(c)) != 0;
    if (!letter && !digit && c != '-') return false;
    if (c == '-' && label == 0) return false;
    onlyDigits = onlyDigits && digit;
    if (++label > 63) return false;
  }
  return label > 0 && name.back() != '-' && !onlyDigits;
}

bool IsSeparator(char c) {
  return c == ',' || c == ';' || std::isspace(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

std::optional<std::uint32_t> PeerIpv4(const std::string& text) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return std::nullopt;
  return ntohl(parsed.s_addr);
}

bool ParsePeerList(const std::vector<std::string>& items, std::vector<std::string>* peers,
                   std::string* error) {
  std::vector<std::string> parsed;
  for (const std::string& item : items) {
    std::size_t at = 0;
    while (at < item.size()) {
      if (IsSeparator(item[at])) {
        ++at;
        continue;
      }
      std::size_t end = at;
      while (end < item.size() && !IsSeparator(item[end])) ++end;
      std::string peer = item.substr(at, end - at);
      at = end;
      if (!PeerIpv4(peer) && !IsHostName(peer)) {
        if (error != nullptr) {
          *error = "peer \"" + CutToUnits(peer, 64) + "\" is no IPv4 address or host name";
        }
        return false;
      }
      const bool known = std::any_of(parsed.begin(), parsed.end(), [&peer](const std::string& one) {
        return IEquals(one, peer);
      });
      if (known) continue;
      if (parsed.size() == kMaxPeers) {
        if (error != nullptr) {
          *error = "more than " + std::to_string(kMaxPeers) + " peers";
        }
        return false;
      }
      parsed.push_back(std::move(peer));
    }
  }
  *peers = std::move(parsed);
  return true;
}

}  // namespace qx
