// web_options.cpp - the web view's listening address and the checks of its security.
#include "web_options.h"

#include <arpa/inet.h>

#include <charconv>

namespace qxstation {

bool ParseListen(std::string_view text, WebOptions* options, std::string* error) {
  std::string_view address = text;
  std::optional<std::uint16_t> port;
  if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    address = text.substr(0, colon);
    const std::string_view digits = text.substr(colon + 1);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || value == 0 ||
        value > 65535) {
      *error = "the port of --listen must be a number from 1 to 65535";
      return false;
    }
    port = static_cast<std::uint16_t>(value);
  }
  if (!address.empty()) {
    in_addr parsed{};
    const std::string copy(address);
    if (inet_pton(AF_INET, copy.c_str(), &parsed) != 1) {
      *error = "the address of --listen must be an IPv4 address such as 127.0.0.1 or 0.0.0.0";
      return false;
    }
    options->address = copy;
  }
  if (port) options->port = *port;
  return true;
}

bool IsLoopbackAddress(std::string_view address) {
  in_addr parsed{};
  const std::string copy(address);
  return inet_pton(AF_INET, copy.c_str(), &parsed) == 1 && (ntohl(parsed.s_addr) >> 24) == 127;
}

std::optional<std::string> CheckWebOptions(const WebOptions& options) {
  if (options.certFile.empty() != options.keyFile.empty()) {
    return std::string("TLS needs both --cert and --key");
  }
  if (IsLoopbackAddress(options.address)) return std::nullopt;
  std::string missing;
  if (!options.tls()) missing = "TLS (--cert FILE --key FILE)";
  if (!options.login()) {
    missing += (missing.empty() ? "" : " and ");
    missing += "a login (--password-file FILE or --token-file FILE)";
  }
  if (missing.empty()) return std::nullopt;
  return "listening on " + options.address +
         " would show the plant to the network: another address than 127.0.0.0/8 needs " + missing;
}

}  // namespace qxstation
