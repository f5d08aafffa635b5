// The judge on Windows: the platform's own BCrypt (no OpenSSL there).
#include "E2E.h"

#include <bcrypt.h>

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

class BCryptJudgeKey : public JudgeKey
{
public:
    BCryptJudgeKey(BCRYPT_KEY_HANDLE hKey, ULONG cbKey) : m_hKey(hKey), m_cbKey(cbKey) {}
    ~BCryptJudgeKey() override { BCryptDestroyKey(m_hKey); }

    Bytes Sign(LPCWSTR pszAlgId, const Bytes &hash) const override
    {
        BCRYPT_PKCS1_PADDING_INFO info = {pszAlgId};
        Bytes signature(m_cbKey);
        ULONG cb = 0;
        Check(BCryptSignHash(m_hKey, &info, const_cast<PUCHAR>(hash.data()), ULONG(hash.size()), signature.data(),
                             m_cbKey, &cb, BCRYPT_PAD_PKCS1),
              "BCryptSignHash");
        return Bytes(signature.begin(), signature.begin() + cb);
    }
    Bytes Encrypt(const Bytes &plaintext) const override
    {
        Bytes input = plaintext, ciphertext(m_cbKey);
        input.reserve(1); // a valid pointer also for an empty plaintext
        ULONG cb = 0;
        Check(BCryptEncrypt(m_hKey, input.data(), ULONG(input.size()), nullptr, nullptr, 0, ciphertext.data(), m_cbKey,
                            &cb, BCRYPT_PAD_PKCS1),
              "BCryptEncrypt");
        return Bytes(ciphertext.begin(), ciphertext.begin() + cb);
    }
    std::optional<Bytes> Decrypt(const Bytes &ciphertext) const override
    {
        Bytes plaintext(m_cbKey);
        ULONG cb = 0;
        if (BCryptDecrypt(m_hKey, const_cast<PUCHAR>(ciphertext.data()), ULONG(ciphertext.size()), nullptr, nullptr, 0,
                          plaintext.data(), m_cbKey, &cb, BCRYPT_PAD_PKCS1) != 0) {
            return std::nullopt;
        }
        return Bytes(plaintext.begin(), plaintext.begin() + cb);
    }

private:
    BCRYPT_KEY_HANDLE m_hKey;
    ULONG m_cbKey;
};

} // namespace

// Wine's BCrypt cannot sign with MD2, MD4 or MD5 or sign bare hash values (it
// signs them wrongly or not at all); Windows' can, but one list serves both.
bool JudgeCanCheck(LPCWSTR pszAlgId)
{
    return pszAlgId != nullptr && pszAlgId[0] == L'S';
}

// BLOBHEADER (8 bytes), RSAPUBKEY (magic, bits, exponent), then little-endian
// the modulus and, in a PRIVATEKEYBLOB, the two primes (and more, not needed);
// BCrypt wants each big-endian, the exponent without leading zeros.
std::unique_ptr<JudgeKey> JudgeKeyFromBlob(const Bytes &blob)
{
    const ULONG cbModulus = (blob.at(12) | blob.at(13) << 8) / 8, cbPrime = cbModulus / 2;
    ULONG iExponent = 0;
    while (iExponent < 3 && blob.at(19 - iExponent) == 0) {
        ++iExponent;
    }
    const BCRYPT_RSAKEY_BLOB header = {
        BCRYPT_RSAPRIVATE_MAGIC, cbModulus * 8, 4 - iExponent, cbModulus, cbPrime, cbPrime};
    Bytes bcrypt(reinterpret_cast<const BYTE *>(&header), reinterpret_cast<const BYTE *>(&header) + sizeof(header));
    for (const auto &field :
         {std::make_pair(ULONG(16), 4 - iExponent), std::make_pair(ULONG(20), cbModulus),
          std::make_pair(20 + cbModulus, cbPrime), std::make_pair(20 + cbModulus + cbPrime, cbPrime)}) {
        for (ULONG i = field.second; i > 0; --i) {
            bcrypt.push_back(blob.at(field.first + i - 1));
        }
    }
    static BCRYPT_ALG_HANDLE s_hRsa = nullptr;
    if (s_hRsa == nullptr) {
        Check(BCryptOpenAlgorithmProvider(&s_hRsa, BCRYPT_RSA_ALGORITHM, nullptr, 0), "BCryptOpenAlgorithm");
    }
    BCRYPT_KEY_HANDLE hKey = nullptr;
    Check(BCryptImportKeyPair(s_hRsa, nullptr, BCRYPT_RSAPRIVATE_BLOB, &hKey, bcrypt.data(), ULONG(bcrypt.size()), 0),
          "BCryptImportKeyPair");
    return std::make_unique<BCryptJudgeKey>(hKey, cbModulus);
}

} // namespace e2e
