// trace.h - the diagnostic trace through which every subsystem writes its lines.
//
// A line has a source, a type and a level bit mask, an optional category and detail word and
// a printf-formatted UTF-8 text. It is written only when type & typeMask and level & levelMask
// are both non-zero; the test comes before any formatting. Lines go to libqxdiagnosis.so when
// it is loaded, else to the debug output channel (a datagram socket in the runtime directory);
// while a trace viewer ("qxstation trace --tree") runs, they go to the debug output in the
// tagged form <xtr c="category" p="source|detail"/>text. Passwords in traced texts show as ***.
//
// Error and warning lines (TraceError, TraceErrorUnless, TraceWarning), which often quote what a
// peer sent, are held to kMaxErrorTextBytes of text, cut at a whole UTF-8 character and marked,
// and each source writes at most kTraceBurstLines of them at once and kTraceLinesPerSecond on
// average; the lines beyond are counted and one "suppressed N lines" line tells of them when the
// source writes again.
//
// Any thread may call every function here. No lock is taken on the write path of other lines;
// an error or warning line takes its source's short rate-limit lock after the mask test.
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

#include "common/mutex.h"
#include "platform/dynamic_library.h"
#include "trace/trace_rate_limit.h"

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
// Longest text of an error or warning line, in bytes; longer texts are cut and marked.
inline constexpr std::size_t kMaxErrorTextBytes = 4096;

// One named source of lines, with the rate limit of its error and warning lines. Names longer
// than 255 characters are cut.
class CTraceSource {
 public:
  explicit CTraceSource(std::string_view name);
  virtual ~CTraceSource() = default;
  CTraceSource(const CTraceSource&) = delete;
  CTraceSource& operator=(const CTraceSource&) = delete;
  const std::string& name() const { return name_; }
  TraceRateLimit& rateLimit() const { return rateLimit_; }

 private:
  std::string name_;
  mutable TraceRateLimit rateLimit_;
};

void Trace(const CTraceSource& source, const char* detail, const char* category, std::uint32_t type,
           std::uint32_t level, const char* format, ...) __attribute__((format(printf, 6, 7)));
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

// text cut to at most maxBytes bytes at a whole UTF-8 character, with a marker of the cut
// appended when anything was cut.
std::string CutTracedText(std::string_view text, std::size_t maxBytes);

// The text with the content of every <Password>...</Password> element (any case, also in its
// escaped form &lt;Password&gt;...&lt;/Password&gt;) shown as ***; an element that is not
// closed is masked to the end of the text. Every line written by the trace passes through it.
std::string MaskPasswords(std::string_view text);

// The module-wide connection to the diagnostics library and the two masks (both 0 at load).
// Load and Unload are serialised among themselves; WriteTrace and the masks take no lock, and
// UnloadDiagnostics waits for the WriteTrace calls in progress before destroying the object.
class CDiagnosis {
 public:
  CDiagnosis() = default;
  ~CDiagnosis();  // unloads; the module-wide object is never destroyed (see Diagnosis())
  CDiagnosis(const CDiagnosis&) = delete;
  CDiagnosis& operator=(const CDiagnosis&) = delete;

  // Loads libqxdiagnosis.so (once) and takes its masks; true when its object exists. The
  // library is looked for next to the module first, then on the loader's search path.
  bool LoadDiagnostics(std::string_view hostName) EXCLUDES(loadMutex_);
  // The same with the library at an explicit path (tests and tools).
  bool LoadDiagnosticsFrom(const std::string& libraryPath, std::string_view hostName)
      EXCLUDES(loadMutex_);
  // Destroys the object and unloads the library; the masks keep their values.
  void UnloadDiagnostics() EXCLUDES(loadMutex_);
  void SetMasks(std::uint32_t typeMask, std::uint32_t levelMask);
  std::uint32_t typeMask() const { return typeMask_.load(std::memory_order_relaxed); }
  std::uint32_t levelMask() const { return levelMask_.load(std::memory_order_relaxed); }
  bool connected() const;
  // Hands one line to the diagnostics object; false when none is connected.
  bool WriteTrace(std::uint32_t type, std::uint32_t level, const std::string& text);

 private:
  bool LoadLocked(const std::string* libraryPath, std::string_view hostName) REQUIRES(loadMutex_);

  std::atomic<std::uint32_t> typeMask_{0};
  std::atomic<std::uint32_t> levelMask_{0};
  std::atomic<void*> object_{nullptr};
  std::atomic<int> writers_{0};  // WriteTrace calls that may be using object_
  Mutex loadMutex_;
  DynamicLibrary library_ GUARDED_BY(loadMutex_);
};

// The module-wide diagnostics connection. It is never destroyed, so that the detach step,
// which may run after the module's static objects are gone, still finds it.
CDiagnosis& Diagnosis();

}  // namespace qx
