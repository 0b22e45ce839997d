// dynamic_library.h - a loaded shared library, unloaded when the object goes.
//
//   DynamicLibrary lib;
//   if (lib.Open("/usr/lib/qxremote/remotecall/libtools.so")) auto* f = lib.Symbol("Run");
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
  void* Symbol(const char* name) const;
  void Close();
  bool IsOpen() const { return handle_ != nullptr; }
  void* handle() const { return handle_; }
  // The loader's text for the last failure on this thread.
  static std::string LastError();

 private:
  void* handle_ = nullptr;
};

}  // namespace qx
