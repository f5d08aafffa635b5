// Cases that need the Linux stand-in's test controls, so they are built for
// Linux only: the emulated Windows version, the log of CryptoAPI calls,
// injected CryptoAPI failures, live handle counts and failing allocations.
#include "E2E.h"

namespace e2e
{
namespace
{

NCRYPT_KEY_STORAGE_FUNCTION_TABLE *const kTableSentinel =
    reinterpret_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(static_cast<ULONG_PTR>(0x5EB7));
const NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BBL);

// Below Windows 6.0 every accepted name is refused with STATUS_NOT_SUPPORTED;
// the name is checked before the version, the version before the rest.
TEST_F(KspTest, GetKeyStorageInterfaceNeedsWindowsSix)
{
    const struct {
        DWORD dwMajor, dwMinor;
        LPCWSTR pszName;
        NTSTATUS expected;
    } rows[] = {{5, 2, E2E_KSP_NAME, kStatusNotSupported},
                {5, 99, E2E_ALDER_NAME, kStatusNotSupported},
                {6, 0, E2E_ALDER_NAME, 0},
                {10, 0, E2E_KSP_NAME, 0},
                {5, 1, TEXT("Quorvane"), static_cast<NTSTATUS>(0xC000000DL)}};
    for (const auto &row : rows) {
        QvnPlatformSetWindowsVersion(row.dwMajor, row.dwMinor);
        NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = kTableSentinel;
        EXPECT_EQ(row.expected, GetInterface("version", row.pszName, &pTable, 0)) << row.dwMajor << "." << row.dwMinor;
        EXPECT_EQ(row.expected == 0 ? m_pTable : kTableSentinel, pTable);
    }
    EXPECT_EQ(kStatusNotSupported, GetInterface("version-null-out", E2E_KSP_NAME, nullptr, 1));
}

// A provider of a CSP holds one verification context of the CSP's type; each
// key a context of its own on its container, acquired with the caller's
// flags; freeing the key and the provider closes them. The key storage
// provider reaches no CSP.
TEST_F(KspTest, CryptoApiGetsTheCspsTypeAndTheCallersFlags)
{
    Keys();
    Open(E2E_KSP_NAME); // the manager exists before the counting starts
    const std::array<LONG, 4> before = Live();
    for (size_t iCsp = 0; iCsp < 4; ++iCsp) {
        const Csp &csp = kCsps[iCsp];
        const DWORD dwFlags = iCsp == 0 ? NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG : iCsp % 2 * NCRYPT_SILENT_FLAG;
        LPCWSTR pszContainer = iCsp == 0 ? E2E_MACHINE : E2E_MAIN;
        ResetControls();
        NCRYPT_PROV_HANDLE hProvider = 0;
        ASSERT_EQ(0, KSP(OpenProvider, "log", &hProvider, csp.pszName, dwFlags));
        const NCRYPT_KEY_HANDLE hKey = OpenKey(hProvider, pszContainer, AT_KEYEXCHANGE, dwFlags);
        OpenKey(hProvider, pszContainer, AT_KEYEXCHANGE, dwFlags);
        EXPECT_EQ(3u, QvnPlatformCountCalls("CryptAcquireContextW")) << "a verification context, one per key";
        for (DWORD i = 0, cAcquired = 0; i < QvnPlatformGetCallCount(); ++i) {
            QVN_CALL_RECORD call = {};
            if (QvnPlatformGetCall(i, &call) && std::string(call.szFunction) == "CryptAcquireContextW") {
                EXPECT_TRUE(WString(call.szProvider) == csp.pszName) << csp.pszTag;
                EXPECT_EQ(csp.dwProvType, call.dwProvType) << csp.pszTag;
                EXPECT_EQ(cAcquired == 0, call.fContainerNull != FALSE) << csp.pszTag;
                EXPECT_TRUE(cAcquired == 0 || WString(call.szContainer) == pszContainer) << csp.pszTag;
                EXPECT_EQ(cAcquired++ == 0 ? DWORD(CRYPT_VERIFYCONTEXT) : dwFlags, call.dwFlags) << csp.pszTag;
            }
        }
        EXPECT_EQ(before[0] + 3, Live()[0]);
        EXPECT_EQ(before[1] + 2, Live()[1]);
        EXPECT_EQ(0, KSP(FreeKey, "log", hProvider, hKey));
        EXPECT_EQ(before[0] + 2, Live()[0]);
        EXPECT_EQ(before[1] + 1, Live()[1]);
        EXPECT_EQ(0, KSP(FreeProvider, "log", hProvider));
        EXPECT_EQ(before, Live());
    }
    ResetControls();
    Open(E2E_KSP_NAME);
    EXPECT_EQ(0u, QvnPlatformCountCalls("CryptAcquireContextW")) << "the key storage provider needs no CSP";
}

// Alder's exchange key, with a good signature and ciphertext made before any
// failure is injected. Run makes one call of an operation while the next call
// of a CryptoAPI function fails with the given last-error value, and gives
// its status, size and output (Sign, Encrypt, Decrypt), or in cb the handle
// left (0xC0FFEE before; OpenProvider, OpenKey, VerifySignature).
class CspFailureTest : public AlderTest
{
protected:
    enum Op { kOpenProvider, kOpenKey, kSign, kVerify, kEncrypt, kDecrypt };
    void SetUp() override
    {
        AlderTest::SetUp();
        m_signature = Sign("good", m_hProvider, m_hExchange, &m_sha256, m_hash, kExchangeBytes).bytes;
        m_ciphertext = Crypt(true, "good", m_hProvider, m_hExchange, m_plaintext, kExchangeBytes).bytes;
        m_before = Live();
    }
    Out Run(const char *l, Op op, const char *pszFunction, DWORD dwError)
    {
        ResetControls();
        QvnPlatformFailCall(pszFunction, 1, dwError);
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
        EXPECT_EQ(m_before, Live()) << l << ": contexts, keys, hashes or module blocks left behind";
        return out;
    }

    BCRYPT_PKCS1_PADDING_INFO m_sha256 = {TEXT("SHA256")};
    const Bytes m_hash = Pattern(32, 0x59), m_plaintext = Pattern(16, 0x7D);
    Bytes m_signature, m_ciphertext;
    std::array<LONG, 4> m_before{};
};

struct FailureRow {
    const char *pszLabel;
    int op;
    const char *pszFunction;
    DWORD dwCapiError;
    SECURITY_STATUS expected;
    DWORD cbAfter; // or the handle left
};

// What CryptoAPI answered is returned, translating only NTE_KEYSET_NOT_DEF and
// NTE_NO_KEY on opening (NTE_BAD_KEYSET), NTE_BAD_DATA on decrypting
// (NTE_DECRYPTION_FAILURE) and NTE_SILENT_CONTEXT (NTE_UI_REQUIRED). Nothing is
// written but the cleared size, nothing is left behind, the key stays usable.
TEST_F(CspFailureTest, CryptoApiFailuresAreReturnedAndLeaveNothing)
{
    const FailureRow rows[] = {
        {"provider", kOpenProvider, "CryptAcquireContextW", DWORD(NTE_PROV_DLL_NOT_FOUND), NTE_PROV_DLL_NOT_FOUND,
         0xC0FFEE},
        {"provider-silent", kOpenProvider, "CryptAcquireContextW", DWORD(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED,
         0xC0FFEE},
        {"acquire", kOpenKey, "CryptAcquireContextW", DWORD(NTE_KEYSET_NOT_DEF), NTE_BAD_KEYSET, 0xC0FFEE},
        {"acquire-other", kOpenKey, "CryptAcquireContextW", DWORD(NTE_BAD_KEYSET_PARAM), NTE_BAD_KEYSET_PARAM,
         0xC0FFEE},
        {"user-key-no-key", kOpenKey, "CryptGetUserKey", DWORD(NTE_NO_KEY), NTE_BAD_KEYSET, 0xC0FFEE},
        {"user-key-silent", kOpenKey, "CryptGetUserKey", DWORD(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED, 0xC0FFEE},
        {"user-key-other", kOpenKey, "CryptGetUserKey", DWORD(NTE_KEYSET_NOT_DEF), NTE_KEYSET_NOT_DEF, 0xC0FFEE},
        {"sign-key-length", kSign, "CryptGetKeyParam", DWORD(NTE_BAD_KEY), NTE_BAD_KEY, 0xDEAD},
        {"sign-create-hash", kSign, "CryptCreateHash", DWORD(NTE_BAD_ALGID), NTE_BAD_ALGID, 0},
        {"sign-hash-size", kSign, "CryptGetHashParam", DWORD(NTE_BAD_HASH), NTE_BAD_HASH, 0},
        {"sign-set-hash", kSign, "CryptSetHashParam", DWORD(NTE_BAD_HASH_STATE), NTE_BAD_HASH_STATE, 0},
        {"sign-silent", kSign, "CryptSignHashW", DWORD(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED, 0},
        {"verify-key-length", kVerify, "CryptGetKeyParam", DWORD(NTE_BAD_KEY), NTE_BAD_KEY, 0xC0FFEE},
        {"verify-silent", kVerify, "CryptVerifySignatureW", DWORD(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED, 0xC0FFEE},
        {"encrypt", kEncrypt, "CryptEncrypt", DWORD(NTE_BAD_LEN), NTE_BAD_LEN, 0},
        {"decrypt-key-length", kDecrypt, "CryptGetKeyParam", DWORD(NTE_BAD_KEY), NTE_BAD_KEY, 0xDEAD},
        {"decrypt-bad-data", kDecrypt, "CryptDecrypt", DWORD(NTE_BAD_DATA), NTE_DECRYPTION_FAILURE, 0},
        {"decrypt-other", kDecrypt, "CryptDecrypt", DWORD(NTE_FAIL), NTE_FAIL, 0},
    };
    for (const FailureRow &row : rows) {
        const Out out = Run(row.pszLabel, Op(row.op), row.pszFunction, row.dwCapiError);
        EXPECT_EQ(row.expected, out.status) << row.pszLabel;
        EXPECT_EQ(row.cbAfter, out.cb) << row.pszLabel;
        EXPECT_EQ(Bytes(kExchangeBytes, 0xCC), out.bytes) << row.pszLabel;
    }
    ResetControls();
    EXPECT_EQ(0, Verify("after", m_hProvider, m_hExchange, &m_sha256, m_hash, m_signature));
    const Out decrypted = Crypt(false, "after", m_hProvider, m_hExchange, m_ciphertext, kMaxPlaintext);
    EXPECT_EQ(m_plaintext, Bytes(decrypted.bytes.begin(), decrypted.bytes.begin() + decrypted.cb));
}

// A plain Win32 error number that a CSP leaves as its last error is returned
// as that small positive number, not turned into an HRESULT.
TEST_F(CspFailureTest, PlainWin32ErrorFromCspComesBackAsThatNumber)
{
    for (Op op : {kOpenProvider, kOpenKey, kSign, kVerify, kEncrypt, kDecrypt}) {
        const char *pszFunction = op <= kOpenKey ? "CryptAcquireContextW" : "CryptGetKeyParam";
        EXPECT_EQ(5, Run("access-denied", op, pszFunction, ERROR_ACCESS_DENIED).status) << op;
    }
}

// A CSP call that fails without setting a last-error value fails with 0: the
// entry reports success, though nothing was done. A signature that the CSP
// could not check is reported valid; no handle, signature or plaintext is
// written (only the size is cleared before the CSP is asked).
TEST_F(CspFailureTest, CspFailureWithoutLastErrorIsReportedAsSuccess)
{
    const FailureRow rows[] = {{"open-provider", kOpenProvider, "CryptAcquireContextW", 0, 0, 0xC0FFEE},
                               {"open-key", kOpenKey, "CryptGetUserKey", 0, 0, 0xC0FFEE},
                               {"sign", kSign, "CryptSignHashW", 0, 0, 0},
                               {"verify", kVerify, "CryptVerifySignatureW", 0, 0, 0xC0FFEE},
                               {"encrypt", kEncrypt, "CryptEncrypt", 0, 0, 0},
                               {"decrypt", kDecrypt, "CryptDecrypt", 0, 0, 0}};
    m_signature[0] ^= 0x01; // not a valid signature any more
    for (const FailureRow &row : rows) {
        const Out out = Run(row.pszLabel, Op(row.op), row.pszFunction, 0);
        EXPECT_EQ(0, out.status) << row.pszLabel;
        EXPECT_EQ(row.cbAfter, out.cb) << row.pszLabel;
        EXPECT_EQ(Bytes(kExchangeBytes, 0xCC), out.bytes) << row.pszLabel;
    }
    ResetControls();
    EXPECT_EQ(NTE_BAD_SIGNATURE, Verify("really", m_hProvider, m_hExchange, &m_sha256, m_hash, m_signature));
}

// The manager is made by the first call that gets past its own checks, once;
// one that cannot be made is tried again by the next call. Without memory
// GetKeyStorageInterface is unsuccessful and writes nothing. (Unrecorded
// calls: a recorded failure is followed by another call, which would make it.)
TEST_F(KspTest, ManagerIsMadeOnceByTheFirstCallPastItsOwnChecks)
{
    const LONG lBefore = Live()[3];
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = *m_pTable;
    EXPECT_EQ(NTE_INVALID_PARAMETER, t.OpenProvider(nullptr, E2E_KSP_NAME, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, t.OpenKey(0x10, nullptr, E2E_MAIN, AT_KEYEXCHANGE, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.FreeBuffer(nullptr));
    EXPECT_EQ(lBefore, Live()[3]) << "the own checks and the stubs make nothing";
    QvnPlatformFailModuleMalloc(1);
    SetLastError(0x4242);
    EXPECT_EQ(NTE_NO_MEMORY, t.FreeProvider(0x10));
    EXPECT_EQ(0x4242u, GetLastError());
    EXPECT_EQ(lBefore, Live()[3]);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(NTE_INVALID_HANDLE, t.FreeProvider(0x10));
        EXPECT_EQ(lBefore + 1, Live()[3]) << "the manager, once, and nothing else";
    }
    QvnPlatformFailModuleMalloc(1);
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = kTableSentinel;
    EXPECT_EQ(static_cast<NTSTATUS>(0xC0000001L), GetInterface("no-memory", E2E_CEDAR_NAME, &pTable, 0));
    EXPECT_EQ(kTableSentinel, pTable);
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
    for (; nFailing < 400; ++nFailing) {
        const LONG lBefore = Live()[3];
        DWORD cRound = 0;
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
        if (cRound == 0) {
            break;
        }
        cNoMemory += cRound;
    }
    Record("allocation-failures", 0, &cNoMemory);
    EXPECT_LT(nFailing, 400u) << "the sequence never ran without a failure";
    EXPECT_EQ(nFailing - 1, cNoMemory) << "every failed allocation is reported";
}

} // namespace
} // namespace e2e
