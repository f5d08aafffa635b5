// The judge on Linux: OpenSSL, through the shared test support. It signs
// every algorithm that CNG can name, MD2 and MD4 included, and bare hash values.
#include "E2E.h"

#include <TestSupport.h>

#include <map>
#include <stdexcept>

namespace e2e
{
namespace
{

// The CryptoAPI id of a CNG hash algorithm name; 0 for a bare hash value.
ALG_ID HashAlgorithmOf(LPCWSTR pszAlgId)
{
    static const std::map<std::string, ALG_ID> kIds = {
        {"MD2", CALG_MD2},        {"MD4", CALG_MD4},        {"MD5", CALG_MD5},        {"SHA1", CALG_SHA1},
        {"SHA256", CALG_SHA_256}, {"SHA384", CALG_SHA_384}, {"SHA512", CALG_SHA_512}, {"", 0}};
    return kIds.at(qvntest::Narrow(pszAlgId)); // std::out_of_range: the judge knows no DigestInfo for it
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
