// samba_shares.cpp - the local path of a share, from Samba's configuration file.
//
// Reads the file at each call (it is small, and an administrator may change it at any time).
// A share is a section "[name]" other than [global]; its path is the last "path" (or its
// synonym "directory") given in any section of that name, names compared ignoring case.
// Parameter names ignore case and blanks, as Samba reads them. Lines that begin with ';' or
// '#' are comments; a '#' later in a line belongs to the value, since paths may hold one.
// A line ending in '\' continues on the next. "include" lines are not followed. Substitutions
// such as %U are left in the path as written. Any thread may call.
#include <cctype>
#include <fstream>
#include <string_view>

#include "common/text.h"
#include "platform/host_platform.h"

namespace qx {
namespace {

constexpr const char* kSambaConfig = "/etc/samba/smb.conf";

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

// "Read Only" and "readonly" are one parameter to Samba.
std::string ParameterName(std::string_view text) {
  std::string name;
  for (char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) {
      name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  return name;
}

// The next logical line: physical lines joined where one ends in a backslash.
bool NextLine(std::istream& in, std::string* line) {
  line->clear();
  std::string part;
  bool any = false;
  while (std::getline(in, part)) {
    any = true;
    if (!part.empty() && part.back() == '\r') part.pop_back();
    if (!part.empty() && part.back() == '\\') {
      part.pop_back();
      *line += part;
      continue;
    }
    *line += part;
    return true;
  }
  return any;
}

}  // namespace

std::optional<std::string> ResolveSharePath(const std::string& share, const std::string& confPath) {
  std::string_view wanted = Trim(share);
  if (wanted.empty() || IEquals(wanted, "global")) return std::nullopt;
  std::ifstream in(confPath);
  if (!in) return std::nullopt;

  std::optional<std::string> path;
  bool inShare = false;
  std::string line;
  while (NextLine(in, &line)) {
    std::string_view text = Trim(line);
    if (text.empty() || text.front() == ';' || text.front() == '#') continue;
    if (text.front() == '[') {
      std::size_t close = text.find(']');
      std::string_view name =
          Trim(close == std::string_view::npos ? text.substr(1) : text.substr(1, close - 1));
      inShare = IEquals(name, wanted);
      continue;
    }
    if (!inShare) continue;
    std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    std::string parameter = ParameterName(text.substr(0, equals));
    if (parameter == "path" || parameter == "directory") {
      path = std::string(Trim(text.substr(equals + 1)));
    }
  }
  if (path && path->empty()) return std::nullopt;
  return path;
}

std::optional<std::string> ResolveSharePath(const std::string& share) {
  return ResolveSharePath(share, kSambaConfig);
}

}  // namespace qx
