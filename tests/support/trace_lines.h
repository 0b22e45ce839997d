// trace_lines.h - TraceLines, the trace lines that this process sends to the debug output of
// its station, for tests that check a trace the system defines.
//
// Binds debug.sock in the station's runtime directory (QX_RUNTIME_DIR, set by StationDir), turns
// every trace type and level on while it lives and restores the masks after. Lines() collects
// what arrived so far without waiting. One thread per object.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/unix_socket.h"

namespace qx::testing {

class TraceLines {
 public:
  TraceLines();
  ~TraceLines();
  TraceLines(const TraceLines&) = delete;
  TraceLines& operator=(const TraceLines&) = delete;

  // Every line received so far, in order.
  const std::vector<std::string>& Lines();
  // How many lines hold part; whether one does.
  int Count(const std::string& part);
  bool Contains(const std::string& part) { return Count(part) > 0; }

 private:
  std::string path_;
  unix_socket::UniqueFd fd_;
  std::vector<std::string> lines_;
  std::uint32_t previousType_ = 0;
  std::uint32_t previousLevel_ = 0;
};

}  // namespace qx::testing
