// process_facts.h - what /proc tells of a running process: how long it has run, its resident
// memory and its open descriptors.
//
// Each call reads the process's files afresh (at most a few KiB of stat and status, and one
// listing of its fd folder, counted up to kMaxCountedDescriptors); a fact that cannot be read
// (no such process, no permission, a strange file) stays empty. No state; any thread may call.
//
//   const ProcessFacts self = ReadProcessFacts("/proc/self");
//   if (self.residentBytes) Print(*self.residentBytes);
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace qx {

// Counting a process's descriptors stops here: the figure is "at least" beyond it.
inline constexpr std::uint64_t kMaxCountedDescriptors = 1u << 20;

struct ProcessFacts {
  std::optional<double> uptimeSeconds;           // since the process started
  std::optional<std::uint64_t> residentBytes;    // VmRSS
  std::optional<std::uint64_t> openDescriptors;  // entries of its fd folder
};

// procDir is the process's folder: "/proc/self" or "/proc/<pid>".
ProcessFacts ReadProcessFacts(const std::string& procDir);

// The first limit bytes of a file of /proc (empty when it cannot be read): they are small, and
// the bound keeps a strange one harmless.
std::string ReadProcText(const std::string& path, std::size_t limit = 16384);

}  // namespace qx
