// project_state.h - the record of the local project's state, as the project manager reports it.
//
// One record per module: the DSN and state of the project that the local project manager last
// reported (each at most 127 characters). Written by discovery messages and by the watch timer,
// read when PROJECT records are written. Guarded by a lock of its own; any thread may call.
//
//   SetCurrentProjectState("Plant", "Run Time");
//   std::string s = GetCurrentProjectState("PLANT");   // "Run Time"
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qx {

inline constexpr std::size_t kStateFieldUnits = 127;

// An empty state empties both fields; otherwise both are stored, each cut to 127 characters.
void SetCurrentProjectState(std::string_view dsn, std::string_view state);
// Changes with every SetCurrentProjectState.
std::uint64_t CurrentProjectStateVersion();
// The recorded state when dsn equals the recorded DSN ignoring case, cut to capacity-1
// characters; otherwise empty.
std::string GetCurrentProjectState(std::string_view dsn, std::size_t capacity = 256);
std::string GetCurrentProjectDsn();

}  // namespace qx
