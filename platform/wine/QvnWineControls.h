// The platform's test controls on Windows, as qvnplatform.h gives them on
// Linux, for the Windows test programs that run under Wine with the product
// DLL (the fault sweep, the fuzz corpus replay): CryptoAPI failures, the
// calls made and the handles open come from the Wine test CSP (QvnWineCsp.h);
// the module's allocations (and the Windows version it is told) from its
// imports, patched in the test process by HookModuleImports, the DLL itself
// unchanged.
#ifndef QVN_WINE_CONTROLS_H
#define QVN_WINE_CONTROLS_H

#include <windows.h>
#include <wincrypt.h>

#include "QvnWineCsp.h"

typedef QVN_WINE_CSP_CALL QVN_CALL_RECORD;
void QvnPlatformFailCall(const char *pszFunction, DWORD nthCall, DWORD dwError);
void QvnPlatformClearFailures();
void QvnPlatformClearCallLog();
DWORD QvnPlatformGetCallCount();
BOOL QvnPlatformGetCall(DWORD dwIndex, QVN_CALL_RECORD *pRecord);
LONG QvnPlatformLiveContexts();
LONG QvnPlatformLiveKeys();
LONG QvnPlatformLiveHashes();
// The module's allocations: malloc, calloc and realloc count (and fail) alike.
void QvnPlatformFailModuleMalloc(DWORD nthCall);
DWORD QvnPlatformModuleMallocCount();
LONG QvnPlatformModuleLiveBlocks();
void QvnPlatformResetModuleCounters();
void QvnPlatformTrackModuleFrees(BOOL fTrack);
BOOL QvnPlatformGetModuleFree(DWORD dwIndex, SIZE_T *pcbBlock, BOOL *pfAllZero);

// The Windows version that the module is told (default 10.0).
void QvnPlatformSetWindowsVersion(DWORD dwMajorVersion, DWORD dwMinorVersion);

// Patches the module's imports of msvcrt's malloc, calloc, realloc and free
// with the counting ones above, and of VerifyVersionInfoW with one that
// answers for the version set; false if it imports them otherwise.
bool HookModuleImports(HMODULE hModule);

// QvnTpmKsp.dll from the program's directory, its imports patched (null,
// with a message, if that failed).
HMODULE QvnWineLoadModule();

#endif
