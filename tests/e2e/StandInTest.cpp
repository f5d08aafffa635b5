// Cases that need the Linux stand-in's test controls, so they are built for
// Linux only: the emulated Windows version, injected CryptoAPI failures, live
// handle counts and failing allocations.
#include "E2E.h"

#include <tuple>

namespace e2e
{
namespace
{

NCRYPT_KEY_STORAGE_FUNCTION_TABLE *const kTableSentinel =
    reinterpret_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(static_cast<ULONG_PTR>(0x5EB7));

// Below Windows 6.0 every accepted name is refused with STATUS_NOT_SUPPORTED;
// the name is checked before the version, the version before the rest.
TEST_F(KspTest, GetKeyStorageInterfaceNeedsWindowsSix)
{
    const NTSTATUS kNotSupported = static_cast<NTSTATUS>(0xC00000BBL);
    const std::tuple<DWORD, DWORD, LPCWSTR, NTSTATUS> rows[] = {
        {5, 2, E2E_KSP_NAME, kNotSupported},
        {5, 99, E2E_ALDER_NAME, kNotSupported},
        {6, 0, E2E_ALDER_NAME, 0},
        {10, 0, E2E_KSP_NAME, 0},
        {5, 1, TEXT("Quorvane"), static_cast<NTSTATUS>(0xC000000DL)}};
    for (const auto &row : rows) {
        QvnPlatformSetWindowsVersion(std::get<0>(row), std::get<1>(row));
        NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = kTableSentinel;
        EXPECT_EQ(std::get<3>(row), GetInterface("version", std::get<2>(row), &pTable, 0)) << std::get<0>(row);
        EXPECT_EQ(std::get<3>(row) == 0 ? m_pTable : kTableSentinel, pTable);
    }
    EXPECT_EQ(kNotSupported, GetInterface("version-null-out", E2E_KSP_NAME, nullptr, 1));
}

enum Op { kOpenProvider, kOpenKey, kSign, kVerify, kEncrypt, kDecrypt };
// Alder's exchange key, with a good signature and ciphertext made before any
// failure is injected. Expect makes one call of an operation while the next
// call of a CryptoAPI function fails with the given last-error value: only
// the cleared size may be written, and nothing may be left behind.
class CspFailureTest : public AlderTest
{
protected:
    void SetUp() override
    {
        AlderTest::SetUp();
        m_signature = Sign("good", m_hProvider, m_hExchange, &m_sha256, m_hash, kExchangeBytes).bytes;
        m_ciphertext = Crypt(true, "good", m_hProvider, m_hExchange, m_plaintext, kExchangeBytes).bytes;
        m_before = Live();
    }
    // cbAfter: the size left, or the handle (0xC0FFEE before; OpenProvider, OpenKey, VerifySignature).
    void Expect(const char *l, Op op, const char *pszFunction, DWORD dwCapiError, SECURITY_STATUS expected,
                DWORD cbAfter)
    {
        ResetControls();
        QvnPlatformFailCall(pszFunction, 1, dwCapiError);
        ULONG_PTR hOut = 0xC0FFEE;
        Out out{0, 0xDEAD, Bytes(kExchangeBytes, 0xCC)};
        if (op == kSign) {
            out = Sign(l, m_hProvider, m_hExchange, &m_sha256, m_hash, kExchangeBytes);
        } else if (op == kEncrypt || op == kDecrypt) {
            out = Crypt(op == kEncrypt, l, m_hProvider, m_hExchange, op == kEncrypt ? m_plaintext : m_ciphertext,
                        kExchangeBytes);
        } else {
            out.status = op == kOpenProvider ? KSP(OpenProvider, l, &hOut, E2E_BIRCH_NAME, 0)
                         : op == kOpenKey    ? KSP(OpenKey, l, m_hProvider, &hOut, E2E_MAIN, AT_KEYEXCHANGE, 0)
                                             : Verify(l, m_hProvider, m_hExchange, &m_sha256, m_hash, m_signature);
            out.cb = static_cast<DWORD>(hOut);
        }
        EXPECT_EQ(expected, out.status) << l;
        EXPECT_EQ(cbAfter, out.cb) << l;
        EXPECT_EQ(Bytes(kExchangeBytes, 0xCC), out.bytes) << l;
        EXPECT_EQ(m_before, Live()) << l << ": contexts, keys, hashes or module blocks left behind";
        ResetControls();
    }

    BCRYPT_PKCS1_PADDING_INFO m_sha256 = {TEXT("SHA256")};
    const Bytes m_hash = Pattern(32, 0x59), m_plaintext = Pattern(16, 0x7D);
    Bytes m_signature, m_ciphertext;
    std::array<LONG, 4> m_before{};
};

// What CryptoAPI answered is returned unchanged (a plain Win32 error number,
// 5 for ERROR_ACCESS_DENIED, too: not turned into an HRESULT), from every
// call site; only the cleared size is written and nothing is left behind.
TEST_F(CspFailureTest, PlainWin32ErrorFromCspComesBackAsThatNumber)
{
    Expect("open-provider", kOpenProvider, "CryptAcquireContextW", ERROR_ACCESS_DENIED, 5, 0xC0FFEE);
    Expect("open-key", kOpenKey, "CryptAcquireContextW", ERROR_ACCESS_DENIED, 5, 0xC0FFEE);
    Expect("user-key", kOpenKey, "CryptGetUserKey", ERROR_ACCESS_DENIED, 5, 0xC0FFEE);
    Expect("sign-key-length", kSign, "CryptGetKeyParam", ERROR_ACCESS_DENIED, 5, 0xDEAD);
    Expect("sign-create-hash", kSign, "CryptCreateHash", ERROR_ACCESS_DENIED, 5, 0);
    Expect("sign-hash-size", kSign, "CryptGetHashParam", ERROR_ACCESS_DENIED, 5, 0);
    Expect("sign-set-hash", kSign, "CryptSetHashParam", ERROR_ACCESS_DENIED, 5, 0);
    Expect("sign", kSign, "CryptSignHashW", ERROR_ACCESS_DENIED, 5, 0);
    Expect("verify", kVerify, "CryptVerifySignatureW", ERROR_ACCESS_DENIED, 5, 0xC0FFEE);
    Expect("encrypt", kEncrypt, "CryptEncrypt", ERROR_ACCESS_DENIED, 5, 0);
    Expect("decrypt-key-length", kDecrypt, "CryptGetKeyParam", ERROR_ACCESS_DENIED, 5, 0xDEAD);
    Expect("decrypt", kDecrypt, "CryptDecrypt", ERROR_ACCESS_DENIED, 5, 0);
    EXPECT_EQ(0, Verify("after", m_hProvider, m_hExchange, &m_sha256, m_hash, m_signature)) << "the key is unharmed";
}

// Only these CryptoAPI answers are translated: NTE_KEYSET_NOT_DEF and
// NTE_NO_KEY on opening a key (NTE_BAD_KEYSET), NTE_BAD_DATA on decrypting
// (NTE_DECRYPTION_FAILURE) and NTE_SILENT_CONTEXT anywhere (NTE_UI_REQUIRED).
TEST_F(CspFailureTest, FewCryptoApiFailuresAreTranslated)
{
    Expect("acquire", kOpenKey, "CryptAcquireContextW", DWORD(NTE_KEYSET_NOT_DEF), NTE_BAD_KEYSET, 0xC0FFEE);
    Expect("user-key-no-key", kOpenKey, "CryptGetUserKey", DWORD(NTE_NO_KEY), NTE_BAD_KEYSET, 0xC0FFEE);
    Expect("user-key-other", kOpenKey, "CryptGetUserKey", DWORD(NTE_KEYSET_NOT_DEF), NTE_KEYSET_NOT_DEF, 0xC0FFEE);
    Expect("provider-silent", kOpenProvider, "CryptAcquireContextW", DWORD(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED,
           0xC0FFEE);
    Expect("sign-silent", kSign, "CryptSignHashW", DWORD(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED, 0);
    Expect("decrypt-bad-data", kDecrypt, "CryptDecrypt", DWORD(NTE_BAD_DATA), NTE_DECRYPTION_FAILURE, 0);
    Expect("encrypt-bad-data", kEncrypt, "CryptEncrypt", DWORD(NTE_BAD_DATA), NTE_BAD_DATA, 0);
}

// A CSP call that fails without setting a last-error value fails with 0: the
// entry reports success, though nothing was done. A signature that the CSP
// could not check is reported valid; no handle, signature or plaintext is
// written (only the size is cleared before the CSP is asked).
TEST_F(CspFailureTest, CspFailureWithoutLastErrorIsReportedAsSuccess)
{
    m_signature[0] ^= 0x01; // not a valid signature any more
    Expect("open-provider", kOpenProvider, "CryptAcquireContextW", 0, 0, 0xC0FFEE);
    Expect("open-key", kOpenKey, "CryptGetUserKey", 0, 0, 0xC0FFEE);
    Expect("sign", kSign, "CryptSignHashW", 0, 0, 0);
    Expect("verify", kVerify, "CryptVerifySignatureW", 0, 0, 0xC0FFEE);
    Expect("encrypt", kEncrypt, "CryptEncrypt", 0, 0, 0);
    Expect("decrypt", kDecrypt, "CryptDecrypt", 0, 0, 0);
    EXPECT_EQ(NTE_BAD_SIGNATURE, Verify("really", m_hProvider, m_hExchange, &m_sha256, m_hash, m_signature));
}

// Without memory GetKeyStorageInterface is unsuccessful and writes nothing;
// the next call gets the table.
TEST_F(KspTest, GetKeyStorageInterfaceWithoutMemoryIsUnsuccessful)
{
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = kTableSentinel;
    QvnPlatformFailModuleMalloc(1);
    EXPECT_EQ(static_cast<NTSTATUS>(0xC0000001L), GetInterface("no-memory", E2E_CEDAR_NAME, &pTable, 0));
    EXPECT_EQ(kTableSentinel, pTable);
    EXPECT_EQ(0, GetInterface("memory-back", E2E_CEDAR_NAME, &pTable, 0));
    EXPECT_EQ(m_pTable, pTable);
}

// The same calls again and again, the nth allocation of the module failing in
// the nth round, until a round runs without a failure: each failure is one
// NTE_NO_MEMORY and leaves no block behind.
TEST_F(KspTest, EveryAllocationThatFailsEndsInNoMemoryAndLeavesNothing)
{
    Keys();
    EXPECT_EQ(NTE_INVALID_HANDLE, KSP(FreeProvider, "manager", 0x10)); // made before the first round
    BCRYPT_PKCS1_PADDING_INFO sha256 = {TEXT("SHA256")};
    const Bytes hash = Pattern(32, 0xA1), plaintext = Pattern(24, 0xA2);
    DWORD nFailing = 1, cNoMemory = 0;
    for (DWORD cRound = 1; cRound != 0 && nFailing < 400; ++nFailing) {
        const LONG lBefore = Live()[3];
        cRound = 0;
        auto ok = [&](SECURITY_STATUS status) {
            cRound += status == NTE_NO_MEMORY;
            EXPECT_TRUE(status == 0 || status == NTE_NO_MEMORY) << status << " with allocation " << nFailing;
            return status == 0;
        };
        QvnPlatformFailModuleMalloc(nFailing);
        NCRYPT_PROV_HANDLE hKsp = 0, hProvider = 0;
        NCRYPT_KEY_HANDLE hKey = 0;
        DWORD dwValue = 0, cb = 0;
        if (ok(KSP(OpenProvider, "oom", &hKsp, E2E_KSP_NAME, 0))) {
            ok(KSP(GetProviderProperty, "oom", hKsp, NCRYPT_VERSION_PROPERTY, reinterpret_cast<PBYTE>(&dwValue), 4,
                   Size{&cb}, 0));
        }
        if (ok(KSP(OpenProvider, "oom", &hProvider, E2E_DOGWOOD_NAME, 0)) &&
            ok(KSP(OpenKey, "oom", hProvider, &hKey, E2E_MAIN, AT_KEYEXCHANGE, 0))) {
            const Out signature = Sign("oom", hProvider, hKey, &sha256, hash, 256);
            if (ok(signature.status)) {
                ok(Verify("oom", hProvider, hKey, &sha256, hash, signature.bytes));
            }
            const Out ciphertext = Crypt(true, "oom", hProvider, hKey, plaintext, 256);
            if (ok(ciphertext.status)) {
                const Out decrypted = Crypt(false, "oom", hProvider, hKey, ciphertext.bytes, 256);
                EXPECT_TRUE(!ok(decrypted.status) || decrypted.cb == plaintext.size());
            }
        }
        QvnPlatformFailModuleMalloc(0);
        for (NCRYPT_PROV_HANDLE h : {hKsp, hProvider}) {
            EXPECT_EQ(h != 0 ? 0 : NTE_INVALID_HANDLE, KSP(FreeProvider, "oom", h)); // with its key
        }
        EXPECT_EQ(lBefore, Live()[3]) << "allocation " << nFailing << " failing left blocks behind";
        EXPECT_LE(cRound, 1u) << "one failed allocation, one failed call";
        cNoMemory += cRound;
    }
    Record("allocation-failures", 0, &cNoMemory);
    EXPECT_LT(nFailing, 400u) << "the sequence never ran without a failure";
    EXPECT_EQ(nFailing - 2, cNoMemory) << "every failed allocation is reported";
}

} // namespace
} // namespace e2e
