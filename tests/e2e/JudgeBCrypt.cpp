// The judge on Windows: the platform's own BCrypt (no OpenSSL there).
#include "Judge.h"

#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

namespace e2e
{

namespace
{

const NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BBL);
const NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002L);

std::string Describe(const char *pszWhat, NTSTATUS status)
{
    char sz[96];
    std::snprintf(sz, sizeof(sz), "%s answered 0x%08lX", pszWhat,
                  static_cast<unsigned long>(static_cast<ULONG>(status)));
    return sz;
}

Judgement FromStatus(const char *pszWhat, NTSTATUS status)
{
    if (status == 0) {
        return Judgement{Verdict::Accepted, ""};
    }
    if (status == kStatusNotSupported || status == kStatusNotImplemented) {
        return Judgement{Verdict::Unavailable, Describe(pszWhat, status)};
    }
    return Judgement{Verdict::Rejected, Describe(pszWhat, status)};
}

BCRYPT_ALG_HANDLE RsaAlgorithm()
{
    static BCRYPT_ALG_HANDLE s_hAlgorithm = [] {
        BCRYPT_ALG_HANDLE hAlgorithm = nullptr;
        const NTSTATUS status = BCryptOpenAlgorithmProvider(&hAlgorithm, BCRYPT_RSA_ALGORITHM, nullptr, 0);
        if (status != 0) {
            throw std::runtime_error(Describe("BCryptOpenAlgorithmProvider(RSA)", status));
        }
        return hAlgorithm;
    }();
    return s_hAlgorithm;
}

void AppendDword(Bytes &blob, DWORD dw)
{
    for (int i = 0; i < 4; ++i) {
        blob.push_back(static_cast<BYTE>(dw >> (8 * i)));
    }
}

DWORD ReadDword(const Bytes &blob, size_t offset)
{
    return static_cast<DWORD>(blob[offset]) | static_cast<DWORD>(blob[offset + 1]) << 8 |
           static_cast<DWORD>(blob[offset + 2]) << 16 | static_cast<DWORD>(blob[offset + 3]) << 24;
}

// Appends a big-endian number as a little-endian field of cbField bytes.
void AppendReversed(Bytes &blob, const BYTE *pbNumber, size_t cbNumber, size_t cbField)
{
    while (cbNumber > cbField && *pbNumber == 0) {
        ++pbNumber;
        --cbNumber;
    }
    if (cbNumber > cbField) {
        throw std::runtime_error("RSA number does not fit its blob field");
    }
    for (size_t i = 0; i < cbNumber; ++i) {
        blob.push_back(pbNumber[cbNumber - 1 - i]);
    }
    blob.insert(blob.end(), cbField - cbNumber, 0);
}

// The length of a hash value for a CNG algorithm name (nullptr: a bare value).
ULONG HashLength(LPCWSTR pszAlgId)
{
    if (pszAlgId == nullptr) {
        return 36;
    }
    const std::wstring strName(pszAlgId);
    if (strName == L"MD2" || strName == L"MD4" || strName == L"MD5") {
        return 16;
    }
    if (strName == L"SHA1") {
        return 20;
    }
    if (strName == L"SHA384") {
        return 48;
    }
    if (strName == L"SHA512") {
        return 64;
    }
    return 32;
}

// Whether this BCrypt signs PKCS #1 v1.5 with the algorithm and verifies its
// own signature again; some (Wine's) refuse weak digests or bare hash values.
// Where it does not, the judge has no say on such signatures.
bool SignsAndVerifies(LPCWSTR pszAlgId, std::string &strWhy)
{
    static std::mutex s_mutex;
    static std::map<std::wstring, std::string> s_answers; // empty string: it does
    static BCRYPT_KEY_HANDLE s_hKey = nullptr;
    std::lock_guard<std::mutex> lock(s_mutex);
    const std::wstring strKey = pszAlgId == nullptr ? std::wstring(L"(none)") : std::wstring(pszAlgId);
    auto it = s_answers.find(strKey);
    if (it == s_answers.end()) {
        NTSTATUS status = 0;
        if (s_hKey == nullptr) {
            status = BCryptGenerateKeyPair(RsaAlgorithm(), &s_hKey, 1024, 0);
            if (status == 0) {
                status = BCryptFinalizeKeyPair(s_hKey, 0);
            }
        }
        std::string strAnswer;
        Bytes hash(HashLength(pszAlgId), 0x5A);
        Bytes signature(128);
        ULONG cbResult = 0;
        BCRYPT_PKCS1_PADDING_INFO info = {pszAlgId};
        if (status == 0) {
            status = BCryptSignHash(s_hKey, &info, hash.data(), static_cast<ULONG>(hash.size()), signature.data(),
                                    static_cast<ULONG>(signature.size()), &cbResult, BCRYPT_PAD_PKCS1);
            if (status != 0) {
                strAnswer = Describe("BCryptSignHash of its own key", status);
            }
        } else {
            strAnswer = Describe("BCryptGenerateKeyPair", status);
        }
        if (status == 0) {
            status = BCryptVerifySignature(s_hKey, &info, hash.data(), static_cast<ULONG>(hash.size()),
                                           signature.data(), cbResult, BCRYPT_PAD_PKCS1);
            if (status != 0) {
                strAnswer = Describe("BCryptVerifySignature of its own signature", status);
            }
        }
        it = s_answers.emplace(strKey, strAnswer).first;
    }
    strWhy = it->second;
    return strWhy.empty();
}

class BCryptJudgeKey : public JudgeKey
{
public:
    BCryptJudgeKey(BCRYPT_KEY_HANDLE hKey, DWORD dwBits, bool fPrivate)
        : m_hKey(hKey), m_dwBits(dwBits), m_fPrivate(fPrivate)
    {
    }
    ~BCryptJudgeKey() override { BCryptDestroyKey(m_hKey); }
    BCryptJudgeKey(const BCryptJudgeKey &) = delete;
    BCryptJudgeKey &operator=(const BCryptJudgeKey &) = delete;

    Bytes PrivateKeyBlob(ALG_ID aiKeyAlg) const override
    {
        if (!m_fPrivate) {
            throw std::runtime_error("a public key has no private key blob");
        }
        ULONG cbFull = 0;
        NTSTATUS status = BCryptExportKey(m_hKey, nullptr, BCRYPT_RSAFULLPRIVATE_BLOB, nullptr, 0, &cbFull, 0);
        Bytes full(cbFull);
        if (status == 0) {
            status = BCryptExportKey(m_hKey, nullptr, BCRYPT_RSAFULLPRIVATE_BLOB, full.data(), cbFull, &cbFull, 0);
        }
        if (status != 0) {
            throw std::runtime_error(Describe("BCryptExportKey(RSAFULLPRIVATEBLOB)", status));
        }
        BCRYPT_RSAKEY_BLOB header;
        std::memcpy(&header, full.data(), sizeof(header));
        const BYTE *pb = full.data() + sizeof(header);
        const BYTE *pbExponent = pb;
        const BYTE *pbModulus = pbExponent + header.cbPublicExp;
        const BYTE *pbPrime1 = pbModulus + header.cbModulus;
        const BYTE *pbPrime2 = pbPrime1 + header.cbPrime1;
        const BYTE *pbExponent1 = pbPrime2 + header.cbPrime2;
        const BYTE *pbExponent2 = pbExponent1 + header.cbPrime1;
        const BYTE *pbCoefficient = pbExponent2 + header.cbPrime2;
        const BYTE *pbPrivateExponent = pbCoefficient + header.cbPrime1;

        DWORD dwExponent = 0;
        for (ULONG i = 0; i < header.cbPublicExp; ++i) {
            dwExponent = dwExponent << 8 | pbExponent[i];
        }
        const size_t cbModulus = m_dwBits / 8;
        const size_t cbHalf = m_dwBits / 16;
        Bytes blob = {PRIVATEKEYBLOB, CUR_BLOB_VERSION, 0, 0};
        AppendDword(blob, aiKeyAlg);
        AppendDword(blob, 0x32415352); // "RSA2"
        AppendDword(blob, m_dwBits);
        AppendDword(blob, dwExponent);
        AppendReversed(blob, pbModulus, header.cbModulus, cbModulus);
        AppendReversed(blob, pbPrime1, header.cbPrime1, cbHalf);
        AppendReversed(blob, pbPrime2, header.cbPrime2, cbHalf);
        AppendReversed(blob, pbExponent1, header.cbPrime1, cbHalf);
        AppendReversed(blob, pbExponent2, header.cbPrime2, cbHalf);
        AppendReversed(blob, pbCoefficient, header.cbPrime1, cbHalf);
        AppendReversed(blob, pbPrivateExponent, header.cbModulus, cbModulus);
        SecureZeroMemory(full.data(), full.size());
        return blob;
    }

    Judgement Verify(LPCWSTR pszAlgId, const Bytes &hash, const Bytes &signature) const override
    {
        std::string strWhy;
        if (!SignsAndVerifies(pszAlgId, strWhy)) {
            return Judgement{Verdict::Unavailable, strWhy};
        }
        BCRYPT_PKCS1_PADDING_INFO info = {pszAlgId};
        const NTSTATUS status = BCryptVerifySignature(
            m_hKey, &info, const_cast<PUCHAR>(hash.data()), static_cast<ULONG>(hash.size()),
            const_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()), BCRYPT_PAD_PKCS1);
        return FromStatus("BCryptVerifySignature", status);
    }

    Judgement Sign(LPCWSTR pszAlgId, const Bytes &hash, Bytes &signature) const override
    {
        std::string strWhy;
        if (!m_fPrivate) {
            return Judgement{Verdict::Unavailable, "no private key"};
        }
        if (!SignsAndVerifies(pszAlgId, strWhy)) {
            return Judgement{Verdict::Unavailable, strWhy};
        }
        BCRYPT_PKCS1_PADDING_INFO info = {pszAlgId};
        signature.assign(m_dwBits / 8, 0);
        ULONG cbResult = 0;
        const NTSTATUS status =
            BCryptSignHash(m_hKey, &info, const_cast<PUCHAR>(hash.data()), static_cast<ULONG>(hash.size()),
                           signature.data(), static_cast<ULONG>(signature.size()), &cbResult, BCRYPT_PAD_PKCS1);
        signature.resize(status == 0 ? cbResult : 0);
        return FromStatus("BCryptSignHash", status);
    }

    Judgement Encrypt(const Bytes &plaintext, Bytes &ciphertext) const override
    {
        BYTE bEmpty = 0;
        ciphertext.assign(m_dwBits / 8, 0);
        ULONG cbResult = 0;
        const NTSTATUS status =
            BCryptEncrypt(m_hKey, plaintext.empty() ? &bEmpty : const_cast<PUCHAR>(plaintext.data()),
                          static_cast<ULONG>(plaintext.size()), nullptr, nullptr, 0, ciphertext.data(),
                          static_cast<ULONG>(ciphertext.size()), &cbResult, BCRYPT_PAD_PKCS1);
        ciphertext.resize(status == 0 ? cbResult : 0);
        return FromStatus("BCryptEncrypt", status);
    }

    Judgement Decrypt(const Bytes &ciphertext, Bytes &plaintext) const override
    {
        if (!m_fPrivate) {
            return Judgement{Verdict::Unavailable, "no private key"};
        }
        plaintext.assign(m_dwBits / 8, 0);
        ULONG cbResult = 0;
        const NTSTATUS status = BCryptDecrypt(
            m_hKey, const_cast<PUCHAR>(ciphertext.data()), static_cast<ULONG>(ciphertext.size()), nullptr, nullptr, 0,
            plaintext.data(), static_cast<ULONG>(plaintext.size()), &cbResult, BCRYPT_PAD_PKCS1);
        plaintext.resize(status == 0 ? cbResult : 0);
        return FromStatus("BCryptDecrypt", status);
    }

private:
    BCRYPT_KEY_HANDLE m_hKey;
    DWORD m_dwBits;
    bool m_fPrivate;
};

} // namespace

std::unique_ptr<JudgeKey> GenerateJudgeKey(DWORD dwBits)
{
    BCRYPT_KEY_HANDLE hKey = nullptr;
    NTSTATUS status = BCryptGenerateKeyPair(RsaAlgorithm(), &hKey, dwBits, 0);
    if (status == 0) {
        status = BCryptFinalizeKeyPair(hKey, 0);
        if (status != 0) {
            BCryptDestroyKey(hKey);
        }
    }
    if (status != 0) {
        throw std::runtime_error(Describe("BCryptGenerateKeyPair", status));
    }
    return std::make_unique<BCryptJudgeKey>(hKey, dwBits, true);
}

std::unique_ptr<JudgeKey> JudgeKeyFromPublicKeyBlob(const Bytes &blob)
{
    // BLOBHEADER (8 bytes), RSAPUBKEY (12 bytes), modulus least significant byte first.
    if (blob.size() < 20 || blob[0] != PUBLICKEYBLOB || ReadDword(blob, 8) != 0x31415352) {
        throw std::runtime_error("not an RSA PUBLICKEYBLOB");
    }
    const DWORD dwBits = ReadDword(blob, 12);
    const DWORD dwExponent = ReadDword(blob, 16);
    const size_t cbModulus = dwBits / 8;
    if (blob.size() < 20 + cbModulus) {
        throw std::runtime_error("PUBLICKEYBLOB shorter than its modulus");
    }
    Bytes exponent;
    for (int i = 3; i >= 0; --i) {
        const BYTE b = static_cast<BYTE>(dwExponent >> (8 * i));
        if (b != 0 || !exponent.empty()) {
            exponent.push_back(b);
        }
    }
    BCRYPT_RSAKEY_BLOB header = {};
    header.Magic = BCRYPT_RSAPUBLIC_MAGIC;
    header.BitLength = dwBits;
    header.cbPublicExp = static_cast<ULONG>(exponent.size());
    header.cbModulus = static_cast<ULONG>(cbModulus);
    Bytes rsaPublic(sizeof(header));
    std::memcpy(rsaPublic.data(), &header, sizeof(header));
    rsaPublic.insert(rsaPublic.end(), exponent.begin(), exponent.end());
    for (size_t i = 0; i < cbModulus; ++i) {
        rsaPublic.push_back(blob[20 + cbModulus - 1 - i]);
    }

    BCRYPT_KEY_HANDLE hKey = nullptr;
    const NTSTATUS status = BCryptImportKeyPair(RsaAlgorithm(), nullptr, BCRYPT_RSAPUBLIC_BLOB, &hKey, rsaPublic.data(),
                                                static_cast<ULONG>(rsaPublic.size()), 0);
    if (status != 0) {
        throw std::runtime_error(Describe("BCryptImportKeyPair(RSAPUBLICBLOB)", status));
    }
    return std::make_unique<BCryptJudgeKey>(hKey, dwBits, false);
}

} // namespace e2e
