// trace.cpp - the trace calls, password masking and the connection to the diagnostics library.
//
// A line is built on the calling thread and handed to the trace viewer's channel, the
// diagnostics object or the debug output; no lock is taken on that path except the source's
// rate-limit lock for error and warning lines. The diagnostics
// object is kept in an atomic pointer together with a count of the writers that may be using
// it, so that UnloadDiagnostics never destroys it under a writer.
#include "trace/trace.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <thread>

#include "common/text.h"
#include "platform/module_location.h"
#include "trace/debug_output.h"
#include "trace/diagnosis_abi.h"

namespace qx {
namespace {

// Longest source name, in characters.
constexpr std::size_t kMaxSourceNameUnits = 255;
// The line of one trace call: prefix, text and terminator fit this many characters.
constexpr std::size_t kLineBufferUnits = 32384;
// Source name, detail and category adding up to this many characters or more get no prefix.
constexpr std::size_t kMaxPrefixNamesUnits = 384;

void NotifyNothing(std::uint32_t) {}

const QxDiagnosisFunctions* UsableFunctions(const QxDiagnosisObject* object) {
  if (object == nullptr || object->functions == nullptr) return nullptr;
  const QxDiagnosisFunctions* functions = object->functions;
  if (functions->version != QX_DIAGNOSIS_ABI_VERSION ||
      functions->size < sizeof(QxDiagnosisFunctions) || functions->Destroy == nullptr ||
      functions->WriteTrace == nullptr || functions->GetTypeMask == nullptr ||
      functions->GetLevelMask == nullptr) {
    return nullptr;
  }
  return functions;
}

void TrimLineEnd(std::string* line) {
  while (!line->empty() && (line->back() == '\r' || line->back() == '\n')) line->pop_back();
}

bool AsciiIEqualsAt(std::string_view text, std::size_t pos, std::string_view word) {
  if (pos > text.size() || text.size() - pos < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    char c = text[pos + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != word[i]) return false;
  }
  return true;
}

// REQUIRES: word starts with a character that has no case ('<' or '&'), found by a plain find.
std::size_t AsciiIFind(std::string_view text, std::string_view word, std::size_t from) {
  for (std::size_t pos = text.find(word[0], from); pos != std::string_view::npos;
       pos = text.find(word[0], pos + 1)) {
    if (AsciiIEqualsAt(text, pos, word)) return pos;
  }
  return std::string_view::npos;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// One spelling of the password element: its opening and closing markup around the name.
struct PasswordMarkup {
  std::string_view open;   // "<password" / "&lt;password"
  std::string_view close;  // "</password" / "&lt;/password"
  std::string_view end;    // ">" / "&gt;"
  bool attributes;         // markup may carry attributes before its end
};

constexpr PasswordMarkup kMarkups[] = {
    {"<password", "</password", ">", true},
    {"&lt;password", "&lt;/password", "&gt;", false},
};

// Where the content of the element whose name starts at pos begins, or npos when the markup
// there is not an opening password tag with content (another name, or an empty element).
std::size_t ContentStart(std::string_view text, std::size_t pos, const PasswordMarkup& markup) {
  std::size_t after = pos + markup.open.size();
  if (AsciiIEqualsAt(text, after, markup.end)) return after + markup.end.size();
  if (!markup.attributes || after >= text.size() || !IsSpace(text[after])) {
    return std::string_view::npos;
  }
  const std::size_t close = text.find(markup.end, after);
  if (close == std::string_view::npos || text[close - 1] == '/') return std::string_view::npos;
  return close + markup.end.size();
}

void MaskOneMarkup(std::string* text, const PasswordMarkup& markup) {
  std::size_t pos = 0;
  while ((pos = AsciiIFind(*text, markup.open, pos)) != std::string::npos) {
    const std::size_t start = ContentStart(*text, pos, markup);
    if (start == std::string::npos) {
      pos += markup.open.size();
      continue;
    }
    std::size_t stop = AsciiIFind(*text, markup.close, start);
    if (stop == std::string::npos) stop = text->size();
    if (stop > start) text->replace(start, stop - start, "***");
    pos = stop > start ? start + 3 : start;
  }
}

// Writes a finished text as one line of the source.
void WriteText(const CTraceSource& source, const char* detail, const char* category,
               std::uint32_t type, std::uint32_t level, const std::string& text) {
  try {
    if (TraceViewerPresent()) {
      const std::string_view categoryText = category != nullptr ? category : "";
      const std::string_view detailText = detail != nullptr ? detail : "";
      std::string line;
      if (Utf16Units(source.name()) + Utf16Units(detailText) + Utf16Units(categoryText) <
          kMaxPrefixNamesUnits) {
        line = "<xtr c=\"";
        line.append(categoryText).append("\" p=\"").append(source.name());
        line.append("|").append(detailText).append("\"/>");
      }
      const std::size_t room = std::min(kMaxTraceText, kLineBufferUnits - 1 - Utf16Units(line));
      line += CutToUnits(text, room);
      TrimLineEnd(&line);
      OutputDebugLine(line);
      return;
    }
    std::string line = CutToUnits(text, kMaxTraceText);
    TrimLineEnd(&line);
    if (!Diagnosis().WriteTrace(type, level, line)) OutputDebugLine(line);
  } catch (...) {
    // A line that cannot be built (out of memory) is dropped: tracing never fails its caller.
  }
}

void WriteLine(const CTraceSource& source, const char* detail, const char* category,
               std::uint32_t type, std::uint32_t level, const char* format, va_list args) {
  try {
    WriteText(source, detail, category, type, level, MaskPasswords(FormatV(format, args)));
  } catch (...) {
  }
}

// An error or warning line: rate-limited per source, its text held to kMaxErrorTextBytes.
void WriteLimitedLine(const CTraceSource& source, const char* category, const char* format,
                      va_list args) {
  const TraceRateLimit::Decision decision = source.rateLimit().Take(TraceRateLimit::Clock::now());
  if (!decision.write) return;
  try {
    if (decision.suppressed != 0) {
      WriteText(source, nullptr, "warning", kTraceAll, kLevelMain,
                Format("... suppressed %llu lines",
                       static_cast<unsigned long long>(decision.suppressed)));
    }
    // The text is cut before the passwords are masked, so a cut never reveals the end of one.
    const std::string text = FormatV(format, args);
    WriteText(source, nullptr, category, kTraceAll, kLevelMain,
              MaskPasswords(CutTracedText(text, kMaxErrorTextBytes)));
  } catch (...) {
  }
}

}  // namespace

CTraceSource::CTraceSource(std::string_view name) : name_(CutToUnits(name, kMaxSourceNameUnits)) {}

bool TraceEnabled(std::uint32_t type, std::uint32_t level) {
  const CDiagnosis& diagnosis = Diagnosis();
  return (diagnosis.typeMask() & type) != 0 && (diagnosis.levelMask() & level) != 0;
}

std::string CutTracedText(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return std::string(text);
  std::size_t end = maxBytes;
  // Back to the first byte of the character that the limit falls into.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  std::string out(text.substr(0, end));
  out += Format("...[cut, %zu bytes in all]", text.size());
  return out;
}

std::string MaskPasswords(std::string_view text) {
  std::string out(text);
  for (const PasswordMarkup& markup : kMarkups) MaskOneMarkup(&out, markup);
  return out;
}

void Trace(const CTraceSource& source, const char* detail, const char* category, std::uint32_t type,
           std::uint32_t level, const char* format, ...) {
  if (!TraceEnabled(type, level)) return;
  va_list args;
  va_start(args, format);
  WriteLine(source, detail, category, type, level, format, args);
  va_end(args);
}

void TraceError(const CTraceSource& source, const char* format, ...) {
  if (!TraceEnabled(kTraceAll, kLevelMain)) return;
  va_list args;
  va_start(args, format);
  WriteLimitedLine(source, "error", format, args);
  va_end(args);
}

void TraceErrorUnless(const CTraceSource& source, bool ok, const char* format, ...) {
  if (ok || !TraceEnabled(kTraceAll, kLevelMain)) return;
  va_list args;
  va_start(args, format);
  WriteLimitedLine(source, "error", format, args);
  va_end(args);
}

void TraceWarning(const CTraceSource& source, const char* format, ...) {
  if (!TraceEnabled(kTraceAll, kLevelMain)) return;
  va_list args;
  va_start(args, format);
  WriteLimitedLine(source, "warning", format, args);
  va_end(args);
}

void TracePlain(const CTraceSource& source, const char* format, ...) {
  if (!TraceEnabled(kTraceAll, kLevelMain)) return;
  va_list args;
  va_start(args, format);
  WriteLine(source, nullptr, nullptr, kTraceAll, kLevelMain, format, args);
  va_end(args);
}

CDiagnosis::~CDiagnosis() { UnloadDiagnostics(); }

bool CDiagnosis::LoadDiagnostics(std::string_view hostName) {
  MutexLock lock(&loadMutex_);
  return LoadLocked(nullptr, hostName);
}

bool CDiagnosis::LoadDiagnosticsFrom(const std::string& libraryPath, std::string_view hostName) {
  MutexLock lock(&loadMutex_);
  return LoadLocked(&libraryPath, hostName);
}

bool CDiagnosis::LoadLocked(const std::string* libraryPath, std::string_view hostName) {
  auto* object = static_cast<QxDiagnosisObject*>(object_.load());
  if (object == nullptr) {
    if (!library_.IsOpen()) {
      if (libraryPath != nullptr) {
        library_.Open(*libraryPath);
      } else {
        const std::string directory = ModuleDirectory();
        if (directory.empty() || !library_.Open(directory + "/" + QX_DIAGNOSIS_LIBRARY_NAME)) {
          library_.Open(QX_DIAGNOSIS_LIBRARY_NAME);
        }
      }
    }
    if (library_.IsOpen()) {
      auto create = reinterpret_cast<QxCreateDiagnosisObjectFunction>(
          library_.Symbol(QX_DIAGNOSIS_ENTRY_POINT));
      if (create != nullptr) {
        const std::u16string wideHost = Utf8ToUtf16(hostName);
        object = create(wideHost.c_str(), &NotifyNothing);
        // An object whose table this module does not know is left alone, not used.
        if (UsableFunctions(object) == nullptr) object = nullptr;
        object_.store(object);
      }
    }
  }
  if (object == nullptr) return false;
  const std::uint32_t level = object->functions->GetLevelMask(object);
  const std::uint32_t type = object->functions->GetTypeMask(object);
  SetMasks(type, level);
  return true;
}

void CDiagnosis::UnloadDiagnostics() {
  MutexLock lock(&loadMutex_);
  auto* object = static_cast<QxDiagnosisObject*>(object_.exchange(nullptr));
  if (object != nullptr) {
    while (writers_.load() != 0) std::this_thread::yield();
    object->functions->Destroy(object);
  }
  if (library_.IsOpen()) library_.Close();
}

void CDiagnosis::SetMasks(std::uint32_t typeMask, std::uint32_t levelMask) {
  std::this_thread::yield();
  typeMask_.store(typeMask, std::memory_order_relaxed);
  levelMask_.store(levelMask, std::memory_order_relaxed);
}

bool CDiagnosis::connected() const { return object_.load() != nullptr; }

bool CDiagnosis::WriteTrace(std::uint32_t type, std::uint32_t level, const std::string& text) {
  writers_.fetch_add(1);
  auto* object = static_cast<QxDiagnosisObject*>(object_.load());
  if (object != nullptr) object->functions->WriteTrace(object, type, level, text.c_str());
  writers_.fetch_sub(1);
  return object != nullptr;
}

CDiagnosis& Diagnosis() {
  alignas(CDiagnosis) static unsigned char storage[sizeof(CDiagnosis)];
  static CDiagnosis* const diagnosis = ::new (storage) CDiagnosis();
  return *diagnosis;
}

}  // namespace qx
