#include "common/KspMemory.h"

#include <cstdlib>
#include <new>

#include "common/KspError.h"

void *KspAllocate(std::size_t cbSize)
{
    void *pvMemory = std::malloc(cbSize);
    if (pvMemory == NULL) {
        throw CKspError(g_errNoMemory);
    }
    return pvMemory;
}

void KspDeallocate(void *pvMemory)
{
    if (pvMemory != NULL) {
        std::free(pvMemory);
    }
}

// Every new-expression and standard container of the module allocates
// through KspAllocate, so exhaustion anywhere becomes NTE_NO_MEMORY.
void *operator new(std::size_t cbSize)
{
    return KspAllocate(cbSize);
}

void *operator new[](std::size_t cbSize)
{
    return KspAllocate(cbSize);
}

void operator delete(void *pvMemory) noexcept
{
    KspDeallocate(pvMemory);
}

void operator delete[](void *pvMemory) noexcept
{
    KspDeallocate(pvMemory);
}

void operator delete(void *pvMemory, std::size_t) noexcept
{
    KspDeallocate(pvMemory);
}

void operator delete[](void *pvMemory, std::size_t) noexcept
{
    KspDeallocate(pvMemory);
}
