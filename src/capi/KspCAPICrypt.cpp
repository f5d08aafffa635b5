// Encryption and decryption of CKspCapiKeyContext: RSA with PKCS #1 v1.5
// padding, by the CSP, with the key object's own key-exchange key.
#include "capi/KspCAPIKeyContext.h"

#include "common/KspBytes.h"
#include "common/KspError.h"
#include "common/KspMemory.h"

namespace
{

// The minimum size of PKCS #1 v1.5 encryption padding.
const DWORD PKCS1_PADDING_OVERHEAD = 11;

// The per-call buffer in which CryptoAPI transforms the data in place. It
// may hold plaintext, so it is zeroed over its whole size before release
// unless the owner says it holds ciphertext only.
class CKspWorkingBuffer
{
public:
    explicit CKspWorkingBuffer(DWORD cbBuffer)
        : m_pbBuffer(static_cast<BYTE *>(KspAllocate(cbBuffer))), m_cbBuffer(cbBuffer), m_fWipe(true)
    {
    }
    ~CKspWorkingBuffer()
    {
        if (m_fWipe) {
            SecureZeroMemory(m_pbBuffer, m_cbBuffer);
        }
        KspDeallocate(m_pbBuffer);
    }
    BYTE *Get() const { return m_pbBuffer; }
    void HoldsCiphertextOnly() { m_fWipe = false; }

private:
    CKspWorkingBuffer(const CKspWorkingBuffer &);
    CKspWorkingBuffer &operator=(const CKspWorkingBuffer &);

    BYTE *m_pbBuffer;
    DWORD m_cbBuffer;
    bool m_fWipe;
};

} // namespace

// The checks that both operations begin with.
static void CheckEncryptionArguments(const VOID *pPaddingInfo, DWORD dwFlags, DWORD dwKeySpec)
{
    if (dwFlags != NCRYPT_PAD_PKCS1_FLAG) {
        throw CKspError(NTE_BAD_FLAGS);
    }
    if (pPaddingInfo != NULL) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    if (dwKeySpec == AT_SIGNATURE) {
        throw CKspError(NTE_PERM);
    }
}

void CKspCapiKeyContext::Decrypt(PBYTE pbInput, DWORD cbInput, VOID *pPaddingInfo, PBYTE pbOutput, DWORD cbOutput,
                                 DWORD *pcbResult, DWORD dwFlags)
{
    CheckEncryptionArguments(pPaddingInfo, dwFlags, m_dwKeySpec);
    if (pbInput == NULL) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    if (cbInput != GetKeyByteLength()) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    if (pcbResult == NULL) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    if (pbOutput == NULL) {
        // The most that a ciphertext of this key can carry; the real
        // plaintext may be shorter.
        *pcbResult = GetKeyByteLength() - PKCS1_PADDING_OVERHEAD;
        return;
    }
    if (cbOutput < GetKeyByteLength() - PKCS1_PADDING_OVERHEAD) {
        throw CKspError(NTE_BUFFER_TOO_SMALL);
    }
    *pcbResult = 0;

    CKspWorkingBuffer buffer(cbInput);
    memcpy(buffer.Get(), pbInput, cbInput);
    ReverseByteOrder(buffer.Get(), cbInput);

    DWORD dwcInOutBuffer = cbInput;
    if (!CryptDecrypt(m_hCapiKey, 0, TRUE, 0, buffer.Get(), &dwcInOutBuffer)) {
        const DWORD dwError = GetLastError();
        if (dwError == static_cast<DWORD>(NTE_BAD_DATA)) {
            throw CKspError(NTE_DECRYPTION_FAILURE);
        }
        throw CKspCapiError(dwError);
    }
    memcpy(pbOutput, buffer.Get(), dwcInOutBuffer);
    *pcbResult = dwcInOutBuffer;
}

void CKspCapiKeyContext::Encrypt(PBYTE pbInput, DWORD cbInput, VOID *pPaddingInfo, PBYTE pbOutput, DWORD cbOutput,
                                 DWORD *pcbResult, DWORD dwFlags)
{
    CheckEncryptionArguments(pPaddingInfo, dwFlags, m_dwKeySpec);
    if (pbInput == NULL) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    if (cbInput > GetKeyByteLength() - PKCS1_PADDING_OVERHEAD) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    if (pcbResult == NULL) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    if (pbOutput == NULL) {
        *pcbResult = GetKeyByteLength();
        return;
    }
    if (cbOutput < GetKeyByteLength()) {
        throw CKspError(NTE_BUFFER_TOO_SMALL);
    }
    *pcbResult = 0;

    const DWORD cbKey = GetKeyByteLength();
    CKspWorkingBuffer buffer(cbKey);
    memcpy(buffer.Get(), pbInput, cbInput);

    DWORD dwcInOutBuffer = cbInput;
    if (!CryptEncrypt(m_hCapiKey, 0, TRUE, 0, buffer.Get(), &dwcInOutBuffer, cbKey)) {
        throw CKspCapiError(GetLastError());
    }
    ReverseByteOrder(buffer.Get(), dwcInOutBuffer);
    memcpy(pbOutput, buffer.Get(), dwcInOutBuffer);
    *pcbResult = dwcInOutBuffer;
    buffer.HoldsCiphertextOnly();
}
