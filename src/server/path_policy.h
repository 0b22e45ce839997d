// path_policy.h - which libraries REMOTECALL may load and which files OPENFILE and READFILE may
// read: only those below the directories that this station's settings list.
//
// A path is judged first by its text (made absolute and free of "." and ".." lexically), so a
// path outside every root is refused whether it exists or not; then by the real path (every
// symbolic link resolved), so a link cannot lead out of a root. Pure functions of the file
// system; any thread may call.
//
//   PathVerdict v = ResolveBelowRoots("/srv/projects/a/../b.mcp", RemoteFileRoots());
//   if (v.kind == PathKind::kAllowed) Open(v.path);
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qx {

enum class PathKind {
  kAllowed,  // path: the real path, below one of the roots
  kMissing,  // below a root by its text but not there; path: the lexical form
  kOutside,  // refused
};

struct PathVerdict {
  PathKind kind = PathKind::kOutside;
  std::string path;
};

// An absolute path, judged against the roots. A relative path is refused.
PathVerdict ResolveBelowRoots(std::string_view path, const std::vector<std::string>& roots);

// A library named as REMOTECALL names it. A bare name ("tools", "libtools.so", "tools.dll") is
// looked for in each directory in turn as <dir>/<name>, <dir>/lib<name>.so, <dir>/<name>.so
// (a ".dll" name also by its stem); the first regular file found whose real path stays in that
// directory wins (kMissing when there is none). An absolute path must lie below a directory
// (ResolveBelowRoots). Anything else (a relative path, a Windows path) is refused.
PathVerdict ResolveLibrary(std::string_view name, const std::vector<std::string>& dirs);

}  // namespace qx
