// What the end-to-end suite can steer and observe beyond the Win32 surface.
//
// On Linux the platform stand-in offers test controls (live CryptoAPI handle
// counts, injected failures, a log of the CryptoAPI calls, the emulated
// Windows version, prompt marks on containers). On Windows the platform is
// the real one and none of that exists: each function then reports that it is
// not available and the assertion that needs it is skipped. The cases
// themselves are the same on both.
#ifndef QVN_E2E_PLATFORM_H
#define QVN_E2E_PLATFORM_H

#include <windows.h>

#include <string>
#include <vector>

// A container that the CSP can only open after a prompt: under CRYPT_SILENT
// it answers NTE_SILENT_CONTEXT. The stand-in is told so explicitly
// (MarkContainerNeedsPrompt); the Wine test CSP decides by the name's prefix.
#ifdef _WIN32
#include "QvnWineCsp.h"
#define E2E_PROMPT_CONTAINER QVN_WINE_CSP_PROMPT_PREFIX_W L"E2E"
#else
#define E2E_PROMPT_CONTAINER TEXT("QvnPrompt-E2E")
#endif

namespace e2e
{

using WString = std::basic_string<WCHAR>;

namespace platform
{

// Whether the controls below exist here, and why not when they do not.
bool HasControls();
const char *ControlsUnavailableReason();

// A key store of the process's own for the CSPs (Linux: a fresh directory,
// removed again by RemoveKeyStore). On Windows the CSPs keep their own store.
void PrepareKeyStore();
void RemoveKeyStore();

// Whether opening the container under CRYPT_SILENT must fail for a prompt.
// True when that is now the case (on Wine: the name carries the prefix).
bool MarkContainerNeedsPrompt(LPCWSTR pszProvider, LPCWSTR pszContainer, DWORD dwFlags);

struct HandleCounts {
    LONG lContexts = 0;
    LONG lKeys = 0;
    LONG lHashes = 0;
};
bool GetLiveHandleCounts(HandleCounts &counts);

// Blocks that the loaded module allocated and has not freed yet.
bool GetModuleLiveBlocks(LONG &lBlocks);

// The nth allocation of the module from now (1: the next) fails; 0 cancels.
bool FailModuleMalloc(DWORD nthCall);

// The emulated Windows version; ResetPlatformControls restores 10.0.
bool SetWindowsVersion(DWORD dwMajor, DWORD dwMinor);

// The nth call from now of a CryptoAPI function fails with dwError.
bool FailCall(const char *pszFunction, DWORD nthCall, DWORD dwError);

// Clears injected failures (allocations too), the call log and the emulated version.
void ResetPlatformControls();

// CryptAcquireContextW calls logged since the last reset.
struct AcquireCall {
    WString strProvider;
    WString strContainer;
    bool fContainerNull = false;
    DWORD dwProvType = 0;
    DWORD dwFlags = 0;
    bool fSucceeded = false;
};
bool GetAcquireCalls(std::vector<AcquireCall> &calls);

// Number of logged calls of one CryptoAPI function since the last reset.
bool CountCalls(const char *pszFunction, DWORD &dwCount);

} // namespace platform
} // namespace e2e

#endif
