#include "capi/KspCAPIKeyContext.h"

#include "common/KspAssert.h"
#include "common/KspBytes.h"
#include "common/KspError.h"

#define KEY_CONTEXT_UNIT TEXT("KspCAPIKeyContext")

CKspCapiKeyContext::CKspCapiKeyContext(const KSP_WSTRING &strKeyName, DWORD dwKeySpec)
    : CKspBaseKeyContext(strKeyName), m_dwKeySpec(dwKeySpec), m_hCapiProvider(0), m_hCapiKey(0)
{
}

CKspCapiKeyContext::~CKspCapiKeyContext()
{
    CKspCapiKeyContext::Close();
}

void CKspCapiKeyContext::Open(DWORD dwFlags, const KSP_WSTRING &strProviderName, DWORD dwProvType)
{
    SetOpenFlags(dwFlags);

    KSP_ASSERT_TEXT(m_hCapiProvider == 0, TEXT("m_hCapiProvider == NULL"), KEY_CONTEXT_UNIT);
    KSP_ASSERT_TEXT(m_hCapiKey == 0, TEXT("m_hCapiKey == NULL"), KEY_CONTEXT_UNIT);

    // The CNG flags that get this far have the values of their CryptoAPI
    // twins: NCRYPT_MACHINE_KEY_FLAG is CRYPT_MACHINE_KEYSET and
    // NCRYPT_SILENT_FLAG is CRYPT_SILENT.
    if (!CryptAcquireContextW(&m_hCapiProvider, m_strKeyName.c_str(), strProviderName.c_str(), dwProvType, dwFlags)) {
        const DWORD dwError = GetLastError();
        m_hCapiProvider = 0;
        if (dwError == static_cast<DWORD>(NTE_KEYSET_NOT_DEF)) {
            throw CKspError(NTE_BAD_KEYSET);
        }
        throw CKspCapiError(dwError);
    }

    if (!CryptGetUserKey(m_hCapiProvider, m_dwKeySpec, &m_hCapiKey)) {
        const DWORD dwError = GetLastError();
        m_hCapiKey = 0;
        if (dwError == static_cast<DWORD>(NTE_NO_KEY)) {
            throw CKspError(NTE_BAD_KEYSET);
        }
        throw CKspCapiError(dwError);
    }
}

void CKspCapiKeyContext::Close()
{
    // The key goes before the context it lives in.
    if (m_hCapiKey != 0) {
        CryptDestroyKey(m_hCapiKey);
        m_hCapiKey = 0;
    }
    if (m_hCapiProvider != 0) {
        CryptReleaseContext(m_hCapiProvider, 0);
        m_hCapiProvider = 0;
    }
}

DWORD CKspCapiKeyContext::GetKeyByteLength()
{
    // Asked of CryptoAPI every time: the module keeps no copy of key state.
    DWORD dwKeyParam = 0;
    DWORD dwParamLength = sizeof(dwKeyParam);
    if (!CryptGetKeyParam(m_hCapiKey, KP_KEYLEN, reinterpret_cast<BYTE *>(&dwKeyParam), &dwParamLength, 0)) {
        throw CKspCapiError(GetLastError());
    }
    return BitsToBytes(dwKeyParam);
}
