// remote_file.h - RemoteCopyFile and CRemoteFile: copying a file from another station.
//
// The copy opens the remote file with OPENFILE (its three times), reads it with READFILE
// requests of BUFFER bytes (several kept in flight), writes the local file, reports progress
// 10 / 11 / 12 and gives the copy the source's times. The destination is created or replaced
// only by a complete copy (a failed one leaves no file behind, and the next copy into the folder
// removes what a killed one left); a copy of a file of this machine onto itself is refused.
// Runs on the caller's thread; each copy has a connection of its own, taken from and given back
// to the station's pool of kept connections.
//
//   std::int32_t copied = RemoteCopyFile(station,
//       "<Copy><HOST>STATIONB</HOST><SOURCE>/srv/a.mcp</SOURCE>"
//       "<DESTINATION>/tmp/a.mcp</DESTINATION></Copy>", nullptr);   // bytes, or kCopyFailed
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "platform/host_platform.h"
#include "qxremoteserver.h"
#include "rpc/rpc.h"
#include "station/station.h"

namespace qx {

inline constexpr std::int32_t kCopyFailed = -10;
inline constexpr std::int32_t kProgressOpened = 10;
inline constexpr std::int32_t kProgressBlock = 11;
inline constexpr std::int32_t kProgressDone = 12;
inline constexpr std::int32_t kUserBreak = 1;
inline constexpr std::uint32_t kDefaultCopyBlock = 65536;
// Longest remote file name (UTF-16 characters), and longest station or path text of a copy.
inline constexpr std::size_t kMaxRemoteNameUnits = 259;
inline constexpr std::size_t kMaxCopyTextUnits = 511;

// The copy serves station: its host platform names this computer (the station's own names and
// addresses), its pool keeps the connection.
std::int32_t RemoteCopyFile(Station& station, std::string_view request,
                            QXProgressCallback progress);

// What goes wrong inside a copy; caught at the edge of RemoteCopyFile.
struct CopyError {
  std::string text;
};

// A file on another station, read through that station's project-manager service. One object
// per copy, used by one thread. Open and the reads throw CopyError ("CRemoteFile::Open failed",
// "CRemoteFile::Read failed"); Close never throws. The object owns its RPC client, which takes
// the station's host platform (names this computer) and connection pool; station outlives the
// object.
class CRemoteFile {
 public:
  explicit CRemoteFile(Station& station);
  virtual ~CRemoteFile();
  CRemoteFile(const CRemoteFile&) = delete;
  CRemoteFile& operator=(const CRemoteFile&) = delete;

  // Connects to the station and asks for the file's times. A failed connection, a failed send
  // or an OPENFILE refused by the holder throws.
  bool Open(std::string_view station, std::string_view remoteName);
  // Reads the next count bytes at the read position into buffer; 0 at the end of the file.
  std::uint32_t Read(void* buffer, std::uint32_t count);
  // Pipelined reading: PostRead asks for the next count bytes after those already asked for;
  // ReceiveRead takes the answer of the oldest outstanding request (its bytes are moved into
  // block, at most the count asked) and advances the read position.
  void PostRead(std::uint32_t count);
  void ReceiveRead(ByteBlock* block);
  int PendingReads() const;
  // True when a further request of count bytes may still be posted (the protocol's offsets end
  // at 2^31 - 1).
  bool CanPost(std::uint32_t count) const;
  // Disconnects (dropping answers still outstanding), clears the name, sets the position to 0.
  bool Close();

  bool hasTimes() const { return hasTimes_; }
  const FileTimes& times() const { return times_; }
  std::uint64_t position() const { return position_; }

 private:
  std::string ReadRequest(std::uint64_t from, std::uint32_t count) const;

  FileTimes times_;
  bool hasTimes_ = false;
  Station& station_;
  std::unique_ptr<CRPCClientW> client_;
  std::string remoteName_;
  std::uint64_t position_ = 0;                                 // first byte not yet received
  std::uint64_t postedEnd_ = 0;                                // first byte not yet asked for
  std::size_t pendingCounts_[CRPCClientW::kMaxInFlight] = {};  // counts of outstanding asks
  int pendingHead_ = 0;
  int pendingSize_ = 0;
  std::string clientName_;
};

}  // namespace qx
