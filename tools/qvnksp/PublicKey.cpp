#include "PublicKey.h"

#include <algorithm>

namespace qvnksp
{
namespace
{

constexpr uint8_t kPublicKeyBlob = 0x06;
constexpr uint32_t kRsa1Magic = 0x31415352; // "RSA1"
constexpr size_t kHeaderSize = 8 + 12;      // BLOBHEADER + RSAPUBKEY

uint32_t ReadLe32(const Bytes &data, size_t iOffset)
{
    return static_cast<uint32_t>(data[iOffset]) | (static_cast<uint32_t>(data[iOffset + 1]) << 8) |
           (static_cast<uint32_t>(data[iOffset + 2]) << 16) | (static_cast<uint32_t>(data[iOffset + 3]) << 24);
}

Bytes StripLeadingZeros(Bytes value)
{
    const auto it = std::find_if(value.begin(), value.end(), [](uint8_t b) { return b != 0; });
    value.erase(value.begin(), it);
    return value;
}

void AppendLength(Bytes &out, size_t cb)
{
    if (cb < 0x80) {
        out.push_back(static_cast<uint8_t>(cb));
        return;
    }
    Bytes digits;
    for (; cb != 0; cb >>= 8) {
        digits.insert(digits.begin(), static_cast<uint8_t>(cb & 0xFF));
    }
    out.push_back(static_cast<uint8_t>(0x80 | digits.size()));
    out.insert(out.end(), digits.begin(), digits.end());
}

Bytes Tagged(uint8_t tag, const Bytes &content)
{
    Bytes out{tag};
    AppendLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

// A non-negative INTEGER: a zero byte in front when the top bit is set.
Bytes DerUnsigned(const Bytes &value)
{
    Bytes content = value.empty() ? Bytes{0} : value;
    if ((content[0] & 0x80) != 0) {
        content.insert(content.begin(), 0);
    }
    return Tagged(0x02, content);
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

std::string Base64(const Bytes &data)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string str;
    for (size_t i = 0; i < data.size(); i += 3) {
        const uint32_t n = (static_cast<uint32_t>(data[i]) << 16) |
                           (i + 1 < data.size() ? static_cast<uint32_t>(data[i + 1]) << 8 : 0) |
                           (i + 2 < data.size() ? data[i + 2] : 0);
        str += kAlphabet[(n >> 18) & 63];
        str += kAlphabet[(n >> 12) & 63];
        str += i + 1 < data.size() ? kAlphabet[(n >> 6) & 63] : '=';
        str += i + 2 < data.size() ? kAlphabet[n & 63] : '=';
    }
    return str;
}

} // namespace

bool ParsePublicKeyBlob(const Bytes &blob, RsaPublicKey &key, std::string &strError)
{
    if (blob.size() < kHeaderSize || blob[0] != kPublicKeyBlob) {
        strError = "not a PUBLICKEYBLOB";
        return false;
    }
    if (ReadLe32(blob, 8) != kRsa1Magic) {
        strError = "not an RSA public key (no RSA1 magic)";
        return false;
    }
    const uint32_t cBits = ReadLe32(blob, 12);
    const size_t cbModulus = (cBits + 7) / 8;
    if (cBits == 0 || blob.size() < kHeaderSize + cbModulus) {
        strError = "PUBLICKEYBLOB shorter than its modulus";
        return false;
    }
    const uint32_t exponent = ReadLe32(blob, 16);
    key.cBits = cBits;
    key.modulus.assign(blob.rbegin() + static_cast<long>(blob.size() - kHeaderSize - cbModulus),
                       blob.rbegin() + static_cast<long>(blob.size() - kHeaderSize));
    key.modulus = StripLeadingZeros(key.modulus);
    key.exponent = StripLeadingZeros({static_cast<uint8_t>(exponent >> 24), static_cast<uint8_t>(exponent >> 16),
                                      static_cast<uint8_t>(exponent >> 8), static_cast<uint8_t>(exponent)});
    return true;
}

Bytes SubjectPublicKeyInfo(const RsaPublicKey &key)
{
    static const Bytes kRsaEncryptionOid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    static const Bytes kNull = {0x05, 0x00};
    const Bytes rsaPublicKey = Tagged(0x30, Concat({DerUnsigned(key.modulus), DerUnsigned(key.exponent)}));
    const Bytes algorithm = Tagged(0x30, Concat({kRsaEncryptionOid, kNull}));
    const Bytes bitString = Tagged(0x03, Concat({Bytes{0x00}, rsaPublicKey}));
    return Tagged(0x30, Concat({algorithm, bitString}));
}

std::string PublicKeyPem(const RsaPublicKey &key)
{
    const std::string strBase64 = Base64(SubjectPublicKeyInfo(key));
    std::string strPem = "-----BEGIN PUBLIC KEY-----\n";
    for (size_t i = 0; i < strBase64.size(); i += 64) {
        strPem += strBase64.substr(i, 64) + "\n";
    }
    return strPem + "-----END PUBLIC KEY-----\n";
}

uint32_t ExponentValue(const RsaPublicKey &key)
{
    uint32_t value = 0;
    for (const uint8_t b : key.exponent) {
        value = (value << 8) | b;
    }
    return value;
}

} // namespace qvnksp
