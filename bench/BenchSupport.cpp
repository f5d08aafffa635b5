#include "BenchSupport.h"

#include <qvnplatform.h>

#include <openssl/core_names.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace qvnbench
{

const WCHAR *const kCspName = TEXT("Quorvane Alder Cryptographic Provider");
const WCHAR *const kKspName = TEXT("Quorvane TPM Key Storage Provider");

namespace
{

BenchWorld *g_pWorld = nullptr;

std::string Hex32(unsigned long ulValue)
{
    char szBuffer[16];
    std::snprintf(szBuffer, sizeof(szBuffer), "0x%08lx", ulValue);
    return szBuffer;
}

std::string ModulePath()
{
    const char *pszPath = std::getenv("QVN_BENCH_MODULE");
    if (pszPath != nullptr && *pszPath != '\0') {
        return pszPath;
    }
#ifdef QVN_BENCH_MODULE_PATH
    return QVN_BENCH_MODULE_PATH;
#else
    Die("the module's path is unknown: set QVN_BENCH_MODULE");
#endif
}

struct BnDeleter {
    void operator()(BIGNUM *pBn) const { BN_free(pBn); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnDeleter>;

BnPtr RsaParam(EVP_PKEY *pKey, const char *pszName)
{
    BIGNUM *pBn = nullptr;
    Require(EVP_PKEY_get_bn_param(pKey, pszName, &pBn) == 1, pszName);
    return BnPtr(pBn);
}

// Appends a number least significant byte first, padded to cb bytes.
void AppendLittleEndian(std::vector<BYTE> &blob, const BIGNUM *pBn, size_t cb)
{
    const size_t cbOld = blob.size();
    blob.resize(cbOld + cb);
    Require(BN_bn2lebinpad(pBn, blob.data() + cbOld, static_cast<int>(cb)) == static_cast<int>(cb), "BN_bn2lebinpad");
}

struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX *pCtx) const { EVP_PKEY_CTX_free(pCtx); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;

PkeyCtxPtr NewPkeyCtx(EVP_PKEY *pKey)
{
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pKey, nullptr));
    Require(ctx != nullptr, "EVP_PKEY_CTX_new_from_pkey");
    return ctx;
}

} // namespace

void Die(const std::string &strWhat)
{
    std::fprintf(stderr, "qvn_bench: %s\n", strWhat.c_str());
    std::fflush(stderr);
    std::_Exit(2);
}

void RequireStatus(SECURITY_STATUS status, const char *pszWhat)
{
    if (status != ERROR_SUCCESS) {
        Die(std::string(pszWhat) + " returned " + Hex32(static_cast<unsigned long>(static_cast<DWORD>(status))));
    }
}

void RequireCapi(BOOL fOk, const char *pszWhat)
{
    if (!fOk) {
        Die(std::string(pszWhat) + " failed with " + Hex32(GetLastError()));
    }
}

WString Widen(const std::string &strUtf8)
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

long ResidentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long lPagesTotal = 0;
    long lPagesResident = 0;
    statm >> lPagesTotal >> lPagesResident;
    Require(static_cast<bool>(statm), "reading /proc/self/statm");
    return lPagesResident * (sysconf(_SC_PAGESIZE) / 1024);
}

PkeyPtr GenerateRsaKey(unsigned nBits)
{
    PkeyPtr pkey(EVP_RSA_gen(nBits));
    Require(pkey != nullptr, "EVP_RSA_gen");
    return pkey;
}

std::vector<BYTE> PrivateKeyBlob(EVP_PKEY *pKey)
{
    const BnPtr n = RsaParam(pKey, OSSL_PKEY_PARAM_RSA_N);
    const BnPtr e = RsaParam(pKey, OSSL_PKEY_PARAM_RSA_E);
    const BnPtr d = RsaParam(pKey, OSSL_PKEY_PARAM_RSA_D);
    const BnPtr p = RsaParam(pKey, OSSL_PKEY_PARAM_RSA_FACTOR1);
    const BnPtr q = RsaParam(pKey, OSSL_PKEY_PARAM_RSA_FACTOR2);
    const BnPtr dp = RsaParam(pKey, OSSL_PKEY_PARAM_RSA_EXPONENT1);
    const BnPtr dq = RsaParam(pKey, OSSL_PKEY_PARAM_RSA_EXPONENT2);
    const BnPtr qinv = RsaParam(pKey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);

    const DWORD nBits = static_cast<DWORD>(EVP_PKEY_get_bits(pKey));
    const size_t cbModulus = nBits / 8;
    const size_t cbHalf = nBits / 16;

    BLOBHEADER header = {};
    header.bType = PRIVATEKEYBLOB;
    header.bVersion = CUR_BLOB_VERSION;
    header.aiKeyAlg = CALG_RSA_KEYX;
    RSAPUBKEY rsa = {};
    rsa.magic = 0x32415352; // "RSA2": a private key
    rsa.bitlen = nBits;
    rsa.pubexp = static_cast<DWORD>(BN_get_word(e.get()));

    std::vector<BYTE> blob(sizeof(header) + sizeof(rsa));
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), &rsa, sizeof(rsa));
    AppendLittleEndian(blob, n.get(), cbModulus);
    AppendLittleEndian(blob, p.get(), cbHalf);
    AppendLittleEndian(blob, q.get(), cbHalf);
    AppendLittleEndian(blob, dp.get(), cbHalf);
    AppendLittleEndian(blob, dq.get(), cbHalf);
    AppendLittleEndian(blob, qinv.get(), cbHalf);
    AppendLittleEndian(blob, d.get(), cbModulus);
    return blob;
}

std::array<BYTE, 32> BenchHash()
{
    static const char szMessage[] = "QvnTpmKsp benchmark message";
    std::array<BYTE, 32> hash{};
    SHA256(reinterpret_cast<const unsigned char *>(szMessage), sizeof(szMessage) - 1, hash.data());
    return hash;
}

size_t OpenSslSign(EVP_PKEY *pKey, const BYTE *pbHash, size_t cbHash, BYTE *pbSignature, size_t cbSignature)
{
    PkeyCtxPtr ctx = NewPkeyCtx(pKey);
    size_t cbResult = cbSignature;
    Require(EVP_PKEY_sign_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
                EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) == 1 &&
                EVP_PKEY_sign(ctx.get(), pbSignature, &cbResult, pbHash, cbHash) == 1,
            "OpenSSL signing");
    return cbResult;
}

bool OpenSslVerify(EVP_PKEY *pKey, const BYTE *pbHash, size_t cbHash, const BYTE *pbSignature, size_t cbSignature)
{
    PkeyCtxPtr ctx = NewPkeyCtx(pKey);
    Require(EVP_PKEY_verify_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
                EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) == 1,
            "OpenSSL verification set-up");
    return EVP_PKEY_verify(ctx.get(), pbSignature, cbSignature, pbHash, cbHash) == 1;
}

size_t OpenSslEncrypt(EVP_PKEY *pKey, const BYTE *pbPlain, size_t cbPlain, BYTE *pbCipher, size_t cbCipher)
{
    PkeyCtxPtr ctx = NewPkeyCtx(pKey);
    size_t cbResult = cbCipher;
    Require(EVP_PKEY_encrypt_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
                EVP_PKEY_encrypt(ctx.get(), pbCipher, &cbResult, pbPlain, cbPlain) == 1,
            "OpenSSL encryption");
    return cbResult;
}

size_t OpenSslDecrypt(EVP_PKEY *pKey, const BYTE *pbCipher, size_t cbCipher, BYTE *pbPlain, size_t cbPlain)
{
    PkeyCtxPtr ctx = NewPkeyCtx(pKey);
    size_t cbResult = cbPlain;
    Require(EVP_PKEY_decrypt_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
                EVP_PKEY_decrypt(ctx.get(), pbPlain, &cbResult, pbCipher, cbCipher) == 1,
            "OpenSSL decryption");
    return cbResult;
}

DWORD CapiSignHash(HCRYPTPROV hProv, const BYTE *pbHash, BYTE *pbSignature, DWORD cbSignature)
{
    HCRYPTHASH hHash = 0;
    RequireCapi(CryptCreateHash(hProv, CALG_SHA_256, 0, 0, &hHash), "CryptCreateHash");
    RequireCapi(CryptSetHashParam(hHash, HP_HASHVAL, pbHash, 0), "CryptSetHashParam");
    DWORD dwcSignature = cbSignature;
    RequireCapi(CryptSignHashW(hHash, kKeySpec, nullptr, 0, pbSignature, &dwcSignature), "CryptSignHashW");
    RequireCapi(CryptDestroyHash(hHash), "CryptDestroyHash");
    return dwcSignature;
}

bool CapiVerifySignature(HCRYPTPROV hProv, HCRYPTKEY hKey, const BYTE *pbHash, const BYTE *pbSignature,
                         DWORD cbSignature)
{
    HCRYPTHASH hHash = 0;
    RequireCapi(CryptCreateHash(hProv, CALG_SHA_256, 0, 0, &hHash), "CryptCreateHash");
    RequireCapi(CryptSetHashParam(hHash, HP_HASHVAL, pbHash, 0), "CryptSetHashParam");
    const BOOL fValid = CryptVerifySignatureW(hHash, pbSignature, cbSignature, hKey, nullptr, 0);
    RequireCapi(CryptDestroyHash(hHash), "CryptDestroyHash");
    return fValid != FALSE;
}

BenchWorld::BenchWorld()
{
    char szTemplate[] = "/tmp/qvn-bench-XXXXXX";
    Require(mkdtemp(szTemplate) != nullptr, "mkdtemp");
    m_strStore = szTemplate;
    QvnPlatformSetStoreDirectory(m_strStore.c_str());

    const WString strPath = Widen(ModulePath());
    m_hModule = LoadLibraryW(strPath.c_str());
    RequireCapi(m_hModule != nullptr, "LoadLibraryW of the module");
    const FARPROC pfn = GetProcAddress(m_hModule, NCRYPT_KEY_STORAGE_INTERFACE_NAME);
    RequireCapi(pfn != nullptr, "GetProcAddress(GetKeyStorageInterface)");
    const auto pfnGetInterface = reinterpret_cast<GetKeyStorageInterfaceFn>(reinterpret_cast<void *>(pfn));
    Require(pfnGetInterface(kCspName, &m_pTable, 0) == 0 && m_pTable != nullptr, "GetKeyStorageInterface");

    RequireStatus(m_pTable->OpenProvider(&m_hCspProvider, kCspName, 0), "OpenProvider (CSP)");
    RequireStatus(m_pTable->OpenProvider(&m_hKspProvider, kKspName, 0), "OpenProvider (key storage provider)");
}

BenchWorld::~BenchWorld()
{
    for (const std::unique_ptr<BenchKey> &key : m_keys) {
        ReleaseCapiKey(key->hCapiProv, key->hCapiKey);
        FreeTableKey(key->hTableKey);
    }
    m_keys.clear();
    RequireStatus(m_pTable->FreeProvider(m_hKspProvider), "FreeProvider (key storage provider)");
    RequireStatus(m_pTable->FreeProvider(m_hCspProvider), "FreeProvider (CSP)");
    FreeLibrary(m_hModule);
    std::error_code error;
    std::filesystem::remove_all(m_strStore, error);
}

void BenchWorld::Start()
{
    if (g_pWorld == nullptr) {
        g_pWorld = new BenchWorld();
    }
}

void BenchWorld::Stop()
{
    delete g_pWorld;
    g_pWorld = nullptr;
}

void BenchWorld::Abandon()
{
    if (g_pWorld != nullptr) {
        std::error_code error;
        std::filesystem::remove_all(g_pWorld->m_strStore, error);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(0);
}

BenchWorld &BenchWorld::Get()
{
    Require(g_pWorld != nullptr, "BenchWorld::Start was not called");
    return *g_pWorld;
}

BenchKey &BenchWorld::Key(unsigned nBits)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::unique_ptr<BenchKey> &key : m_keys) {
        if (key->nBits == nBits) {
            return *key;
        }
    }
    auto key = std::make_unique<BenchKey>();
    MakeKey(*key, nBits);
    m_keys.push_back(std::move(key));
    return *m_keys.back();
}

void BenchWorld::MakeKey(BenchKey &key, unsigned nBits)
{
    key.nBits = nBits;
    key.cbKey = nBits / 8;
    key.pkey = GenerateRsaKey(nBits);
    key.strContainer = Widen("qvn-bench-rsa-" + std::to_string(nBits));

    const std::vector<BYTE> blob = PrivateKeyBlob(key.pkey.get());
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hImported = 0;
    RequireCapi(CryptAcquireContextW(&hProv, key.strContainer.c_str(), kCspName, PROV_RSA_FULL, CRYPT_NEWKEYSET),
                "CryptAcquireContextW(CRYPT_NEWKEYSET)");
    RequireCapi(CryptImportKey(hProv, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &hImported),
                "CryptImportKey");
    RequireCapi(CryptDestroyKey(hImported), "CryptDestroyKey");
    RequireCapi(CryptReleaseContext(hProv, 0), "CryptReleaseContext");

    key.hTableKey = OpenTableKey(key);
    AcquireCapiKey(key, &key.hCapiProv, &key.hCapiKey);
    CheckSameSignature(key);
}

// PKCS #1 v1.5 signatures are deterministic: the module, CryptoAPI and
// OpenSSL must give the same bytes (CryptoAPI's reversed), or the three
// would not be doing the same work.
void BenchWorld::CheckSameSignature(const BenchKey &key) const
{
    const std::array<BYTE, 32> hash = BenchHash();
    BCRYPT_PKCS1_PADDING_INFO padding = {BCRYPT_SHA256_ALGORITHM};
    std::vector<BYTE> tableSignature(key.cbKey);
    std::vector<BYTE> capiSignature(key.cbKey);
    std::vector<BYTE> opensslSignature(key.cbKey);
    DWORD cbResult = 0;
    std::array<BYTE, 32> hashCopy = hash;
    RequireStatus(m_pTable->SignHash(m_hCspProvider, key.hTableKey, &padding, hashCopy.data(), 32,
                                     tableSignature.data(), key.cbKey, &cbResult, NCRYPT_PAD_PKCS1_FLAG),
                  "SignHash");
    Require(cbResult == key.cbKey, "SignHash result length");
    Require(CapiSignHash(key.hCapiProv, hash.data(), capiSignature.data(), key.cbKey) == key.cbKey,
            "CryptSignHashW result length");
    std::reverse(capiSignature.begin(), capiSignature.end());
    Require(OpenSslSign(key.pkey.get(), hash.data(), 32, opensslSignature.data(), key.cbKey) == key.cbKey,
            "OpenSSL signature length");
    Require(tableSignature == capiSignature, "the module's signature differs from CryptoAPI's");
    Require(tableSignature == opensslSignature, "the module's signature differs from OpenSSL's");
}

void BenchWorld::AcquireCapiKey(const BenchKey &key, HCRYPTPROV *phProv, HCRYPTKEY *phKey) const
{
    RequireCapi(CryptAcquireContextW(phProv, key.strContainer.c_str(), kCspName, PROV_RSA_FULL, 0),
                "CryptAcquireContextW");
    RequireCapi(CryptGetUserKey(*phProv, kKeySpec, phKey), "CryptGetUserKey");
}

void BenchWorld::ReleaseCapiKey(HCRYPTPROV hProv, HCRYPTKEY hKey)
{
    RequireCapi(CryptDestroyKey(hKey), "CryptDestroyKey");
    RequireCapi(CryptReleaseContext(hProv, 0), "CryptReleaseContext");
}

NCRYPT_KEY_HANDLE BenchWorld::OpenTableKey(const BenchKey &key) const
{
    NCRYPT_KEY_HANDLE hKey = 0;
    RequireStatus(m_pTable->OpenKey(m_hCspProvider, &hKey, key.strContainer.c_str(), kKeySpec, 0), "OpenKey");
    return hKey;
}

void BenchWorld::FreeTableKey(NCRYPT_KEY_HANDLE hKey) const
{
    RequireStatus(m_pTable->FreeKey(m_hCspProvider, hKey), "FreeKey");
}

} // namespace qvnbench
