// The key object behind every CNG key handle.
#ifndef KSP_BASE_KEY_CONTEXT_H
#define KSP_BASE_KEY_CONTEXT_H

#include "common/KspPlatform.h"
#include "common/KspString.h"

class CKspBaseKeyContext
{
public:
    virtual ~CKspBaseKeyContext();

    virtual void Decrypt(PBYTE pbInput, DWORD cbInput, VOID *pPaddingInfo, PBYTE pbOutput, DWORD cbOutput,
                         DWORD *pcbResult, DWORD dwFlags) = 0;
    virtual void Encrypt(PBYTE pbInput, DWORD cbInput, VOID *pPaddingInfo, PBYTE pbOutput, DWORD cbOutput,
                         DWORD *pcbResult, DWORD dwFlags) = 0;
    virtual void Close() = 0;
    virtual DWORD GetKeyByteLength() = 0;
    virtual void SignHash(VOID *pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature,
                          DWORD cbSignature, DWORD *pcbResult, DWORD dwFlags) = 0;
    virtual void VerifySignature(VOID *pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature,
                                 DWORD cbSignature, DWORD dwFlags) = 0;

    // Records how the key was opened; any bit but NCRYPT_MACHINE_KEY_FLAG and
    // NCRYPT_SILENT_FLAG is NTE_BAD_FLAGS.
    void SetOpenFlags(DWORD dwFlags);
    NCRYPT_KEY_HANDLE GetHandle() const { return m_hKey; }
    bool IsMachineKey() const { return m_fMachineKey; }
    bool IsSilent() const { return m_fSilent; }
    const KSP_WSTRING &GetKeyName() const { return m_strKeyName; }

protected:
    explicit CKspBaseKeyContext(const KSP_WSTRING &strKeyName);

    bool m_fMachineKey;
    bool m_fSilent;
    NCRYPT_KEY_HANDLE m_hKey;
    KSP_WSTRING m_strKeyName;

private:
    CKspBaseKeyContext(const CKspBaseKeyContext &);
    CKspBaseKeyContext &operator=(const CKspBaseKeyContext &);
};

#endif
