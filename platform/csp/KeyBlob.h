// Microsoft's RSA key blobs: PUBLICKEYBLOB and PRIVATEKEYBLOB (BLOBHEADER,
// RSAPUBKEY, then the numbers least significant byte first: the modulus, and
// for a private key the two primes, the two CRT exponents, the coefficient
// and the private exponent).
#ifndef QVN_CSP_KEYBLOB_H
#define QVN_CSP_KEYBLOB_H

#include "RsaKey.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace qvn
{
namespace csp
{

struct ParsedKeyBlob {
    BYTE bType;      // PUBLICKEYBLOB or PRIVATEKEYBLOB
    ALG_ID aiKeyAlg; // CALG_RSA_KEYX or CALG_RSA_SIGN
    std::shared_ptr<const RsaKey> key;
};

// Throws NTE_BAD_DATA for a malformed header, wrong magic, unsupported bit
// length or short data, NTE_BAD_TYPE for a blob type other than the two, and
// NTE_BAD_ALGID for a key algorithm other than RSA key exchange or signature
// (AT_KEYEXCHANGE and AT_SIGNATURE are taken for them).
ParsedKeyBlob ParseKeyBlob(const BYTE *pbData, DWORD cbData);

std::vector<uint8_t> BuildPublicKeyBlob(const RsaKey &key, ALG_ID aiKeyAlg);
// The key must have its private part.
std::vector<uint8_t> BuildPrivateKeyBlob(const RsaKey &key, ALG_ID aiKeyAlg);

// Sizes of the blobs of a key of dwBits bits.
DWORD PublicKeyBlobSize(DWORD dwBits);
DWORD PrivateKeyBlobSize(DWORD dwBits);

} // namespace csp
} // namespace qvn

#endif
