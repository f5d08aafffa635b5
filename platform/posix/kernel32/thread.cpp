// Per-thread state of kernel32: the thread's identity and its last-error value.
#include "thread.h"

#include <atomic>

namespace
{

std::atomic<DWORD> g_dwLastThreadId{0};

// Both are trivially destructible, so they stay usable while other
// thread-local objects of the thread are destroyed.
thread_local DWORD t_dwThreadId = 0;
thread_local DWORD t_dwLastError = ERROR_SUCCESS;

} // namespace

namespace qvn
{

DWORD CurrentThreadId()
{
    if (t_dwThreadId == 0) {
        t_dwThreadId = g_dwLastThreadId.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    return t_dwThreadId;
}

} // namespace qvn

extern "C" {

DWORD WINAPI GetLastError(void)
{
    return t_dwLastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    t_dwLastError = dwErrCode;
}

} // extern "C"
