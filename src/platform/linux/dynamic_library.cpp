// dynamic_library.cpp - dlopen / dlsym / dlclose behind DynamicLibrary.
//
// The loader's error text is kept per thread at the failing call, because dlerror() forgets it
// at the next loader call. One thread per object; LastError concerns the calling thread.
// The per-thread buffer is a plain array: a thread_local with a destructor would make the
// loader keep this module loaded until the thread ends, so dlclose could never unload it.
// Which object defines an address is judged by the loader's own records (its link map entry),
// never by file names.
#include "platform/dynamic_library.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstdio>
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

bool DynamicLibrary::OpenDescriptor(int fd) {
  if (fd < 0) {
    Close();
    Remember("no file is open");
    return false;
  }
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return Open(path);
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

bool DynamicLibrary::DefinesFunction(const void* address) const {
  if (handle_ == nullptr || address == nullptr) return false;
  link_map* own = nullptr;
  if (::dlinfo(handle_, RTLD_DI_LINKMAP, &own) != 0 || own == nullptr) return false;
  Dl_info info{};
  void* extra = nullptr;
  if (::dladdr1(address, &info, &extra, RTLD_DL_LINKMAP) == 0) return false;
  if (static_cast<link_map*>(extra) != own || info.dli_fbase == nullptr) return false;
  void* entry = nullptr;
  if (::dladdr1(address, &info, &entry, RTLD_DL_SYMENT) == 0 || entry == nullptr) return false;
  const auto* symbol = static_cast<const ElfW(Sym)*>(entry);
  const unsigned type = ELF64_ST_TYPE(symbol->st_info);
  return (type == STT_FUNC || type == STT_GNU_IFUNC) && info.dli_saddr == address;
}

void DynamicLibrary::Close() {
  if (handle_ != nullptr) {
    ::dlclose(handle_);
    handle_ = nullptr;
  }
}

std::string DynamicLibrary::LastError() { return std::string(t_lastError); }

}  // namespace qx
