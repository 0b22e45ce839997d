// net_tree_internal.h - what the network tree's own files share: its trace source.
// Not for use outside src/nettree/.
#pragma once

#include "trace/trace.h"

namespace qx {

// The trace source "NetTree" of the tree's lines.
const CTraceSource& NetTreeTraceSource();

}  // namespace qx
