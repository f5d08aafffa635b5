// Shared ground of the end-to-end cases: the provider names, the key
// containers that the cases open (set up once per process with ordinary
// CryptoAPI calls), and the fixture that loads a fresh module for every case
// and checks, on unloading it, that nothing of it is left behind.
#ifndef QVN_E2E_FIXTURE_H
#define QVN_E2E_FIXTURE_H

#include <windows.h>
#include <wincrypt.h>
#include <ncrypt.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "E2EPlatform.h"
#include "Judge.h"
#include "KspModule.h"

namespace e2e
{

#define E2E_KSP_NAME TEXT("Quorvane TPM Key Storage Provider")
#define E2E_ALDER_NAME TEXT("Quorvane Alder Cryptographic Provider")
#define E2E_BIRCH_NAME TEXT("Quorvane Birch Cryptographic Provider")
#define E2E_CEDAR_NAME TEXT("Quorvane Cedar Cryptographic Provider")
#define E2E_DOGWOOD_NAME TEXT("Quorvane Dogwood Cryptographic Provider")

struct CspName {
    const char *pszTag; // for test names and record labels
    LPCWSTR pszName;
    DWORD dwProvType; // the type that the module must acquire it with
};
extern const CspName kCsps[4];

// Containers. Main: in every CSP; an exchange key pair of 2048 bits made by
// the judge and imported, a signature key pair of 1024 bits made by the CSP.
#define E2E_MAIN_CONTAINER TEXT("QvnE2E-Main")
// In Alder only: a signature key pair alone (1024 bits, made by the CSP).
#define E2E_SIGNATURE_ONLY_CONTAINER TEXT("QvnE2E-SignatureOnly")
// In Alder only: no key pair at all.
#define E2E_EMPTY_CONTAINER TEXT("QvnE2E-Empty")
// In Alder's machine key set only: an exchange key pair (1024 bits, CSP-made).
#define E2E_MACHINE_CONTAINER TEXT("QvnE2E-Machine")
// Exists nowhere.
#define E2E_MISSING_CONTAINER TEXT("QvnE2E-Missing")
// E2E_PROMPT_CONTAINER (E2EPlatform.h), in Alder: an exchange key pair
// (1024 bits, CSP-made) that needs a prompt to open.

constexpr DWORD kMainExchangeBytes = 256;
constexpr DWORD kMainSignatureBytes = 128;
constexpr DWORD kSmallKeyBytes = 128;

struct KeyPair {
    std::unique_ptr<JudgeKey> pPrivate; // the judge's own key pair; null when the CSP made it
    std::unique_ptr<JudgeKey> pPublic;  // from CryptExportKey(PUBLICKEYBLOB) of the container's key
    DWORD dwBytes = 0;
};

class KeyStore
{
public:
    // Builds every container on first use; throws std::runtime_error when the
    // platform refuses a step.
    static KeyStore &Get();
    // Deletes the containers again, if they were made.
    static void RemoveIfBuilt();

    const KeyPair &Main(size_t iCsp, DWORD dwKeySpec) const;
    const KeyPair &Machine() const { return m_machine; }

private:
    KeyStore();
    void Remove();

    KeyPair m_exchange[4];
    KeyPair m_signature[4];
    KeyPair m_machine;
};

// Deterministic test data.
Bytes Pattern(size_t cb, BYTE bSeed);
Bytes Reversed(Bytes bytes);
// A key-sized block that the judge, holding the key pair, does not decrypt.
// (A random block fails PKCS #1 v1.5 decryption but for a tiny chance; the
// seed moves on until it does.)
Bytes UndecryptableBlock(const KeyPair &keyPair, BYTE bSeed);
std::string Hex(const Bytes &bytes);

// Every case: a freshly loaded module and the table that it hands out for the
// key storage provider name. TearDown unloads it and, where the platform can
// tell, checks that no CryptoAPI handle and no allocation of the module is
// left: every provider and key still open must die with the module.
class KspTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    const Ksp &ksp() const { return *m_pKsp; }
    KspModule &Module() { return m_module; }
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *TablePointer() const { return m_pTable; }

    // Opens and asserts success (ADD_FAILURE and 0 otherwise).
    NCRYPT_PROV_HANDLE OpenProvider(LPCWSTR pszName);
    NCRYPT_KEY_HANDLE OpenKey(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszKeyName, DWORD dwKeySpec, DWORD dwFlags = 0);

    // The key store, or a fatal failure in the calling case.
    static const KeyStore *Keys();

private:
    KspModule m_module;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *m_pTable = nullptr;
    std::unique_ptr<Ksp> m_pKsp;
    bool m_fHaveBaseline = false;
    platform::HandleCounts m_baselineHandles;
    LONG m_lBaselineBlocks = 0;
};

// Skips the rest of a case when the platform has no test controls.
#define E2E_REQUIRE_CONTROLS(expr)                                                                                     \
    do {                                                                                                               \
        if (!(expr)) {                                                                                                 \
            GTEST_SKIP() << ::e2e::platform::ControlsUnavailableReason();                                              \
        }                                                                                                              \
    } while (0)

// The key store for a case, or the case ends with a fatal failure.
#define E2E_KEYS(var)                                                                                                  \
    const ::e2e::KeyStore *var = Keys();                                                                               \
    if (var == nullptr) {                                                                                              \
        return;                                                                                                        \
    }

} // namespace e2e

#endif
