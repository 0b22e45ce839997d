// module_location.h - where the code of this module lies on disk.
//
// The module looks for its companion libraries (the diagnostics library) next to itself first.
// Any thread may call.
//
//   std::string dir = ModuleDirectory();   // "/usr/lib/x86_64-linux-gnu", or "" when unknown
#pragma once

#include <string>

namespace qx {

// The directory of the shared object (or executable) that holds this function; empty when the
// loader does not say.
std::string ModuleDirectory();

}  // namespace qx
