// Signing and verification of CKspCapiKeyContext: PKCS #1 v1.5 only, the
// hash algorithm named by the padding information or chosen by length.
#include "capi/KspCAPIKeyContext.h"

#include "common/KspBytes.h"
#include "common/KspError.h"
#include "common/KspMemory.h"

namespace
{

struct HASH_BY_NAME {
    LPCWSTR pszAlgId;
    ALG_ID aiAlgorithm;
};

struct HASH_BY_LENGTH {
    DWORD cbHashValue;
    ALG_ID aiAlgorithm;
};

// Compared in this order; the first exact, case-sensitive match wins.
const HASH_BY_NAME g_rgHashByName[] = {
    {TEXT("SHA1"), CALG_SHA1},      {TEXT("SHA256"), CALG_SHA_256}, {TEXT("SHA384"), CALG_SHA_384},
    {TEXT("SHA512"), CALG_SHA_512}, {TEXT("MD2"), CALG_MD2},        {TEXT("MD4"), CALG_MD4},
    {TEXT("MD5"), CALG_MD5},
};

// Without an algorithm name the length decides; such hashes are signed
// without the algorithm identifier (CRYPT_NOHASHOID).
const HASH_BY_LENGTH g_rgHashByLength[] = {
    {16, CALG_MD5}, {20, CALG_SHA1}, {32, CALG_SHA_256}, {36, CALG_SSL3_SHAMD5}, {48, CALG_SHA_384}, {64, CALG_SHA_512},
};

ALG_ID HashAlgorithmByName(const KSP_WSTRING &strHashAlgorithm)
{
    for (const HASH_BY_NAME &entry : g_rgHashByName) {
        if (strHashAlgorithm == entry.pszAlgId) {
            return entry.aiAlgorithm;
        }
    }
    throw CKspError(NTE_INVALID_PARAMETER);
}

ALG_ID HashAlgorithmByLength(DWORD cbHashValue)
{
    for (const HASH_BY_LENGTH &entry : g_rgHashByLength) {
        if (cbHashValue == entry.cbHashValue) {
            return entry.aiAlgorithm;
        }
    }
    throw CKspError(NTE_INVALID_PARAMETER);
}

void CheckPkcs1Flags(DWORD dwFlags)
{
    if (dwFlags != NCRYPT_PAD_PKCS1_FLAG) {
        throw CKspError(NTE_BAD_FLAGS);
    }
}

} // namespace

void CKspCapiKeyContext::PrepareHash(VOID *pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue, HCRYPTHASH *phHash,
                                     DWORD *pdwSignFlags)
{
    HCRYPTHASH hHash = 0;
    DWORD dwSignFlags = 0;
    ALG_ID aiAlgorithm = 0;

    const BCRYPT_PKCS1_PADDING_INFO *pPkcs1Info = static_cast<const BCRYPT_PKCS1_PADDING_INFO *>(pPaddingInfo);
    if (pPkcs1Info == NULL || pPkcs1Info->pszAlgId == NULL) {
        dwSignFlags = CRYPT_NOHASHOID;
        aiAlgorithm = HashAlgorithmByLength(cbHashValue);
    } else {
        const KSP_WSTRING strHashAlgorithm(pPkcs1Info->pszAlgId);
        aiAlgorithm = HashAlgorithmByName(strHashAlgorithm);
    }

    if (!CryptCreateHash(m_hCapiProvider, aiAlgorithm, 0, 0, &hHash)) {
        throw CKspCapiError(GetLastError());
    }

    try {
        DWORD dwHashSize = 0;
        DWORD dwParamLength = sizeof(dwHashSize);
        if (!CryptGetHashParam(hHash, HP_HASHSIZE, reinterpret_cast<BYTE *>(&dwHashSize), &dwParamLength, 0)) {
            throw CKspCapiError(GetLastError());
        }
        // A named algorithm whose size differs from the value is refused
        // before the CSP sees the value.
        if (dwHashSize != cbHashValue) {
            throw CKspError(NTE_INVALID_PARAMETER);
        }
        if (!CryptSetHashParam(hHash, HP_HASHVAL, pbHashValue, 0)) {
            throw CKspCapiError(GetLastError());
        }
    } catch (...) {
        CryptDestroyHash(hHash);
        throw;
    }

    *phHash = hHash;
    *pdwSignFlags = dwSignFlags;
}

void CKspCapiKeyContext::SignHash(VOID *pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature,
                                  DWORD cbSignature, DWORD *pcbResult, DWORD dwFlags)
{
    CheckPkcs1Flags(dwFlags);
    if (pbHashValue == NULL || cbHashValue == 0) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    if (pcbResult == NULL) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    if (pbSignature == NULL) {
        // A size query: no hash object, the padding information unread.
        *pcbResult = GetKeyByteLength();
        return;
    }
    if (cbSignature < GetKeyByteLength()) {
        throw CKspError(NTE_BUFFER_TOO_SMALL);
    }
    *pcbResult = 0;

    HCRYPTHASH hHash = 0;
    DWORD dwSignFlags = 0;
    PrepareHash(pPaddingInfo, pbHashValue, cbHashValue, &hHash, &dwSignFlags);

    // The CSP writes straight into the caller's buffer, least significant
    // byte first; it is turned around in place.
    DWORD dwcSignature = cbSignature;
    if (!CryptSignHashW(hHash, m_dwKeySpec, NULL, dwSignFlags, pbSignature, &dwcSignature)) {
        const DWORD dwError = GetLastError();
        CryptDestroyHash(hHash);
        throw CKspCapiError(dwError);
    }
    *pcbResult = dwcSignature;
    ReverseByteOrder(pbSignature, dwcSignature);
    CryptDestroyHash(hHash);
}

void CKspCapiKeyContext::VerifySignature(VOID *pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature,
                                         DWORD cbSignature, DWORD dwFlags)
{
    CheckPkcs1Flags(dwFlags);
    if (pbHashValue == NULL || cbHashValue == 0) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    if (pbSignature == NULL) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    // A signature of the wrong length is a wrong argument, not a bad signature.
    if (cbSignature != GetKeyByteLength()) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }

    HCRYPTHASH hHash = 0;
    DWORD dwSignFlags = 0;
    PrepareHash(pPaddingInfo, pbHashValue, cbHashValue, &hHash, &dwSignFlags);

    BYTE *pbCopy = NULL;
    try {
        // The caller's signature is never written: CryptoAPI gets a reversed copy.
        pbCopy = static_cast<BYTE *>(KspAllocate(cbSignature));
        memcpy(pbCopy, pbSignature, cbSignature);
        ReverseByteOrder(pbCopy, cbSignature);
        if (!CryptVerifySignatureW(hHash, pbCopy, cbSignature, m_hCapiKey, NULL, dwSignFlags)) {
            throw CKspCapiError(GetLastError());
        }
    } catch (...) {
        CryptDestroyHash(hHash);
        KspDeallocate(pbCopy);
        throw;
    }
    CryptDestroyHash(hHash);
    KspDeallocate(pbCopy);
}
