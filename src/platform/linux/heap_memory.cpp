// heap_memory.cpp - ReturnFreeHeapMemory with glibc's malloc_trim.
#include "platform/heap_memory.h"

#include <malloc.h>

namespace qx {

void ReturnFreeHeapMemory() { ::malloc_trim(0); }

}  // namespace qx
