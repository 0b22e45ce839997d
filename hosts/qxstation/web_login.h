// web_login.h - WebLogin, who may read the web view when it asks for a login.
//
// Two kinds of login, either or both: a password file of lines
// "USER:pbkdf2-sha256$ITERATIONS$SALT_HEX$HASH_HEX" (HTTP Basic: the browser asks for the
// password) and a token file holding one bearer token (Authorization: Bearer, for scrapers).
// A file that cannot be read, is too large, holds a line in another form, or (the token file)
// can be read by others, is refused: the web view does not start rather than run open. Hashes
// are compared in constant time; a Basic header that passed is remembered (its SHA-256, at
// most kRememberedLogins) so that PBKDF2 does not run for every request of a page.
// Load on one thread before serving; Allows from any thread.
//
//   WebLogin login;
//   if (!login.Load(options.passwordFile, options.tokenFile, &error)) ...
//   if (!login.Allows(request.get_header_value("Authorization"))) -> 401
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/mutex.h"

namespace qxstation {

inline constexpr std::size_t kMaxLoginFileBytes = 64 * 1024;
inline constexpr std::size_t kRememberedLogins = 64;
inline constexpr std::uint32_t kMinPasswordIterations = 1000;
inline constexpr std::uint32_t kMaxPasswordIterations = 5000000;
inline constexpr std::uint32_t kDefaultPasswordIterations = 200000;

class WebLogin {
 public:
  using Digest = std::array<unsigned char, 32>;

  // Reads the files that are named (empty: none). False and the reason when one is refused.
  bool Load(const std::string& passwordFile, const std::string& tokenFile, std::string* error);
  // Whether any login is asked for at all.
  bool required() const { return !users_.empty() || token_.has_value(); }
  // The request's Authorization header lets it in (always, when no login is asked for).
  bool Allows(std::string_view authorization) EXCLUDES(mutex_);

  // Reads the lines of a password file from text; false and the reason (with the line number)
  // for a line in another form.
  bool ParsePasswords(std::string_view text, std::string* error);
  void SetToken(std::string_view token);

  // A line of a password file for user and password, with a new random salt.
  static std::optional<std::string> MakePasswordLine(std::string_view user,
                                                     std::string_view password,
                                                     std::uint32_t iterations);

 private:
  struct User {
    std::string name;
    std::uint32_t iterations = 0;
    std::vector<unsigned char> salt, hash;
  };
  bool CheckBasic(std::string_view credentials) const;

  std::vector<User> users_;
  std::optional<Digest> token_;  // SHA-256 of the token
  qx::Mutex mutex_;
  std::set<Digest> remembered_ GUARDED_BY(mutex_);  // SHA-256 of Basic headers that passed
};

}  // namespace qxstation
