// path_policy.cpp - judging paths against the library directories and the file roots.
//
// Paths compare component-wise on their normal forms: "/srv/a" contains "/srv/a/b" but not
// "/srv/ab". No operation throws for a file system failure; such a path is simply not found.
#include "server/path_policy.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include "common/text.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

// The lexical normal form without a trailing separator ("/" stays "/").
std::string NormalText(const fs::path& path) {
  std::string text = path.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

bool IsBelow(const std::string& path, const std::string& root) {
  if (root == "/") return !path.empty() && path.front() == '/';
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

std::optional<std::string> RealPath(const fs::path& path) {
  std::error_code error;
  fs::path real = fs::canonical(path, error);
  if (error) return std::nullopt;
  return NormalText(real);
}

struct Root {
  std::string lexical;
  std::optional<std::string> real;
};

std::vector<Root> NormalRoots(const std::vector<std::string>& roots) {
  std::vector<Root> result;
  for (const std::string& root : roots) {
    if (root.empty() || root.front() != '/') continue;
    result.push_back({NormalText(root), RealPath(root)});
  }
  return result;
}

bool IsRegularFile(const std::string& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

bool EndsWithDll(std::string_view name) {
  return name.size() > 4 && IEquals(name.substr(name.size() - 4), ".dll");
}

}  // namespace

PathVerdict ResolveBelowRoots(std::string_view path, const std::vector<std::string>& roots) {
  if (path.empty() || path.front() != '/') return {};
  const std::string lexical = NormalText(fs::path(path));
  const std::vector<Root> normalRoots = NormalRoots(roots);

  bool lexicallyInside = false;
  for (const Root& root : normalRoots) {
    if (IsBelow(lexical, root.lexical) || (root.real && IsBelow(lexical, *root.real))) {
      lexicallyInside = true;
      break;
    }
  }
  if (!lexicallyInside) return {};

  std::optional<std::string> real = RealPath(lexical);
  if (!real) return {PathKind::kMissing, lexical};
  for (const Root& root : normalRoots) {
    if (root.real && IsBelow(*real, *root.real)) return {PathKind::kAllowed, *real};
  }
  return {};
}

PathVerdict ResolveLibrary(std::string_view name, const std::vector<std::string>& dirs) {
  if (name.empty()) return {};
  if (name.front() == '/') return ResolveBelowRoots(name, dirs);
  if (name.find_first_of("/\\") != std::string_view::npos || name == "." || name == "..") {
    return {};
  }

  const std::string bare(name);
  std::vector<std::string> candidates = {bare, "lib" + bare + ".so", bare + ".so"};
  if (EndsWithDll(name)) {
    const std::string stem(name.substr(0, name.size() - 4));
    candidates.push_back("lib" + stem + ".so");
    candidates.push_back(stem + ".so");
  }

  for (const Root& dir : NormalRoots(dirs)) {
    if (!dir.real) continue;
    for (const std::string& candidate : candidates) {
      std::optional<std::string> real = RealPath(fs::path(*dir.real) / candidate);
      if (real && IsBelow(*real, *dir.real) && IsRegularFile(*real)) {
        return {PathKind::kAllowed, *real};
      }
    }
  }
  return {PathKind::kMissing, bare};
}

}  // namespace qx
