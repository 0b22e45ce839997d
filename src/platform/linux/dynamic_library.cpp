// dynamic_library.cpp - dlopen / dlsym / dlclose behind DynamicLibrary.
//
// The loader's error text is kept per thread at the failing call, because dlerror() forgets it
// at the next loader call. One thread per object; LastError concerns the calling thread.
// The per-thread buffer is a plain array: a thread_local with a destructor would make the
// loader keep this module loaded until the thread ends, so dlclose could never unload it.
#include "platform/dynamic_library.h"

#include <dlfcn.h>

#include <cstring>

namespace qx {
namespace {

thread_local char t_lastError[512];

void Remember(const char* text) {
  std::strncpy(t_lastError, text, sizeof t_lastError - 1);
  t_lastError[sizeof t_lastError - 1] = '\0';
}

void RememberError(const char* fallback) {
  const char* text = ::dlerror();
  Remember(text != nullptr ? text : fallback);
}

}  // namespace

bool DynamicLibrary::Open(const std::string& path) {
  Close();
  ::dlerror();
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    RememberError("the library does not load");
    return false;
  }
  return true;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr || name == nullptr) {
    Remember("no library is loaded");
    return nullptr;
  }
  ::dlerror();
  void* address = ::dlsym(handle_, name);
  if (address == nullptr) RememberError("symbol not found");
  return address;
}

void DynamicLibrary::Close() {
  if (handle_ != nullptr) {
    ::dlclose(handle_);
    handle_ = nullptr;
  }
}

std::string DynamicLibrary::LastError() { return std::string(t_lastError); }

}  // namespace qx
