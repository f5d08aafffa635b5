// A CNG key that is the key pair of one key spec in a CryptoAPI key
// container: the key object holds its own context on the container and the
// handle of the pair, and forwards signing, verification, encryption and
// decryption to CryptoAPI, reversing byte order at the border.
#ifndef KSP_CAPI_KEY_CONTEXT_H
#define KSP_CAPI_KEY_CONTEXT_H

#include "capi/KspBaseKeyContext.h"

class CKspCapiKeyContext : public CKspBaseKeyContext
{
public:
    CKspCapiKeyContext(const KSP_WSTRING &strKeyName, DWORD dwKeySpec);
    ~CKspCapiKeyContext() override;

    // Acquires the container named after the key in the given CSP and gets
    // its key pair of the object's key spec.
    void Open(DWORD dwFlags, const KSP_WSTRING &strProviderName, DWORD dwProvType);

    void Decrypt(PBYTE pbInput, DWORD cbInput, VOID *pPaddingInfo, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult,
                 DWORD dwFlags) override;
    void Encrypt(PBYTE pbInput, DWORD cbInput, VOID *pPaddingInfo, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult,
                 DWORD dwFlags) override;
    void Close() override;
    DWORD GetKeyByteLength() override;
    void SignHash(VOID *pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature,
                  DWORD *pcbResult, DWORD dwFlags) override;
    void VerifySignature(VOID *pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature,
                         DWORD dwFlags) override;

    // Creates a CryptoAPI hash object holding the caller's hash value, with
    // the algorithm named by the padding information or chosen by length.
    // On success the caller owns *phHash; on failure none is left.
    void PrepareHash(VOID *pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue, HCRYPTHASH *phHash, DWORD *pdwSignFlags);

    DWORD GetKeySpec() const { return m_dwKeySpec; }

private:
    DWORD m_dwKeySpec;
    HCRYPTPROV m_hCapiProvider;
    HCRYPTKEY m_hCapiKey;
};

#endif
