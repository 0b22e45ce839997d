// audit_log.h - the audit trail: one structured entry per action that this station carries out
// for another station or a local user, written to the systemd journal or a JSON-lines file.
//
// An entry holds its time, the action (a request or command tag), its target (library and
// function, path, project), who asked (the peer's address and key id, or the local user) and the
// result. Values that come from peers are hostile: each field is held to kMaxAuditFieldBytes at
// a whole UTF-8 character, and every control character, invalid byte and backslash is written
// escaped ("\x0a", "\\"), so that an entry is always one line and one set of fields. The caller
// hands over no secret: the entry has no field for one.
//
// Destinations (AuditConfig): the journal (SYSLOG_IDENTIFIER=qxremote-audit, fields QX_ACTION,
// QX_TARGET, QX_PEER, QX_KEY_ID, QX_LOCAL_USER, QX_LOCAL_UID, QX_RESULT), a file of JSON lines
// rotated by size (file, file.1 .. file.N), or auto: the journal when its socket exists, else
// the file. An entry that the journal refuses goes to the file. A missing folder of the file is
// made (mode 0750).
//
// Nothing is dropped on purpose: there is no rate limit. Record only queues the entry (a bounded
// queue); one writer thread writes them in order, in batches: after the first entry it gathers
// more for up to 10 ms (less when the queue is half full, a Flush waits or a Stop comes), reads
// the configuration once for the batch and writes each entry with one write. When the queue is
// full, Record waits for room up to maxWait and counts the wait; an entry that still finds no room,
// or whose write fails (a full disk), is counted as lost and traced (those traces are rate-limited;
// the counter is not), and the action's own result stays as it was. Flush waits, bounded, until
// every entry recorded before it is written or lost.
//
// Ownership: the log owns its queue, its file and its writer thread (started at the first
// Record, ended by Stop or the destructor, which first write what is queued, bounded). Any
// thread may call every member; the configuration source is called on the writer thread.
//
//   AuditLog log([] { return AuditConfig{AuditDestination::kFile, "/tmp/t/audit.jsonl"}; });
//   log.Record(AuditEntry{.action = "READFILE", .target = "/srv/a.bin", .result = S_OK});
//   log.Flush(std::chrono::seconds(5));
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "common/hresult.h"
#include "common/mutex.h"

namespace qx {

inline constexpr const char* kAuditIdentifier = "qxremote-audit";
inline constexpr std::size_t kMaxAuditFieldBytes = 1024;
inline constexpr std::size_t kDefaultAuditQueue = 8192;
inline constexpr std::chrono::milliseconds kDefaultAuditMaxWait{2000};
inline constexpr const char* kJournalSocketPath = "/run/systemd/journal/socket";

struct AuditEntry {
  std::chrono::system_clock::time_point time = std::chrono::system_clock::now();
  std::string action;          // "READFILE", "REMOTECALL", "SetUserPassword", ...
  std::string target;          // "libplant.so!Start", "/srv/a.bin", "DSN=PLANT1", ...
  std::string peer;            // "192.0.2.7:50412" for a request of another station, else empty
  std::string keyId;           // the peer's cluster key id (with peer)
  std::string localUser;       // the local user's name for a local request, else empty
  std::int64_t localUid = -1;  // the local user's id, -1 for a request of another station
  HRESULT result = S_OK;
};

enum class AuditDestination { kAuto, kJournal, kFile };

struct AuditConfig {
  AuditDestination destination = AuditDestination::kAuto;
  std::string file;  // the JSON-lines file (absolute)
  std::uint64_t maxBytes = 10u << 20;
  int keepFiles = 5;  // rotated files kept beside the file
  // Where auto looks for the journal (tests point it elsewhere).
  std::string journalSocket = kJournalSocketPath;
};

struct AuditCounters {
  std::uint64_t recorded = 0;  // entries handed to Record
  std::uint64_t written = 0;   // entries the journal or the file took
  std::uint64_t lost = 0;      // entries not written: no room in time, or a failed write
  std::uint64_t waits = 0;     // Records that waited for room in the queue
};

// A field as an entry writes it: cut to kMaxAuditFieldBytes at a whole UTF-8 character (marked
// "...[cut]"), control characters (C0, DEL, C1), bytes that are not UTF-8 and backslashes escaped.
std::string AuditFieldText(std::string_view value);
// The entry as one JSON line (ending with '\n'), its fields already AuditFieldText.
std::string AuditJsonLine(const AuditEntry& entry);
// "0x80070005"
std::string AuditResultText(HRESULT result);

class AuditLog {
 public:
  using ConfigSource = std::function<AuditConfig()>;

  explicit AuditLog(ConfigSource source, std::size_t queueEntries = kDefaultAuditQueue,
                    std::chrono::milliseconds maxWait = kDefaultAuditMaxWait);
  ~AuditLog();
  AuditLog(const AuditLog&) = delete;
  AuditLog& operator=(const AuditLog&) = delete;

  // Queues the entry (see above); false when it was lost for want of room.
  bool Record(AuditEntry entry) EXCLUDES(mutex_);
  // True when every entry recorded before the call was written or lost within timeout.
  bool Flush(std::chrono::milliseconds timeout) EXCLUDES(mutex_);
  // Flushes (bounded by timeout) and ends the writer; a later Record starts it again. False when
  // the writer was still busy after timeout (it is then left to finish on its own).
  bool Stop(std::chrono::milliseconds timeout) EXCLUDES(mutex_);
  AuditCounters counters() const EXCLUDES(mutex_);
  // An entry that could not even be made (no memory): counted as recorded and lost.
  void CountLost() EXCLUDES(mutex_);

 private:
  class Sink;
  void Run() EXCLUDES(mutex_);

  const ConfigSource source_;
  const std::size_t capacity_;
  const std::chrono::milliseconds maxWait_;
  mutable Mutex mutex_;
  CondVar changed_{&mutex_};
  std::deque<AuditEntry> queue_ GUARDED_BY(mutex_);
  std::uint64_t accepted_ GUARDED_BY(mutex_) = 0;  // entries queued so far
  std::uint64_t done_ GUARDED_BY(mutex_) = 0;      // of those, written or lost
  AuditCounters counters_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  bool running_ GUARDED_BY(mutex_) = false;  // the writer is in its loop
  bool idle_ GUARDED_BY(mutex_) = false;     // the writer waits for a first entry
  int flushing_ GUARDED_BY(mutex_) = 0;      // Flush calls waiting
  std::thread writer_ GUARDED_BY(mutex_);
  std::unique_ptr<Sink> sink_;  // the writer thread's alone
};

}  // namespace qx
