// The judge on Linux: OpenSSL, through the shared test support. It signs
// every algorithm that CNG can name, MD2 and MD4 included, and bare hash values.
#include "E2E.h"

#include <TestSupport.h>

#include <stdexcept>

namespace e2e
{
namespace
{

// The CryptoAPI id of a CNG hash algorithm name; 0 for a bare hash value.
ALG_ID HashAlgorithmOf(LPCWSTR pszAlgId)
{
    const std::string strName = qvntest::Narrow(pszAlgId);
    for (const auto &name :
         {std::make_pair("MD2", CALG_MD2), std::make_pair("MD4", CALG_MD4), std::make_pair("MD5", CALG_MD5),
          std::make_pair("SHA1", CALG_SHA1), std::make_pair("SHA256", CALG_SHA_256),
          std::make_pair("SHA384", CALG_SHA_384), std::make_pair("SHA512", CALG_SHA_512), std::make_pair("", 0)}) {
        if (strName == name.first) {
            return name.second;
        }
    }
    throw std::invalid_argument("the judge knows no DigestInfo for " + strName);
}

class OpenSslJudgeKey : public JudgeKey
{
public:
    explicit OpenSslJudgeKey(std::unique_ptr<qvntest::TestKey> pKey) : m_pKey(std::move(pKey)) {}
    Bytes Sign(LPCWSTR pszAlgId, const Bytes &hash) const override
    {
        return qvntest::OpenSslSign(*m_pKey, HashAlgorithmOf(pszAlgId), hash);
    }
    Bytes Encrypt(const Bytes &plaintext) const override { return qvntest::OpenSslEncrypt(*m_pKey, plaintext); }
    std::optional<Bytes> Decrypt(const Bytes &ciphertext) const override
    {
        return qvntest::OpenSslDecrypt(*m_pKey, ciphertext);
    }

private:
    std::unique_ptr<qvntest::TestKey> m_pKey;
};

} // namespace

bool JudgeCanCheck(LPCWSTR)
{
    return true;
}

std::unique_ptr<JudgeKey> JudgeKeyFromBlob(const Bytes &blob)
{
    std::unique_ptr<qvntest::TestKey> pKey = qvntest::TestKeyFromBlob(blob);
    if (!pKey) {
        throw std::runtime_error("OpenSSL takes no key from this blob");
    }
    return std::make_unique<OpenSslJudgeKey>(std::move(pKey));
}

} // namespace e2e
