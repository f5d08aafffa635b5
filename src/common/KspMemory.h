// The module's one allocation policy: running out of memory throws the
// NTE_NO_MEMORY status error instead of returning null.
#ifndef KSP_MEMORY_H
#define KSP_MEMORY_H

#include <cstddef>

void *KspAllocate(std::size_t cbSize);
void KspDeallocate(void *pvMemory);

#endif
