// The hash algorithms that every Quorvane CSP offers, with their sizes and the
// DER DigestInfo prefixes that PKCS #1 v1.5 signatures put before the hash.
// The CSPs compute no hash: a caller sets the value (HP_HASHVAL).
#ifndef QVN_CSP_HASHALGORITHMS_H
#define QVN_CSP_HASHALGORITHMS_H

#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <vector>

namespace qvn
{
namespace csp
{

struct HashAlgorithm {
    ALG_ID algid;
    DWORD cbHash;
    const uint8_t *pbDigestInfoPrefix; // null for CALG_SSL3_SHAMD5, which is signed bare
    DWORD cbDigestInfoPrefix;
};

// The algorithm, or null when the CSPs have no hash of that id.
const HashAlgorithm *FindHashAlgorithm(ALG_ID algid);

// The input of a PKCS #1 v1.5 signature block: the DigestInfo prefix and the
// hash, or the bare hash when fNoHashOid is set or the algorithm has no prefix.
std::vector<uint8_t> BuildSignatureInput(const HashAlgorithm &algorithm, const uint8_t *pbHash, bool fNoHashOid);

} // namespace csp
} // namespace qvn

#endif
