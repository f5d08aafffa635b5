// The fault sweep's ground on Windows (run under Wine with the product DLL):
// the test controls that the Linux stand-in offers, made of the Wine test
// CSP's (CryptoAPI failures, the calls made, the handles open) and of the
// module's imports of the C runtime's heap, patched in this process so that
// its allocations can fail and be counted (the DLL itself unchanged); and the
// keys and judge that TestSupport gives on Linux, made by Wine's rsaenh
// (never the test CSP) instead of OpenSSL.
#ifndef QVN_TESTS_HARDENING_WINEFAULTS_H
#define QVN_TESTS_HARDENING_WINEFAULTS_H

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

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

namespace qvntest
{

using Bytes = std::vector<BYTE>;
std::string Hex(const Bytes &bytes);
Bytes PatternBytes(size_t cb, unsigned seed);
extern const WCHAR *const kAlderProvider, *const kBirchProvider, *const kCedarProvider, *const kDogwoodProvider;

// The Wine prefix is the store (CreateContainerWithKey replaces what an
// earlier run left); what is reset is the test controls.
struct ScopedStore {
    ScopedStore();
};

// An RSA key pair as its PRIVATEKEYBLOB (exchange pair), made once per process.
struct TestKey {
    Bytes blob;
};
const TestKey &CachedTestKey(DWORD dwBits, int iVariant);
bool CreateContainerWithKey(const WCHAR *pszProvider, const WCHAR *pszContainer, DWORD dwKeySpec, const TestKey &key);
// PKCS #1 v1.5, big-endian as OpenSSL gives them on Linux.
Bytes JudgeSign(const TestKey &key, ALG_ID aiHash, const Bytes &hash);
Bytes JudgeEncrypt(const TestKey &key, const Bytes &plaintext);
std::optional<Bytes> JudgeDecrypt(const TestKey &key, const Bytes &ciphertext);

} // namespace qvntest

// The Windows version that the module is told (default 10.0).
void QvnPlatformSetWindowsVersion(DWORD dwMajorVersion, DWORD dwMinorVersion);

// Patches the module's imports of msvcrt's malloc, calloc, realloc and free
// with the counting ones above, and of VerifyVersionInfoW with one that
// answers for the version set; false if it imports them otherwise.
bool HookModuleImports(HMODULE hModule);

#endif
