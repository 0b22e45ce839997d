// remote_file.h - RemoteCopyFile and CRemoteFile: copying a file from another station.
//
// The copy opens the remote file with OPENFILE (its three times), reads it with READFILE
// requests of BUFFER bytes (several kept in flight), writes the local file, reports progress
// 10 / 11 / 12 and gives the copy the source's times. Runs on the caller's thread; each copy
// has its own connection.
#pragma once

#include <cstdint>
#include <string_view>

#include "qxremoteserver.h"

namespace qx {

inline constexpr std::int32_t kCopyFailed = -10;
std::int32_t RemoteCopyFile(std::string_view request, QXProgressCallback progress);

}  // namespace qx
