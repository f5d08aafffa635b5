#include "KeyBlob.h"

#include "CspError.h"

#include <algorithm>
#include <cstring>

namespace qvn
{
namespace csp
{
namespace
{

constexpr DWORD kMagicPublic = 0x31415352;  // "RSA1"
constexpr DWORD kMagicPrivate = 0x32415352; // "RSA2"
constexpr DWORD kHeaderSize = 8 + 12;       // BLOBHEADER + RSAPUBKEY

DWORD ModulusBytes(DWORD dwBits)
{
    return (dwBits + 7) / 8;
}

DWORD HalfBytes(DWORD dwBits)
{
    return (dwBits + 15) / 16;
}

// Bits of a big-endian number without leading zero bytes.
DWORD BitLength(const std::vector<uint8_t> &value)
{
    if (value.empty()) {
        return 0;
    }
    DWORD dwBits = static_cast<DWORD>(value.size() - 1) * 8;
    for (uint8_t b = value[0]; b != 0; b = static_cast<uint8_t>(b >> 1)) {
        ++dwBits;
    }
    return dwBits;
}

DWORD ReadDword(const BYTE *pb)
{
    return static_cast<DWORD>(pb[0]) | static_cast<DWORD>(pb[1]) << 8 | static_cast<DWORD>(pb[2]) << 16 |
           static_cast<DWORD>(pb[3]) << 24;
}

void WriteDword(std::vector<uint8_t> *pBlob, DWORD dwValue)
{
    for (int i = 0; i < 4; ++i) {
        pBlob->push_back(static_cast<uint8_t>(dwValue >> (8 * i)));
    }
}

// A little-endian field of cbField bytes as a big-endian number without
// leading zeros.
std::vector<uint8_t> ReadNumber(const BYTE *pb, DWORD cbField)
{
    std::vector<uint8_t> value(pb, pb + cbField);
    std::reverse(value.begin(), value.end());
    const auto itFirst = std::find_if(value.begin(), value.end(), [](uint8_t b) { return b != 0; });
    value.erase(value.begin(), itFirst);
    return value;
}

// Appends a big-endian number as a little-endian field of cbField bytes.
void WriteNumber(std::vector<uint8_t> *pBlob, const std::vector<uint8_t> &value, DWORD cbField)
{
    if (value.size() > cbField) {
        Fail(NTE_BAD_KEY);
    }
    for (auto it = value.rbegin(); it != value.rend(); ++it) {
        pBlob->push_back(*it);
    }
    pBlob->insert(pBlob->end(), cbField - value.size(), 0);
}

DWORD PublicExponentOf(const RsaNumbers &numbers)
{
    if (numbers.e.size() > 4) {
        Fail(NTE_BAD_KEY); // a blob has room for a 32-bit exponent only
    }
    DWORD dwExponent = 0;
    for (uint8_t b : numbers.e) {
        dwExponent = dwExponent << 8 | b;
    }
    return dwExponent;
}

void WriteHeader(std::vector<uint8_t> *pBlob, BYTE bType, ALG_ID aiKeyAlg, DWORD dwMagic, DWORD dwBits,
                 DWORD dwExponent)
{
    pBlob->push_back(bType);
    pBlob->push_back(CUR_BLOB_VERSION);
    pBlob->push_back(0);
    pBlob->push_back(0);
    WriteDword(pBlob, aiKeyAlg);
    WriteDword(pBlob, dwMagic);
    WriteDword(pBlob, dwBits);
    WriteDword(pBlob, dwExponent);
}

} // namespace

DWORD PublicKeyBlobSize(DWORD dwBits)
{
    return kHeaderSize + ModulusBytes(dwBits);
}

DWORD PrivateKeyBlobSize(DWORD dwBits)
{
    return kHeaderSize + 2 * ModulusBytes(dwBits) + 5 * HalfBytes(dwBits);
}

ParsedKeyBlob ParseKeyBlob(const BYTE *pbData, DWORD cbData)
{
    if (cbData < 8 || pbData[1] != CUR_BLOB_VERSION || pbData[2] != 0 || pbData[3] != 0) {
        Fail(NTE_BAD_DATA);
    }
    ParsedKeyBlob parsed;
    parsed.bType = pbData[0];
    if (parsed.bType != PUBLICKEYBLOB && parsed.bType != PRIVATEKEYBLOB) {
        Fail(NTE_BAD_TYPE);
    }
    switch (ReadDword(pbData + 4)) {
    case CALG_RSA_KEYX:
    case AT_KEYEXCHANGE:
        parsed.aiKeyAlg = CALG_RSA_KEYX;
        break;
    case CALG_RSA_SIGN:
    case AT_SIGNATURE:
        parsed.aiKeyAlg = CALG_RSA_SIGN;
        break;
    default:
        Fail(NTE_BAD_ALGID);
    }
    const bool fPrivate = parsed.bType == PRIVATEKEYBLOB;
    if (cbData < kHeaderSize || ReadDword(pbData + 8) != (fPrivate ? kMagicPrivate : kMagicPublic)) {
        Fail(NTE_BAD_DATA);
    }
    const DWORD dwBits = ReadDword(pbData + 12);
    const DWORD dwExponent = ReadDword(pbData + 16);
    if (dwBits < RsaKey::kMinBits || dwBits > RsaKey::kMaxBits || dwExponent == 0) {
        Fail(NTE_BAD_DATA);
    }
    if (cbData < (fPrivate ? PrivateKeyBlobSize(dwBits) : PublicKeyBlobSize(dwBits))) {
        Fail(NTE_BAD_DATA);
    }
    const DWORD cbModulus = ModulusBytes(dwBits);
    const DWORD cbHalf = HalfBytes(dwBits);
    const BYTE *pb = pbData + kHeaderSize;
    RsaNumbers numbers;
    numbers.n = ReadNumber(pb, cbModulus);
    pb += cbModulus;
    numbers.e = ReadNumber(pbData + 16, 4);
    if (BitLength(numbers.n) != dwBits) {
        Fail(NTE_BAD_DATA); // the modulus must be as long as the blob says
    }
    if (fPrivate) {
        std::vector<uint8_t> *halves[] = {&numbers.p, &numbers.q, &numbers.dmp1, &numbers.dmq1, &numbers.iqmp};
        for (std::vector<uint8_t> *pHalf : halves) {
            *pHalf = ReadNumber(pb, cbHalf);
            pb += cbHalf;
        }
        numbers.d = ReadNumber(pb, cbModulus);
        if (numbers.d.empty() || numbers.p.empty() || numbers.q.empty()) {
            Fail(NTE_BAD_DATA);
        }
    }
    parsed.key = RsaKey::FromNumbers(numbers);
    return parsed;
}

std::vector<uint8_t> BuildPublicKeyBlob(const RsaKey &key, ALG_ID aiKeyAlg)
{
    const RsaNumbers numbers = key.Numbers();
    std::vector<uint8_t> blob;
    blob.reserve(PublicKeyBlobSize(key.Bits()));
    WriteHeader(&blob, PUBLICKEYBLOB, aiKeyAlg, kMagicPublic, key.Bits(), PublicExponentOf(numbers));
    WriteNumber(&blob, numbers.n, ModulusBytes(key.Bits()));
    return blob;
}

std::vector<uint8_t> BuildPrivateKeyBlob(const RsaKey &key, ALG_ID aiKeyAlg)
{
    if (!key.HasPrivate()) {
        Fail(NTE_BAD_KEY_STATE);
    }
    RsaNumbers numbers = key.Numbers();
    std::vector<uint8_t> blob;
    blob.reserve(PrivateKeyBlobSize(key.Bits()));
    WriteHeader(&blob, PRIVATEKEYBLOB, aiKeyAlg, kMagicPrivate, key.Bits(), PublicExponentOf(numbers));
    const DWORD cbModulus = ModulusBytes(key.Bits());
    const DWORD cbHalf = HalfBytes(key.Bits());
    WriteNumber(&blob, numbers.n, cbModulus);
    WriteNumber(&blob, numbers.p, cbHalf);
    WriteNumber(&blob, numbers.q, cbHalf);
    WriteNumber(&blob, numbers.dmp1, cbHalf);
    WriteNumber(&blob, numbers.dmq1, cbHalf);
    WriteNumber(&blob, numbers.iqmp, cbHalf);
    WriteNumber(&blob, numbers.d, cbModulus);
    for (std::vector<uint8_t> *pSecret :
         {&numbers.d, &numbers.p, &numbers.q, &numbers.dmp1, &numbers.dmq1, &numbers.iqmp}) {
        std::fill(pSecret->begin(), pSecret->end(), 0);
    }
    return blob;
}

} // namespace csp
} // namespace qvn
