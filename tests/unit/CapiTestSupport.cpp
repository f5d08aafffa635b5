#include "CapiTestSupport.h"

namespace unit
{

const TestKey &KeyOfBits(DWORD dwBits, int iVariant)
{
    return qvntest::CachedTestKey(dwBits, iVariant);
}

void CapiTest::MakeContainer(LPCWSTR pszProvider, LPCWSTR pszContainer, DWORD dwKeySpec, const TestKey &key,
                             DWORD dwAcquireFlags)
{
    ASSERT_TRUE(qvntest::CreateContainerWithKey(pszProvider, pszContainer, dwKeySpec, key, dwAcquireFlags));
}

void CapiTest::AddKeyPair(LPCWSTR pszProvider, LPCWSTR pszContainer, DWORD dwKeySpec, const TestKey &key)
{
    HCRYPTPROV hProv = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, pszContainer, pszProvider, ProvTypeOf(pszProvider), 0));
    const HCRYPTKEY hKey = qvntest::ImportTestKey(hProv, key, dwKeySpec);
    EXPECT_NE(0u, hKey);
    if (hKey != 0) {
        CryptDestroyKey(hKey);
    }
    CryptReleaseContext(hProv, 0);
}

std::unique_ptr<CKspCapiKeyContext> CapiTest::OpenKeyObject(LPCWSTR pszProvider, LPCWSTR pszContainer, DWORD dwKeySpec,
                                                            DWORD dwFlags)
{
    std::unique_ptr<CKspCapiKeyContext> pKey(new CKspCapiKeyContext(KSP_WSTRING(pszContainer), dwKeySpec));
    const LONG lStatus = StatusOf([&] { pKey->Open(dwFlags, KSP_WSTRING(pszProvider), ProvTypeOf(pszProvider)); });
    EXPECT_STATUS(0, lStatus) << "opening " << Narrow(pszContainer);
    if (lStatus != 0) {
        return nullptr;
    }
    return pKey;
}

DWORD ProvTypeOf(LPCWSTR pszProvider)
{
    return qvntest::ProviderTypeOf(pszProvider);
}

std::u16string ContainerOf(const QVN_CALL_RECORD &record)
{
    return std::u16string(record.szContainer);
}

std::u16string ProviderOf(const QVN_CALL_RECORD &record)
{
    return std::u16string(record.szProvider);
}

} // namespace unit
