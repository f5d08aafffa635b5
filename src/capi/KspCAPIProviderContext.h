// The provider object of one of the four CryptoAPI provider names: it stands
// for that one CSP, holds a verification context on it, and opens CNG keys as
// the CSP's key containers.
#ifndef KSP_CAPI_PROVIDER_CONTEXT_H
#define KSP_CAPI_PROVIDER_CONTEXT_H

#include "provider/KspBaseProviderContext.h"

class CKspCapiProviderContext : public CKspBaseProviderContext
{
public:
    explicit CKspCapiProviderContext(const KSP_WSTRING &strProviderName);
    ~CKspCapiProviderContext() override;

    void EnumAlgorithms(DWORD dwAlgOperations, DWORD *pdwAlgCount, NCryptAlgorithmName **ppAlgList,
                        DWORD dwFlags) override;
    void Close() override;
    void GetProviderProperty(LPCWSTR pszProperty, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult,
                             DWORD dwFlags) override;
    void Open(DWORD dwFlags) override;
    NCRYPT_KEY_HANDLE OpenKey(LPCWSTR pszKeyName, DWORD dwLegacyKeySpec, DWORD dwFlags) override;

    DWORD GetProvType() const { return m_dwProvType; }

private:
    DWORD m_dwProvType;
    HCRYPTPROV m_hCapiProvider;
};

#endif
