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
// A copy never destroys an existing file. A destination that does not exist is written in
// place (what a failure or a user break leaves of it stays). An existing regular file is
// replaced only by a complete copy: the blocks go to a new file beside it (same folder, so the
// rename is atomic), which gets the times, and is renamed onto the destination after the last
// block; any failure or user break before that removes the new file and leaves the destination
// as it was. A copy whose destination is the source itself (the same device and inode, with the
// station resolving to this machine) is refused before anything is opened.
//
// Errors inside a copy are CopyError (and the local file's FileError), caught at the edge of
// RemoteCopyFile. One thread uses a CRemoteFile; copies on several threads share nothing.
#include "client/remote_file.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
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
#include "registry/store/settings.h"
#include "rpc/rpc_internal.h"
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
bool StationIsThisMachine(const std::string& station) {
  if (IsLocalHost(station)) return true;
  const RpcSettings settings = CachedRpcSettings();
  const std::optional<asio::ip::address_v4> address = ResolveStationAddress(
      station, settings, RpcClock::now() + std::chrono::milliseconds(settings.connectTimeoutMs));
  if (!address) return false;
  if (address->is_loopback() || address->is_unspecified()) return true;
  const asio::ip::address_v4::bytes_type octets = address->to_bytes();  // network order
  const std::uint32_t firstOctetLowest = GetLe32(octets.data());
  const std::optional<std::vector<Ipv4Row>> own = Host().Ipv4Addresses();
  return own && std::any_of(own->begin(), own->end(),
                            [&](const Ipv4Row& row) { return row.address == firstOctetLowest; });
}

// The local file of a copy. A destination that is not an existing regular file is created in
// place; an existing one (a link's target, where the destination is a link) gets a new file
// beside it that Commit renames onto it. Until Commit, and whenever Commit is not reached, the
// destructor removes that new file. One copy, one thread.
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
    std::filesystem::remove(temporary_, ignored);
  }
  LocalCopyFile(const LocalCopyFile&) = delete;
  LocalCopyFile& operator=(const LocalCopyFile&) = delete;

  // Throws FileError when the file cannot be created.
  void Create() {
    std::error_code error;
    if (!std::filesystem::is_regular_file(destination_, error)) {
      file_.Create(destination_);
      return;
    }
    target_ = std::filesystem::canonical(destination_, error).string();
    if (error) target_ = destination_;
    file_.CreateBeside(target_, &temporary_);
  }

  CFILEW& file() { return file_; }

  // Closes the file and puts a replacement in place; throws FileError when either fails.
  void Commit() {
    file_.Close();
    if (temporary_.empty()) return;
    std::error_code error;
    std::filesystem::rename(temporary_, target_, error);
    if (error) {
      throw FileError{Format("rename(%s): %s", target_.c_str(), error.message().c_str())};
    }
    temporary_.clear();
  }

 private:
  std::string destination_;
  std::string target_;     // the existing file that a complete copy replaces
  std::string temporary_;  // the new file beside it, until it is renamed or removed
  CFILEW file_;
};

}  // namespace

CRemoteFile::CRemoteFile() : clientName_(ExecutablePath()) {}

CRemoteFile::~CRemoteFile() { Close(); }

bool CRemoteFile::Open(std::string_view station, std::string_view remoteName) {
  if (Utf16Units(remoteName) > kMaxRemoteNameUnits) Raise(kOpenFailed);
  // The name is pasted into markup: a '&' or '<' in it must not change the request.
  const std::string request = "<OPENFILE><FILE>" + XmlEscape(remoteName) + "</FILE></OPENFILE>";
  client_ = std::make_unique<CRPCClientW>();
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

std::int32_t RemoteCopyFile(std::string_view request, QXProgressCallback progress) {
  std::int32_t result = kCopyFailed;
  CXmlElement parsed;
  if (!parsed.LoadXml(request)) return result;
  try {
    std::string station, source, destination;
    if (!ReadCopyText(parsed, "HOST", kMaxCopyTextUnits, &station)) Raise("HOST too long");
    if (!ReadCopyText(parsed, "SOURCE", kMaxCopyTextUnits, &source)) Raise("SOURCE too long");
    if (!ReadCopyText(parsed, "DESTINATION", kMaxCopyTextUnits, &destination)) {
      Raise("DESTINATION too long");
    }
    const std::uint32_t block = BlockSizeOf(parsed);
    ResolveLocalHost(&station);
    // A file of this machine copied onto itself: refused, whatever name the station goes by.
    if (IsSameFile(source, destination) && StationIsThisMachine(station)) {
      Raise("DESTINATION is the SOURCE");
    }

    CRemoteFile remote;
    LocalCopyFile target(destination);
    CFILEW& local = target.file();
    remote.Open(station, source);
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
