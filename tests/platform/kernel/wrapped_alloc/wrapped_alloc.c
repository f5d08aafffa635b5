#include "wrapped_alloc.h"

#include <stdlib.h>
#include <string.h>

void *WrappedAllocate(size_t cb, unsigned char bFill)
{
    void *pv = malloc(cb);
    if (pv != NULL) {
        memset(pv, bFill, cb);
    }
    return pv;
}

void WrappedFree(void *pv)
{
    free(pv);
}
