// Critical sections: recursive locks owned by a thread, as on Windows.
//
// InitializeCriticalSection allocates the lock and keeps it behind
// LockSemaphore; DeleteCriticalSection frees it. The other fields of the
// structure are not used (nobody reads them): they stay as initialised.
//
// Misuse that Windows leaves undefined (using a section that was never
// initialised or was deleted, leaving a section that the thread does not own,
// deleting a section that another thread owns) ends the process with a
// message instead of corrupting the lock. So does a wait of more than
// kEnterLimit for a section that another thread holds (Windows raises
// EXCEPTION_POSSIBLE_DEADLOCK after its own, much longer, limit): a section
// left held by a faulty change fails a test within seconds, naming the
// holder, instead of hanging it until the test's time-out.
#include <windows.h>

#include "thread.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include <pthread.h>
#include <time.h>

namespace
{

constexpr time_t kEnterLimit = 20; // seconds

struct SectionLock {
    // pthread_mutex_timedlock rather than std::timed_mutex, whose
    // pthread_mutex_clocklock ThreadSanitizer does not see.
    struct Mutex {
        pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
        ~Mutex() { pthread_mutex_destroy(&m); }
        void unlock() { pthread_mutex_unlock(&m); }
        bool LockWithin(time_t tSeconds)
        {
            timespec deadline{};
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_sec += tSeconds;
            return pthread_mutex_timedlock(&m, &deadline) == 0;
        }
    } mutex;
    // The owning thread, 0 when free. A thread only ever finds its own id
    // here if it stored it, so relaxed loads are enough for that test.
    std::atomic<DWORD> dwOwner{0};
    LONG lRecursion = 0; // touched only by the owner
};

[[noreturn]] void Misuse(const char *pszFunction, const char *pszWhat)
{
    std::fprintf(stderr, "%s: %s\n", pszFunction, pszWhat);
    std::fflush(stderr);
    std::abort();
}

SectionLock *LockOf(LPCRITICAL_SECTION lpCriticalSection, const char *pszFunction)
{
    if (lpCriticalSection == nullptr) {
        Misuse(pszFunction, "null critical section");
    }
    SectionLock *pLock = static_cast<SectionLock *>(lpCriticalSection->LockSemaphore);
    if (pLock == nullptr) {
        Misuse(pszFunction, "critical section is not initialised");
    }
    return pLock;
}

} // namespace

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    if (lpCriticalSection == nullptr) {
        Misuse("InitializeCriticalSection", "null critical section");
    }
    lpCriticalSection->DebugInfo = nullptr;
    lpCriticalSection->LockCount = -1;
    lpCriticalSection->RecursionCount = 0;
    lpCriticalSection->OwningThread = nullptr;
    lpCriticalSection->SpinCount = 0;
    // Windows Vista and later cannot fail here: they raise no exception and
    // return nothing. Running out of memory this early is fatal here too.
    lpCriticalSection->LockSemaphore = new SectionLock;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    SectionLock *pLock = LockOf(lpCriticalSection, "DeleteCriticalSection");
    const DWORD dwOwner = pLock->dwOwner.load(std::memory_order_relaxed);
    if (dwOwner != 0) {
        if (dwOwner != qvn::CurrentThreadId()) {
            Misuse("DeleteCriticalSection", "critical section is owned by another thread");
        }
        pLock->mutex.unlock();
    }
    delete pLock;
    lpCriticalSection->LockSemaphore = nullptr;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    SectionLock *pLock = LockOf(lpCriticalSection, "EnterCriticalSection");
    const DWORD dwSelf = qvn::CurrentThreadId();
    if (pLock->dwOwner.load(std::memory_order_relaxed) == dwSelf) {
        ++pLock->lRecursion;
        return;
    }
    if (!pLock->mutex.LockWithin(kEnterLimit)) {
        char szWhat[96];
        std::snprintf(szWhat, sizeof(szWhat), "waited %lld s for a critical section that thread %lu holds",
                      static_cast<long long>(kEnterLimit),
                      static_cast<unsigned long>(pLock->dwOwner.load(std::memory_order_relaxed)));
        Misuse("EnterCriticalSection", szWhat);
    }
    pLock->dwOwner.store(dwSelf, std::memory_order_relaxed);
    pLock->lRecursion = 1;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    SectionLock *pLock = LockOf(lpCriticalSection, "LeaveCriticalSection");
    if (pLock->dwOwner.load(std::memory_order_relaxed) != qvn::CurrentThreadId()) {
        Misuse("LeaveCriticalSection", "critical section is not owned by the calling thread");
    }
    if (--pLock->lRecursion > 0) {
        return;
    }
    pLock->dwOwner.store(0, std::memory_order_relaxed);
    pLock->mutex.unlock();
}

} // extern "C"
