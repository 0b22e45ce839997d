// trace.h - the diagnostic trace through which every subsystem writes its lines.
//
// A line has a source, a type and a level bit mask, an optional category and detail word and
// a printf-formatted UTF-8 text. It is written only when type & typeMask and level & levelMask
// are both non-zero; the test comes before any formatting. Lines go to libqxdiagnosis.so when
// it is loaded, else to the debug output channel (a datagram socket in the runtime directory);
// while a trace viewer ("qxstation trace --tree") runs, they go to the debug output in the
// tagged form <xtr c="category" p="source|detail"/>text. Passwords in traced texts show as ***.
// Any thread may call every function here; no lock is taken on the write path.
//
//   static const CTraceSource kSource("RemoteServer");
//   Trace(kSource, nullptr, nullptr, kTraceServer, kLevelText, "<doRPCCommand>%s</doRPCCommand>",
//         text.c_str());
//   TraceError(kSource, "startRemoteServer() failed!");
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace qx {

// Types of lines (typeMask bits).
inline constexpr std::uint32_t kTraceServer = 0x1;       // server, RPC texts, remote exchanges
inline constexpr std::uint32_t kTraceMulticast = 0x2;    // multicast, event sink, tree hosts
inline constexpr std::uint32_t kTraceStation = 0x4;      // station messages
inline constexpr std::uint32_t kTraceRemoteCall = 0x20;  // library calls, local-computer commands
inline constexpr std::uint32_t kTraceRegistry = 0x40;    // registry project list
inline constexpr std::uint32_t kTraceTalk = 0x80000;     // local commands
inline constexpr std::uint32_t kTraceAll = 0xFFFFFFFFu;  // errors, warnings, plain lines
// Levels of lines (levelMask bits).
inline constexpr std::uint32_t kLevelMain = 1;    // errors, warnings, start and stop
inline constexpr std::uint32_t kLevelEvents = 2;  // multicast events, library call results
inline constexpr std::uint32_t kLevelText = 4;    // request and answer texts
inline constexpr std::uint32_t kLevelDetail = 8;  // per-host and per-station details

// Longest formatted text of one line, in characters; longer texts are cut.
inline constexpr std::size_t kMaxTraceText = 32000;

// One named source of lines. Names longer than 255 characters are cut.
class CTraceSource {
 public:
  explicit CTraceSource(std::string_view name);
  virtual ~CTraceSource() = default;
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

void Trace(const CTraceSource& source, const char* detail, const char* category,
           std::uint32_t type, std::uint32_t level, const char* format, ...)
    __attribute__((format(printf, 6, 7)));
void TraceError(const CTraceSource& source, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
void TraceErrorUnless(const CTraceSource& source, bool ok, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void TraceWarning(const CTraceSource& source, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
void TracePlain(const CTraceSource& source, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// True when a line of this type and level would be written (lets callers skip building
// expensive arguments).
bool TraceEnabled(std::uint32_t type, std::uint32_t level);

// The module-wide connection to the diagnostics library and the two masks (both 0 at load).
class CDiagnosis {
 public:
  // Loads libqxdiagnosis.so (once) and takes its masks; true when its object exists.
  bool LoadDiagnostics(std::string_view hostName);
  // Destroys the object and unloads the library; the masks keep their values.
  void UnloadDiagnostics();
  void SetMasks(std::uint32_t typeMask, std::uint32_t levelMask);
  std::uint32_t typeMask() const { return typeMask_.load(std::memory_order_relaxed); }
  std::uint32_t levelMask() const { return levelMask_.load(std::memory_order_relaxed); }
  bool connected() const;

 private:
  std::atomic<std::uint32_t> typeMask_{0};
  std::atomic<std::uint32_t> levelMask_{0};
  std::atomic<void*> object_{nullptr};
  void* library_ = nullptr;
};

CDiagnosis& Diagnosis();

}  // namespace qx
