// heap_memory.h - giving freed heap memory back to the operating system.
//
// After a burst of large requests the allocator keeps the freed pages for reuse, so the
// process stays at its peak size. ReturnFreeHeapMemory hands what is free back at once; it
// costs a walk over the heap, so callers limit how often they call it. Any thread may call.
#pragma once

namespace qx {

void ReturnFreeHeapMemory();

}  // namespace qx
