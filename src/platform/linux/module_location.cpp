// module_location.cpp - ModuleDirectory through the loader's dladdr.
#include "platform/module_location.h"

#include <dlfcn.h>

namespace qx {
namespace {

// An object of this library whose address the loader can attribute to it.
const char kMarker = 0;

}  // namespace

std::string ModuleDirectory() {
  Dl_info info{};
  if (::dladdr(&kMarker, &info) == 0 || info.dli_fname == nullptr) return {};
  const std::string path = info.dli_fname;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace qx
