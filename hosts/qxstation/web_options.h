// web_options.h - WebOptions, how "qxstation web" listens and whom it lets in.
//
// The web view listens on 127.0.0.1 by default. Any other address carries the plant's tree to
// the network, so it needs TLS (a certificate and its key) and a login (a password file or a
// bearer token file); CheckWebOptions refuses such a command line otherwise, saying what is
// missing. ParseListen reads --listen ADDR:PORT (or ADDR alone, or :PORT). Values; any thread.
//
//   WebOptions options;
//   if (std::optional<std::string> refusal = CheckWebOptions(options)) ...
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qxstation {

inline constexpr std::uint16_t kDefaultWebPort = 8470;

struct WebOptions {
  std::string address = "127.0.0.1";
  std::uint16_t port = kDefaultWebPort;
  std::string certFile, keyFile;  // TLS: both or neither
  std::string passwordFile;       // lines "USER:pbkdf2-sha256$ITERATIONS$SALT$HASH"
  std::string tokenFile;          // one bearer token
  std::string root;               // the page's files; empty: found beside the program
  bool tls() const { return !certFile.empty() || !keyFile.empty(); }
  bool login() const { return !passwordFile.empty() || !tokenFile.empty(); }
};

// "ADDR:PORT", "ADDR" or ":PORT" into options (IPv4 dotted address, port 1-65535); false and
// the reason otherwise.
bool ParseListen(std::string_view text, WebOptions* options, std::string* error);

// Whether the address is one of 127.0.0.0/8.
bool IsLoopbackAddress(std::string_view address);

// Why the options cannot be served, or nullopt when they can.
std::optional<std::string> CheckWebOptions(const WebOptions& options);

}  // namespace qxstation
