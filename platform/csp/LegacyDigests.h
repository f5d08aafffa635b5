// MD2 (RFC 1319) and MD4 (RFC 1320): digests that OpenSSL 3 keeps out of its
// default provider (MD4) or does not build at all (MD2), implemented here so
// that the CSPs offer them without depending on OpenSSL's legacy provider.
#ifndef QVN_CSP_LEGACYDIGESTS_H
#define QVN_CSP_LEGACYDIGESTS_H

#include <cstddef>
#include <cstdint>

namespace qvn
{
namespace csp
{

class Md2
{
public:
    static constexpr size_t kDigestSize = 16;
    Md2();
    void Update(const uint8_t *pbData, size_t cbData);
    void Final(uint8_t *pbDigest); // kDigestSize bytes; the object is spent afterwards

private:
    void Compress(const uint8_t *pbBlock);

    uint8_t m_abState[48];
    uint8_t m_abChecksum[16];
    uint8_t m_bLast;
    uint8_t m_abBuffer[16];
    size_t m_cbBuffered;
};

class Md4
{
public:
    static constexpr size_t kDigestSize = 16;
    Md4();
    void Update(const uint8_t *pbData, size_t cbData);
    void Final(uint8_t *pbDigest);

private:
    void Compress(const uint8_t *pbBlock);

    uint32_t m_adwState[4];
    uint64_t m_cbTotal;
    uint8_t m_abBuffer[64];
    size_t m_cbBuffered;
};

} // namespace csp
} // namespace qvn

#endif
