#include "E2EPlatform.h"

#ifdef _WIN32

namespace e2e
{
namespace platform
{

bool HasControls()
{
    return false;
}

const char *ControlsUnavailableReason()
{
    return "the Windows platform has no test controls";
}

void PrepareKeyStore() {}
void RemoveKeyStore() {}

bool MarkContainerNeedsPrompt(LPCWSTR, LPCWSTR, DWORD)
{
    return true; // the test CSP under Wine recognises E2E_PROMPT_CONTAINER by its prefix
}

bool GetLiveHandleCounts(HandleCounts &)
{
    return false;
}

bool GetModuleLiveBlocks(LONG &)
{
    return false;
}

bool FailModuleMalloc(DWORD)
{
    return false;
}

bool SetWindowsVersion(DWORD, DWORD)
{
    return false;
}

bool FailCall(const char *, DWORD, DWORD)
{
    return false;
}

void ResetPlatformControls() {}

bool GetAcquireCalls(std::vector<AcquireCall> &)
{
    return false;
}

bool CountCalls(const char *, DWORD &)
{
    return false;
}

} // namespace platform
} // namespace e2e

#else

#include <qvnplatform.h>

#include <TestSupport.h>

#include <cstdlib>
#include <memory>
#include <mutex>

namespace e2e
{
namespace platform
{

namespace
{

std::mutex g_storeMutex;
std::unique_ptr<qvntest::ScopedStore> g_pStore;

} // namespace

bool HasControls()
{
    return true;
}

const char *ControlsUnavailableReason()
{
    return "";
}

void PrepareKeyStore()
{
    std::lock_guard<std::mutex> lock(g_storeMutex);
    if (!g_pStore) {
        g_pStore = std::make_unique<qvntest::ScopedStore>();
        // Removed also when a case ends the process on purpose.
        std::atexit(RemoveKeyStore);
    }
}

void RemoveKeyStore()
{
    std::lock_guard<std::mutex> lock(g_storeMutex);
    g_pStore.reset();
}

bool MarkContainerNeedsPrompt(LPCWSTR pszProvider, LPCWSTR pszContainer, DWORD dwFlags)
{
    return QvnPlatformSetContainerNeedsPrompt(pszProvider, pszContainer, dwFlags, TRUE) != FALSE;
}

bool GetLiveHandleCounts(HandleCounts &counts)
{
    counts.lContexts = QvnPlatformLiveContexts();
    counts.lKeys = QvnPlatformLiveKeys();
    counts.lHashes = QvnPlatformLiveHashes();
    return true;
}

bool GetModuleLiveBlocks(LONG &lBlocks)
{
    lBlocks = QvnPlatformModuleLiveBlocks();
    return true;
}

bool FailModuleMalloc(DWORD nthCall)
{
    QvnPlatformFailModuleMalloc(nthCall);
    return true;
}

bool SetWindowsVersion(DWORD dwMajor, DWORD dwMinor)
{
    QvnPlatformSetWindowsVersion(dwMajor, dwMinor);
    return true;
}

bool FailCall(const char *pszFunction, DWORD nthCall, DWORD dwError)
{
    QvnPlatformFailCall(pszFunction, nthCall, dwError);
    return true;
}

void ResetPlatformControls()
{
    QvnPlatformClearFailures();
    QvnPlatformFailModuleMalloc(0);
    QvnPlatformClearCallLog();
    QvnPlatformSetWindowsVersion(10, 0);
}

bool GetAcquireCalls(std::vector<AcquireCall> &calls)
{
    calls.clear();
    const DWORD dwCount = QvnPlatformGetCallCount();
    for (DWORD i = 0; i < dwCount; ++i) {
        QVN_CALL_RECORD record = {};
        if (!QvnPlatformGetCall(i, &record) || std::string(record.szFunction) != "CryptAcquireContextW") {
            continue;
        }
        AcquireCall call;
        call.strProvider = record.szProvider;
        call.strContainer = record.szContainer;
        call.fContainerNull = record.fContainerNull != FALSE;
        call.dwProvType = record.dwProvType;
        call.dwFlags = record.dwFlags;
        call.fSucceeded = record.fSucceeded != FALSE;
        calls.push_back(call);
    }
    return true;
}

bool CountCalls(const char *pszFunction, DWORD &dwCount)
{
    dwCount = QvnPlatformCountCalls(pszFunction);
    return true;
}

} // namespace platform
} // namespace e2e

#endif
