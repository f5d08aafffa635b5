#include "TestSupport.h"

#include <qvnplatform.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
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
#include <utility>

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

// A Microsoft key blob of the key, written by OpenSSL, with the key algorithm set.
Bytes MsBlob(EVP_PKEY *pKey, bool fPrivate, ALG_ID aiKeyAlg)
{
    BIO *pBio = BIO_new(BIO_s_mem());
    if (pBio == nullptr || (fPrivate ? i2b_PrivateKey_bio(pBio, pKey) : i2b_PublicKey_bio(pBio, pKey)) <= 0) {
        BIO_free(pBio);
        OpenSslFailure("i2b");
    }
    char *pb = nullptr;
    const long cb = BIO_get_mem_data(pBio, &pb);
    Bytes blob(pb, pb + cb);
    BIO_free(pBio);
    for (int i = 0; i < 4; ++i) {
        blob[4 + i] = static_cast<BYTE>(aiKeyAlg >> (8 * i));
    }
    return blob;
}

int NidOf(ALG_ID aiHash)
{
    static const std::pair<ALG_ID, int> kNids[] = {
        {CALG_MD2, NID_md2},        {CALG_MD4, NID_md4},        {CALG_MD5, NID_md5},       {CALG_SHA1, NID_sha1},
        {CALG_SHA_256, NID_sha256}, {CALG_SHA_384, NID_sha384}, {CALG_SHA_512, NID_sha512}};
    for (const auto &nid : kNids) {
        if (nid.first == aiHash) {
            return nid.second;
        }
    }
    throw std::invalid_argument("no DigestInfo for this algorithm");
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

Bytes TestKey::PublicKeyBlob(ALG_ID aiKeyAlg) const
{
    return MsBlob(m_pKey, false, aiKeyAlg);
}

Bytes TestKey::PrivateKeyBlob(ALG_ID aiKeyAlg) const
{
    return MsBlob(m_pKey, true, aiKeyAlg);
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
    const unsigned char *pb = blob.data();
    const long cb = static_cast<long>(blob.size());
    EVP_PKEY *pKey = !blob.empty() && blob[0] == PRIVATEKEYBLOB ? b2i_PrivateKey(&pb, cb) : b2i_PublicKey(&pb, cb);
    ERR_clear_error();
    return pKey != nullptr ? std::make_unique<TestKey>(pKey) : nullptr;
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
