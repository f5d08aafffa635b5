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

// The live object behind a handle of its kind, else the invalid-handle error.
template <class T> std::shared_ptr<T> ObjectOrFail(ULONG_PTR handle)
{
    std::shared_ptr<T> object = csp::Table<T>().Find(handle);
    if (!object) {
        FailInvalidHandle();
    }
    return object;
}
constexpr auto ContextOrFail = &ObjectOrFail<csp::ContextObject>;
constexpr auto KeyOrFail = &ObjectOrFail<csp::KeyObject>;
constexpr auto HashOrFail = &ObjectOrFail<csp::HashObject>;

// The value set into the hash; NTE_BAD_HASH_STATE when none was (the CSPs
// compute no hash). The caller holds hash.mutex.
inline const uint8_t *HashValue(const csp::HashObject &hash)
{
    if (!hash.fHasValue) {
        csp::Fail(NTE_BAD_HASH_STATE);
    }
    return hash.abValue;
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
