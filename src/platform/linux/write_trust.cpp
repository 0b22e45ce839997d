// write_trust.cpp - ownership and mode checks of files and their directories (write_trust.h).
#include "platform/write_trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace qx {
namespace {

std::string ErrorText(int error) {
  char buffer[256];
  return ::strerror_r(error, buffer, sizeof buffer);
}

bool TrustedOwner(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

std::string OwnerText(const struct stat& info) {
  return "owned by uid " + std::to_string(info.st_uid);
}

// One directory of a path, already lstat'ed.
bool TrustedDirectory(const std::string& dir, const struct stat& info, std::string* why) {
  if (!TrustedOwner(info.st_uid)) {
    *why = "the directory " + dir + " is " + OwnerText(info) + ", not by root";
    return false;
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0) {
    *why = "the directory " + dir + " is writable by its group or others";
    return false;
  }
  return true;
}

// One entry of a path: a directory that only root or the euid may change, or a link owned by
// them (its target is checked by the caller through the resolved path).
bool TrustedEntry(const std::string& prefix, std::string* why) {
  struct stat info {};
  if (::lstat(prefix.c_str(), &info) != 0) {
    *why = "cannot check " + prefix + ": " + ErrorText(errno);
    return false;
  }
  if (S_ISLNK(info.st_mode)) {
    if (TrustedOwner(info.st_uid)) return true;
    *why = "the link " + prefix + " is " + OwnerText(info) + ", not by root";
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    *why = prefix + " is not a directory";
    return false;
  }
  return TrustedDirectory(prefix, info, why);
}

// "/", "/a", "/a/b" of the absolute path "/a/b".
bool TrustedChain(std::string_view path, std::string* why) {
  std::string prefix = "/";
  if (!TrustedEntry(prefix, why)) return false;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view name = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (name.empty()) continue;
    if (prefix.size() > 1) prefix += '/';
    prefix.append(name);
    if (!TrustedEntry(prefix, why)) return false;
  }
  return true;
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return {};
  return std::string(buffer) + "/" + path;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool TrustedFileInfo(const std::string& path, const struct stat& info, std::string* why) {
  if (!S_ISREG(info.st_mode)) {
    *why = path + " is not a regular file";
    return false;
  }
  if (!TrustedOwner(info.st_uid)) {
    *why = path + " is " + OwnerText(info) + ", not by root";
    return false;
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *why = path + " is writable by its group or others";
    return false;
  }
  return true;
}

}  // namespace

bool OnlyOwnerMayWriteDirectories(const std::string& dir, std::string* why) {
  const std::string absolute = Absolute(dir);
  if (absolute.empty()) {
    *why = "cannot tell where " + dir + " is: " + ErrorText(errno);
    return false;
  }
  if (!TrustedChain(absolute, why)) return false;
  // The directories that links on the way lead to.
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(absolute.c_str(), nullptr),
                                                             &std::free);
  if (!resolved) {
    *why = "cannot resolve " + dir + ": " + ErrorText(errno);
    return false;
  }
  return std::string_view(resolved.get()) == absolute || TrustedChain(resolved.get(), why);
}

bool OnlyOwnerMayWriteFile(int fd, const std::string& path, std::string* why) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    *why = "cannot check " + path + ": " + ErrorText(errno);
    return false;
  }
  return OnlyOwnerMayWriteFileInfo(path, info, why);
}

bool OnlyOwnerMayWriteFileInfo(const std::string& path, const struct stat& info, std::string* why) {
  return TrustedFileInfo(path, info, why) && OnlyOwnerMayWriteDirectories(DirectoryOf(path), why);
}

bool OnlyOwnerMayWritePath(const std::string& path, std::string* why) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return true;
    *why = "cannot check " + path + ": " + ErrorText(errno);
    return false;
  }
  return TrustedFileInfo(path, info, why);
}

}  // namespace qx
