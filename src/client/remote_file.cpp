// remote_file.cpp - RemoteCopyFile and CRemoteFile: a file of another station, copied here.
//
// CRemoteFile asks the holding station for the file's times with OPENFILE (777) and for its
// bytes with READFILE (779), whose request block is UTF-16LE text with its terminating zero.
// RemoteCopyFile keeps several READFILE requests in flight on the one connection, so that the
// holder reads the next blocks while this side writes the last one; the progress calls, the
// result and the local file are exactly those of reading one block after the other: the copy
// ends at the first answer shorter than a block, and the answers still outstanding then (past
// the end of the file) are taken and dropped.
//
// Offsets travel as unsigned 32-bit numbers that the holder scans as signed ones, and the
// copy's result is a signed 32-bit count: a copy stops with a failure rather than ask for an
// offset or count a total beyond 2^31 - 1.
//
// A copy never destroys an existing file and leaves nothing behind when it fails. The blocks
// go to a temporary file ".NAME.XXXXXX" beside the destination (same folder, so the rename is
// atomic), which gets the times and is renamed onto the destination after the last block; any
// failure or user break before that removes it and leaves the destination as it was (absent,
// or the old file). An existing regular file is replaced in this way (a link's target, where
// the destination is a link); only a destination that is neither a regular file nor absent (a
// device, a directory, a dangling link) is opened in place as before. A copy whose destination
// is the source itself (the same device and inode, with the station resolving to this machine)
// is refused before anything is opened.
//
// A copy that is killed cannot remove its temporary file. So the writer holds an exclusive
// flock on its temporary file for the whole copy, and each copy, once its own temporary file is
// locked, removes the temporary files of the same destination whose writer is gone: a regular
// file of this name pattern, owned by this user, opened without following links, whose lock it
// gets at once, and whose name still names the locked file. Nothing else in the folder is
// touched; a writer that is alive keeps its lock and its file.
//
// Errors inside a copy are CopyError (and the local file's FileError), caught at the edge of
// RemoteCopyFile. One thread uses a CRemoteFile; copies on several threads share nothing.
#include "client/remote_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "client/remote_client.h"
#include "common/little_endian.h"
#include "common/text.h"
#include "platform/environment.h"
#include "platform/host_platform.h"
#include "platform/unix_socket.h"
#include "rpc/rpc_internal.h"
#include "rpc/rpc_settings.h"
#include "trace/trace.h"
#include "xml/xml_element.h"

namespace qx {
namespace {

const CTraceSource kSource("RemoteFile");

constexpr const char* kOpenFailed = "CRemoteFile::Open failed";
constexpr const char* kReadFailed = "CRemoteFile::Read failed";
constexpr const char* kUserBreakText = "ERR_USER_BREAK";
constexpr std::uint64_t kMaxOffset = std::numeric_limits<std::int32_t>::max();
// Bytes that a copy keeps asked for ahead of what it has written.
constexpr std::uint32_t kBytesInFlight = 4u << 20;

[[noreturn]] void Raise(const char* text) { throw CopyError{text}; }

FileTime ReadTime(const CXmlElement& filetime, std::string_view tag) {
  CXmlElement time;
  if (!filetime.FindChild(tag, &time)) return {};
  return FileTime{time.GetSubUInt("high"), time.GetSubUInt("low")};
}

// The text of a child of the copy request; false when it is longer than maxUnits (GetSubText
// reads an over-long text as empty, so the raw content tells those apart from empty ones).
bool ReadCopyText(const CXmlElement& request, std::string_view tag, std::size_t maxUnits,
                  std::string* text) {
  *text = request.GetSubText(tag);
  if (text->empty()) {
    CXmlElement child;
    std::string inner;
    if (request.FindChild(tag, &child) && child.GetInnerXml(&inner) && !inner.empty()) {
      return false;
    }
  }
  return Utf16Units(*text) <= maxUnits;
}

std::uint32_t BlockSizeOf(const CXmlElement& request) {
  bool ok = false;
  const std::int32_t asked = request.GetSubInt("BUFFER", &ok);
  std::uint32_t block = (ok && asked > 0) ? static_cast<std::uint32_t>(asked) : kDefaultCopyBlock;
  // The holder refuses a READFILE of more than its limit; ask for no more than that.
  const std::uint32_t limit = ReadRpcSettings().readFileLimit;
  if (limit > 0) block = std::min(block, limit);
  return block;
}

void Progress(QXProgressCallback progress, std::int32_t code, std::uint64_t value) {
  if (progress == nullptr) return;
  if (progress(code, static_cast<std::int32_t>(value)) == kUserBreak) Raise(kUserBreakText);
}

// True when the station is this machine: one of its local names, or a name that resolves, as
// the RPC client resolves it, to a loopback address or to one of this machine's own addresses.
bool StationIsThisMachine(const std::string& station, HostPlatform& platform) {
  if (IsLocalHost(station, platform)) return true;
  const RpcSettings settings = CachedRpcSettings();
  const std::optional<asio::ip::address_v4> address = ResolveStationAddress(
      station, settings, RpcClock::now() + std::chrono::milliseconds(settings.connectTimeoutMs),
      platform);
  if (!address) return false;
  if (address->is_loopback() || address->is_unspecified()) return true;
  const asio::ip::address_v4::bytes_type octets = address->to_bytes();  // network order
  const std::uint32_t firstOctetLowest = GetLe32(octets.data());
  const std::optional<std::vector<Ipv4Row>> own = platform.Ipv4Addresses();
  return own && std::any_of(own->begin(), own->end(),
                            [&](const Ipv4Row& row) { return row.address == firstOctetLowest; });
}

using unix_socket::UniqueFd;

// Bounds of the search for temporary files that dead copies left: names looked at in the
// folder, files removed, and attempts at a temporary file of one's own.
constexpr int kMaxNamesScanned = 100000;
constexpr int kMaxRemoved = 64;
constexpr int kCreateAttempts = 4;
constexpr std::size_t kRandomChars = 6;  // the XXXXXX of the temporary file's name

bool SameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The permission bits of a new file: 0666 less this process's umask, read from /proc without
// changing it (other threads may be creating files); 0600 when it cannot be read.
mode_t NewFileMode() {
  std::ifstream status("/proc/self/status");
  std::string line;
  for (int i = 0; i < 64 && std::getline(status, line); ++i) {
    if (line.rfind("Umask:", 0) != 0) continue;
    std::size_t end = 0;
    try {
      const unsigned long mask = std::stoul(line.substr(6), &end, 8);
      if (end > 0 && mask <= 0777) return static_cast<mode_t>(0666 & ~mask);
    } catch (...) {
    }
    break;
  }
  return 0600;
}

// Removes the temporary files of dead copies that share `temporary`'s name but for its last
// kRandomChars characters (the same destination), leaving `temporary` itself. Never throws.
void RemoveDeadTemporaries(const std::string& temporary) {
  const std::size_t slash = temporary.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : temporary.substr(0, slash + 1);
  const std::string own = slash == std::string::npos ? temporary : temporary.substr(slash + 1);
  if (own.size() <= kRandomChars) return;
  const std::string stem = own.substr(0, own.size() - kRandomChars);
  UniqueFd dirFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd) return;
  const int listFd = ::dup(dirFd.get());
  if (listFd < 0) return;
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(listFd), &::closedir);
  if (!dir) {
    ::close(listFd);
    return;
  }
  const uid_t me = ::geteuid();
  int removed = 0;
  for (int scanned = 0; scanned < kMaxNamesScanned && removed < kMaxRemoved; ++scanned) {
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) break;
    const std::string_view name(entry->d_name);
    if (name.size() != own.size() || name == own || name.substr(0, stem.size()) != stem ||
        !std::all_of(name.begin() + static_cast<std::ptrdiff_t>(stem.size()), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; })) {
      continue;
    }
    // A regular file of this user's, looked at without following a link and opened only then
    // (opening a device could act on it); a link in its place makes the open fail.
    struct stat named {
    }, opened{};
    if (::fstatat(dirFd.get(), entry->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(named.st_mode) || named.st_uid != me) {
      continue;
    }
    UniqueFd file(::openat(dirFd.get(), entry->d_name,
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file || ::fstat(file.get(), &opened) != 0 || !SameInode(named, opened)) continue;
    // A writer that is alive holds the lock.
    if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) continue;
    // The name must still be the file whose lock was taken, and nothing else.
    if (::fstatat(dirFd.get(), entry->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !SameInode(named, opened)) {
      continue;
    }
    if (::unlinkat(dirFd.get(), entry->d_name, 0) == 0) {
      ++removed;
      TraceWarning(kSource, "Copy File: removed %s%.255s, left by a copy that ended unfinished",
                   folder.c_str(), entry->d_name);
    }
  }
}

// The local file of a copy: a temporary file beside the destination (or beside the target of
// a link there), locked for the whole copy, that Commit renames onto it. Until Commit, and
// whenever Commit is not reached, the destructor removes that temporary file. A destination
// that is neither absent nor a regular file is written in place. One copy, one thread.
class LocalCopyFile {
 public:
  explicit LocalCopyFile(std::string destination) : destination_(std::move(destination)) {
    file_.setUseExceptions(true);
  }
  ~LocalCopyFile() {
    if (temporary_.empty()) return;
    file_.setUseExceptions(false);
    file_.Close();
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);  // still locked: no other copy removes it
  }
  LocalCopyFile(const LocalCopyFile&) = delete;
  LocalCopyFile& operator=(const LocalCopyFile&) = delete;

  // Throws FileError when the file cannot be created.
  void Create() {
    struct stat info {};
    bool absent = false;
    if (::stat(destination_.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      std::error_code error;
      target_ = std::filesystem::canonical(destination_, error).string();
      if (error) target_ = destination_;
    } else if (::lstat(destination_.c_str(), &info) != 0 && errno == ENOENT) {
      target_ = destination_;
      absent = true;
    } else {
      file_.Create(destination_);  // a device, a directory (which fails), a dangling link
      return;
    }
    CreateLockedTemporary();
    // A new file gets what creating it in place would have given it.
    if (absent && ::fchmod(file_.fd(), NewFileMode()) != 0) {
      TraceWarning(kSource, "Copy File: the permissions of %s could not be set",
                   temporary_.c_str());
    }
    RemoveDeadTemporaries(temporary_);
  }

  CFILEW& file() { return file_; }

  // Closes the file and puts it in place; throws FileError when either fails. The lock is held
  // until the rename, so that no other copy takes the complete file for a dead one.
  void Commit() {
    file_.Close();
    if (temporary_.empty()) return;
    std::error_code error;
    std::filesystem::rename(temporary_, target_, error);
    if (error) {
      throw FileError{Format("rename(%s): %s", target_.c_str(), error.message().c_str())};
    }
    temporary_.clear();
    lock_.Reset();
  }

 private:
  // Creates the temporary file and locks it. Another copy may have taken the file for a dead
  // one between its creation and the lock (and removes it): then another one is made. On a
  // file system without locks the file stays unlocked, and no copy can take it for dead.
  void CreateLockedTemporary() {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
      file_.CreateBeside(target_, &temporary_);
      lock_ = UniqueFd(::dup(file_.fd()));  // the lock outlives the writing descriptor
      if (!lock_) {
        const int error = errno;
        file_.Close();
        std::error_code ignored;
        std::filesystem::remove(temporary_, ignored);
        temporary_.clear();
        throw FileError{Format("dup(%s): %s", target_.c_str(), std::strerror(error))};
      }
      const bool locked = ::flock(lock_.get(), LOCK_EX | LOCK_NB) == 0;
      if (!locked && errno != EWOULDBLOCK) return;
      struct stat opened {
      }, named{};
      if (locked && ::fstat(lock_.get(), &opened) == 0 &&
          ::lstat(temporary_.c_str(), &named) == 0 && SameInode(opened, named)) {
        return;
      }
      file_.Close();  // the other copy removes it
      lock_.Reset();
      temporary_.clear();
    }
    throw FileError{Format("create(%s): no temporary file could be locked", target_.c_str())};
  }

  std::string destination_;
  std::string target_;     // the file that a complete copy creates or replaces
  std::string temporary_;  // the new file beside it, until it is renamed or removed
  UniqueFd lock_;          // holds the flock on temporary_ until the rename
  CFILEW file_;
};

}  // namespace

CRemoteFile::CRemoteFile(Station& station) : station_(station), clientName_(ExecutablePath()) {}

CRemoteFile::~CRemoteFile() { Close(); }

bool CRemoteFile::Open(std::string_view station, std::string_view remoteName) {
  if (Utf16Units(remoteName) > kMaxRemoteNameUnits) Raise(kOpenFailed);
  // The name is pasted into markup: a '&' or '<' in it must not change the request.
  const std::string request = "<OPENFILE><FILE>" + XmlEscape(remoteName) + "</FILE></OPENFILE>";
  client_ = std::make_unique<CRPCClientW>();
  client_->setHostPlatform(station_.hostPlatform());
  client_->setConnectionPool(station_.rpcPool());
  AnswerText answer;
  if (!client_->Connect(kServiceProjectManager, station, clientName_) ||
      !client_->SendString(DATA_ID_REQUEST, request, &answer)) {
    Raise(kOpenFailed);
  }
  // A holder that could not open the file (or may not show it) says so by its result.
  if (Failed(client_->lastResult)) Raise(kOpenFailed);
  if (answer) {
    CXmlElement parsed, filetime;
    if (parsed.LoadXml(*answer) && parsed.FindChild("FILETIME", &filetime)) {
      times_.creation = ReadTime(filetime, "Creation");
      times_.lastAccess = ReadTime(filetime, "LastAccess");
      times_.lastWrite = ReadTime(filetime, "LastWrite");
      hasTimes_ = true;
    }
  }
  remoteName_ = std::string(remoteName);
  position_ = 0;
  postedEnd_ = 0;
  pendingHead_ = 0;
  pendingSize_ = 0;
  return true;
}

std::string CRemoteFile::ReadRequest(std::uint64_t from, std::uint32_t count) const {
  const std::string text =
      Format("<READFILE><FILE>%s</FILE><FROM>%lu</FROM><COUNT>%lu</COUNT></READFILE>",
             XmlEscape(remoteName_).c_str(), static_cast<unsigned long>(from),
             static_cast<unsigned long>(count));
  const std::u16string wide = Utf8ToUtf16(text);
  std::string block;
  block.reserve((wide.size() + 1) * 2);
  for (char16_t unit : wide) {
    char bytes[2];
    PutLe16(bytes, unit);
    block.append(bytes, sizeof bytes);
  }
  block.append(2, '\0');
  return block;
}

bool CRemoteFile::CanPost(std::uint32_t count) const {
  return client_ != nullptr && count > 0 && postedEnd_ <= kMaxOffset &&
         pendingSize_ < CRPCClientW::kMaxInFlight;
}

std::uint32_t CRemoteFile::Read(void* buffer, std::uint32_t count) {
  if (client_ == nullptr || pendingSize_ > 0 || !CanPost(count)) Raise(kReadFailed);
  const std::string request = ReadRequest(position_, count);
  ByteBlock block;
  if (!client_->SendData(DATA_ID_READ_FILE, reinterpret_cast<const std::uint8_t*>(request.data()),
                         request.size(), &block) ||
      Failed(client_->lastResult) || block.size() > count ||
      position_ + block.size() > kMaxOffset) {
    Raise(kReadFailed);
  }
  if (!block.empty()) std::memcpy(buffer, block.data(), block.size());
  position_ += block.size();
  postedEnd_ = position_;
  return static_cast<std::uint32_t>(block.size());
}

void CRemoteFile::PostRead(std::uint32_t count) {
  if (!CanPost(count)) Raise(kReadFailed);
  const std::string request = ReadRequest(postedEnd_, count);
  if (!client_->PostData(DATA_ID_READ_FILE, reinterpret_cast<const std::uint8_t*>(request.data()),
                         request.size())) {
    Raise(kReadFailed);
  }
  pendingCounts_[(pendingHead_ + pendingSize_) % CRPCClientW::kMaxInFlight] = count;
  ++pendingSize_;
  postedEnd_ += count;
}

void CRemoteFile::ReceiveRead(ByteBlock* block) {
  if (client_ == nullptr || pendingSize_ == 0) Raise(kReadFailed);
  const std::size_t asked = pendingCounts_[pendingHead_];
  pendingHead_ = (pendingHead_ + 1) % CRPCClientW::kMaxInFlight;
  --pendingSize_;
  block->clear();
  if (!client_->ReceiveData(block) || Failed(client_->lastResult) || block->size() > asked ||
      position_ + block->size() > kMaxOffset) {
    Raise(kReadFailed);
  }
  position_ += block->size();
}

int CRemoteFile::PendingReads() const { return pendingSize_; }

bool CRemoteFile::Close() {
  if (client_) {
    client_->Disconnect();
    client_.reset();
  }
  remoteName_.clear();
  position_ = 0;
  postedEnd_ = 0;
  pendingHead_ = 0;
  pendingSize_ = 0;
  return true;
}

std::int32_t RemoteCopyFile(Station& station, std::string_view request,
                            QXProgressCallback progress) {
  std::int32_t result = kCopyFailed;
  CXmlElement parsed;
  if (!parsed.LoadXml(request)) return result;
  try {
    std::string holder, source, destination;
    if (!ReadCopyText(parsed, "HOST", kMaxCopyTextUnits, &holder)) Raise("HOST too long");
    if (!ReadCopyText(parsed, "SOURCE", kMaxCopyTextUnits, &source)) Raise("SOURCE too long");
    if (!ReadCopyText(parsed, "DESTINATION", kMaxCopyTextUnits, &destination)) {
      Raise("DESTINATION too long");
    }
    const std::uint32_t block = BlockSizeOf(parsed);
    HostPlatform& platform = station.hostPlatform();
    ResolveLocalHost(&holder, platform);
    // A file of this machine copied onto itself: refused, whatever name the station goes by.
    if (IsSameFile(source, destination) && StationIsThisMachine(holder, platform)) {
      Raise("DESTINATION is the SOURCE");
    }

    CRemoteFile remote(station);
    LocalCopyFile target(destination);
    CFILEW& local = target.file();
    remote.Open(holder, source);
    target.Create();
    Progress(progress, kProgressOpened, 0);

    const int depth = static_cast<int>(
        std::clamp<std::uint32_t>(kBytesInFlight / block, 2, CRPCClientW::kMaxInFlight));
    while (remote.PendingReads() < depth && remote.CanPost(block)) remote.PostRead(block);
    ByteBlock data;
    std::uint64_t total = 0;
    for (;;) {
      remote.ReceiveRead(&data);  // throws when nothing is outstanding (offset limit)
      const bool full = data.size() == block;
      if (full && remote.CanPost(block)) remote.PostRead(block);
      if (!data.empty()) local.Write(data.data(), data.size());
      total += data.size();
      Progress(progress, kProgressBlock, total);
      if (!full) break;
    }
    // The asks past the end of the file: their answers are empty; a failure among them no
    // longer matters to the copy (Close drops the connection then).
    try {
      while (remote.PendingReads() > 0) remote.ReceiveRead(&data);
    } catch (const CopyError&) {
    }
    Progress(progress, kProgressDone, total);

    if (remote.hasTimes()) {
      local.setUseExceptions(false);
      if (!local.SetTimes(remote.times())) {
        TraceWarning(kSource, "Copy File: the times of %s could not be set", destination.c_str());
      }
      local.setUseExceptions(true);
    }
    target.Commit();
    remote.Close();
    result = static_cast<std::int32_t>(total);
  } catch (const CopyError& e) {
    TraceError(kSource, "Exception in Copy File! %s", e.text.c_str());
    result = kCopyFailed;
  } catch (const FileError& e) {
    TraceError(kSource, "Exception in Copy File! %s", e.text.c_str());
    result = kCopyFailed;
  } catch (...) {
    TraceError(kSource, "Unknown Exception in Copy File!");
    result = kCopyFailed;
  }
  return result;
}

}  // namespace qx
