// audit_log.cpp - AuditLog: the entry's text, the queue, the writer thread and its two sinks.
//
// The writer takes the whole queue at once and writes it outside the lock, so that Record only
// ever waits for the lock while another Record or the writer's swap holds it. The sink (journal
// or rotating file) belongs to the writer thread; it is made again when the configuration that
// the source gives changes.
#include "trace/audit_log.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

#include "common/text.h"
#include "platform/environment.h"
#include "trace/counters.h"
#include "trace/rotating_file.h"
#include "trace/trace.h"

#ifdef QX_HAVE_SYSTEMD
#include <systemd/sd-journal.h>
#endif

namespace qx {
namespace {

const CTraceSource kSource("AuditTrail");

constexpr std::string_view kCutMarker = "...[cut]";
// How long the writer gathers entries after the first of a batch.
constexpr std::chrono::milliseconds kGatherTime{10};
constexpr std::uint32_t kAuditFileMode = 0640;
constexpr std::uint32_t kAuditFolderMode = 0750;

// The length of the UTF-8 character at text[at], or 0 when the bytes there are not one.
std::size_t Utf8Length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  std::uint32_t lowest = 0;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    lowest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    lowest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    lowest = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  std::uint32_t point = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    point = (point << 6) | (byte(at + i) & 0x3F);
  }
  if (point < lowest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
  return length;
}

std::string UtcTime(std::chrono::system_clock::time_point time) {
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
  tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<long>(micros % 1000000));
  return text;
}

// A field's text inside JSON quotes: AuditFieldText leaves only quotes and backslashes to do.
void AppendJsonString(std::string* out, std::string_view text) {
  out->push_back('"');
  for (const char c : text) {
    if (c == '"' || c == '\\') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

// The entry's fields, each already AuditFieldText.
struct EntryText {
  std::string time, action, target, peer, keyId, localUser, result;
};

EntryText TextOf(const AuditEntry& entry) {
  return EntryText{UtcTime(entry.time),          AuditFieldText(entry.action),
                   AuditFieldText(entry.target), AuditFieldText(entry.peer),
                   AuditFieldText(entry.keyId),  AuditFieldText(entry.localUser),
                   AuditResultText(entry.result)};
}

std::string JsonLine(const EntryText& text, std::int64_t localUid) {
  const std::string uid = localUid >= 0 ? std::to_string(localUid) : "null";
  const struct {
    const char* name;
    const std::string& value;
    bool quoted;
  } fields[] = {{"time", text.time, true},     {"action", text.action, true},
                {"target", text.target, true}, {"peer", text.peer, true},
                {"key_id", text.keyId, true},  {"local_user", text.localUser, true},
                {"local_uid", uid, false},     {"result", text.result, true}};
  std::string line;
  for (const auto& field : fields) {
    line += line.empty() ? "{\"" : ",\"";
    line += field.name;
    line += "\":";
    if (field.quoted) {
      AppendJsonString(&line, field.value);
    } else {
      line += field.value;
    }
  }
  line += "}\n";
  return line;
}

}  // namespace

std::string AuditFieldText(std::string_view value) {
  const std::size_t room = kMaxAuditFieldBytes - kCutMarker.size();
  std::string out;
  std::size_t cutAt = std::string::npos;  // where the text ends when it must be cut
  for (std::size_t at = 0; at < value.size();) {
    const std::size_t length = Utf8Length(value, at);
    const unsigned char lead = static_cast<unsigned char>(value[at]);
    const std::size_t before = out.size();
    if (length == 0 || (length == 1 && (lead < 0x20 || lead == 0x7F))) {
      out += Format("\\x%02x", lead);  // not UTF-8, or a C0 control or DEL
    } else if (length == 1 && lead == '\\') {
      out += "\\\\";
    } else if (length == 2 && lead == 0xC2 && static_cast<unsigned char>(value[at + 1]) < 0xA0) {
      out += Format("\\u%04x", static_cast<unsigned char>(value[at + 1]));  // a C1 control
    } else {
      out.append(value.substr(at, length));
    }
    at += length == 0 ? 1 : length;
    if (cutAt == std::string::npos && out.size() > room) cutAt = before;
    if (out.size() > kMaxAuditFieldBytes) {
      out.resize(cutAt);
      out += kCutMarker;
      return out;
    }
  }
  return out;
}

std::string AuditResultText(HRESULT result) {
  return Format("0x%08x", static_cast<unsigned>(result));
}

std::string AuditJsonLine(const AuditEntry& entry) {
  return JsonLine(TextOf(entry), entry.localUid);
}

// Where the writer puts entries: the journal (when chosen and running) and the file.
class AuditLog::Sink {
 public:
  explicit Sink(const AuditConfig& config)
      : config_(config),
        file_(config.file, config.maxBytes, config.keepFiles, kAuditFileMode, /*retryOpen=*/true) {
    // The log folder of a station without a service manager to make it.
    const std::size_t slash = config.file.rfind('/');
    if (slash != std::string::npos && slash > 0) {
      const std::string folder = config.file.substr(0, slash);
      if (::access(folder.c_str(), F_OK) != 0) MakeDirectories(folder, kAuditFolderMode);
    }
  }

  bool SameAs(const AuditConfig& config) const {
    return config.destination == config_.destination && config.file == config_.file &&
           config.maxBytes == config_.maxBytes && config.keepFiles == config_.keepFiles &&
           config.journalSocket == config_.journalSocket;
  }

  // Before each batch: whether this batch goes to the journal, and the file still by its name.
  void Refresh() {
    file_.ReopenIfMoved();
    switch (config_.destination) {
      case AuditDestination::kJournal:
        journal_ = true;
        break;
      case AuditDestination::kFile:
        journal_ = false;
        break;
      case AuditDestination::kAuto:
        journal_ = ::access(config_.journalSocket.c_str(), W_OK) == 0;
        break;
    }
  }

  // True when the entry was written.
  bool Write(const AuditEntry& entry, std::string* failure) {
    const EntryText text = TextOf(entry);
    if (journal_ && SendToJournal(text, entry, failure)) return true;
    if (config_.file.empty()) {
      if (failure->empty()) *failure = "no audit file is set";
      return false;
    }
    if (file_.Append(JsonLine(text, entry.localUid))) return true;
    *failure = file_.path() + ": " + file_.lastError();
    return false;
  }

 private:
  static bool SendToJournal(const EntryText& text, const AuditEntry& entry, std::string* failure) {
#ifdef QX_HAVE_SYSTEMD
    std::string who = entry.peer.empty()
                          ? Format("local user %s (uid %lld)", text.localUser.c_str(),
                                   static_cast<long long>(entry.localUid))
                          : Format("%s (key %s)", text.peer.c_str(), text.keyId.c_str());
    const std::string fields[] = {
        "MESSAGE=" + text.action + " " + text.target + " for " + who + ": " + text.result,
        Format("PRIORITY=%d", Succeeded(entry.result) ? 5 : 4),
        std::string("SYSLOG_IDENTIFIER=") + kAuditIdentifier,
        "QX_ACTION=" + text.action,
        "QX_TARGET=" + text.target,
        "QX_PEER=" + text.peer,
        "QX_KEY_ID=" + text.keyId,
        "QX_LOCAL_USER=" + text.localUser,
        "QX_LOCAL_UID=" + (entry.localUid >= 0 ? std::to_string(entry.localUid) : std::string()),
        "QX_RESULT=" + text.result,
        "QX_AUDIT_TIME=" + text.time,
    };
    iovec parts[std::size(fields)];
    for (std::size_t i = 0; i < std::size(fields); ++i) {
      parts[i].iov_base = const_cast<char*>(fields[i].data());
      parts[i].iov_len = fields[i].size();
    }
    const int sent = sd_journal_sendv(parts, static_cast<int>(std::size(fields)));
    if (sent >= 0) return true;
    *failure = Format("journal: error %d; ", -sent);
    return false;
#else
    (void)text;
    (void)entry;
    *failure = "journal: this build has no journal support; ";
    return false;
#endif
  }

  const AuditConfig config_;
  RotatingFile file_;
  bool journal_ = false;
};

AuditLog::AuditLog(ConfigSource source, std::size_t queueEntries, std::chrono::milliseconds maxWait)
    : source_(std::move(source)),
      capacity_(queueEntries == 0 ? 1 : queueEntries),
      maxWait_(maxWait) {}

AuditLog::~AuditLog() {
  Stop(std::chrono::seconds(10));
  std::thread writer;
  {
    MutexLock lock(&mutex_);
    writer = std::move(writer_);
  }
  if (writer.joinable()) writer.join();  // a stuck writer must still not outlive the object
}

bool AuditLog::Record(AuditEntry entry) {
  // What a peer sent may be as large as a frame: only what an entry can show is kept queued.
  for (std::string* field :
       {&entry.action, &entry.target, &entry.peer, &entry.keyId, &entry.localUser}) {
    if (field->size() > kMaxAuditFieldBytes + 1) field->resize(kMaxAuditFieldBytes + 1);
  }
  bool lost = false;
  bool waited = false;
  {
    MutexLock lock(&mutex_);
    ++counters_.recorded;
    if (!running_) {
      // No writer yet, or one that Stop ended: it has left its loop, so the join is quick.
      if (writer_.joinable()) writer_.join();
      stopping_ = false;
      running_ = true;
      try {
        writer_ = std::thread([this] { Run(); });
      } catch (...) {  // no thread: the entry still queues; the next Record tries again
        running_ = false;
      }
    }
    if (queue_.size() >= capacity_) {
      waited = true;
      ++counters_.waits;
      metrics::Add(Metric::kAuditWaits);
      const auto deadline = std::chrono::steady_clock::now() + maxWait_;
      while (queue_.size() >= capacity_ && changed_.WaitUntil(deadline)) {
      }
    }
    if (queue_.size() >= capacity_) {
      ++counters_.lost;
      metrics::Add(Metric::kAuditEntriesLost);
      lost = true;
    } else {
      queue_.push_back(std::move(entry));
      ++accepted_;
      // The writer waits for more entries a moment after the first; only an idle writer, or a
      // queue half full, needs waking (a wake costs the handler a system call).
      if (idle_ || queue_.size() * 2 >= capacity_) changed_.SignalAll();
    }
  }
  if (lost) {
    TraceError(kSource, "audit entry lost: the writer took no entry for %lld ms",
               static_cast<long long>(maxWait_.count()));
  } else if (waited) {
    Trace(kSource, nullptr, nullptr, kTraceServer, kLevelMain,
          "audit: a handler waited for room in the audit queue");
  }
  return !lost;
}

bool AuditLog::Flush(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  MutexLock lock(&mutex_);
  const std::uint64_t target = accepted_;
  ++flushing_;
  changed_.SignalAll();  // the writer need not wait for more
  bool done = true;
  while (done_ < target) {
    if (!changed_.WaitUntil(deadline) && done_ < target) {
      done = false;
      break;
    }
  }
  --flushing_;
  return done;
}

bool AuditLog::Stop(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::thread writer;
  {
    MutexLock lock(&mutex_);
    if (!writer_.joinable()) return true;
    stopping_ = true;
    changed_.SignalAll();
    while (running_) {
      if (!changed_.WaitUntil(deadline) && running_) {
        TraceError(kSource, "audit: the writer did not end within %lld ms",
                   static_cast<long long>(timeout.count()));
        return false;
      }
    }
    writer = std::move(writer_);
    stopping_ = false;
  }
  writer.join();
  return true;
}

void AuditLog::CountLost() {
  MutexLock lock(&mutex_);
  ++counters_.recorded;
  ++counters_.lost;
  metrics::Add(Metric::kAuditEntriesLost);
}

AuditCounters AuditLog::counters() const {
  MutexLock lock(&mutex_);
  return counters_;
}

void AuditLog::Run() {
  std::deque<AuditEntry> batch;
  for (;;) {
    {
      MutexLock lock(&mutex_);
      idle_ = true;
      while (queue_.empty() && !stopping_) changed_.Wait();
      idle_ = false;
      if (queue_.empty()) {  // stopping, and everything is written
        running_ = false;
        changed_.SignalAll();
        return;
      }
      // More entries come in a burst: one batch (one reading of the settings) for them all.
      const auto gather = std::chrono::steady_clock::now() + kGatherTime;
      while (!stopping_ && flushing_ == 0 && queue_.size() * 2 < capacity_ &&
             changed_.WaitUntil(gather)) {
      }
      batch.swap(queue_);
      changed_.SignalAll();  // room for waiting Records
    }
    AuditConfig config;
    try {
      config = source_();
    } catch (...) {
      config = AuditConfig{};
    }
    if (!sink_ || !sink_->SameAs(config)) sink_ = std::make_unique<Sink>(config);
    sink_->Refresh();
    std::uint64_t written = 0;
    std::uint64_t lost = 0;
    std::string failure;
    for (const AuditEntry& entry : batch) {
      std::string why;
      if (sink_->Write(entry, &why)) {
        ++written;
      } else {
        ++lost;
        failure = std::move(why);
      }
    }
    const std::size_t count = batch.size();
    batch.clear();
    {
      MutexLock lock(&mutex_);
      counters_.written += written;
      counters_.lost += lost;
      metrics::Add(Metric::kAuditEntriesWritten, written);
      metrics::Add(Metric::kAuditEntriesLost, lost);
      done_ += count;
      changed_.SignalAll();
    }
    if (lost != 0) {
      TraceError(kSource, "audit: %llu of %zu entries could not be written: %s",
                 static_cast<unsigned long long>(lost), count, failure.c_str());
    }
  }
}

}  // namespace qx
