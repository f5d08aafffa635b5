#include "RsaKey.h"

#include "CspError.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstring>

namespace qvn
{
namespace csp
{
namespace
{

struct BnDeleter {
    void operator()(BIGNUM *p) const { BN_clear_free(p); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnDeleter>;

struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX *p) const { EVP_PKEY_CTX_free(p); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;

std::vector<uint8_t> BnBytes(const BIGNUM *bn)
{
    std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(bn)));
    if (!bytes.empty()) {
        BN_bn2bin(bn, bytes.data());
    }
    return bytes;
}

BnPtr BytesBn(const std::vector<uint8_t> &bytes)
{
    BnPtr bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
    if (!bn) {
        Fail(NTE_NO_MEMORY);
    }
    return bn;
}

void Check(int iResult, HRESULT hrError = NTE_FAIL)
{
    if (iResult <= 0) {
        ERR_clear_error();
        Fail(hrError);
    }
}

// Builds an EVP_PKEY from numbers; d and the CRT values are used when present.
EVP_PKEY *BuildPkey(const RsaNumbers &numbers)
{
    const bool fPrivate = !numbers.d.empty();
    OSSL_PARAM_BLD *pBuild = OSSL_PARAM_BLD_new();
    if (pBuild == nullptr) {
        Fail(NTE_NO_MEMORY);
    }
    std::vector<BnPtr> owned;
    auto push = [&](const char *pszName, const std::vector<uint8_t> &bytes) {
        owned.push_back(BytesBn(bytes));
        return OSSL_PARAM_BLD_push_BN(pBuild, pszName, owned.back().get()) == 1;
    };
    bool fOk = push(OSSL_PKEY_PARAM_RSA_N, numbers.n) && push(OSSL_PKEY_PARAM_RSA_E, numbers.e);
    if (fOk && fPrivate) {
        fOk = push(OSSL_PKEY_PARAM_RSA_D, numbers.d);
        if (fOk && !numbers.p.empty()) {
            fOk = push(OSSL_PKEY_PARAM_RSA_FACTOR1, numbers.p) && push(OSSL_PKEY_PARAM_RSA_FACTOR2, numbers.q) &&
                  push(OSSL_PKEY_PARAM_RSA_EXPONENT1, numbers.dmp1) &&
                  push(OSSL_PKEY_PARAM_RSA_EXPONENT2, numbers.dmq1) &&
                  push(OSSL_PKEY_PARAM_RSA_COEFFICIENT1, numbers.iqmp);
        }
    }
    OSSL_PARAM *pParams = fOk ? OSSL_PARAM_BLD_to_param(pBuild) : nullptr;
    OSSL_PARAM_BLD_free(pBuild);
    if (pParams == nullptr) {
        Fail(NTE_NO_MEMORY);
    }
    EVP_PKEY *pKey = nullptr;
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    const bool fBuilt =
        ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
        EVP_PKEY_fromdata(ctx.get(), &pKey, fPrivate ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, pParams) == 1;
    OSSL_PARAM_free(pParams);
    if (!fBuilt) {
        ERR_clear_error();
        Fail(NTE_BAD_DATA);
    }
    return pKey;
}

PkeyCtxPtr OperationContext(EVP_PKEY *pKey)
{
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pKey, nullptr));
    if (!ctx) {
        Fail(NTE_NO_MEMORY);
    }
    return ctx;
}

// Left-pads a big-endian value to cbLength bytes.
std::vector<uint8_t> LeftPad(const std::vector<uint8_t> &value, size_t cbLength)
{
    std::vector<uint8_t> padded(cbLength, 0);
    std::memcpy(padded.data() + (cbLength - value.size()), value.data(), value.size());
    return padded;
}

} // namespace

RsaKey::RsaKey(EVP_PKEY *pKey, bool fPrivate)
    : m_pKey(pKey), m_fPrivate(fPrivate), m_dwBits(static_cast<DWORD>(EVP_PKEY_get_bits(pKey)))
{
}

RsaKey::~RsaKey()
{
    EVP_PKEY_free(m_pKey);
}

std::shared_ptr<const RsaKey> RsaKey::Generate(DWORD dwBits)
{
    if (dwBits < kMinGenerateBits || dwBits > kMaxBits) {
        Fail(NTE_BAD_FLAGS);
    }
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY *pKey = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(dwBits)) != 1 ||
        EVP_PKEY_generate(ctx.get(), &pKey) != 1) {
        ERR_clear_error();
        Fail(NTE_FAIL);
    }
    return std::shared_ptr<const RsaKey>(new RsaKey(pKey, true));
}

std::shared_ptr<const RsaKey> RsaKey::FromNumbers(const RsaNumbers &numbers)
{
    if (numbers.n.empty() || numbers.e.empty()) {
        Fail(NTE_BAD_DATA);
    }
    EVP_PKEY *pKey = BuildPkey(numbers);
    return std::shared_ptr<const RsaKey>(new RsaKey(pKey, !numbers.d.empty()));
}

RsaNumbers RsaKey::Numbers() const
{
    RsaNumbers numbers;
    struct Field {
        const char *pszName;
        std::vector<uint8_t> *pValue;
    };
    const Field publicFields[] = {{OSSL_PKEY_PARAM_RSA_N, &numbers.n}, {OSSL_PKEY_PARAM_RSA_E, &numbers.e}};
    const Field privateFields[] = {{OSSL_PKEY_PARAM_RSA_D, &numbers.d},
                                   {OSSL_PKEY_PARAM_RSA_FACTOR1, &numbers.p},
                                   {OSSL_PKEY_PARAM_RSA_FACTOR2, &numbers.q},
                                   {OSSL_PKEY_PARAM_RSA_EXPONENT1, &numbers.dmp1},
                                   {OSSL_PKEY_PARAM_RSA_EXPONENT2, &numbers.dmq1},
                                   {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, &numbers.iqmp}};
    auto read = [&](const Field &field) {
        BIGNUM *bn = nullptr;
        if (EVP_PKEY_get_bn_param(m_pKey, field.pszName, &bn) != 1) {
            ERR_clear_error();
            Fail(NTE_FAIL);
        }
        *field.pValue = BnBytes(bn);
        BN_clear_free(bn);
    };
    for (const Field &field : publicFields) {
        read(field);
    }
    if (m_fPrivate) {
        for (const Field &field : privateFields) {
            read(field);
        }
    }
    return numbers;
}

std::vector<uint8_t> RsaKey::SignPkcs1(const std::vector<uint8_t> &input) const
{
    if (!m_fPrivate) {
        Fail(NTE_BAD_KEY);
    }
    if (input.size() + 11 > Bytes()) {
        Fail(NTE_BAD_LEN);
    }
    PkeyCtxPtr ctx = OperationContext(m_pKey);
    Check(EVP_PKEY_sign_init(ctx.get()));
    Check(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING));
    size_t cbSignature = 0;
    Check(EVP_PKEY_sign(ctx.get(), nullptr, &cbSignature, input.data(), input.size()));
    std::vector<uint8_t> signature(cbSignature);
    Check(EVP_PKEY_sign(ctx.get(), signature.data(), &cbSignature, input.data(), input.size()));
    signature.resize(cbSignature);
    return LeftPad(signature, Bytes());
}

bool RsaKey::PublicOperation(const uint8_t *pbValue, std::vector<uint8_t> *pResult) const
{
    PkeyCtxPtr ctx = OperationContext(m_pKey);
    Check(EVP_PKEY_encrypt_init(ctx.get()));
    Check(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING));
    size_t cbResult = Bytes();
    pResult->assign(cbResult, 0);
    if (EVP_PKEY_encrypt(ctx.get(), pResult->data(), &cbResult, pbValue, Bytes()) != 1) {
        ERR_clear_error();
        return false;
    }
    pResult->resize(cbResult);
    *pResult = LeftPad(*pResult, Bytes());
    return true;
}

std::vector<uint8_t> RsaKey::EncryptPkcs1(const uint8_t *pbPlaintext, size_t cbPlaintext) const
{
    if (cbPlaintext + 11 > Bytes()) {
        Fail(NTE_BAD_LEN);
    }
    PkeyCtxPtr ctx = OperationContext(m_pKey);
    Check(EVP_PKEY_encrypt_init(ctx.get()));
    Check(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING));
    const uint8_t bEmpty = 0;
    const uint8_t *pbInput = cbPlaintext != 0 ? pbPlaintext : &bEmpty;
    size_t cbCiphertext = 0;
    Check(EVP_PKEY_encrypt(ctx.get(), nullptr, &cbCiphertext, pbInput, cbPlaintext));
    std::vector<uint8_t> ciphertext(cbCiphertext);
    Check(EVP_PKEY_encrypt(ctx.get(), ciphertext.data(), &cbCiphertext, pbInput, cbPlaintext));
    ciphertext.resize(cbCiphertext);
    return LeftPad(ciphertext, Bytes());
}

bool RsaKey::DecryptPkcs1(const uint8_t *pbCiphertext, std::vector<uint8_t> *pPlaintext) const
{
    if (!m_fPrivate) {
        Fail(NTE_BAD_KEY);
    }
    PkeyCtxPtr ctx = OperationContext(m_pKey);
    Check(EVP_PKEY_decrypt_init(ctx.get()));
    Check(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING));
    size_t cbBlock = Bytes();
    std::vector<uint8_t> block(cbBlock);
    if (EVP_PKEY_decrypt(ctx.get(), block.data(), &cbBlock, pbCiphertext, Bytes()) != 1) {
        ERR_clear_error();
        return false;
    }
    block.resize(cbBlock);
    block = LeftPad(block, Bytes());
    // 00 02 <at least eight nonzero bytes> 00 <message>
    bool fValid = block.size() >= 11 && block[0] == 0x00 && block[1] == 0x02;
    size_t iSeparator = 2;
    while (fValid && iSeparator < block.size() && block[iSeparator] != 0) {
        ++iSeparator;
    }
    fValid = fValid && iSeparator < block.size() && iSeparator >= 10;
    if (fValid) {
        pPlaintext->assign(block.begin() + static_cast<std::ptrdiff_t>(iSeparator + 1), block.end());
    }
    OPENSSL_cleanse(block.data(), block.size());
    return fValid;
}

} // namespace csp
} // namespace qvn
