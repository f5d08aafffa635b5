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
const NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);
const NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BBL);

// The name is checked before the version, the version before the out-parameter and the flags.
TEST_F(KspTest, GetKeyStorageInterfaceNeedsWindowsSix)
{
    const struct {
        DWORD dwMajor, dwMinor;
        LPCWSTR pszName;
        bool fNullOut;
        DWORD dwFlags;
        NTSTATUS expected;
    } rows[] = {{5, 0, E2E_ALDER_NAME, false, 0, kStatusNotSupported},
                {5, 2, E2E_KSP_NAME, false, 0, kStatusNotSupported},
                {5, 99, E2E_ALDER_NAME, false, 0, kStatusNotSupported},
                {6, 0, E2E_ALDER_NAME, false, 0, 0},
                {6, 1, E2E_KSP_NAME, false, 0, 0},
                {10, 0, E2E_ALDER_NAME, false, 0, 0},
                {5, 1, TEXT("Quorvane"), false, 0, kStatusInvalidParameter},
                {5, 1, nullptr, false, 0, kStatusInvalidParameter},
                {5, 1, E2E_KSP_NAME, true, 0, kStatusNotSupported},
                {5, 1, E2E_KSP_NAME, false, 1, kStatusNotSupported}};
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.dwMajor) + "." + std::to_string(row.dwMinor));
        QvnPlatformSetWindowsVersion(row.dwMajor, row.dwMinor);
        NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = kTableSentinel;
        EXPECT_EQ(row.expected, GetInterface("version", row.pszName, row.fNullOut ? nullptr : &pTable, row.dwFlags));
        EXPECT_EQ(row.expected == 0 ? m_pTable : kTableSentinel, pTable);
    }
}

// A provider of a CSP holds one verification context of the CSP's type; each
// key a context of its own on its container, acquired with the caller's flags,
// and a key; freeing the provider closes them all. Refused flags and the key
// storage provider reach no CSP.
TEST_F(KspTest, CryptoApiGetsTheCspsTypeAndTheCallersFlags)
{
    Keys();
    Open(E2E_KSP_NAME); // the manager exists before the counting starts
    const std::array<LONG, 4> before = Live();
    const struct {
        size_t iCsp;
        LPCWSTR pszContainer;
        DWORD dwFlags;
    } rows[] = {{0, E2E_MAIN, 0},
                {1, E2E_MAIN, NCRYPT_SILENT_FLAG},
                {2, E2E_MAIN, 0},
                {3, E2E_MAIN, NCRYPT_SILENT_FLAG},
                {0, E2E_MACHINE, NCRYPT_MACHINE_KEY_FLAG},
                {0, E2E_MACHINE, NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG}};
    for (const auto &row : rows) {
        const Csp &csp = kCsps[row.iCsp];
        SCOPED_TRACE(std::string(csp.pszTag) + " " + std::to_string(row.dwFlags));
        ResetControls();
        NCRYPT_PROV_HANDLE hProvider = 0;
        NCRYPT_KEY_HANDLE hRefused = 0;
        ASSERT_EQ(0, KSP(OpenProvider, "log", &hProvider, csp.pszName, row.dwFlags));
        const NCRYPT_KEY_HANDLE hKey = OpenKey(hProvider, row.pszContainer, AT_KEYEXCHANGE, row.dwFlags);
        OpenKey(hProvider, row.pszContainer, AT_KEYEXCHANGE, row.dwFlags);
        EXPECT_EQ(NTE_BAD_FLAGS, KSP(OpenKey, "log", hProvider, &hRefused, row.pszContainer, AT_KEYEXCHANGE, 0x80));
        std::vector<QVN_CALL_RECORD> calls;
        for (DWORD i = 0; i < QvnPlatformGetCallCount(); ++i) {
            QVN_CALL_RECORD call = {};
            if (QvnPlatformGetCall(i, &call) && std::string(call.szFunction) == "CryptAcquireContextW") {
                EXPECT_TRUE(WString(call.szProvider) == csp.pszName);
                EXPECT_EQ(csp.dwProvType, call.dwProvType);
                EXPECT_EQ(calls.empty(), call.fContainerNull != FALSE);
                EXPECT_TRUE(calls.empty() || WString(call.szContainer) == row.pszContainer);
                EXPECT_EQ(calls.empty() ? DWORD(CRYPT_VERIFYCONTEXT) : row.dwFlags, call.dwFlags);
                calls.push_back(call);
            }
        }
        EXPECT_EQ(3u, calls.size()) << "a verification context and one context per key";
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

// What CryptoAPI answered is returned, translating only NTE_KEYSET_NOT_DEF and
// NTE_NO_KEY on opening (NTE_BAD_KEYSET), NTE_BAD_DATA on decrypting
// (NTE_DECRYPTION_FAILURE) and NTE_SILENT_CONTEXT (NTE_UI_REQUIRED). Nothing is
// written but the cleared size, nothing is left behind, the key stays usable.
TEST_F(KspTest, CryptoApiFailuresAreReturnedAndLeaveNothing)
{
    Keys();
    const NCRYPT_PROV_HANDLE hProvider = Open(E2E_ALDER_NAME);
    const NCRYPT_KEY_HANDLE hKey = OpenKey(hProvider, E2E_MAIN, AT_KEYEXCHANGE);
    const Bytes hash = Pattern(32, 0x59);
    const Bytes plaintext = Pattern(16, 0x7D);
    BCRYPT_PKCS1_PADDING_INFO sha256 = {TEXT("SHA256")};
    const Bytes signature = Sign("good", hProvider, hKey, &sha256, hash, kExchangeBytes).bytes;
    const Bytes ciphertext = Crypt(true, "good", hProvider, hKey, plaintext, kExchangeBytes).bytes;
    enum Op { kOpenProvider, kOpenKey, kSign, kVerify, kEncrypt, kDecrypt };
    const struct {
        const char *pszLabel;
        Op op;
        const char *pszFunction;
        HRESULT hrCapi;
        SECURITY_STATUS expected;
        DWORD cbAfter;
    } rows[] = {
        {"provider-not-installed", kOpenProvider, "CryptAcquireContextW", NTE_PROV_DLL_NOT_FOUND,
         NTE_PROV_DLL_NOT_FOUND, 0},
        {"provider-silent", kOpenProvider, "CryptAcquireContextW", NTE_SILENT_CONTEXT, NTE_UI_REQUIRED, 0},
        {"provider-access-denied", kOpenProvider, "CryptAcquireContextW", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, 0},
        {"acquire-keyset-not-def", kOpenKey, "CryptAcquireContextW", NTE_KEYSET_NOT_DEF, NTE_BAD_KEYSET, 0},
        {"acquire-silent", kOpenKey, "CryptAcquireContextW", NTE_SILENT_CONTEXT, NTE_UI_REQUIRED, 0},
        {"acquire-bad-keyset-param", kOpenKey, "CryptAcquireContextW", NTE_BAD_KEYSET_PARAM, NTE_BAD_KEYSET_PARAM, 0},
        {"user-key-no-key", kOpenKey, "CryptGetUserKey", NTE_NO_KEY, NTE_BAD_KEYSET, 0},
        {"user-key-silent", kOpenKey, "CryptGetUserKey", NTE_SILENT_CONTEXT, NTE_UI_REQUIRED, 0},
        {"user-key-bad-key", kOpenKey, "CryptGetUserKey", NTE_BAD_KEY, NTE_BAD_KEY, 0},
        {"user-key-keyset-not-def", kOpenKey, "CryptGetUserKey", NTE_KEYSET_NOT_DEF, NTE_KEYSET_NOT_DEF, 0},
        {"sign-key-length", kSign, "CryptGetKeyParam", NTE_BAD_KEY, NTE_BAD_KEY, 0xDEAD},
        {"sign-create-hash", kSign, "CryptCreateHash", NTE_BAD_ALGID, NTE_BAD_ALGID, 0},
        {"sign-hash-size", kSign, "CryptGetHashParam", NTE_BAD_HASH, NTE_BAD_HASH, 0},
        {"sign-set-hash", kSign, "CryptSetHashParam", NTE_BAD_HASH_STATE, NTE_BAD_HASH_STATE, 0},
        {"sign-silent", kSign, "CryptSignHashW", NTE_SILENT_CONTEXT, NTE_UI_REQUIRED, 0},
        {"verify-key-length", kVerify, "CryptGetKeyParam", NTE_BAD_KEY, NTE_BAD_KEY, 0},
        {"verify-silent", kVerify, "CryptVerifySignatureW", NTE_SILENT_CONTEXT, NTE_UI_REQUIRED, 0},
        {"encrypt-key-length", kEncrypt, "CryptGetKeyParam", NTE_BAD_KEY, NTE_BAD_KEY, 0xDEAD},
        {"encrypt-bad-len", kEncrypt, "CryptEncrypt", NTE_BAD_LEN, NTE_BAD_LEN, 0},
        {"decrypt-key-length", kDecrypt, "CryptGetKeyParam", NTE_BAD_KEY, NTE_BAD_KEY, 0xDEAD},
        {"decrypt-bad-data", kDecrypt, "CryptDecrypt", NTE_BAD_DATA, NTE_DECRYPTION_FAILURE, 0},
        {"decrypt-fail", kDecrypt, "CryptDecrypt", NTE_FAIL, NTE_FAIL, 0},
    };
    const std::array<LONG, 4> before = Live();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.pszLabel);
        ResetControls();
        QvnPlatformFailCall(row.pszFunction, 1, static_cast<DWORD>(row.hrCapi));
        ULONG_PTR hOut = 0xC0FFEE;
        Out out{0, 0xDEAD, Bytes(kExchangeBytes, 0xCC)};
        switch (row.op) {
        case kOpenProvider:
            out.status = KSP(OpenProvider, row.pszLabel, &hOut, E2E_BIRCH_NAME, 0);
            break;
        case kOpenKey:
            out.status = KSP(OpenKey, row.pszLabel, hProvider, &hOut, E2E_MAIN, AT_KEYEXCHANGE, 0);
            break;
        case kSign:
            out = Sign(row.pszLabel, hProvider, hKey, &sha256, hash, kExchangeBytes);
            break;
        case kVerify:
            out.status = Verify(row.pszLabel, hProvider, hKey, &sha256, hash, signature);
            break;
        case kEncrypt:
        case kDecrypt:
            out = Crypt(row.op == kEncrypt, row.pszLabel, hProvider, hKey, row.op == kEncrypt ? plaintext : ciphertext,
                        kExchangeBytes);
            break;
        }
        EXPECT_EQ(row.expected, out.status);
        if (row.op == kOpenProvider || row.op == kOpenKey) {
            EXPECT_EQ(0xC0FFEEu, hOut);
        } else if (row.op != kVerify) {
            EXPECT_EQ(row.cbAfter, out.cb);
            EXPECT_EQ(Bytes(kExchangeBytes, 0xCC), out.bytes);
        }
        EXPECT_EQ(before, Live()) << "contexts, keys, hashes, module blocks";
    }
    ResetControls();
    EXPECT_EQ(0, Verify("after", hProvider, hKey, &sha256, hash, signature));
    const Out decrypted = Crypt(false, "after", hProvider, hKey, ciphertext, kMaxPlaintext);
    EXPECT_EQ(plaintext, Bytes(decrypted.bytes.begin(), decrypted.bytes.begin() + decrypted.cb));
}

// The manager is made by the first call that gets past its own checks, once;
// one that cannot be made is tried again by the next call. Without memory
// GetKeyStorageInterface is unsuccessful and writes nothing. (Unrecorded
// calls: a recorded failure is followed by another call, which would make it.)
TEST_F(KspTest, ManagerIsMadeOnceByTheFirstCallPastItsOwnChecks)
{
    const LONG lBefore = Live()[3];
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = *m_pTable;
    NCRYPT_KEY_HANDLE hKey = 0;
    EXPECT_EQ(NTE_INVALID_PARAMETER, t.OpenProvider(nullptr, E2E_KSP_NAME, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, t.OpenKey(0x10, nullptr, E2E_MAIN, AT_KEYEXCHANGE, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.FreeBuffer(nullptr));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.CreatePersistedKey(0x10, &hKey, TEXT("RSA"), TEXT("k"), 0, 0));
    EXPECT_EQ(lBefore, Live()[3]) << "the own checks and the stubs make nothing";
    QvnPlatformFailModuleMalloc(1);
    SetLastError(0x4242);
    EXPECT_EQ(NTE_NO_MEMORY, t.FreeProvider(0x10));
    EXPECT_EQ(0x4242u, GetLastError());
    EXPECT_EQ(lBefore, Live()[3]);
    EXPECT_EQ(NTE_INVALID_HANDLE, t.FreeProvider(0x10));
    EXPECT_EQ(lBefore + 1, Live()[3]) << "the manager, and nothing else";
    EXPECT_EQ(NTE_INVALID_HANDLE, t.FreeProvider(0x10));
    EXPECT_EQ(lBefore + 1, Live()[3]) << "the manager is made once";

    QvnPlatformFailModuleMalloc(1);
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = kTableSentinel;
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
    for (; nFailing < 400; ++nFailing) {
        SCOPED_TRACE("allocation " + std::to_string(nFailing));
        const LONG lBefore = Live()[3];
        DWORD cRound = 0;
        auto ok = [&](SECURITY_STATUS status) {
            cRound += status == NTE_NO_MEMORY;
            EXPECT_TRUE(status == 0 || status == NTE_NO_MEMORY) << status;
            return status == 0;
        };
        QvnPlatformFailModuleMalloc(nFailing);
        NCRYPT_PROV_HANDLE hKsp = 0, hProvider = 0;
        NCRYPT_KEY_HANDLE hKey = 0;
        DWORD dwValue = 0, cb = 0;
        if (ok(KSP(OpenProvider, "oom", &hKsp, E2E_KSP_NAME, 0))) {
            ok(KSP(GetProviderProperty, "oom", hKsp, NCRYPT_VERSION_PROPERTY, reinterpret_cast<PBYTE>(&dwValue), 4,
                   Size(&cb), 0));
        }
        const bool fKey = ok(KSP(OpenProvider, "oom", &hProvider, E2E_DOGWOOD_NAME, 0)) &&
                          ok(KSP(OpenKey, "oom", hProvider, &hKey, E2E_MAIN, AT_KEYEXCHANGE, 0));
        const Out signature = fKey ? Sign("oom", hProvider, hKey, &sha256, hash, 256) : Out{};
        if (fKey && ok(signature.status)) {
            ok(Verify("oom", hProvider, hKey, &sha256, hash, signature.bytes));
        }
        const Out ciphertext = fKey ? Crypt(true, "oom", hProvider, hKey, plaintext, 256) : Out{};
        if (fKey && ok(ciphertext.status)) {
            const Out decrypted = Crypt(false, "oom", hProvider, hKey, ciphertext.bytes, 256);
            if (ok(decrypted.status)) {
                EXPECT_EQ(plaintext, Bytes(decrypted.bytes.begin(), decrypted.bytes.begin() + decrypted.cb));
            }
        }
        QvnPlatformFailModuleMalloc(0);
        for (NCRYPT_PROV_HANDLE h : {hKsp, hProvider}) {
            EXPECT_EQ(h != 0 ? 0 : NTE_INVALID_HANDLE, KSP(FreeProvider, "oom", h)); // with its key
        }
        EXPECT_EQ(lBefore, Live()[3]) << "a failed allocation left blocks behind";
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
