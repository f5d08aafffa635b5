#include "TestSupport.h"

#include <qvnplatform.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <unistd.h>

namespace qvntest
{

const WCHAR *const kAlderProvider = u"Quorvane Alder Cryptographic Provider";
const WCHAR *const kBirchProvider = u"Quorvane Birch Cryptographic Provider";
const WCHAR *const kCedarProvider = u"Quorvane Cedar Cryptographic Provider";
const WCHAR *const kDogwoodProvider = u"Quorvane Dogwood Cryptographic Provider";

namespace
{

struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX *p) const { EVP_PKEY_CTX_free(p); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

[[noreturn]] void OpenSslFailure(const char *pszWhat)
{
    ERR_print_errors_fp(stderr);
    throw std::runtime_error(std::string("OpenSSL failed: ") + pszWhat);
}

PkeyCtx ContextFor(const TestKey &key)
{
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.Pkey(), nullptr));
    if (!ctx) {
        OpenSslFailure("EVP_PKEY_CTX_new_from_pkey");
    }
    return ctx;
}

Bytes BnParam(EVP_PKEY *pKey, const char *pszName)
{
    BIGNUM *bn = nullptr;
    if (EVP_PKEY_get_bn_param(pKey, pszName, &bn) != 1) {
        OpenSslFailure(pszName);
    }
    Bytes value(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, value.data());
    BN_free(bn);
    return value;
}

// A big-endian number as a little-endian field of cbField bytes.
void AppendLittleEndian(Bytes *pBlob, const Bytes &value, size_t cbField)
{
    if (value.size() > cbField) {
        throw std::runtime_error("key number does not fit its blob field");
    }
    pBlob->insert(pBlob->end(), value.rbegin(), value.rend());
    pBlob->insert(pBlob->end(), cbField - value.size(), 0);
}

void AppendDword(Bytes *pBlob, DWORD dwValue)
{
    for (int i = 0; i < 4; ++i) {
        pBlob->push_back(static_cast<BYTE>(dwValue >> (8 * i)));
    }
}

DWORD ReadDword(const BYTE *pb)
{
    return static_cast<DWORD>(pb[0]) | static_cast<DWORD>(pb[1]) << 8 | static_cast<DWORD>(pb[2]) << 16 |
           static_cast<DWORD>(pb[3]) << 24;
}

DWORD PublicExponent(EVP_PKEY *pKey)
{
    DWORD dwExponent = 0;
    for (BYTE b : BnParam(pKey, OSSL_PKEY_PARAM_RSA_E)) {
        dwExponent = dwExponent << 8 | b;
    }
    return dwExponent;
}

int NidOf(ALG_ID aiHash)
{
    switch (aiHash) {
    case CALG_MD2:
        return NID_md2;
    case CALG_MD4:
        return NID_md4;
    case CALG_MD5:
        return NID_md5;
    case CALG_SHA1:
        return NID_sha1;
    case CALG_SHA_256:
        return NID_sha256;
    case CALG_SHA_384:
        return NID_sha384;
    case CALG_SHA_512:
        return NID_sha512;
    default:
        throw std::invalid_argument("no DigestInfo for this algorithm");
    }
}

// DER DigestInfo of a hash, built by OpenSSL's ASN.1 code.
Bytes DigestInfo(ALG_ID aiHash, const Bytes &hash)
{
    X509_SIG *pSig = X509_SIG_new();
    X509_ALGOR *pAlgor = nullptr;
    ASN1_OCTET_STRING *pDigest = nullptr;
    X509_SIG_getm(pSig, &pAlgor, &pDigest);
    if (X509_ALGOR_set0(pAlgor, OBJ_nid2obj(NidOf(aiHash)), V_ASN1_NULL, nullptr) != 1 ||
        ASN1_OCTET_STRING_set(pDigest, hash.data(), static_cast<int>(hash.size())) != 1) {
        X509_SIG_free(pSig);
        OpenSslFailure("DigestInfo");
    }
    unsigned char *pbDer = nullptr;
    const int cbDer = i2d_X509_SIG(pSig, &pbDer);
    X509_SIG_free(pSig);
    if (cbDer <= 0) {
        OpenSslFailure("i2d_X509_SIG");
    }
    Bytes der(pbDer, pbDer + cbDer);
    OPENSSL_free(pbDer);
    return der;
}

// The provider type under which each of the four CSPs is registered.
DWORD ProviderTypeOf(const WCHAR *pszProvider)
{
    const WString strName(pszProvider);
    if (strName == kBirchProvider) {
        return PROV_RSA_SCHANNEL;
    }
    if (strName == kCedarProvider) {
        return PROV_RSA_AES;
    }
    return PROV_RSA_FULL;
}

int RemoveEntry(const char *pszPath, const struct stat *, int, struct FTW *)
{
    return remove(pszPath);
}

} // namespace

// ---- Strings and bytes ------------------------------------------------------

WString Wide(const std::string &strUtf8)
{
    if (strUtf8.empty()) {
        return WString();
    }
    WString str(static_cast<size_t>(
                    MultiByteToWideChar(CP_UTF8, 0, strUtf8.data(), static_cast<int>(strUtf8.size()), nullptr, 0)),
                0);
    MultiByteToWideChar(CP_UTF8, 0, strUtf8.data(), static_cast<int>(strUtf8.size()), &str[0],
                        static_cast<int>(str.size()));
    return str;
}

std::string Narrow(const WCHAR *psz)
{
    if (psz == nullptr || psz[0] == 0) {
        return std::string();
    }
    std::string str(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, psz, -1, nullptr, 0, nullptr, nullptr)), 0);
    WideCharToMultiByte(CP_UTF8, 0, psz, -1, &str[0], static_cast<int>(str.size()), nullptr, nullptr);
    str.pop_back(); // the NUL
    return str;
}

std::string Hex(const Bytes &bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string str;
    for (BYTE b : bytes) {
        str.push_back(kDigits[b >> 4]);
        str.push_back(kDigits[b & 0x0f]);
    }
    return str;
}

Bytes PatternBytes(size_t cb, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes bytes(cb);
    for (BYTE &b : bytes) {
        b = static_cast<BYTE>(rng());
    }
    return bytes;
}

// ---- Throw-away key store -----------------------------------------------------

ScopedStore::ScopedStore()
{
    const char *pszTmp = std::getenv("TMPDIR");
    std::string strTemplate = std::string(pszTmp != nullptr && pszTmp[0] != 0 ? pszTmp : "/tmp") + "/qvnstore-XXXXXX";
    if (mkdtemp(&strTemplate[0]) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + strTemplate);
    }
    m_strPath = strTemplate;
    m_strPrevious = QvnPlatformGetStoreDirectory();
    QvnPlatformSetStoreDirectory(m_strPath.c_str());
    QvnPlatformReset();
}

ScopedStore::~ScopedStore()
{
    QvnPlatformSetStoreDirectory(m_strPrevious.c_str());
    nftw(m_strPath.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void StoreTest::SetUp()
{
    m_store = std::make_unique<ScopedStore>();
}

void StoreTest::TearDown()
{
    m_store.reset();
}

// ---- OpenSSL keys -----------------------------------------------------------------

TestKey::TestKey(EVP_PKEY *pKey) : m_pKey(pKey) {}

TestKey::~TestKey()
{
    EVP_PKEY_free(m_pKey);
}

DWORD TestKey::Bits() const
{
    return static_cast<DWORD>(EVP_PKEY_get_bits(m_pKey));
}

Bytes TestKey::Modulus() const
{
    return BnParam(m_pKey, OSSL_PKEY_PARAM_RSA_N);
}

Bytes TestKey::PublicKeyBlob(ALG_ID aiKeyAlg) const
{
    const DWORD dwBits = Bits();
    Bytes blob = {PUBLICKEYBLOB, CUR_BLOB_VERSION, 0, 0};
    AppendDword(&blob, aiKeyAlg);
    AppendDword(&blob, 0x31415352); // "RSA1"
    AppendDword(&blob, dwBits);
    AppendDword(&blob, PublicExponent(m_pKey));
    AppendLittleEndian(&blob, Modulus(), (dwBits + 7) / 8);
    return blob;
}

Bytes TestKey::PrivateKeyBlob(ALG_ID aiKeyAlg) const
{
    const DWORD dwBits = Bits();
    const size_t cbModulus = (dwBits + 7) / 8;
    const size_t cbHalf = (dwBits + 15) / 16;
    Bytes blob = {PRIVATEKEYBLOB, CUR_BLOB_VERSION, 0, 0};
    AppendDword(&blob, aiKeyAlg);
    AppendDword(&blob, 0x32415352); // "RSA2"
    AppendDword(&blob, dwBits);
    AppendDword(&blob, PublicExponent(m_pKey));
    AppendLittleEndian(&blob, Modulus(), cbModulus);
    AppendLittleEndian(&blob, BnParam(m_pKey, OSSL_PKEY_PARAM_RSA_FACTOR1), cbHalf);
    AppendLittleEndian(&blob, BnParam(m_pKey, OSSL_PKEY_PARAM_RSA_FACTOR2), cbHalf);
    AppendLittleEndian(&blob, BnParam(m_pKey, OSSL_PKEY_PARAM_RSA_EXPONENT1), cbHalf);
    AppendLittleEndian(&blob, BnParam(m_pKey, OSSL_PKEY_PARAM_RSA_EXPONENT2), cbHalf);
    AppendLittleEndian(&blob, BnParam(m_pKey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1), cbHalf);
    AppendLittleEndian(&blob, BnParam(m_pKey, OSSL_PKEY_PARAM_RSA_D), cbModulus);
    return blob;
}

static std::unique_ptr<TestKey> GenerateTestKey(DWORD dwBits)
{
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY *pKey = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(dwBits)) != 1 ||
        EVP_PKEY_generate(ctx.get(), &pKey) != 1) {
        OpenSslFailure("RSA key generation");
    }
    return std::make_unique<TestKey>(pKey);
}

const TestKey &CachedTestKey(DWORD dwBits, int iVariant)
{
    static std::mutex s_mutex;
    static std::map<std::pair<DWORD, int>, std::unique_ptr<TestKey>> *s_pKeys =
        new std::map<std::pair<DWORD, int>, std::unique_ptr<TestKey>>;
    std::lock_guard<std::mutex> lock(s_mutex);
    std::unique_ptr<TestKey> &slot = (*s_pKeys)[{dwBits, iVariant}];
    if (!slot) {
        slot = GenerateTestKey(dwBits);
    }
    return *slot;
}

std::unique_ptr<TestKey> TestKeyFromBlob(const Bytes &blob)
{
    if (blob.size() < 20 || blob[1] != CUR_BLOB_VERSION) {
        return nullptr;
    }
    const bool fPrivate = blob[0] == PRIVATEKEYBLOB;
    const DWORD dwBits = ReadDword(&blob[12]);
    const size_t cbModulus = (dwBits + 7) / 8;
    const size_t cbHalf = (dwBits + 15) / 16;
    const size_t cbNeeded = 20 + cbModulus + (fPrivate ? cbModulus + 5 * cbHalf : 0);
    if ((!fPrivate && blob[0] != PUBLICKEYBLOB) || blob.size() < cbNeeded) {
        return nullptr;
    }
    size_t offset = 20;
    auto take = [&](size_t cb) {
        Bytes be(blob.begin() + static_cast<std::ptrdiff_t>(offset),
                 blob.begin() + static_cast<std::ptrdiff_t>(offset + cb));
        offset += cb;
        std::reverse(be.begin(), be.end());
        return BN_bin2bn(be.data(), static_cast<int>(be.size()), nullptr);
    };
    std::vector<BIGNUM *> numbers;
    numbers.push_back(take(cbModulus));
    numbers.push_back(BN_new());
    BN_set_word(numbers.back(), ReadDword(&blob[16]));
    OSSL_PARAM_BLD *pBuild = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(pBuild, OSSL_PKEY_PARAM_RSA_N, numbers[0]);
    OSSL_PARAM_BLD_push_BN(pBuild, OSSL_PKEY_PARAM_RSA_E, numbers[1]);
    if (fPrivate) {
        const char *names[] = {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
                               OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
        for (const char *pszName : names) {
            numbers.push_back(take(cbHalf));
            OSSL_PARAM_BLD_push_BN(pBuild, pszName, numbers.back());
        }
        numbers.push_back(take(cbModulus));
        OSSL_PARAM_BLD_push_BN(pBuild, OSSL_PKEY_PARAM_RSA_D, numbers.back());
    }
    OSSL_PARAM *pParams = OSSL_PARAM_BLD_to_param(pBuild);
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY *pKey = nullptr;
    const bool fOk =
        ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
        EVP_PKEY_fromdata(ctx.get(), &pKey, fPrivate ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, pParams) == 1;
    OSSL_PARAM_free(pParams);
    OSSL_PARAM_BLD_free(pBuild);
    for (BIGNUM *bn : numbers) {
        BN_free(bn);
    }
    if (!fOk) {
        ERR_clear_error();
        return nullptr;
    }
    return std::make_unique<TestKey>(pKey);
}

// ---- Containers through CryptoAPI ------------------------------------------------

HCRYPTKEY ImportTestKey(HCRYPTPROV hProv, const TestKey &key, DWORD dwKeySpec, DWORD dwImportFlags)
{
    const Bytes blob = key.PrivateKeyBlob(dwKeySpec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX);
    HCRYPTKEY hKey = 0;
    if (!CryptImportKey(hProv, blob.data(), static_cast<DWORD>(blob.size()), 0, dwImportFlags, &hKey)) {
        ADD_FAILURE() << "CryptImportKey failed with 0x" << std::hex << GetLastError();
        return 0;
    }
    return hKey;
}

bool CreateContainerWithKey(const WCHAR *pszProvider, const WCHAR *pszContainer, DWORD dwKeySpec, const TestKey &key,
                            DWORD dwAcquireFlags, DWORD dwImportFlags)
{
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, pszContainer, pszProvider, ProviderTypeOf(pszProvider),
                              CRYPT_NEWKEYSET | dwAcquireFlags)) {
        ADD_FAILURE() << "CryptAcquireContextW(CRYPT_NEWKEYSET) of " << Narrow(pszContainer) << " failed with 0x"
                      << std::hex << GetLastError();
        return false;
    }
    const HCRYPTKEY hKey = ImportTestKey(hProv, key, dwKeySpec, dwImportFlags);
    if (hKey != 0) {
        CryptDestroyKey(hKey);
    }
    CryptReleaseContext(hProv, 0);
    return hKey != 0;
}

// ---- OpenSSL as the judge ------------------------------------------------------------

Bytes OpenSslSign(const TestKey &key, ALG_ID aiHash, const Bytes &hash)
{
    const Bytes input = aiHash == 0 ? hash : DigestInfo(aiHash, hash);
    PkeyCtx ctx = ContextFor(key);
    size_t cbSignature = key.ByteLength();
    Bytes signature(cbSignature);
    if (EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_sign(ctx.get(), signature.data(), &cbSignature, input.data(), input.size()) != 1) {
        OpenSslFailure("EVP_PKEY_sign");
    }
    signature.resize(cbSignature);
    signature.insert(signature.begin(), key.ByteLength() - signature.size(), 0);
    return signature;
}

Bytes OpenSslEncrypt(const TestKey &key, const Bytes &plaintext)
{
    PkeyCtx ctx = ContextFor(key);
    size_t cbCiphertext = key.ByteLength();
    Bytes ciphertext(cbCiphertext);
    const BYTE bEmpty = 0;
    if (EVP_PKEY_encrypt_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), ciphertext.data(), &cbCiphertext, plaintext.empty() ? &bEmpty : plaintext.data(),
                         plaintext.size()) != 1) {
        OpenSslFailure("EVP_PKEY_encrypt");
    }
    ciphertext.resize(cbCiphertext);
    ciphertext.insert(ciphertext.begin(), key.ByteLength() - ciphertext.size(), 0);
    return ciphertext;
}

std::optional<Bytes> OpenSslDecrypt(const TestKey &key, const Bytes &ciphertext)
{
    PkeyCtx ctx = ContextFor(key);
    size_t cbPlaintext = key.ByteLength();
    Bytes plaintext(cbPlaintext);
    if (EVP_PKEY_decrypt_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), plaintext.data(), &cbPlaintext, ciphertext.data(), ciphertext.size()) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    plaintext.resize(cbPlaintext);
    return plaintext;
}

} // namespace qvntest
