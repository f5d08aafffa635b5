// The judge on Linux: OpenSSL, through the shared test support. Signatures
// are checked by recovering the signed block with the public key and
// comparing it with the DigestInfo that the algorithm calls for, so every
// algorithm that CNG can name is judged, MD2 and MD4 included.
#include "Judge.h"

#include <TestSupport.h>

#include <stdexcept>

namespace e2e
{

namespace
{

// The CryptoAPI id of a CNG hash algorithm name; 0 for none (a bare hash).
bool HashAlgorithmOf(LPCWSTR pszAlgId, ALG_ID &aiHash)
{
    static const struct {
        const char *pszName;
        ALG_ID aiHash;
    } s_names[] = {{"MD2", CALG_MD2},        {"MD4", CALG_MD4},        {"MD5", CALG_MD5},       {"SHA1", CALG_SHA1},
                   {"SHA256", CALG_SHA_256}, {"SHA384", CALG_SHA_384}, {"SHA512", CALG_SHA_512}};
    if (pszAlgId == nullptr) {
        aiHash = 0;
        return true;
    }
    const std::string strName = qvntest::Narrow(pszAlgId);
    for (const auto &name : s_names) {
        if (strName == name.pszName) {
            aiHash = name.aiHash;
            return true;
        }
    }
    return false;
}

Judgement Accept()
{
    return Judgement{Verdict::Accepted, ""};
}

class OpenSslJudgeKey : public JudgeKey
{
public:
    OpenSslJudgeKey(std::unique_ptr<qvntest::TestKey> pKey, bool fPrivate)
        : m_pKey(std::move(pKey)), m_fPrivate(fPrivate)
    {
    }

    Bytes PrivateKeyBlob(ALG_ID aiKeyAlg) const override
    {
        if (!m_fPrivate) {
            throw std::runtime_error("a public key has no private key blob");
        }
        return m_pKey->PrivateKeyBlob(aiKeyAlg);
    }

    Judgement Verify(LPCWSTR pszAlgId, const Bytes &hash, const Bytes &signature) const override
    {
        ALG_ID aiHash = 0;
        if (!HashAlgorithmOf(pszAlgId, aiHash)) {
            return Judgement{Verdict::Unavailable, "no DigestInfo for this algorithm name"};
        }
        if (!qvntest::OpenSslVerify(*m_pKey, aiHash, hash, signature)) {
            return Judgement{Verdict::Rejected, "not a PKCS #1 v1.5 signature of this DigestInfo and hash"};
        }
        return Accept();
    }

    Judgement Sign(LPCWSTR pszAlgId, const Bytes &hash, Bytes &signature) const override
    {
        ALG_ID aiHash = 0;
        if (!m_fPrivate || !HashAlgorithmOf(pszAlgId, aiHash)) {
            return Judgement{Verdict::Unavailable, "no private key, or no DigestInfo for this algorithm name"};
        }
        signature = qvntest::OpenSslSign(*m_pKey, aiHash, hash);
        return Accept();
    }

    Judgement Encrypt(const Bytes &plaintext, Bytes &ciphertext) const override
    {
        ciphertext = qvntest::OpenSslEncrypt(*m_pKey, plaintext);
        return Accept();
    }

    Judgement Decrypt(const Bytes &ciphertext, Bytes &plaintext) const override
    {
        if (!m_fPrivate) {
            return Judgement{Verdict::Unavailable, "no private key"};
        }
        std::optional<Bytes> decrypted = qvntest::OpenSslDecrypt(*m_pKey, ciphertext);
        if (!decrypted) {
            return Judgement{Verdict::Rejected, "not a PKCS #1 v1.5 ciphertext for this key"};
        }
        plaintext = *decrypted;
        return Accept();
    }

private:
    std::unique_ptr<qvntest::TestKey> m_pKey;
    bool m_fPrivate;
};

} // namespace

std::unique_ptr<JudgeKey> GenerateJudgeKey(DWORD dwBits)
{
    return std::make_unique<OpenSslJudgeKey>(qvntest::GenerateTestKey(dwBits), true);
}

std::unique_ptr<JudgeKey> JudgeKeyFromPublicKeyBlob(const Bytes &blob)
{
    if (blob.empty() || blob[0] != PUBLICKEYBLOB) {
        throw std::runtime_error("not a PUBLICKEYBLOB");
    }
    std::unique_ptr<qvntest::TestKey> pKey = qvntest::TestKeyFromBlob(blob);
    if (!pKey) {
        throw std::runtime_error("OpenSSL refused the PUBLICKEYBLOB");
    }
    return std::make_unique<OpenSslJudgeKey>(std::move(pKey), false);
}

} // namespace e2e
