#include "LegacyDigests.h"

#include <cstring>

namespace qvn
{
namespace csp
{
namespace
{

// The MD2 substitution table, a permutation of 0..255 built from the digits of pi.
const uint8_t kMd2Substitution[256] = {
    41,  46,  67,  201, 162, 216, 124, 1,   61,  54,  84,  161, 236, 240, 6,   19,  98,  167, 5,   243, 192, 199,
    115, 140, 152, 147, 43,  217, 188, 76,  130, 202, 30,  155, 87,  60,  253, 212, 224, 22,  103, 66,  111, 24,
    138, 23,  229, 18,  190, 78,  196, 214, 218, 158, 222, 73,  160, 251, 245, 142, 187, 47,  238, 122, 169, 104,
    121, 145, 21,  178, 7,   63,  148, 194, 16,  137, 11,  34,  95,  33,  128, 127, 93,  154, 90,  144, 50,  39,
    53,  62,  204, 231, 191, 247, 151, 3,   255, 25,  48,  179, 72,  165, 181, 209, 215, 94,  146, 42,  172, 86,
    170, 198, 79,  184, 56,  210, 150, 164, 125, 182, 118, 252, 107, 226, 156, 116, 4,   241, 69,  157, 112, 89,
    100, 113, 135, 32,  134, 91,  207, 101, 230, 45,  168, 2,   27,  96,  37,  173, 174, 176, 185, 246, 28,  70,
    97,  105, 52,  64,  126, 15,  85,  71,  163, 35,  221, 81,  175, 58,  195, 92,  249, 206, 186, 197, 234, 38,
    44,  83,  13,  110, 133, 40,  132, 9,   211, 223, 205, 244, 65,  129, 77,  82,  106, 220, 55,  200, 108, 193,
    171, 250, 36,  225, 123, 8,   12,  189, 177, 74,  120, 136, 149, 139, 227, 99,  232, 109, 233, 203, 213, 254,
    59,  0,   29,  57,  242, 239, 183, 14,  102, 88,  208, 228, 166, 119, 114, 248, 235, 117, 75,  10,  49,  68,
    80,  180, 143, 237, 31,  26,  219, 153, 141, 51,  159, 17,  131, 20};

uint32_t RotateLeft(uint32_t dwValue, int cBits)
{
    return (dwValue << cBits) | (dwValue >> (32 - cBits));
}

uint32_t LoadLittleEndian32(const uint8_t *pb)
{
    return static_cast<uint32_t>(pb[0]) | static_cast<uint32_t>(pb[1]) << 8 | static_cast<uint32_t>(pb[2]) << 16 |
           static_cast<uint32_t>(pb[3]) << 24;
}

void StoreLittleEndian32(uint8_t *pb, uint32_t dwValue)
{
    for (int i = 0; i < 4; ++i) {
        pb[i] = static_cast<uint8_t>(dwValue >> (8 * i));
    }
}

} // namespace

// ---- MD2 ---------------------------------------------------------------------

Md2::Md2() : m_abState{}, m_abChecksum{}, m_bLast(0), m_abBuffer{}, m_cbBuffered(0) {}

void Md2::Compress(const uint8_t *pbBlock)
{
    for (int j = 0; j < 16; ++j) {
        m_abState[16 + j] = pbBlock[j];
        m_abState[32 + j] = static_cast<uint8_t>(m_abState[16 + j] ^ m_abState[j]);
    }
    uint8_t t = 0;
    for (int round = 0; round < 18; ++round) {
        for (int k = 0; k < 48; ++k) {
            m_abState[k] = static_cast<uint8_t>(m_abState[k] ^ kMd2Substitution[t]);
            t = m_abState[k];
        }
        t = static_cast<uint8_t>(t + round);
    }
    for (int j = 0; j < 16; ++j) {
        m_abChecksum[j] = static_cast<uint8_t>(m_abChecksum[j] ^ kMd2Substitution[pbBlock[j] ^ m_bLast]);
        m_bLast = m_abChecksum[j];
    }
}

void Md2::Update(const uint8_t *pbData, size_t cbData)
{
    while (cbData > 0) {
        size_t cbTake = 16 - m_cbBuffered;
        if (cbTake > cbData) {
            cbTake = cbData;
        }
        std::memcpy(m_abBuffer + m_cbBuffered, pbData, cbTake);
        m_cbBuffered += cbTake;
        pbData += cbTake;
        cbData -= cbTake;
        if (m_cbBuffered == 16) {
            Compress(m_abBuffer);
            m_cbBuffered = 0;
        }
    }
}

void Md2::Final(uint8_t *pbDigest)
{
    const uint8_t bPad = static_cast<uint8_t>(16 - m_cbBuffered);
    std::memset(m_abBuffer + m_cbBuffered, bPad, bPad);
    Compress(m_abBuffer);
    uint8_t abChecksum[16];
    std::memcpy(abChecksum, m_abChecksum, sizeof(abChecksum));
    Compress(abChecksum);
    std::memcpy(pbDigest, m_abState, kDigestSize);
}

// ---- MD4 ---------------------------------------------------------------------

Md4::Md4() : m_adwState{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u}, m_cbTotal(0), m_abBuffer{}, m_cbBuffered(0)
{
}

void Md4::Compress(const uint8_t *pbBlock)
{
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = LoadLittleEndian32(pbBlock + 4 * i);
    }
    uint32_t a = m_adwState[0], b = m_adwState[1], c = m_adwState[2], d = m_adwState[3];

    auto f = [](uint32_t u, uint32_t v, uint32_t w) { return (u & v) | (~u & w); };
    auto g = [](uint32_t u, uint32_t v, uint32_t w) { return (u & v) | (u & w) | (v & w); };
    auto h = [](uint32_t u, uint32_t v, uint32_t w) { return u ^ v ^ w; };

    static const int kShift1[4] = {3, 7, 11, 19};
    for (int i = 0; i < 16; ++i) {
        const uint32_t t = RotateLeft(a + f(b, c, d) + x[i], kShift1[i % 4]);
        a = d, d = c, c = b, b = t;
    }
    static const int kOrder2[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
    static const int kShift2[4] = {3, 5, 9, 13};
    for (int i = 0; i < 16; ++i) {
        const uint32_t t = RotateLeft(a + g(b, c, d) + x[kOrder2[i]] + 0x5a827999u, kShift2[i % 4]);
        a = d, d = c, c = b, b = t;
    }
    static const int kOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    static const int kShift3[4] = {3, 9, 11, 15};
    for (int i = 0; i < 16; ++i) {
        const uint32_t t = RotateLeft(a + h(b, c, d) + x[kOrder3[i]] + 0x6ed9eba1u, kShift3[i % 4]);
        a = d, d = c, c = b, b = t;
    }
    m_adwState[0] += a;
    m_adwState[1] += b;
    m_adwState[2] += c;
    m_adwState[3] += d;
}

void Md4::Update(const uint8_t *pbData, size_t cbData)
{
    m_cbTotal += cbData;
    while (cbData > 0) {
        size_t cbTake = 64 - m_cbBuffered;
        if (cbTake > cbData) {
            cbTake = cbData;
        }
        std::memcpy(m_abBuffer + m_cbBuffered, pbData, cbTake);
        m_cbBuffered += cbTake;
        pbData += cbTake;
        cbData -= cbTake;
        if (m_cbBuffered == 64) {
            Compress(m_abBuffer);
            m_cbBuffered = 0;
        }
    }
}

void Md4::Final(uint8_t *pbDigest)
{
    const uint64_t cBits = m_cbTotal * 8;
    const uint8_t bMarker = 0x80;
    const uint64_t cbTotal = m_cbTotal;
    Update(&bMarker, 1);
    const uint8_t abZero[64] = {};
    while (m_cbBuffered != 56) {
        Update(abZero, 1);
    }
    uint8_t abLength[8];
    for (int i = 0; i < 8; ++i) {
        abLength[i] = static_cast<uint8_t>(cBits >> (8 * i));
    }
    Update(abLength, sizeof(abLength));
    m_cbTotal = cbTotal;
    for (int i = 0; i < 4; ++i) {
        StoreLittleEndian32(pbDigest + 4 * i, m_adwState[i]);
    }
}

} // namespace csp
} // namespace qvn
