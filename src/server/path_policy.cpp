// path_policy.cpp - judging paths against the library directories and the file roots, and
// opening them beneath those.
//
// Paths compare component-wise on their normal forms: "/srv/a" contains "/srv/a/b" but not
// "/srv/ab". No operation throws for a file system failure; such a path is simply not opened.
#include "server/path_policy.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
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

// What follows root in path (IsBelow(path, root)), without a leading separator.
std::string_view Remainder(const std::string& path, const std::string& root) {
  std::string_view rest(path);
  rest.remove_prefix(root == "/" ? 1 : std::min(path.size(), root.size() + 1));
  return rest;
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

bool EndsWithDll(std::string_view name) {
  return name.size() > 4 && IEquals(name.substr(name.size() - 4), ".dll");
}

}  // namespace

PathKind OpenBelowRoots(std::string_view path, const std::vector<std::string>& roots,
                        CFILEW* file) {
  if (path.empty() || path.front() != '/' || file == nullptr) return PathKind::kOutside;
  const std::string lexical = NormalText(fs::path(path));

  // Nested roots may judge one path differently (a link that leaves the inner root may stay in
  // the outer one): the path is refused only when every root that names it refuses it.
  bool inside = false;
  for (const Root& root : NormalRoots(roots)) {
    const std::string* base = nullptr;
    if (IsBelow(lexical, root.lexical)) {
      base = &root.lexical;
    } else if (root.real && IsBelow(lexical, *root.real)) {
      base = &*root.real;
    }
    if (base == nullptr) continue;
    const BeneathOpen result = file->OpenBeneath(*base, Remainder(lexical, *base));
    if (result == BeneathOpen::kOpened) return PathKind::kAllowed;
    if (result != BeneathOpen::kOutside) inside = true;
  }
  return inside ? PathKind::kMissing : PathKind::kOutside;
}

PathKind OpenLibrary(std::string_view name, const std::vector<std::string>& dirs, CFILEW* file) {
  if (name.empty() || file == nullptr) return PathKind::kOutside;
  if (name.front() == '/') return OpenBelowRoots(name, dirs, file);
  if (name.find_first_of("/\\") != std::string_view::npos || name == "." || name == "..") {
    return PathKind::kOutside;
  }

  const std::string bare(name);
  std::vector<std::string> candidates = {bare, "lib" + bare + ".so", bare + ".so"};
  if (EndsWithDll(name)) {
    const std::string stem(name.substr(0, name.size() - 4));
    candidates.push_back("lib" + stem + ".so");
    candidates.push_back(stem + ".so");
  }

  for (const Root& dir : NormalRoots(dirs)) {
    for (const std::string& candidate : candidates) {
      if (file->OpenBeneath(dir.lexical, candidate) == BeneathOpen::kOpened) {
        return PathKind::kAllowed;
      }
    }
  }
  return PathKind::kMissing;
}

}  // namespace qx
