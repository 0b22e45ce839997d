// dynamic_library.h - a loaded shared library, unloaded when the object goes.
//
// A symbol looked up on a library is searched in the libraries it depends on as well (the C
// library's functions among them); DefinesFunction tells whether an address is a function of
// this library's own. One thread per object.
//
//   DynamicLibrary lib;
//   if (lib.Open("/usr/lib/qxremote/remotecall/libtools.so")) auto* f = lib.Symbol("Run");
//   if (f != nullptr && lib.DefinesFunction(f)) ...
#pragma once

#include <string>

namespace qx {

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary() { Close(); }
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  bool Open(const std::string& path);  // RTLD_NOW | RTLD_LOCAL
  // Loads the library from a file open for reading (the descriptor stays the caller's and may
  // be closed after), so that the object loaded is the file that was opened, not whatever its
  // path names by now.
  bool OpenDescriptor(int fd);
  void* Symbol(const char* name) const;
  // True when address lies in a function (not data) that this library itself defines; false
  // for one of a library that it depends on, or when no library is loaded.
  bool DefinesFunction(const void* address) const;
  void Close();
  bool IsOpen() const { return handle_ != nullptr; }
  void* handle() const { return handle_; }
  // The loader's text for the last failure on this thread.
  static std::string LastError();

 private:
  void* handle_ = nullptr;
};

}  // namespace qx
