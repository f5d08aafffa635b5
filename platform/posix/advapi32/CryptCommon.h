// Helpers shared by the exported CryptoAPI functions.
#ifndef QVN_ADVAPI32_CRYPTCOMMON_H
#define QVN_ADVAPI32_CRYPTCOMMON_H

#include "ApiFrame.h"

#include <Objects.h>

#include <cstring>
#include <vector>

namespace qvn
{
namespace advapi32
{

// The variable-length output convention of CryptoAPI: with pbData null only
// the size is reported; a buffer smaller than the value gives ERROR_MORE_DATA
// with the size reported; otherwise the value is copied and its size reported.
inline void CopyOut(const void *pvValue, DWORD cbValue, BYTE *pbData, DWORD *pdwDataLen)
{
    if (pbData != nullptr) {
        if (*pdwDataLen < cbValue) {
            *pdwDataLen = cbValue;
            csp::Fail(static_cast<DWORD>(ERROR_MORE_DATA));
        }
        std::memcpy(pbData, pvValue, cbValue);
    }
    *pdwDataLen = cbValue;
}

inline std::shared_ptr<csp::ContextObject> ContextOrFail(HCRYPTPROV hProv)
{
    std::shared_ptr<csp::ContextObject> context = csp::FindContext(hProv);
    if (!context) {
        FailInvalidHandle();
    }
    return context;
}

inline std::shared_ptr<csp::KeyObject> KeyOrFail(HCRYPTKEY hKey)
{
    std::shared_ptr<csp::KeyObject> key = csp::FindKey(hKey);
    if (!key) {
        FailInvalidHandle();
    }
    return key;
}

inline std::shared_ptr<csp::HashObject> HashOrFail(HCRYPTHASH hHash)
{
    std::shared_ptr<csp::HashObject> hash = csp::FindHash(hHash);
    if (!hash) {
        FailInvalidHandle();
    }
    return hash;
}

// Finishes the hash if it is still running and returns its value. A
// CALG_SSL3_SHAMD5 hash whose value was never set has none:
// NTE_BAD_HASH_STATE. The caller holds hash.mutex.
inline const uint8_t *FinishedValue(csp::HashObject &hash)
{
    if (!hash.fFinished) {
        if (!hash.digest) {
            csp::Fail(NTE_BAD_HASH_STATE);
        }
        hash.digest->Final(hash.abValue);
        hash.digest.reset();
        hash.fFinished = true;
    }
    return hash.abValue;
}

// Feeds data to a running hash: NTE_BAD_ALGID for CALG_SSL3_SHAMD5, which
// cannot hash, and NTE_BAD_HASH_STATE once the value is final. The caller
// holds hash.mutex.
inline void HashBytes(csp::HashObject &hash, const BYTE *pbData, size_t cbData)
{
    if (!hash.pAlgorithm->fComputable) {
        csp::Fail(NTE_BAD_ALGID);
    }
    if (hash.fFinished) {
        csp::Fail(NTE_BAD_HASH_STATE);
    }
    hash.digest->Update(pbData, cbData);
}

inline void ReverseBytes(BYTE *pb, size_t cb)
{
    for (size_t i = 0, j = cb; i + 1 < j; ++i, --j) {
        const BYTE b = pb[i];
        pb[i] = pb[j - 1];
        pb[j - 1] = b;
    }
}

} // namespace advapi32
} // namespace qvn

#endif
