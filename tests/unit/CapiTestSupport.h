// Helpers of the suites that reach the simulated CSPs: containers holding
// OpenSSL keys, key objects opened on them, and the CryptoAPI handles that
// the module's objects hold.
#ifndef QVN_UNIT_CAPI_TEST_SUPPORT_H
#define QVN_UNIT_CAPI_TEST_SUPPORT_H

#include "PrivateAccess.h"
#include "UnitTestSupport.h"

#include "capi/KspCAPIKeyContext.h"

#include <TestSupport.h>

#include <memory>
#include <string>

namespace unit
{

using qvntest::Bytes;
using qvntest::TestKey;

// The key of that size that every suite shares (generated once per process).
const TestKey &KeyOfBits(DWORD dwBits, int iVariant = 0);

class CapiTest : public ModuleTest
{
protected:
    // A container in pszProvider holding key as its pair of dwKeySpec;
    // dwAcquireFlags may add CRYPT_MACHINE_KEYSET.
    void MakeContainer(LPCWSTR pszProvider, LPCWSTR pszContainer, DWORD dwKeySpec, const TestKey &key,
                       DWORD dwAcquireFlags = 0);
    // Adds a second key pair to an existing container.
    void AddKeyPair(LPCWSTR pszProvider, LPCWSTR pszContainer, DWORD dwKeySpec, const TestKey &key);

    // A key object opened the way a CAPI provider object opens it; fails the
    // test (and returns null) if it cannot be opened.
    std::unique_ptr<CKspCapiKeyContext> OpenKeyObject(LPCWSTR pszProvider, LPCWSTR pszContainer, DWORD dwKeySpec,
                                                      DWORD dwFlags = 0);
};

// Provider type of one of the four CAPI names.
DWORD ProvTypeOf(LPCWSTR pszProvider);

std::u16string ContainerOf(const QVN_CALL_RECORD &record);
std::u16string ProviderOf(const QVN_CALL_RECORD &record);

} // namespace unit

#endif
