// The provider object of the key storage provider's own name: it answers
// three provider properties and an empty algorithm list, and opens no keys.
#ifndef KSP_PROVIDER_CONTEXT_H
#define KSP_PROVIDER_CONTEXT_H

#include "provider/KspBaseProviderContext.h"

class CKspProviderContext : public CKspBaseProviderContext
{
public:
    explicit CKspProviderContext(const KSP_WSTRING &strProviderName);
    ~CKspProviderContext() override;

    void EnumAlgorithms(DWORD dwAlgOperations, DWORD *pdwAlgCount, NCryptAlgorithmName **ppAlgList,
                        DWORD dwFlags) override;
    void Close() override;
    void GetProviderProperty(LPCWSTR pszProperty, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult,
                             DWORD dwFlags) override;
    void Open(DWORD dwFlags) override;
    NCRYPT_KEY_HANDLE OpenKey(LPCWSTR pszKeyName, DWORD dwLegacyKeySpec, DWORD dwFlags) override;
};

// Hands one 32-bit property value to the caller: the size always, the value
// when a buffer of at least four bytes is given.
void CopyPropertyValue(const DWORD &dwValue, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult);

#endif
