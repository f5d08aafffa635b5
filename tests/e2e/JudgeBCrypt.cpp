// The judge on Windows: the platform's own BCrypt (no OpenSSL there).
#include "E2E.h"

#include <bcrypt.h>

#include <map>
#include <stdexcept>

namespace e2e
{
namespace
{

void Check(NTSTATUS status, const char *pszWhat)
{
    if (status != 0) {
        throw std::runtime_error(std::string(pszWhat) + " failed with " + std::to_string(static_cast<ULONG>(status)));
    }
}

BCRYPT_ALG_HANDLE Rsa()
{
    static const BCRYPT_ALG_HANDLE s_hAlgorithm = [] {
        BCRYPT_ALG_HANDLE hAlgorithm = nullptr;
        Check(BCryptOpenAlgorithmProvider(&hAlgorithm, BCRYPT_RSA_ALGORITHM, nullptr, 0),
              "BCryptOpenAlgorithmProvider");
        return hAlgorithm;
    }();
    return s_hAlgorithm;
}

class BCryptJudgeKey : public JudgeKey
{
public:
    BCryptJudgeKey(BCRYPT_KEY_HANDLE hKey, DWORD cbKey) : m_hKey(hKey), m_cbKey(cbKey) {}
    ~BCryptJudgeKey() override { BCryptDestroyKey(m_hKey); }
    BCryptJudgeKey(const BCryptJudgeKey &) = delete;
    BCryptJudgeKey &operator=(const BCryptJudgeKey &) = delete;

    bool Verify(LPCWSTR pszAlgId, const Bytes &hash, const Bytes &signature) const
    {
        BCRYPT_PKCS1_PADDING_INFO info = {pszAlgId};
        return BCryptVerifySignature(m_hKey, &info, const_cast<PUCHAR>(hash.data()), static_cast<ULONG>(hash.size()),
                                     const_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()),
                                     BCRYPT_PAD_PKCS1) == 0;
    }
    Bytes Sign(LPCWSTR pszAlgId, const Bytes &hash) const override
    {
        BCRYPT_PKCS1_PADDING_INFO info = {pszAlgId};
        Bytes signature(m_cbKey);
        ULONG cb = 0;
        Check(BCryptSignHash(m_hKey, &info, const_cast<PUCHAR>(hash.data()), static_cast<ULONG>(hash.size()),
                             signature.data(), m_cbKey, &cb, BCRYPT_PAD_PKCS1),
              "BCryptSignHash");
        return Bytes(signature.begin(), signature.begin() + cb);
    }
    Bytes Encrypt(const Bytes &plaintext) const override
    {
        BYTE bEmpty = 0;
        Bytes ciphertext(m_cbKey);
        ULONG cb = 0;
        Check(BCryptEncrypt(m_hKey, plaintext.empty() ? &bEmpty : const_cast<PUCHAR>(plaintext.data()),
                            static_cast<ULONG>(plaintext.size()), nullptr, nullptr, 0, ciphertext.data(), m_cbKey, &cb,
                            BCRYPT_PAD_PKCS1),
              "BCryptEncrypt");
        return Bytes(ciphertext.begin(), ciphertext.begin() + cb);
    }
    std::optional<Bytes> Decrypt(const Bytes &ciphertext) const override
    {
        Bytes plaintext(m_cbKey);
        ULONG cb = 0;
        if (BCryptDecrypt(m_hKey, const_cast<PUCHAR>(ciphertext.data()), static_cast<ULONG>(ciphertext.size()), nullptr,
                          nullptr, 0, plaintext.data(), m_cbKey, &cb, BCRYPT_PAD_PKCS1) != 0) {
            return std::nullopt;
        }
        return Bytes(plaintext.begin(), plaintext.begin() + cb);
    }

private:
    BCRYPT_KEY_HANDLE m_hKey;
    DWORD m_cbKey;
};

} // namespace

// Whether this BCrypt signs with the algorithm and verifies its own signature
// again, with a key made for the question: Wine's does not for MD2, MD4, MD5
// and bare hash values.
bool JudgeCanCheck(LPCWSTR pszAlgId)
{
    static std::map<std::wstring, bool> s_answers;
    const std::wstring strName = pszAlgId == nullptr ? L"" : pszAlgId;
    if (s_answers.count(strName) == 0) {
        static const BCryptJudgeKey s_probe = [] {
            BCRYPT_KEY_HANDLE hKey = nullptr;
            Check(BCryptGenerateKeyPair(Rsa(), &hKey, 1024, 0), "BCryptGenerateKeyPair");
            Check(BCryptFinalizeKeyPair(hKey, 0), "BCryptFinalizeKeyPair");
            return BCryptJudgeKey(hKey, 128);
        }();
        const std::map<std::wstring, size_t> lengths = {{L"", 36},     {L"MD2", 16},    {L"MD4", 16},   {L"MD5", 16},
                                                        {L"SHA1", 20}, {L"SHA384", 48}, {L"SHA512", 64}};
        const Bytes hash(lengths.count(strName) != 0 ? lengths.at(strName) : 32, 0x5A);
        try {
            s_answers[strName] = s_probe.Verify(pszAlgId, hash, s_probe.Sign(pszAlgId, hash));
        } catch (const std::runtime_error &) {
            s_answers[strName] = false;
        }
    }
    return s_answers[strName];
}

// BLOBHEADER (8 bytes), RSAPUBKEY (magic, bits, exponent), then little-endian
// the modulus and, in a PRIVATEKEYBLOB, the two primes (and more, not needed).
std::unique_ptr<JudgeKey> JudgeKeyFromBlob(const Bytes &blob)
{
    const bool fPrivate = blob.at(0) == PRIVATEKEYBLOB;
    const ULONG cbModulus = (blob.at(12) | blob.at(13) << 8) / 8, cbPrime = cbModulus / 2;
    ULONG iExponent = 0; // big-endian without leading zeros
    while (iExponent < 3 && blob.at(19 - iExponent) == 0) {
        ++iExponent;
    }
    const BCRYPT_RSAKEY_BLOB header = {ULONG(fPrivate ? BCRYPT_RSAPRIVATE_MAGIC : BCRYPT_RSAPUBLIC_MAGIC),
                                       cbModulus * 8,
                                       4 - iExponent,
                                       cbModulus,
                                       fPrivate ? cbPrime : 0,
                                       fPrivate ? cbPrime : 0};
    Bytes bcrypt(reinterpret_cast<const BYTE *>(&header), reinterpret_cast<const BYTE *>(&header) + sizeof(header));
    for (ULONG i = 19 - iExponent; i >= 16; --i) {
        bcrypt.push_back(blob[i]);
    }
    for (const auto &field :
         {std::make_pair(ULONG(20), cbModulus), std::make_pair(20 + cbModulus, fPrivate ? cbPrime : 0),
          std::make_pair(20 + cbModulus + cbPrime, fPrivate ? cbPrime : 0)}) {
        for (ULONG i = field.second; i > 0; --i) {
            bcrypt.push_back(blob.at(field.first + i - 1));
        }
    }
    BCRYPT_KEY_HANDLE hKey = nullptr;
    Check(BCryptImportKeyPair(Rsa(), nullptr, fPrivate ? BCRYPT_RSAPRIVATE_BLOB : BCRYPT_RSAPUBLIC_BLOB, &hKey,
                              bcrypt.data(), static_cast<ULONG>(bcrypt.size()), 0),
          "BCryptImportKeyPair");
    return std::make_unique<BCryptJudgeKey>(hKey, cbModulus);
}

} // namespace e2e
