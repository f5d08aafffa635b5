#include "capi/KspCAPIProviderContext.h"

#include "capi/KspCAPIKeyContext.h"
#include "common/KspAssert.h"
#include "common/KspError.h"

#define PROVIDER_CONTEXT_UNIT TEXT("KspCAPIProviderContext")

namespace
{

DWORD ProvTypeOfProviderName(const KSP_WSTRING &strProviderName)
{
    if (strProviderName == TEXT("Quorvane Birch Cryptographic Provider")) {
        return PROV_RSA_SCHANNEL;
    }
    if (strProviderName == TEXT("Quorvane Cedar Cryptographic Provider")) {
        return PROV_RSA_AES;
    }
    return PROV_RSA_FULL;
}

} // namespace

CKspCapiProviderContext::CKspCapiProviderContext(const KSP_WSTRING &strProviderName)
    : CKspBaseProviderContext(strProviderName), m_dwProvType(ProvTypeOfProviderName(strProviderName)),
      m_hCapiProvider(0)
{
}

CKspCapiProviderContext::~CKspCapiProviderContext()
{
    CKspCapiProviderContext::Close();
}

void CKspCapiProviderContext::EnumAlgorithms(DWORD, DWORD *, NCryptAlgorithmName **, DWORD)
{
    throw CKspError(NTE_NOT_SUPPORTED);
}

void CKspCapiProviderContext::Close()
{
    if (m_hCapiProvider != 0) {
        CryptReleaseContext(m_hCapiProvider, 0);
        m_hCapiProvider = 0;
    }
}

void CKspCapiProviderContext::GetProviderProperty(LPCWSTR, PBYTE, DWORD, DWORD *, DWORD)
{
    throw CKspError(NTE_NOT_SUPPORTED);
}

void CKspCapiProviderContext::Open(DWORD /*dwFlags*/)
{
    KSP_ASSERT_TEXT(m_hCapiProvider == 0, TEXT("m_hCapiProvider == NULL"), PROVIDER_CONTEXT_UNIT);

    // The CNG flags do not reach CryptoAPI: a verification context never
    // prompts.
    if (!CryptAcquireContextW(&m_hCapiProvider, NULL, m_strProviderName.c_str(), m_dwProvType, CRYPT_VERIFYCONTEXT)) {
        const DWORD dwError = GetLastError();
        m_hCapiProvider = 0;
        throw CKspCapiError(dwError);
    }
}

NCRYPT_KEY_HANDLE CKspCapiProviderContext::OpenKey(LPCWSTR pszKeyName, DWORD dwLegacyKeySpec, DWORD dwFlags)
{
    if (dwLegacyKeySpec != AT_KEYEXCHANGE && dwLegacyKeySpec != AT_SIGNATURE) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    if (pszKeyName == NULL) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    const KSP_WSTRING strKeyName(pszKeyName);

    CKspCapiKeyContext *pKey = new CKspCapiKeyContext(strKeyName, dwLegacyKeySpec);
    try {
        pKey->Open(dwFlags, m_strProviderName, m_dwProvType);
        return EnterKey(pKey);
    } catch (...) {
        // No key object and no handle outlive a failed open.
        delete pKey;
        throw;
    }
}
