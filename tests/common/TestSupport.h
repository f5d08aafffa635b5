// Shared support for the tests that run on the Linux platform stand-in: a
// throw-away key store per test, RSA keys made by OpenSSL (the independent
// judge of every result), conversions to Microsoft key blobs, key containers
// set up through ordinary CryptoAPI calls, and OpenSSL's own PKCS #1 v1.5
// signing, encryption and decryption.
//
// Conventions: byte strings are std::vector<BYTE>. OpenSSL-side values
// (signatures, ciphertexts) are big-endian as in PKCS #1; CryptoAPI gives and
// takes them least significant byte first. Hash algorithms are named by their
// CALG_* ids.
#ifndef QVN_TESTS_COMMON_TESTSUPPORT_H
#define QVN_TESTS_COMMON_TESTSUPPORT_H

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace qvntest
{

using Bytes = std::vector<BYTE>;
using WString = std::basic_string<WCHAR>;

// ---- Strings and bytes ------------------------------------------------------

// UTF-8 text as a UTF-16 string (for container and provider names).
WString Wide(const std::string &strUtf8);
// UTF-16 text as UTF-8 (for messages); null gives "".
std::string Narrow(const WCHAR *psz);
std::string Hex(const Bytes &bytes);
// n pseudo-random bytes, reproducible for a given seed.
Bytes PatternBytes(size_t cb, unsigned seed);

// ---- The four CSPs --------------------------------------------------------------

extern const WCHAR *const kAlderProvider;   // PROV_RSA_FULL
extern const WCHAR *const kBirchProvider;   // PROV_RSA_SCHANNEL
extern const WCHAR *const kCedarProvider;   // PROV_RSA_AES
extern const WCHAR *const kDogwoodProvider; // PROV_RSA_FULL

// ---- Throw-away key store -----------------------------------------------------

// Points the platform at a fresh, empty store directory (made with mkdtemp
// under $TMPDIR) and resets the platform's test controls; the destructor
// returns to the previous store directory and removes the new one.
class ScopedStore
{
public:
    ScopedStore();
    ~ScopedStore();
    ScopedStore(const ScopedStore &) = delete;
    ScopedStore &operator=(const ScopedStore &) = delete;

    const std::string &Path() const { return m_strPath; }

private:
    std::string m_strPath;
    std::string m_strPrevious;
};

// A GoogleTest fixture whose every test runs on its own ScopedStore.
class StoreTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
    const std::string &StorePath() const { return m_store->Path(); }

private:
    std::unique_ptr<ScopedStore> m_store;
};

// ---- OpenSSL keys -----------------------------------------------------------------

// An RSA key pair held by OpenSSL.
class TestKey
{
public:
    explicit TestKey(EVP_PKEY *pKey); // takes ownership
    ~TestKey();
    TestKey(const TestKey &) = delete;
    TestKey &operator=(const TestKey &) = delete;

    EVP_PKEY *Pkey() const { return m_pKey; }
    DWORD Bits() const;
    DWORD ByteLength() const { return (Bits() + 7) / 8; }
    // Microsoft blobs of the key; aiKeyAlg is CALG_RSA_KEYX or CALG_RSA_SIGN.
    Bytes PrivateKeyBlob(ALG_ID aiKeyAlg = CALG_RSA_KEYX) const;
    Bytes PublicKeyBlob(ALG_ID aiKeyAlg = CALG_RSA_KEYX) const;

private:
    EVP_PKEY *m_pKey;
};

// A key made once per process for each (dwBits, iVariant), so that suites
// share keys instead of generating them again. Thread-safe.
const TestKey &CachedTestKey(DWORD dwBits, int iVariant = 0);
// A key from a Microsoft PUBLICKEYBLOB or PRIVATEKEYBLOB (null if malformed).
std::unique_ptr<TestKey> TestKeyFromBlob(const Bytes &blob);

// ---- Containers through CryptoAPI ------------------------------------------------

// Creates the container (CRYPT_NEWKEYSET, plus dwAcquireFlags such as
// CRYPT_MACHINE_KEYSET) and imports the key as its pair of dwKeySpec
// (AT_KEYEXCHANGE or AT_SIGNATURE) with dwImportFlags (e.g. CRYPT_EXPORTABLE).
// Returns false, with the reason as a test failure, if a call fails.
bool CreateContainerWithKey(const WCHAR *pszProvider, const WCHAR *pszContainer, DWORD dwKeySpec, const TestKey &key,
                            DWORD dwAcquireFlags = 0, DWORD dwImportFlags = 0);
// Imports the key's PRIVATEKEYBLOB into an acquired context as its pair of
// dwKeySpec; returns the key handle or 0.
HCRYPTKEY ImportTestKey(HCRYPTPROV hProv, const TestKey &key, DWORD dwKeySpec, DWORD dwImportFlags = 0);

// ---- OpenSSL as the judge ------------------------------------------------------------

// PKCS #1 v1.5 signature of a hash value, big-endian. aiHash names the
// DigestInfo algorithm (MD2, MD4, MD5, SHA-1/256/384/512); 0 signs the bare
// hash bytes (no algorithm identifier).
Bytes OpenSslSign(const TestKey &key, ALG_ID aiHash, const Bytes &hash);

// PKCS #1 v1.5 encryption (big-endian ciphertext) and decryption.
Bytes OpenSslEncrypt(const TestKey &key, const Bytes &plaintext);
std::optional<Bytes> OpenSslDecrypt(const TestKey &key, const Bytes &ciphertext);

} // namespace qvntest

#endif
