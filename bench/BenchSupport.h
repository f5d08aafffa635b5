// What every benchmark shares: the module loaded as the CNG router loads it,
// a throw-away key store with RSA keys that CryptoAPI, the module and OpenSSL
// all use, and small helpers (hashes, resident size, hard failures).
#ifndef QVN_BENCH_SUPPORT_H
#define QVN_BENCH_SUPPORT_H

#include <windows.h>
#include <wincrypt.h>
#include <bcrypt.h>
#include <ncrypt.h>

#include <ncrypt_provider.h>

#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qvnbench
{

using WString = std::basic_string<WCHAR>;

// The CSP whose containers the benchmarks use, and the key storage
// provider's own name (the provider that reaches no CSP).
extern const WCHAR *const kCspName;
extern const WCHAR *const kKspName;
// Every key is opened as the container's exchange key: it signs and decrypts.
constexpr DWORD kKeySpec = AT_KEYEXCHANGE;

// Prints what went wrong and ends the process: a benchmark never measures a
// call that did not do its work.
[[noreturn]] void Die(const std::string &strWhat);
inline void Require(bool fOk, const char *pszWhat)
{
    if (!fOk) {
        Die(pszWhat);
    }
}
void RequireStatus(SECURITY_STATUS status, const char *pszWhat);
// For CryptoAPI calls: the thread's last error goes into the message.
void RequireCapi(BOOL fOk, const char *pszWhat);

WString Widen(const std::string &strText);

// The process's resident set size, in KiB.
long ResidentKiB();

struct PkeyDeleter {
    void operator()(EVP_PKEY *pKey) const { EVP_PKEY_free(pKey); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

// An RSA key made by OpenSSL, and the same key as a CryptoAPI
// PRIVATEKEYBLOB (an exchange key), so that both sides hold one key.
PkeyPtr GenerateRsaKey(unsigned nBits);
std::vector<BYTE> PrivateKeyBlob(EVP_PKEY *pKey);

// The SHA-256 digest of a fixed message.
std::array<BYTE, 32> BenchHash();

// One key as all three paths see it: the OpenSSL key, the container that
// holds it, a key handle opened through the module's table, and a CryptoAPI
// context and key acquired on the same container directly.
struct BenchKey {
    unsigned nBits = 0;
    DWORD cbKey = 0;
    PkeyPtr pkey;
    WString strContainer;
    NCRYPT_KEY_HANDLE hTableKey = 0;
    HCRYPTPROV hCapiProv = 0;
    HCRYPTKEY hCapiKey = 0;
};

// The process-wide set-up: a fresh key store under /tmp, the module loaded by
// path (LoadLibraryW, GetProcAddress "GetKeyStorageInterface"), a provider
// handle on the CSP and one on the key storage provider itself, and keys made
// on demand. Built once by Start (before any benchmark runs) and torn down by
// Stop, which frees every handle, unloads the module and removes the store.
class BenchWorld
{
public:
    static void Start();
    static void Stop();
    // Removes the key store and ends the process at once, leaving every
    // handle as it is (for a run that holds more keys than it can free in
    // reasonable time).
    [[noreturn]] static void Abandon();
    static BenchWorld &Get();

    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &Table() const { return *m_pTable; }
    NCRYPT_PROV_HANDLE CspProvider() const { return m_hCspProvider; }
    NCRYPT_PROV_HANDLE KspProvider() const { return m_hKspProvider; }

    // The key of that size, made (and checked: the three paths give the same
    // signature) on first use. Safe to call from several threads.
    BenchKey &Key(unsigned nBits);

    // A CryptoAPI context and exchange key on a key's container, acquired
    // directly; released by ReleaseCapiKey.
    void AcquireCapiKey(const BenchKey &key, HCRYPTPROV *phProv, HCRYPTKEY *phKey) const;
    static void ReleaseCapiKey(HCRYPTPROV hProv, HCRYPTKEY hKey);

    // Opens a key through the table on the CSP provider; freed by FreeTableKey.
    NCRYPT_KEY_HANDLE OpenTableKey(const BenchKey &key) const;
    void FreeTableKey(NCRYPT_KEY_HANDLE hKey) const;

private:
    BenchWorld();
    ~BenchWorld();
    BenchWorld(const BenchWorld &) = delete;
    BenchWorld &operator=(const BenchWorld &) = delete;

    void MakeKey(BenchKey &key, unsigned nBits);
    void CheckSameSignature(const BenchKey &key) const;

    std::string m_strStore;
    HMODULE m_hModule = nullptr;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *m_pTable = nullptr;
    NCRYPT_PROV_HANDLE m_hCspProvider = 0;
    NCRYPT_PROV_HANDLE m_hKspProvider = 0;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<BenchKey>> m_keys;
};

// PKCS #1 v1.5 operations with OpenSSL alone, set up per call as an
// application would (a fresh EVP_PKEY_CTX each time).
size_t OpenSslSign(EVP_PKEY *pKey, const BYTE *pbHash, size_t cbHash, BYTE *pbSignature, size_t cbSignature);
bool OpenSslVerify(EVP_PKEY *pKey, const BYTE *pbHash, size_t cbHash, const BYTE *pbSignature, size_t cbSignature);
size_t OpenSslEncrypt(EVP_PKEY *pKey, const BYTE *pbPlain, size_t cbPlain, BYTE *pbCipher, size_t cbCipher);
size_t OpenSslDecrypt(EVP_PKEY *pKey, const BYTE *pbCipher, size_t cbCipher, BYTE *pbPlain, size_t cbPlain);

// The CryptoAPI calls that an application makes to sign or verify a SHA-256
// hash value (32 bytes) directly: a hash object, its value, the signature, the hash
// destroyed. The signature is in CryptoAPI's order, least significant byte
// first.
DWORD CapiSignHash(HCRYPTPROV hProv, const BYTE *pbHash, BYTE *pbSignature, DWORD cbSignature);
bool CapiVerifySignature(HCRYPTPROV hProv, HCRYPTKEY hKey, const BYTE *pbHash, const BYTE *pbSignature,
                         DWORD cbSignature);

// Frees the keys that the handle benchmarks hold open (BenchHandles.cpp);
// false, having freed nothing, when there are too many to free one by one in
// reasonable time.
bool ReleaseHeldKeys();

} // namespace qvnbench

#endif
