// write_trust.h - whether a file or directory can be changed by nobody but root (or us).
//
// Settings that decide what a station exposes are read only from files that no operator
// account can write. A file qualifies when it is a regular file owned by root or by the
// process's effective uid, not writable by group or others, and every directory on its path
// (both the path as written and the path its links lead to) is owned by root or the euid and
// not writable by group or others, unless the directory has the sticky bit (like /tmp): then
// others cannot replace the entries they do not own, and the next entry must be owned by
// root or the euid anyway. The file itself is judged by fstat of a descriptor the caller
// reads from, so that no other file can be swapped in between the check and the read. Any
// thread may call; every function only reads.
//
//   std::string why;
//   if (!OnlyOwnerMayWriteFile(fd, path, &why)) ... ignore the file, say why ...
#pragma once

#include <sys/stat.h>

#include <string>

namespace qx {

// The file open at fd, found at path: true when only root or the euid may change it (file and
// every directory above it). False with *why naming the first thing that is wrong.
bool OnlyOwnerMayWriteFile(int fd, const std::string& path, std::string* why);
// The same for a file already described by info (lstat of path), for a file that must not be
// opened again: a caller that compared info's device and inode with those of the file it
// reads from judges that very file.
bool OnlyOwnerMayWriteFileInfo(const std::string& path, const struct stat& info, std::string* why);
// The same for a file that is only known by its path (a -wal beside a database): absent is
// fine; a link or anything else than a regular file is not.
bool OnlyOwnerMayWritePath(const std::string& path, std::string* why);
// Every directory from the root down to dir (inclusive): true when only root or the euid may
// change any of them (sticky directories excepted, see above).
bool OnlyOwnerMayWriteDirectories(const std::string& dir, std::string* why);

}  // namespace qx
