#include "HashAlgorithms.h"

#include "CspError.h"

namespace qvn
{
namespace csp
{
namespace
{

// DER encodings of DigestInfo up to the hash octets (RFC 8017, section 9.2).
const uint8_t kPrefixMd2[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                              0x86, 0xf7, 0x0d, 0x02, 0x02, 0x05, 0x00, 0x04, 0x10};
const uint8_t kPrefixMd4[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                              0x86, 0xf7, 0x0d, 0x02, 0x04, 0x05, 0x00, 0x04, 0x10};
const uint8_t kPrefixMd5[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                              0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
const uint8_t kPrefixSha1[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                               0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
const uint8_t kPrefixSha256[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
const uint8_t kPrefixSha384[] = {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                 0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
const uint8_t kPrefixSha512[] = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                 0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};

#define QVN_PREFIX(a) a, static_cast<DWORD>(sizeof(a))

const HashAlgorithm g_algorithms[] = {
    {CALG_MD2, 16, QVN_PREFIX(kPrefixMd2)},        {CALG_MD4, 16, QVN_PREFIX(kPrefixMd4)},
    {CALG_MD5, 16, QVN_PREFIX(kPrefixMd5)},        {CALG_SHA1, 20, QVN_PREFIX(kPrefixSha1)},
    {CALG_SHA_256, 32, QVN_PREFIX(kPrefixSha256)}, {CALG_SHA_384, 48, QVN_PREFIX(kPrefixSha384)},
    {CALG_SHA_512, 64, QVN_PREFIX(kPrefixSha512)}, {CALG_SSL3_SHAMD5, 36, nullptr, 0},
};

#undef QVN_PREFIX

} // namespace

const HashAlgorithm *FindHashAlgorithm(ALG_ID algid)
{
    for (const HashAlgorithm &algorithm : g_algorithms) {
        if (algorithm.algid == algid) {
            return &algorithm;
        }
    }
    return nullptr;
}

std::vector<uint8_t> BuildSignatureInput(const HashAlgorithm &algorithm, const uint8_t *pbHash, bool fNoHashOid)
{
    std::vector<uint8_t> input;
    if (!fNoHashOid && algorithm.pbDigestInfoPrefix != nullptr) {
        input.assign(algorithm.pbDigestInfoPrefix, algorithm.pbDigestInfoPrefix + algorithm.cbDigestInfoPrefix);
    }
    input.insert(input.end(), pbHash, pbHash + algorithm.cbHash);
    return input;
}

} // namespace csp
} // namespace qvn
