// metrics_text.cpp - RenderMetricsText and WriteMetricsTextfile (see metrics_text.h).
#include "trace/metrics_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "platform/unix_socket.h"

namespace qx {
namespace {

struct Family {
  const char* name;
  const char* type;
  const char* help;
};

// One counter's line: its family and the labels that tell it from the family's others.
struct Sample {
  Metric metric;
  const Family* family;
  const char* labels;  // "" or `reason="replayed"`
};

constexpr Family kReceived{"qxremote_datagrams_received_total", "counter",
                           "Datagrams the multicast sockets received."};
constexpr Family kSent{"qxremote_datagrams_sent_total", "counter",
                       "Sealed datagrams sent (group and station sends, each fragment)."};
constexpr Family kDropped{"qxremote_datagrams_dropped_total", "counter",
                          "Datagrams received and dropped, by reason."};
constexpr Family kReassembled{"qxremote_fragmented_messages_reassembled_total", "counter",
                              "Messages of several fragments put together whole."};
constexpr Family kExpired{"qxremote_fragment_sets_expired_total", "counter",
                          "Messages given up because their fragments did not all come in time."};
constexpr Family kConnections{"qxremote_rpc_connections_total", "counter",
                              "RPC connections accepted."};
constexpr Family kRefused{"qxremote_rpc_handshakes_refused_total", "counter",
                          "RPC connections whose peer proved no cluster key of this station."};
constexpr Family kRequests{"qxremote_rpc_requests_total", "counter",
                           "RPC requests received, by frame kind."};
constexpr Family kQueue{"qxremote_rpc_handler_queue_depth", "gauge",
                        "RPC requests waiting for a handler thread."};
constexpr Family kQueueRefusals{"qxremote_rpc_handler_refusals_total", "counter",
                                "RPC requests refused because every handler was busy and the "
                                "queue was full."};
constexpr Family kCopyBytes{"qxremote_copy_served_bytes_total", "counter",
                            "File bytes served to other stations' copies (READFILE)."};
constexpr Family kSuppressed{"qxremote_trace_lines_suppressed_total", "counter",
                             "Trace lines left out by the rate limit."};

constexpr Family kAudit{"qxremote_audit_entries_total", "counter",
                        "Audit entries of remote and local actions, by outcome."};
constexpr Family kAuditWaits{"qxremote_audit_waits_total", "counter",
                             "Actions whose audit entry waited for room in the writer's queue."};

constexpr Sample kSamples[] = {
    {Metric::kDatagramsReceived, &kReceived, ""},
    {Metric::kDatagramsSent, &kSent, ""},
    {Metric::kDroppedUnopenable, &kDropped, "reason=\"unopenable\""},
    {Metric::kDroppedForeignKey, &kDropped, "reason=\"foreign_key\""},
    {Metric::kDroppedReplayed, &kDropped, "reason=\"replayed\""},
    {Metric::kDroppedMalformed, &kDropped, "reason=\"malformed\""},
    {Metric::kDroppedQueueFull, &kDropped, "reason=\"queue_full\""},
    {Metric::kFragmentedMessagesReassembled, &kReassembled, ""},
    {Metric::kFragmentSetsExpired, &kExpired, ""},
    {Metric::kRpcConnections, &kConnections, ""},
    {Metric::kRpcHandshakesRefused, &kRefused, ""},
    {Metric::kRpcStringRequests, &kRequests, "kind=\"string\""},
    {Metric::kRpcDataRequests, &kRequests, "kind=\"data\""},
    {Metric::kRpcHandlerQueueDepth, &kQueue, ""},
    {Metric::kRpcHandlerRefusals, &kQueueRefusals, ""},
    {Metric::kCopyBytesServed, &kCopyBytes, ""},
    {Metric::kTraceLinesSuppressed, &kSuppressed, ""},
    {Metric::kAuditEntriesWritten, &kAudit, "outcome=\"written\""},
    {Metric::kAuditEntriesLost, &kAudit, "outcome=\"lost\""},
    {Metric::kAuditWaits, &kAuditWaits, ""},
};
static_assert(std::size(kSamples) == kMetricCount, "every counter has its line");

void AppendHeader(std::string* text, const Family& family) {
  *text += "# HELP ";
  *text += family.name;
  *text += ' ';
  *text += family.help;
  *text += "\n# TYPE ";
  *text += family.name;
  *text += ' ';
  *text += family.type;
  *text += '\n';
}

void AppendLine(std::string* text, const char* name, const char* labels, const char* value) {
  *text += name;
  if (*labels != '\0') {
    *text += '{';
    *text += labels;
    *text += '}';
  }
  *text += ' ';
  *text += value;
  *text += '\n';
}

void AppendFact(std::string* text, const Family& family, const char* value) {
  AppendHeader(text, family);
  AppendLine(text, family.name, "", value);
}

std::string ErrnoText(const std::string& what, int error) {
  return what + ": " + unix_socket::ErrorText(error);
}

}  // namespace

MetricsSnapshot TakeMetricsSnapshot() {
  MetricsSnapshot snapshot;
  snapshot.counters = metrics::Snapshot();
  snapshot.process = ReadProcessFacts("/proc/self");
  return snapshot;
}

std::string RenderMetricsText(const MetricsSnapshot& snapshot) {
  std::string text;
  text.reserve(4096);
  char value[64];
  const Family* previous = nullptr;
  for (const Sample& sample : kSamples) {
    if (sample.family != previous) AppendHeader(&text, *sample.family);
    previous = sample.family;
    const std::uint64_t raw = snapshot.counters[sample.metric];
    if (std::strcmp(sample.family->type, "gauge") == 0) {  // may have gone below 0 for a moment
      std::snprintf(value, sizeof value, "%" PRId64, static_cast<std::int64_t>(raw));
    } else {
      std::snprintf(value, sizeof value, "%" PRIu64, raw);
    }
    AppendLine(&text, sample.family->name, sample.labels, value);
  }

  static constexpr Family kKey{"qxremote_cluster_key_info", "gauge",
                               "The cluster key this station seals and proves with (1), or "
                               "key_id=\"none\" (0)."};
  AppendHeader(&text, kKey);
  char label[32];
  if (snapshot.keyIdInUse) {
    std::snprintf(label, sizeof label, "key_id=\"%08" PRIx32 "\"", *snapshot.keyIdInUse);
    AppendLine(&text, kKey.name, label, "1");
  } else {
    AppendLine(&text, kKey.name, "key_id=\"none\"", "0");
  }

  static constexpr Family kUptime{"qxremote_agent_uptime_seconds", "gauge",
                                  "Seconds since the agent's process started."};
  static constexpr Family kResident{"qxremote_agent_resident_memory_bytes", "gauge",
                                    "Resident memory of the agent's process."};
  static constexpr Family kDescriptors{"qxremote_agent_open_fds", "gauge",
                                       "Open file descriptors of the agent's process."};
  const ProcessFacts& process = snapshot.process;
  if (process.uptimeSeconds) {
    std::snprintf(value, sizeof value, "%.2f", *process.uptimeSeconds);
    AppendFact(&text, kUptime, value);
  }
  if (process.residentBytes) {
    std::snprintf(value, sizeof value, "%" PRIu64, *process.residentBytes);
    AppendFact(&text, kResident, value);
  }
  if (process.openDescriptors) {
    std::snprintf(value, sizeof value, "%" PRIu64, *process.openDescriptors);
    AppendFact(&text, kDescriptors, value);
  }
  return text;
}

bool WriteMetricsTextfile(const std::string& path, std::string_view text, std::string* error) {
  auto fail = [error](std::string why) {
    if (error != nullptr) *error = std::move(why);
    return false;
  };
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return fail(path + ": not a file name");
  const std::string directory =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::string temporary = directory + "/." + name + ".XXXXXX";
  std::vector<char> pattern(temporary.begin(), temporary.end());
  pattern.push_back('\0');
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return fail(ErrnoText(temporary, errno));
  temporary.assign(pattern.data());
  // A collector runs as a user of its own: the figures are for everyone to read.
  bool ok = ::fchmod(fd, 0644) == 0;
  std::size_t done = 0;
  while (ok && done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  int failure = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    failure = errno;
  }
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    failure = errno;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    return fail(ErrnoText(path, failure));
  }
  return true;
}

}  // namespace qx
