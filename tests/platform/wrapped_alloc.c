/* Linked with --wrap=malloc and --wrap=free, as the module is: these calls
 * reach the platform's C runtime, which counts the module's allocations. */
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
