// remote_file_answers.cpp - REMOTECALL (a library function run for another station), OPENFILE
// (a file's three times) and READFILE (a block of a file's bytes).
//
// Libraries load only from the REMOTECALL library directories and files are read only below
// the file roots (path_policy.h), each opened beneath its directory and then used only through
// that descriptor: the loader loads the opened file, the times and bytes come from it. Only
// regular files open; a FIFO or device below a root is refused at once, without waiting on it.
// A library is loaded and unloaded for every call; only a function that the library itself
// defines is called (not one of its dependencies'), under a catch-all for C++ exceptions (a
// function that crashes the process cannot be caught). A READFILE COUNT is checked against the
// readFileLimit setting before any byte is allocated, and the answer grows with the bytes that
// the file gives, never to COUNT at once. FROM and COUNT are signed 32-bit numbers on
// the wire, so a file can be read up to 2 GiB - 1 from its start and no further by this request.
#include "server/remote_file_answers.h"

#include <algorithm>
#include <new>
#include <string>

#include "common/bstr.h"
#include "common/little_endian.h"
#include "common/text.h"
#include "platform/dynamic_library.h"
#include "platform/file.h"
#include "qxremoteserver.h"
#include "rpc/rpc_settings.h"
#include "server/path_policy.h"
#include "server/path_settings.h"
#include "trace/counters.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kSource("AnswerRequest");

unsigned long AddressValue(const void* pointer) {
  return static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(pointer));
}

// Calls the function with the parameter; the function's answer (even one written before it
// threw) goes to *answer when the caller wants one.
HRESULT CallRemoteFunction(QXRemoteFunction function, const std::string& functionName,
                           const std::string& dll, const std::optional<std::string>& parameter,
                           AnswerText* answer) {
  UniqueBstr parameterBstr;
  if (parameter) {
    parameterBstr.reset(AllocBstrFromUtf8(*parameter));
    if (!parameterBstr) return E_OUTOFMEMORY;
  }
  BSTR reply = nullptr;
  HRESULT result = E_FAIL;
  try {
    result = function(parameterBstr.get(), answer != nullptr ? &reply : nullptr);
    Trace(kSource, nullptr, nullptr, kTraceRemoteCall, kLevelEvents,
          "%s(%s) in %s is successfully called and returned hr(%x)", functionName.c_str(),
          parameter ? parameter->c_str() : "<null>", dll.c_str(), static_cast<unsigned>(result));
  } catch (...) {
    result = E_FAIL;
    TraceError(kSource, "function(%s) in dll(%s) caused an exception!", functionName.c_str(),
               dll.c_str());
  }

  UniqueBstr replyOwner(reply);
  if (answer != nullptr && reply != nullptr) {
    std::optional<std::string> text = BstrToUtf8(reply);
    if (text) {
      *answer = std::move(*text);
    } else {
      TraceError(kSource, "function(%s) in dll(%s) answered a text that is not UTF-16",
                 functionName.c_str(), dll.c_str());
      if (Succeeded(result)) result = E_FAIL;
    }
  }
  return result;
}

// Up to count bytes from the file's position. The block grows as bytes come, from
// kFirstReadBlock, doubling when full, so that a COUNT far beyond the end of a file costs only
// what the file holds; the answer holds exactly what was read.
constexpr std::size_t kFirstReadBlock = 64 * 1024;
ByteBlock ReadUpTo(CFILEW& handle, std::size_t count) {
  ByteBlock data(std::min(count, kFirstReadBlock));
  std::size_t done = 0;
  for (;;) {
    if (done == data.size()) {
      if (done == count) break;
      data.resize(std::min(count, 2 * done));
    }
    const std::int64_t n = handle.Read(data.data() + done, data.size() - done);
    if (n < 0) throw FileError{handle.lastError()};
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  data.resize(done);
  data.shrink_to_fit();
  return data;
}

void AddFileTime(CXmlElement* parent, const char* tag, const FileTime& time) {
  CXmlElement element;
  if (!parent->AddChild(tag, &element)) return;
  element.AddUIntChild("high", time.high);
  element.AddUIntChild("low", time.low);
}

}  // namespace

std::optional<std::string> ReadFileRequestText(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size == 0 || size % 2 != 0) return std::nullopt;
  std::u16string units;
  for (std::size_t i = 0; i < size; i += 2) {
    const char16_t unit = static_cast<char16_t>(GetLe16(data + i));
    if (unit == 0) return Utf16ToUtf8(units);
    units.push_back(unit);
  }
  return std::nullopt;
}

HRESULT PerformDllCall(const CXmlElement& request, AnswerText* answer) {
  const std::string dll = request.GetSubText("DLL");
  const std::string functionName = request.GetSubText("FUNCTION");

  CFILEW file;
  const PathKind library = OpenLibrary(dll, RemoteCallLibraryDirs(), &file);
  if (library == PathKind::kOutside) {
    TraceError(kSource, "PerformDllCall: dll(%s) is outside the library directories", dll.c_str());
    return E_ACCESSDENIED;
  }

  DynamicLibrary lib;
  void* symbol = nullptr;
  if (library == PathKind::kAllowed && lib.OpenDescriptor(file.fd()) && !functionName.empty()) {
    symbol = lib.Symbol(functionName.c_str());
  }
  file.Close();  // the loader keeps its own mapping
  TraceErrorUnless(kSource, symbol != nullptr, "PerformDllCall hLib(%s) = %lx pfn(%s) = %lx",
                   dll.c_str(), AddressValue(lib.handle()), functionName.c_str(),
                   AddressValue(symbol));
  if (symbol == nullptr) return E_FAIL;
  // The lookup also finds what the library's dependencies define (the C library's "system"):
  // only a function of the named library itself may run.
  if (!lib.DefinesFunction(symbol)) {
    TraceError(kSource, "PerformDllCall: function(%s) is not a function that dll(%s) defines",
               functionName.c_str(), dll.c_str());
    return E_ACCESSDENIED;
  }

  std::optional<std::string> parameter;
  CXmlElement param;
  if (request.FindChild("PARAM", &param)) {
    std::string inner;
    param.GetInnerXml(&inner);
    parameter = std::move(inner);
  }
  return CallRemoteFunction(reinterpret_cast<QXRemoteFunction>(symbol), functionName, dll,
                            parameter, answer);
}

HRESULT AnswerOpenFile(const CXmlElement& request, AnswerText* answer) {
  const std::string name = request.GetSubText("FILE");
  CFILEW handle;
  const PathKind file = OpenBelowRoots(name, RemoteFileRoots(), &handle);
  if (file == PathKind::kOutside) {
    TraceError(kSource, "AnswerOpenFile: file(%s) is outside the file roots", name.c_str());
    return E_ACCESSDENIED;
  }
  if (file != PathKind::kAllowed) return E_FAIL;

  FileTimes times;
  if (!handle.GetTimes(&times)) times = FileTimes{};

  CXmlElement fileTime;
  if (!fileTime.CreateRoot("FILETIME")) return E_FAIL;
  AddFileTime(&fileTime, "Creation", times.creation);
  AddFileTime(&fileTime, "LastAccess", times.lastAccess);
  AddFileTime(&fileTime, "LastWrite", times.lastWrite);

  HRESULT result = E_FAIL;
  CXmlElement root;
  std::string text;
  if (root.CreateRoot("RESULT") && root.AppendCopy(fileTime) && root.GetXml(&text)) {
    if (answer != nullptr) *answer = std::move(text);
    result = S_OK;
  }
  handle.Close();
  return result;
}

HRESULT AnswerReadFile(const std::uint8_t* request, std::size_t size, ByteBlock* block) {
  const std::optional<std::string> text = ReadFileRequestText(request, size);
  if (!text) {
    TraceError(kSource, "AnswerReadFile: the request is not a terminated UTF-16 text");
    return E_INVALIDARG;
  }
  CXmlElement tree;
  if (!tree.LoadXml(*text)) return E_FAIL;

  const std::int32_t count = tree.GetSubInt("COUNT");
  const std::int32_t from = tree.GetSubInt("FROM");
  const std::string name = tree.GetSubText("FILE");
  const std::uint32_t limit = ReadRpcSettings().readFileLimit;
  if (count < 0 || from < 0 || static_cast<std::uint32_t>(count) > limit) {
    TraceError(kSource, "AnswerReadFile: FROM(%d) COUNT(%d) out of range (limit %u) for %s",
               static_cast<int>(from), static_cast<int>(count), limit, name.c_str());
    return E_INVALIDARG;
  }
  CFILEW handle;
  const PathKind file = OpenBelowRoots(name, RemoteFileRoots(), &handle);
  if (file == PathKind::kOutside) {
    TraceError(kSource, "AnswerReadFile: file(%s) is outside the file roots", name.c_str());
    return E_ACCESSDENIED;
  }

  try {
    if (file != PathKind::kAllowed) throw FileError{handle.lastError()};
    handle.setUseExceptions(true);
    handle.Seek(static_cast<std::uint64_t>(from));
    ByteBlock data = ReadUpTo(handle, static_cast<std::size_t>(count));
    handle.Close();
    metrics::Add(Metric::kCopyBytesServed, data.size());
    if (block != nullptr) *block = std::move(data);
    return S_OK;
  } catch (const FileError& error) {
    TraceError(kSource, "Exception(%s) in readFile", error.text.c_str());
  } catch (const std::bad_alloc&) {
    TraceError(kSource, "Exception(%s) in readFile", "out of memory");
    return E_OUTOFMEMORY;
  } catch (...) {
    TraceError(kSource, "Exception(%s) in readFile", "unknown");
  }
  return E_UNEXPECTED;
}

}  // namespace qx
