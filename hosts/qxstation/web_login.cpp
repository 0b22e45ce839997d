// web_login.cpp - password and token checks of the web view.
#include "web_login.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <sys/stat.h>

#include <charconv>
#include <fstream>

namespace qxstation {
namespace {

WebLogin::Digest Sha256(std::string_view text) {
  WebLogin::Digest digest{};
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest.data());
  return digest;
}

std::optional<std::vector<unsigned char>> FromHex(std::string_view hex) {
  if (hex.empty() || hex.size() % 2 != 0 || hex.size() > 256) return std::nullopt;
  std::vector<unsigned char> bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(hex.data() + i, hex.data() + i + 2, value, 16);
    if (ec != std::errc() || end != hex.data() + i + 2) return std::nullopt;
    bytes.push_back(static_cast<unsigned char>(value));
  }
  return bytes;
}

std::string ToHex(const unsigned char* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < size; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
  }
  return hex;
}

std::optional<std::string> FromBase64(std::string_view text) {
  std::string out;
  std::uint32_t bits = 0;
  int count = 0;
  std::size_t padding = 0;
  for (const char c : text) {
    int value = -1;
    if (c >= 'A' && c <= 'Z') value = c - 'A';
    if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
    if (c >= '0' && c <= '9') value = c - '0' + 52;
    if (c == '+') value = 62;
    if (c == '/') value = 63;
    if (c == '=') {
      ++padding;
      continue;
    }
    if (value < 0 || padding > 0) return std::nullopt;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xff);
    }
  }
  if (padding > 2) return std::nullopt;
  return out;
}

bool Pbkdf2(std::string_view password, const std::vector<unsigned char>& salt,
            std::uint32_t iterations, unsigned char* out, std::size_t size) {
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                           static_cast<int>(salt.size()), static_cast<int>(iterations),
                           EVP_sha256(), static_cast<int>(size), out) == 1;
}

// The file's text, bounded; nullopt and the reason when it cannot be read or is too large.
std::optional<std::string> ReadSmallFile(const std::string& path, bool privateOnly,
                                         std::string* error) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = path + " cannot be read (no such file)";
    return std::nullopt;
  }
  if (privateOnly && (info.st_mode & S_IROTH) != 0) {
    *error = path + " can be read by every user; chmod o-rwx it";
    return std::nullopt;
  }
  if (static_cast<std::size_t>(info.st_size) > kMaxLoginFileBytes) {
    *error = path + " is larger than 64 KiB";
    return std::nullopt;
  }
  std::ifstream file(path, std::ios::binary);
  std::string text(kMaxLoginFileBytes + 1, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (file.bad()) {
    *error = path + " cannot be read";
    return std::nullopt;
  }
  text.resize(static_cast<std::size_t>(file.gcount()));
  if (text.size() > kMaxLoginFileBytes) {
    *error = path + " is larger than 64 KiB";
    return std::nullopt;
  }
  return text;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  return text;
}

}  // namespace

bool WebLogin::ParsePasswords(std::string_view text, std::string* error) {
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = Trimmed(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (line.empty() || line.front() == '#') continue;
    const auto bad = [&](const char* why) {
      *error = "line " + std::to_string(number) + " of the password file " + why +
               " (want USER:pbkdf2-sha256$ITERATIONS$SALT_HEX$HASH_HEX; qxstation web "
               "--make-password USER writes one)";
      return false;
    };
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) return bad("has no user");
    User user;
    user.name = std::string(line.substr(0, colon));
    std::string_view rest = line.substr(colon + 1);
    constexpr std::string_view kScheme = "pbkdf2-sha256$";
    if (rest.substr(0, kScheme.size()) != kScheme) return bad("is not a pbkdf2-sha256 hash");
    rest.remove_prefix(kScheme.size());
    const std::size_t first = rest.find('$');
    const std::size_t second = first == std::string_view::npos ? first : rest.find('$', first + 1);
    if (second == std::string_view::npos) return bad("lacks a part");
    const std::string_view iterations = rest.substr(0, first);
    const auto [end2, ec] =
        std::from_chars(iterations.data(), iterations.data() + iterations.size(), user.iterations);
    if (ec != std::errc() || end2 != iterations.data() + iterations.size() ||
        user.iterations < kMinPasswordIterations || user.iterations > kMaxPasswordIterations) {
      return bad("has an iteration count outside 1000-5000000");
    }
    const auto salt = FromHex(rest.substr(first + 1, second - first - 1));
    const auto hash = FromHex(rest.substr(second + 1));
    if (!salt || !hash || salt->size() < 8 || hash->size() != 32)
      return bad("has a salt or hash that is not hex");
    user.salt = *salt;
    user.hash = *hash;
    users_.push_back(std::move(user));
  }
  return true;
}

void WebLogin::SetToken(std::string_view token) { token_ = Sha256(token); }

bool WebLogin::Load(const std::string& passwordFile, const std::string& tokenFile,
                    std::string* error) {
  if (!passwordFile.empty()) {
    const std::optional<std::string> text = ReadSmallFile(passwordFile, false, error);
    if (!text || !ParsePasswords(*text, error)) return false;
    if (users_.empty()) {
      *error = "the password file " + passwordFile + " holds no user";
      return false;
    }
  }
  if (!tokenFile.empty()) {
    const std::optional<std::string> text = ReadSmallFile(tokenFile, true, error);
    if (!text) return false;
    const std::string_view token = Trimmed(std::string_view(*text).substr(0, text->find('\n')));
    if (token.size() < 16) {
      *error = "the token in " + tokenFile + " is shorter than 16 characters";
      return false;
    }
    SetToken(token);
  }
  return true;
}

bool WebLogin::CheckBasic(std::string_view credentials) const {
  const std::optional<std::string> decoded = FromBase64(credentials);
  if (!decoded) return false;
  const std::size_t colon = decoded->find(':');
  if (colon == std::string::npos) return false;
  const std::string_view name = std::string_view(*decoded).substr(0, colon);
  const std::string_view password = std::string_view(*decoded).substr(colon + 1);
  for (const User& user : users_) {
    if (user.name != name) continue;
    std::array<unsigned char, 32> hash{};
    return Pbkdf2(password, user.salt, user.iterations, hash.data(), hash.size()) &&
           CRYPTO_memcmp(hash.data(), user.hash.data(), hash.size()) == 0;
  }
  return false;
}

bool WebLogin::Allows(std::string_view authorization) {
  if (!required()) return true;
  constexpr std::string_view kBearer = "Bearer ";
  constexpr std::string_view kBasic = "Basic ";
  if (token_ && authorization.substr(0, kBearer.size()) == kBearer) {
    const Digest digest = Sha256(Trimmed(authorization.substr(kBearer.size())));
    return CRYPTO_memcmp(digest.data(), token_->data(), digest.size()) == 0;
  }
  if (users_.empty() || authorization.substr(0, kBasic.size()) != kBasic) return false;
  const Digest key = Sha256(authorization);
  {
    qx::MutexLock lock(&mutex_);
    if (remembered_.count(key) != 0) return true;
  }
  if (!CheckBasic(Trimmed(authorization.substr(kBasic.size())))) return false;
  qx::MutexLock lock(&mutex_);
  if (remembered_.size() >= kRememberedLogins) remembered_.clear();
  remembered_.insert(key);
  return true;
}

std::optional<std::string> WebLogin::MakePasswordLine(std::string_view user,
                                                      std::string_view password,
                                                      std::uint32_t iterations) {
  if (user.empty() || user.find_first_of(":\n\r") != std::string_view::npos) return std::nullopt;
  std::vector<unsigned char> salt(16);
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) return std::nullopt;
  std::array<unsigned char, 32> hash{};
  if (!Pbkdf2(password, salt, iterations, hash.data(), hash.size())) return std::nullopt;
  return std::string(user) + ":pbkdf2-sha256$" + std::to_string(iterations) + "$" +
         ToHex(salt.data(), salt.size()) + "$" + ToHex(hash.data(), hash.size());
}

}  // namespace qxstation
