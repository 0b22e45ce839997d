// debug_output.h - the platform debug output channel and the trace viewer test.
//
// OutputDebugLine sends one line, unfiltered, as a datagram to the runtime directory's debug
// socket ("debug.sock"), where "qxstation trace" reads it; with nobody listening the line is
// dropped. TraceViewerPresent tells whether "qxstation trace --tree" holds "tracetree.sock"
// (the answer is cached for a short while). Any thread may call both.
#pragma once

#include <string_view>

namespace qx {

void OutputDebugLine(std::string_view line);
bool TraceViewerPresent();
// Forgets the cached answer of TraceViewerPresent (tests that start or stop a viewer).
void ResetTraceViewerCacheForTesting();

}  // namespace qx
