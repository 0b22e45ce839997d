// path_probe.h - whether a file of this station exists, in the platform's error codes.
//
// The registry clean pass keeps a project whose file exists or cannot be examined, and drops
// one whose file has gone; it needs the platform's code for the difference. Any thread may call.
//
//   int code = ProbePath("/var/lib/qxremote/projects/plant.mcp");   // 0, 2, 3, 5 ...
#pragma once

#include <string>

namespace qx {

inline constexpr int kProbeFileNotFound = 2;  // ERROR_FILE_NOT_FOUND
inline constexpr int kProbePathNotFound = 3;  // ERROR_PATH_NOT_FOUND
inline constexpr int kProbeAccessDenied = 5;  // ERROR_ACCESS_DENIED

// 0 when the path names an existing file or directory; otherwise the Windows-style error code:
// 2 when the file or a directory on the way is missing (Linux does not tell the two apart),
// 3 when a component on the way is not a directory, or for an empty path, 5 when access is
// denied, 206 for a name too long, 1921 for a symbolic link loop, 31 otherwise.
int ProbePath(const std::string& path);

}  // namespace qx
