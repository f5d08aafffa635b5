// The hash algorithms that every Quorvane CSP offers, with their sizes, the
// DER DigestInfo prefixes that PKCS #1 v1.5 signatures put before the hash,
// and running digests.
#ifndef QVN_CSP_HASHALGORITHMS_H
#define QVN_CSP_HASHALGORITHMS_H

#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <memory>
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
    bool fComputable; // false for CALG_SSL3_SHAMD5: its value can only be set
};

// The algorithm, or null when the CSPs have no hash of that id.
const HashAlgorithm *FindHashAlgorithm(ALG_ID algid);

// A running digest of one algorithm.
class Digest
{
public:
    virtual ~Digest() = default;
    virtual void Update(const uint8_t *pbData, size_t cbData) = 0;
    // Writes the algorithm's cbHash bytes; the digest is spent afterwards.
    virtual void Final(uint8_t *pbHash) = 0;
};

// A fresh digest for a computable algorithm. Throws NTE_FAIL if OpenSSL
// cannot provide it.
std::unique_ptr<Digest> CreateDigest(const HashAlgorithm &algorithm);

// The input of a PKCS #1 v1.5 signature block: the DigestInfo prefix and the
// hash, or the bare hash when fNoHashOid is set or the algorithm has no prefix.
std::vector<uint8_t> BuildSignatureInput(const HashAlgorithm &algorithm, const uint8_t *pbHash, bool fNoHashOid);

} // namespace csp
} // namespace qvn

#endif
