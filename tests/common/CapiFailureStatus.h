// What the module returns to CNG when a CryptoAPI call fails with dwError:
// the codes that its call sites translate, NTE_SILENT_CONTEXT as
// NTE_UI_REQUIRED, every other code unchanged. The fuzz harness and the
// CryptoAPI-failure sweep both predict statuses with it.
#ifndef QVN_TESTS_COMMON_CAPIFAILURESTATUS_H
#define QVN_TESTS_COMMON_CAPIFAILURESTATUS_H

#include <windows.h>

#include <string>

namespace qvntest
{

// fOpensKey: the failed call was made while opening a key (only there does
// NTE_KEYSET_NOT_DEF from acquiring a container mean NTE_BAD_KEYSET).
inline LONG StatusOfFailedCapiCall(const std::string &strFunction, DWORD dwError, bool fOpensKey)
{
    if (strFunction == "CryptAcquireContextW" && fOpensKey && dwError == static_cast<DWORD>(NTE_KEYSET_NOT_DEF)) {
        return NTE_BAD_KEYSET;
    }
    if (strFunction == "CryptGetUserKey" && dwError == static_cast<DWORD>(NTE_NO_KEY)) {
        return NTE_BAD_KEYSET;
    }
    if (strFunction == "CryptDecrypt" && dwError == static_cast<DWORD>(NTE_BAD_DATA)) {
        return NTE_DECRYPTION_FAILURE;
    }
    if (dwError == static_cast<DWORD>(NTE_SILENT_CONTEXT)) {
        return NTE_UI_REQUIRED;
    }
    return static_cast<LONG>(dwError);
}

} // namespace qvntest

#endif
