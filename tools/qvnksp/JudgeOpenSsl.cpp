// The judge on Linux: OpenSSL 3.
#include "Judge.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <memory>

namespace qvnksp
{
namespace judge
{
namespace
{

struct Deleter {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX *p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_MD *p) const { EVP_MD_free(p); }
    void operator()(BIGNUM *p) const { BN_free(p); }
    void operator()(OSSL_PARAM_BLD *p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM *p) const { OSSL_PARAM_free(p); }
};
template <typename T> using Owned = std::unique_ptr<T, Deleter>;

std::string LastOpenSslError(const char *pszWhat)
{
    char szError[256] = "";
    const unsigned long err = ERR_get_error();
    ERR_clear_error();
    if (err != 0) {
        ERR_error_string_n(err, szError, sizeof(szError));
    }
    return std::string(pszWhat) + (err != 0 ? std::string(": ") + szError : std::string());
}

Owned<EVP_PKEY> MakeKey(const RsaPublicKey &key, std::string &strError)
{
    Owned<BIGNUM> n(BN_bin2bn(key.modulus.data(), static_cast<int>(key.modulus.size()), nullptr));
    Owned<BIGNUM> e(BN_bin2bn(key.exponent.data(), static_cast<int>(key.exponent.size()), nullptr));
    Owned<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
    if (!n || !e || !builder || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
        strError = LastOpenSslError("cannot build the RSA key parameters");
        return nullptr;
    }
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(builder.get()));
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY *pKey = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &pKey, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        strError = LastOpenSslError("cannot make an RSA public key");
        return nullptr;
    }
    return Owned<EVP_PKEY>(pKey);
}

} // namespace

const char *ShortName()
{
    return "OpenSSL";
}

std::string Name()
{
    return OpenSSL_version(OPENSSL_VERSION);
}

bool Digest(const std::string &strHash, const Bytes &data, Bytes &digest, std::string &strError)
{
    Owned<EVP_MD> md(EVP_MD_fetch(nullptr, strHash.c_str(), nullptr));
    if (!md) {
        ERR_clear_error();
        strError = "OpenSSL has no " + strHash + " digest";
        return false;
    }
    digest.assign(static_cast<size_t>(EVP_MD_get_size(md.get())), 0);
    unsigned int cbDigest = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &cbDigest, md.get(), nullptr) != 1) {
        strError = LastOpenSslError("EVP_Digest failed");
        return false;
    }
    digest.resize(cbDigest);
    return true;
}

Verdict VerifyPkcs1(const RsaPublicKey &key, const std::string &strHash, const Bytes &digest, const Bytes &signature,
                    std::string &strDetail)
{
    Owned<EVP_PKEY> pkey = MakeKey(key, strDetail);
    if (!pkey) {
        return Verdict::CannotJudge;
    }
    Owned<EVP_MD> md;
    if (!strHash.empty()) {
        md.reset(EVP_MD_fetch(nullptr, strHash.c_str(), nullptr));
        if (!md) {
            ERR_clear_error();
            strDetail = "OpenSSL has no " + strHash + " digest";
            return Verdict::CannotJudge;
        }
    }
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        (md && EVP_PKEY_CTX_set_signature_md(ctx.get(), md.get()) != 1)) {
        strDetail = LastOpenSslError("cannot set up the verification");
        return Verdict::CannotJudge;
    }
    const int result = EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size());
    ERR_clear_error();
    strDetail = "EVP_PKEY_verify = " + std::to_string(result);
    return result == 1 ? Verdict::Valid : Verdict::Invalid;
}

bool EncryptPkcs1(const RsaPublicKey &key, const Bytes &plaintext, Bytes &ciphertext, std::string &strError)
{
    Owned<EVP_PKEY> pkey = MakeKey(key, strError);
    if (!pkey) {
        return false;
    }
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
    size_t cbOut = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &cbOut, plaintext.data(), plaintext.size()) != 1) {
        strError = LastOpenSslError("cannot set up the encryption");
        return false;
    }
    ciphertext.assign(cbOut, 0);
    if (EVP_PKEY_encrypt(ctx.get(), ciphertext.data(), &cbOut, plaintext.data(), plaintext.size()) != 1) {
        strError = LastOpenSslError("EVP_PKEY_encrypt failed");
        return false;
    }
    ciphertext.resize(cbOut);
    return true;
}

} // namespace judge
} // namespace qvnksp
