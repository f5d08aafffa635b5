// Every CryptoAPI call of every operation failing in turn. An undisturbed
// run of the operation lists, in the platform's call log, the calls it makes;
// then each of those calls is made to fail, with each of several errors, in
// a run of its own. A failed call must end the operation with the status
// that its error stands for (a failed release is ignored), leave no hash,
// key or context behind, leave its working buffers zeroed and the caller's
// out-parameters as they must be, and the key must go on working.
#include "CapiFailureStatus.h"
#include "HardeningSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace hardening
{
namespace
{

using qvntest::CachedTestKey;
using qvntest::kAlderProvider;

constexpr ULONG_PTR kSentinelHandle = 0x5E771E5;
constexpr DWORD kSentinelSize = 0xFEEDFACE;
constexpr BYTE kCanary = 0xA5;

struct Context {
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
    NCRYPT_PROV_HANDLE hAlder = 0;
    NCRYPT_KEY_HANDLE hExchange = 0;
    Bytes hash;
    Bytes signature;
    Bytes plaintext;
    Bytes ciphertext;

    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &T() const { return *pTable; }
};

struct CallState {
    NCRYPT_PROV_HANDLE hProvider = kSentinelHandle;
    NCRYPT_KEY_HANDLE hKey = kSentinelHandle;
    DWORD cbResult = kSentinelSize;
    Bytes output = Bytes(kKeyBytes, kCanary);
    Bytes input;
    NCRYPT_PROV_HANDLE hPreparedProvider = 0;
    NCRYPT_KEY_HANDLE hPreparedKey = 0;
};

// Where the failure fell: the function and which of its calls in the run.
struct FailedCall {
    std::string strFunction;
    DWORD nth;
};

enum class Wipe {
    None,
    OnFailure, // a run that fails may have plaintext in its buffer
    Always,    // every run has plaintext in its buffer
};

struct CryptoScenario {
    const char *pszName;
    bool fOpensKey; // NTE_KEYSET_NOT_DEF from acquiring a container means NTE_BAD_KEYSET
    Wipe wipe;      // which buffers that the module frees must be zeroed
    LONG cleanStatus;
    void (*prepare)(const Context &, CallState &); // may be null
    LONG (*run)(const Context &, CallState &);
    // What the caller finds after a run that the failed call ended.
    void (*expectAfterFailure)(const Context &, const CallState &, const FailedCall &);
    void (*cleanUp)(const Context &, CallState &, bool fSucceeded);
};

bool IsRelease(const std::string &strFunction)
{
    return strFunction == "CryptDestroyHash" || strFunction == "CryptDestroyKey" ||
           strFunction == "CryptReleaseContext";
}

// The errors that each call is made to fail with: three that pass through
// (one of them a plain Win32 code) or turn into NTE_UI_REQUIRED, and the one
// that the call's site turns into a status of its own.
std::vector<DWORD> ErrorsFor(const std::string &strFunction)
{
    std::vector<DWORD> errors = {static_cast<DWORD>(NTE_FAIL), ERROR_ACCESS_DENIED,
                                 static_cast<DWORD>(NTE_SILENT_CONTEXT)};
    if (strFunction == "CryptAcquireContextW") {
        errors.push_back(static_cast<DWORD>(NTE_KEYSET_NOT_DEF));
    } else if (strFunction == "CryptGetUserKey") {
        errors.push_back(static_cast<DWORD>(NTE_NO_KEY));
    } else if (strFunction == "CryptDecrypt") {
        errors.push_back(static_cast<DWORD>(NTE_BAD_DATA));
    } else if (strFunction == "CryptVerifySignatureW") {
        errors.push_back(static_cast<DWORD>(NTE_BAD_SIGNATURE));
    }
    return errors;
}

LONG ExpectedStatus(const CryptoScenario &scenario, const std::string &strFunction, DWORD dwError)
{
    if (IsRelease(strFunction)) {
        return scenario.cleanStatus; // the module ignores the result of a release
    }
    return qvntest::StatusOfFailedCapiCall(strFunction, dwError, scenario.fOpensKey);
}

// ---- What the caller finds after a failure --------------------------------------

void NoHandleWritten(const Context &, const CallState &state, const FailedCall &)
{
    EXPECT_EQ(kSentinelHandle, state.hProvider);
    EXPECT_EQ(kSentinelHandle, state.hKey);
}

void SizeUntouched(const Context &, const CallState &state, const FailedCall &)
{
    EXPECT_EQ(kSentinelSize, state.cbResult);
}

// Signing: the key length is asked before the size is set to 0; every later
// failure leaves 0. The caller's buffer is never written.
void AfterSignFailure(const Context &, const CallState &state, const FailedCall &failed)
{
    EXPECT_EQ(failed.strFunction == "CryptGetKeyParam" ? kSentinelSize : 0u, state.cbResult);
    EXPECT_EQ(Bytes(kKeyBytes, kCanary), state.output);
}

void SignatureUntouched(const Context &ctx, const CallState &state, const FailedCall &)
{
    EXPECT_EQ(ctx.signature, state.input);
}

// Encryption asks the key length twice while checking and a third time for
// its buffer, after it has set the size to 0.
void AfterEncryptFailure(const Context &, const CallState &state, const FailedCall &failed)
{
    const bool fWhileChecking = failed.strFunction == "CryptGetKeyParam" && failed.nth <= 2;
    EXPECT_EQ(fWhileChecking ? kSentinelSize : 0u, state.cbResult);
    EXPECT_EQ(Bytes(kKeyBytes, kCanary), state.output);
}

void AfterDecryptFailure(const Context &, const CallState &state, const FailedCall &failed)
{
    EXPECT_EQ(failed.strFunction == "CryptGetKeyParam" ? kSentinelSize : 0u, state.cbResult);
    EXPECT_EQ(Bytes(kKeyBytes, kCanary), state.output);
}

// ---- Clean-up -------------------------------------------------------------------------

void KeepNothing(const Context &, CallState &, bool) {}

void FreeOpenedProvider(const Context &ctx, CallState &state, bool fSucceeded)
{
    if (fSucceeded) {
        EXPECT_EQ(ERROR_SUCCESS, ctx.T().FreeProvider(state.hProvider));
    }
}

void FreeOpenedKey(const Context &ctx, CallState &state, bool fSucceeded)
{
    if (fSucceeded) {
        EXPECT_EQ(ERROR_SUCCESS, ctx.T().FreeKey(ctx.hAlder, state.hKey));
    }
}

void PrepareKey(const Context &ctx, CallState &state)
{
    ASSERT_EQ(ERROR_SUCCESS, ctx.T().OpenKey(ctx.hAlder, &state.hPreparedKey, kBothContainer, AT_KEYEXCHANGE, 0));
}

void PrepareProviderWithKeys(const Context &ctx, CallState &state)
{
    ASSERT_EQ(ERROR_SUCCESS, ctx.T().OpenProvider(&state.hPreparedProvider, kAlderProvider, 0));
    NCRYPT_KEY_HANDLE hKey = 0;
    ASSERT_EQ(ERROR_SUCCESS, ctx.T().OpenKey(state.hPreparedProvider, &hKey, kBothContainer, AT_KEYEXCHANGE, 0));
    ASSERT_EQ(ERROR_SUCCESS, ctx.T().OpenKey(state.hPreparedProvider, &hKey, kBothContainer, AT_SIGNATURE, 0));
}

LONG SignInto(const Context &ctx, CallState &state, PBYTE pbSignature)
{
    BCRYPT_PKCS1_PADDING_INFO padding = {u"SHA256"};
    Bytes hash = ctx.hash;
    return ctx.T().SignHash(ctx.hAlder, ctx.hExchange, &padding, hash.data(), 32, pbSignature, kKeyBytes,
                            &state.cbResult, NCRYPT_PAD_PKCS1_FLAG);
}

const CryptoScenario kScenarios[] = {
    {"OpenProvider", false, Wipe::None, ERROR_SUCCESS, nullptr,
     [](const Context &ctx, CallState &state) { return ctx.T().OpenProvider(&state.hProvider, kAlderProvider, 0); },
     NoHandleWritten, FreeOpenedProvider},
    {"OpenKey", true, Wipe::None, ERROR_SUCCESS, nullptr,
     [](const Context &ctx, CallState &state) {
         return ctx.T().OpenKey(ctx.hAlder, &state.hKey, kBothContainer, AT_KEYEXCHANGE, 0);
     },
     NoHandleWritten, FreeOpenedKey},
    {"OpenKeyOfAMissingPair", true, Wipe::None, NTE_BAD_KEYSET, nullptr,
     [](const Context &ctx, CallState &state) {
         return ctx.T().OpenKey(ctx.hAlder, &state.hKey, kSignatureOnlyContainer, AT_KEYEXCHANGE, 0);
     },
     NoHandleWritten, KeepNothing},
    {"FreeKey", false, Wipe::None, ERROR_SUCCESS, PrepareKey,
     [](const Context &ctx, CallState &state) { return ctx.T().FreeKey(ctx.hAlder, state.hPreparedKey); },
     NoHandleWritten, KeepNothing},
    {"FreeProviderWithKeysOpen", false, Wipe::None, ERROR_SUCCESS, PrepareProviderWithKeys,
     [](const Context &ctx, CallState &state) { return ctx.T().FreeProvider(state.hPreparedProvider); },
     NoHandleWritten, KeepNothing},
    {"SignHash", false, Wipe::None, ERROR_SUCCESS, nullptr,
     [](const Context &ctx, CallState &state) { return SignInto(ctx, state, state.output.data()); }, AfterSignFailure,
     KeepNothing},
    {"SignHashSizeQuery", false, Wipe::None, ERROR_SUCCESS, nullptr,
     [](const Context &ctx, CallState &state) { return SignInto(ctx, state, nullptr); }, SizeUntouched, KeepNothing},
    {"VerifySignature", false, Wipe::None, ERROR_SUCCESS, nullptr,
     [](const Context &ctx, CallState &state) {
         BCRYPT_PKCS1_PADDING_INFO padding = {u"SHA256"};
         Bytes hash = ctx.hash;
         state.input = ctx.signature;
         return ctx.T().VerifySignature(ctx.hAlder, ctx.hExchange, &padding, hash.data(), 32, state.input.data(),
                                        kKeyBytes, NCRYPT_PAD_PKCS1_FLAG);
     },
     SignatureUntouched, KeepNothing},
    {"Encrypt", false, Wipe::OnFailure, ERROR_SUCCESS, nullptr,
     [](const Context &ctx, CallState &state) {
         state.input = ctx.plaintext;
         return ctx.T().Encrypt(ctx.hAlder, ctx.hExchange, state.input.data(), static_cast<DWORD>(state.input.size()),
                                nullptr, state.output.data(), kKeyBytes, &state.cbResult, NCRYPT_PAD_PKCS1_FLAG);
     },
     AfterEncryptFailure, KeepNothing},
    {"EncryptSizeQuery", false, Wipe::None, ERROR_SUCCESS, nullptr,
     [](const Context &ctx, CallState &state) {
         state.input = ctx.plaintext;
         return ctx.T().Encrypt(ctx.hAlder, ctx.hExchange, state.input.data(), static_cast<DWORD>(state.input.size()),
                                nullptr, nullptr, 0, &state.cbResult, NCRYPT_PAD_PKCS1_FLAG);
     },
     SizeUntouched, KeepNothing},
    {"Decrypt", false, Wipe::Always, ERROR_SUCCESS, nullptr,
     [](const Context &ctx, CallState &state) {
         state.input = ctx.ciphertext;
         return ctx.T().Decrypt(ctx.hAlder, ctx.hExchange, state.input.data(), kKeyBytes, nullptr, state.output.data(),
                                kKeyBytes, &state.cbResult, NCRYPT_PAD_PKCS1_FLAG);
     },
     AfterDecryptFailure, KeepNothing},
    {"DecryptSizeQuery", false, Wipe::None, ERROR_SUCCESS, nullptr,
     [](const Context &ctx, CallState &state) {
         state.input = ctx.ciphertext;
         return ctx.T().Decrypt(ctx.hAlder, ctx.hExchange, state.input.data(), kKeyBytes, nullptr, nullptr, 0,
                                &state.cbResult, NCRYPT_PAD_PKCS1_FLAG);
     },
     SizeUntouched, KeepNothing},
};

// The calls of the log since it was last cleared.
std::vector<QVN_CALL_RECORD> LoggedCalls()
{
    std::vector<QVN_CALL_RECORD> calls;
    const DWORD cCalls = QvnPlatformGetCallCount();
    for (DWORD i = 0; i < cCalls; ++i) {
        QVN_CALL_RECORD record;
        if (QvnPlatformGetCall(i, &record)) {
            calls.push_back(record);
        }
    }
    return calls;
}

// A release that was made to fail left its handle with the platform, unless
// releasing the context it belonged to took it along: release it, so that
// the holdings show what the module itself left.
void ReleaseRefusedHandles()
{
    for (const QVN_CALL_RECORD &record : LoggedCalls()) {
        const std::string strFunction(record.szFunction);
        if (record.fSucceeded || !IsRelease(strFunction)) {
            continue;
        }
        const BOOL fReleased = strFunction == "CryptDestroyHash"  ? CryptDestroyHash(record.hHandle)
                               : strFunction == "CryptDestroyKey" ? CryptDestroyKey(record.hHandle)
                                                                  : CryptReleaseContext(record.hHandle, 0);
        EXPECT_TRUE(fReleased || GetLastError() == ERROR_INVALID_PARAMETER)
            << "releasing the refused handle failed with " << StatusText(GetLastError());
    }
}

// How many blocks the module freed since tracking began, and how many of
// them were not all zero.
std::pair<DWORD, DWORD> FreedBlocks()
{
    DWORD cNotZero = 0;
    const DWORD cFrees = QvnPlatformModuleFreeCount();
    for (DWORD i = 0; i < cFrees; ++i) {
        SIZE_T cbBlock = 0;
        BOOL fAllZero = FALSE;
        if (QvnPlatformGetModuleFree(i, &cbBlock, &fAllZero) && !fAllZero) {
            ++cNotZero;
        }
    }
    return {cFrees, cNotZero};
}

// Failure messages name a scenario by its name.
void PrintTo(const CryptoScenario &scenario, std::ostream *pOs)
{
    *pOs << scenario.pszName;
}

int g_cInjected = 0;

class CryptoFailureSweepTest : public qvntest::StoreTest, public ::testing::WithParamInterface<CryptoScenario>
{
protected:
    static void TearDownTestSuite()
    {
        std::printf("CryptoAPI failure sweep: %zu operations and the unload: %d injected CryptoAPI failures in all\n",
                    sizeof(kScenarios) / sizeof(kScenarios[0]), g_cInjected);
    }

    void SetUp() override
    {
        StoreTest::SetUp();
        ASSERT_TRUE(PopulateStore());
        std::string strError;
        ASSERT_TRUE(m_module.Load(strError)) << strError;
        m_ctx.pTable = &m_module.Table();
        ASSERT_EQ(ERROR_SUCCESS, m_ctx.T().OpenProvider(&m_ctx.hAlder, kAlderProvider, 0));
        ASSERT_EQ(ERROR_SUCCESS, m_ctx.T().OpenKey(m_ctx.hAlder, &m_ctx.hExchange, kBothContainer, AT_KEYEXCHANGE, 0));
        m_ctx.hash = qvntest::PatternBytes(32, 21);
        m_ctx.signature = qvntest::OpenSslSign(CachedTestKey(1024, 0), CALG_SHA_256, m_ctx.hash);
        m_ctx.plaintext = qvntest::PatternBytes(60, 22);
        m_ctx.ciphertext = qvntest::OpenSslEncrypt(CachedTestKey(1024, 0), m_ctx.plaintext);
    }

    void TearDown() override
    {
        QvnPlatformClearFailures();
        QvnPlatformTrackModuleFrees(FALSE);
        if (m_module.IsLoaded()) {
            m_ctx.T().FreeProvider(m_ctx.hAlder);
            m_module.Unload();
        }
        StoreTest::TearDown();
    }

    // The CryptoAPI calls of an undisturbed run, each as the nth call of its
    // function.
    std::vector<FailedCall> CallsOfACleanRun(const CryptoScenario &scenario)
    {
        CallState state;
        if (scenario.prepare != nullptr) {
            scenario.prepare(m_ctx, state);
        }
        QvnPlatformClearCallLog();
        QvnPlatformTrackModuleFrees(TRUE);
        const LONG status = scenario.run(m_ctx, state);
        const std::pair<DWORD, DWORD> freed = FreedBlocks();
        QvnPlatformTrackModuleFrees(FALSE);
        EXPECT_EQ(StatusText(scenario.cleanStatus), StatusText(status));
        if (scenario.wipe == Wipe::Always) {
            // A decryption's buffer held the plaintext: it is zeroed too.
            EXPECT_EQ(0u, freed.second) << "a successful run freed its buffer unwiped";
            EXPECT_EQ(1u, freed.first);
        }
        std::vector<FailedCall> calls;
        for (const QVN_CALL_RECORD &record : LoggedCalls()) {
            const std::string strFunction(record.szFunction);
            DWORD nth = 1;
            for (const FailedCall &earlier : calls) {
                nth += earlier.strFunction == strFunction ? 1 : 0;
            }
            calls.push_back({strFunction, nth});
        }
        scenario.cleanUp(m_ctx, state, status == ERROR_SUCCESS);
        return calls;
    }

    void ExpectKeyWorks(unsigned uSeed)
    {
        ExpectKeySigns(m_ctx.T(), m_ctx.hAlder, m_ctx.hExchange, CachedTestKey(1024, 0), uSeed);
        ExpectKeyEncrypts(m_ctx.T(), m_ctx.hAlder, m_ctx.hExchange, CachedTestKey(1024, 0), uSeed);
    }

    LoadedModule m_module;
    Context m_ctx;
};

TEST_P(CryptoFailureSweepTest, EveryCryptoCallFailingEndsTheCallCleanly)
{
    const CryptoScenario &scenario = GetParam();
    const std::vector<FailedCall> calls = CallsOfACleanRun(scenario);
    ASSERT_FALSE(calls.empty()) << "the operation makes no CryptoAPI call";
    const Holdings start = Holdings::Now();

    int cInjected = 0;
    for (const FailedCall &failed : calls) {
        for (DWORD dwError : ErrorsFor(failed.strFunction)) {
            SCOPED_TRACE(failed.strFunction + " #" + std::to_string(failed.nth) + " fails with " +
                         StatusText(static_cast<LONG>(dwError)));
            CallState state;
            if (scenario.prepare != nullptr) {
                scenario.prepare(m_ctx, state);
            }
            const Holdings before = Holdings::Now();
            QvnPlatformClearCallLog();
            QvnPlatformTrackModuleFrees(TRUE);
            QvnPlatformFailCall(failed.strFunction.c_str(), failed.nth, dwError);
            const LONG status = scenario.run(m_ctx, state);
            QvnPlatformClearFailures();
            const std::pair<DWORD, DWORD> freed = FreedBlocks();
            QvnPlatformTrackModuleFrees(FALSE);
            ++cInjected;

            EXPECT_EQ(StatusText(ExpectedStatus(scenario, failed.strFunction, dwError)), StatusText(status));
            if (IsRelease(failed.strFunction)) {
                ReleaseRefusedHandles();
                scenario.cleanUp(m_ctx, state, status == scenario.cleanStatus);
            } else {
                EXPECT_EQ(before, Holdings::Now()) << "the failed run left something behind";
                scenario.expectAfterFailure(m_ctx, state, failed);
                if (scenario.wipe != Wipe::None) {
                    EXPECT_EQ(0u, freed.second) << "a working buffer was freed unwiped";
                    if (failed.strFunction == "CryptEncrypt" || failed.strFunction == "CryptDecrypt") {
                        EXPECT_EQ(1u, freed.first) << "the working buffer was not released";
                    }
                }
                scenario.cleanUp(m_ctx, state, false);
            }
            EXPECT_EQ(start, Holdings::Now());
            ExpectKeyWorks(cInjected);

            CallState again;
            if (scenario.prepare != nullptr) {
                scenario.prepare(m_ctx, again);
            }
            const LONG statusAgain = scenario.run(m_ctx, again);
            EXPECT_EQ(StatusText(scenario.cleanStatus), StatusText(statusAgain)) << "the next call";
            scenario.cleanUp(m_ctx, again, statusAgain == ERROR_SUCCESS);
            if (HasFailure()) {
                break;
            }
        }
        if (HasFailure()) {
            break;
        }
    }
    std::printf("CryptoAPI failure sweep: %s: %zu calls, %d injected failures\n", scenario.pszName, calls.size(),
                cInjected);
    g_cInjected += cInjected;
}

INSTANTIATE_TEST_SUITE_P(Operations, CryptoFailureSweepTest, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<CryptoScenario> &info) {
                             return std::string(info.param.pszName);
                         });

// Unloading the module with a provider and its keys still open: each release
// that the teardown makes, made to fail in turn, costs that one handle and
// nothing else.
TEST(CryptoFailureTeardownTest, EveryReleaseFailingAtUnloadCostsOnlyThatHandle)
{
    qvntest::ScopedStore store;
    ASSERT_TRUE(PopulateStore());
    const Holdings before = Holdings::Now();

    // Opens what the teardown must release; returns the teardown's calls.
    auto openEverything = [](LoadedModule &module) {
        std::string strError;
        ASSERT_TRUE(module.Load(strError)) << strError;
        const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = module.Table();
        NCRYPT_PROV_HANDLE hKsp = 0;
        NCRYPT_PROV_HANDLE hAlder = 0;
        NCRYPT_KEY_HANDLE hKey = 0;
        ASSERT_EQ(ERROR_SUCCESS, t.OpenProvider(&hKsp, kKspName, 0));
        ASSERT_EQ(ERROR_SUCCESS, t.OpenProvider(&hAlder, kAlderProvider, 0));
        ASSERT_EQ(ERROR_SUCCESS, t.OpenKey(hAlder, &hKey, kBothContainer, AT_KEYEXCHANGE, 0));
        ASSERT_EQ(ERROR_SUCCESS, t.OpenKey(hAlder, &hKey, kBothContainer, AT_SIGNATURE, 0));
    };

    std::vector<FailedCall> calls;
    {
        LoadedModule module;
        openEverything(module);
        QvnPlatformClearCallLog();
        module.Unload();
        for (const QVN_CALL_RECORD &record : LoggedCalls()) {
            const std::string strFunction(record.szFunction);
            EXPECT_TRUE(record.fSucceeded) << strFunction;
            DWORD nth = 1;
            for (const FailedCall &earlier : calls) {
                nth += earlier.strFunction == strFunction ? 1 : 0;
            }
            calls.push_back({strFunction, nth});
        }
    }
    // The verification context, and two keys each with their context.
    ASSERT_EQ(5u, calls.size());
    EXPECT_EQ(before, Holdings::Now());

    int cInjected = 0;
    for (const FailedCall &failed : calls) {
        SCOPED_TRACE(failed.strFunction + " #" + std::to_string(failed.nth) + " fails");
        LoadedModule module;
        openEverything(module);
        QvnPlatformClearCallLog();
        QvnPlatformFailCall(failed.strFunction.c_str(), failed.nth, static_cast<DWORD>(NTE_FAIL));
        module.Unload();
        QvnPlatformClearFailures();
        ++cInjected;
        const std::vector<QVN_CALL_RECORD> logged = LoggedCalls();
        EXPECT_EQ(calls.size(), logged.size()) << "the teardown stopped at the failed release";
        ReleaseRefusedHandles();
        EXPECT_EQ(before, Holdings::Now());
    }
    g_cInjected += cInjected;
}

} // namespace
} // namespace hardening
