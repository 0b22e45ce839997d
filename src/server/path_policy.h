// path_policy.h - which libraries REMOTECALL may load and which files OPENFILE and READFILE may
// read: only regular files below the directories that this station's settings list.
//
// A path is judged first by its text (made absolute and free of "." and ".." lexically), so a
// path outside every root is refused whether it exists or not; then it is opened beneath the
// root it names (CFILEW::OpenBeneath), so no symbolic link can lead out of the root, not even
// one swapped in while the request runs. The caller uses the opened file, never the path again.
// Functions of the file system only; any thread may call, each with its own CFILEW.
//
//   CFILEW file;
//   if (OpenBelowRoots("/srv/projects/a/../b.mcp", RemoteFileRoots(), &file) ==
//       PathKind::kAllowed) file.Read(buffer, size);
#pragma once

#include <string_view>
#include <vector>

#include "platform/file.h"

namespace qx {

enum class PathKind {
  kAllowed,  // the file is open for reading, below one of the roots
  kMissing,  // below a root by its text, but no regular file opened there: missing, not a
             // regular file (directory, FIFO, device, socket) or failed; lastError() says why
  kOutside,  // refused: outside every root by its text or by a link on the way
};

// An absolute path, opened beneath the roots that it lies below by its text. A relative path is
// refused.
PathKind OpenBelowRoots(std::string_view path, const std::vector<std::string>& roots, CFILEW* file);

// A library named as REMOTECALL names it. A bare name ("tools", "libtools.so", "tools.dll") is
// looked for in each directory in turn as <dir>/<name>, <dir>/lib<name>.so, <dir>/<name>.so
// (a ".dll" name also by its stem); the first regular file that opens beneath its directory
// wins (kMissing when there is none). An absolute path must lie below a directory
// (OpenBelowRoots). Anything else (a relative path, a Windows path) is refused.
PathKind OpenLibrary(std::string_view name, const std::vector<std::string>& dirs, CFILEW* file);

}  // namespace qx
