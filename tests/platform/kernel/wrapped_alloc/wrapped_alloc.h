/* A shared object linked with --wrap=malloc and --wrap=free, as the module
 * is: its allocations go through the platform's C runtime. */
#ifndef QVN_TEST_WRAPPED_ALLOC_H
#define QVN_TEST_WRAPPED_ALLOC_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* malloc(cb); when the block was allocated, every byte is set to bFill. */
void *WrappedAllocate(size_t cb, unsigned char bFill);
/* free(pv). */
void WrappedFree(void *pv);

#ifdef __cplusplus
}
#endif

#endif
