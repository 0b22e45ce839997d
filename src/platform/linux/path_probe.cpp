// path_probe.cpp - ProbePath on stat(2): errno becomes the Windows-style code here.
#include "platform/path_probe.h"

#include <sys/stat.h>

#include <cerrno>

namespace qx {

int ProbePath(const std::string& path) {
  if (path.empty()) return kProbePathNotFound;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) return 0;
  switch (errno) {
    case ENOENT:
      return kProbeFileNotFound;
    case ENOTDIR:
      return kProbePathNotFound;
    case EACCES:
    case EPERM:
      return kProbeAccessDenied;
    case EOVERFLOW:  // exists, only too large for struct stat
      return 0;
    case ENAMETOOLONG:
      return 206;  // ERROR_FILENAME_EXCED_RANGE
    case ELOOP:
      return 1921;  // ERROR_CANT_RESOLVE_FILENAME
    default:
      return 31;  // ERROR_GEN_FAILURE
  }
}

}  // namespace qx
