// Running out of memory at every allocation of every operation: for each
// operation, the module's k-th malloc fails, for k = 1, 2, ... until the
// operation makes fewer than k allocations. Each failed run must return
// NTE_NO_MEMORY (GetKeyStorageInterface: STATUS_UNSUCCESSFUL), leave no
// allocation and no CryptoAPI handle behind, change no out-parameter that it
// must not change, leave the handles opened earlier working, and the same
// call made again must succeed.
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

// The handles that every run finds open, and inputs made once per test.
struct Context {
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
    GetKeyStorageInterfaceFn pfnGetInterface = nullptr;
    NCRYPT_PROV_HANDLE hKsp = 0;
    NCRYPT_PROV_HANDLE hAlder = 0;
    NCRYPT_KEY_HANDLE hExchange = 0;
    NCRYPT_KEY_HANDLE hSignature = 0;
    Bytes hash;       // a SHA-256 value
    Bytes signature;  // its signature by the exchange key, as CNG gives it
    Bytes ciphertext; // an encryption of plaintext for the exchange key
    Bytes plaintext;

    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &T() const { return *pTable; }
};

// The out-parameters and buffers of one run, preset to values that show
// whether the run wrote them.
struct CallState {
    NCRYPT_PROV_HANDLE hProvider = kSentinelHandle;
    NCRYPT_KEY_HANDLE hKey = kSentinelHandle;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = reinterpret_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(kSentinelHandle);
    DWORD cbResult = kSentinelSize;
    Bytes output = Bytes(kKeyBytes, kCanary);
    Bytes input;
    // What the preparation opened for the run to use.
    NCRYPT_PROV_HANDLE hPreparedProvider = 0;
    NCRYPT_KEY_HANDLE hPreparedKey = 0;
};

enum class Allocates { Some, None, Either };

struct AllocationScenario {
    const char *pszName;
    Allocates allocates;
    LONG successStatus; // what the run returns when no allocation fails
    LONG failureStatus;
    void (*prepare)(const Context &, CallState &); // may be null
    LONG (*run)(const Context &, CallState &);
    void (*expectUnchanged)(const Context &, const CallState &);    // after a failed run
    void (*cleanUp)(const Context &, CallState &, bool fSucceeded); // after every run
};

void NothingWritten(const Context &, const CallState &state)
{
    EXPECT_EQ(kSentinelHandle, state.hProvider);
    EXPECT_EQ(kSentinelHandle, state.hKey);
    EXPECT_EQ(kSentinelSize, state.cbResult);
    EXPECT_EQ(Bytes(kKeyBytes, kCanary), state.output);
}

// The data operations set the size to 0 before they allocate their buffer.
void SizeZeroedOutputUntouched(const Context &, const CallState &state)
{
    EXPECT_EQ(0u, state.cbResult);
    EXPECT_EQ(Bytes(kKeyBytes, kCanary), state.output);
}

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
    for (int i = 0; i < 2; ++i) {
        NCRYPT_KEY_HANDLE hKey = 0;
        ASSERT_EQ(ERROR_SUCCESS, ctx.T().OpenKey(state.hPreparedProvider, &hKey, kBothContainer, AT_SIGNATURE, 0));
    }
}

const AllocationScenario kScenarios[] = {
    {"OpenProviderOfTheKeyStorageProvider", Allocates::Some, ERROR_SUCCESS, NTE_NO_MEMORY, nullptr,
     [](const Context &ctx, CallState &state) { return ctx.T().OpenProvider(&state.hProvider, kKspName, 0); },
     NothingWritten, FreeOpenedProvider},
    {"OpenProviderOfACspName", Allocates::Some, ERROR_SUCCESS, NTE_NO_MEMORY, nullptr,
     [](const Context &ctx, CallState &state) { return ctx.T().OpenProvider(&state.hProvider, kAlderProvider, 0); },
     NothingWritten, FreeOpenedProvider},
    {"OpenProviderOfAnUnknownName", Allocates::Some, NTE_INVALID_PARAMETER, NTE_NO_MEMORY, nullptr,
     [](const Context &ctx, CallState &state) {
         return ctx.T().OpenProvider(&state.hProvider, u"Quorvane Alder Cryptographic Provider ", 0);
     },
     NothingWritten, KeepNothing},
    {"OpenKeyOfAKeyExchangePair", Allocates::Some, ERROR_SUCCESS, NTE_NO_MEMORY, nullptr,
     [](const Context &ctx, CallState &state) {
         return ctx.T().OpenKey(ctx.hAlder, &state.hKey, kBothContainer, AT_KEYEXCHANGE, NCRYPT_SILENT_FLAG);
     },
     NothingWritten, FreeOpenedKey},
    {"OpenKeyOfAMissingPair", Allocates::Some, NTE_BAD_KEYSET, NTE_NO_MEMORY, nullptr,
     [](const Context &ctx, CallState &state) {
         return ctx.T().OpenKey(ctx.hAlder, &state.hKey, kSignatureOnlyContainer, AT_KEYEXCHANGE, 0);
     },
     NothingWritten, KeepNothing},
    {"GetProviderProperty", Allocates::Some, ERROR_SUCCESS, NTE_NO_MEMORY, nullptr,
     [](const Context &ctx, CallState &state) {
         return ctx.T().GetProviderProperty(ctx.hKsp, NCRYPT_MAX_NAME_LENGTH_PROPERTY, state.output.data(), 4,
                                            &state.cbResult, 0);
     },
     NothingWritten, KeepNothing},
    {"GetProviderPropertyOfAnUnknownName", Allocates::Some, NTE_NOT_SUPPORTED, NTE_NO_MEMORY, nullptr,
     [](const Context &ctx, CallState &state) {
         return ctx.T().GetProviderProperty(ctx.hKsp, u"Max Name Length ", state.output.data(), 4, &state.cbResult, 0);
     },
     NothingWritten, KeepNothing},
    {"EnumAlgorithms", Allocates::Either, ERROR_SUCCESS, NTE_NO_MEMORY, nullptr,
     [](const Context &ctx, CallState &state) {
         return ctx.T().EnumAlgorithms(ctx.hKsp, 0, &state.cbResult, nullptr, 0);
     },
     NothingWritten, KeepNothing},
    // Signing writes into the caller's buffer: it has nothing to allocate.
    {"SignHash", Allocates::None, ERROR_SUCCESS, NTE_NO_MEMORY, nullptr,
     [](const Context &ctx, CallState &state) {
         BCRYPT_PKCS1_PADDING_INFO padding = {u"SHA256"};
         Bytes hash = ctx.hash;
         return ctx.T().SignHash(ctx.hAlder, ctx.hExchange, &padding, hash.data(), 32, state.output.data(), kKeyBytes,
                                 &state.cbResult, NCRYPT_PAD_PKCS1_FLAG);
     },
     NothingWritten, KeepNothing},
    {"VerifySignature", Allocates::Some, ERROR_SUCCESS, NTE_NO_MEMORY, nullptr,
     [](const Context &ctx, CallState &state) {
         BCRYPT_PKCS1_PADDING_INFO padding = {u"SHA256"};
         Bytes hash = ctx.hash;
         state.input = ctx.signature;
         return ctx.T().VerifySignature(ctx.hAlder, ctx.hExchange, &padding, hash.data(), 32, state.input.data(),
                                        kKeyBytes, NCRYPT_PAD_PKCS1_FLAG);
     },
     [](const Context &ctx, const CallState &state) { EXPECT_EQ(ctx.signature, state.input); }, KeepNothing},
    {"Encrypt", Allocates::Some, ERROR_SUCCESS, NTE_NO_MEMORY, nullptr,
     [](const Context &ctx, CallState &state) {
         state.input = ctx.plaintext;
         return ctx.T().Encrypt(ctx.hAlder, ctx.hExchange, state.input.data(), static_cast<DWORD>(state.input.size()),
                                nullptr, state.output.data(), kKeyBytes, &state.cbResult, NCRYPT_PAD_PKCS1_FLAG);
     },
     SizeZeroedOutputUntouched, KeepNothing},
    {"Decrypt", Allocates::Some, ERROR_SUCCESS, NTE_NO_MEMORY, nullptr,
     [](const Context &ctx, CallState &state) {
         state.input = ctx.ciphertext;
         return ctx.T().Decrypt(ctx.hAlder, ctx.hExchange, state.input.data(), kKeyBytes, nullptr, state.output.data(),
                                kKeyBytes, &state.cbResult, NCRYPT_PAD_PKCS1_FLAG);
     },
     SizeZeroedOutputUntouched, KeepNothing},
    {"FreeKey", Allocates::Either, ERROR_SUCCESS, NTE_NO_MEMORY, PrepareKey,
     [](const Context &ctx, CallState &state) { return ctx.T().FreeKey(ctx.hAlder, state.hPreparedKey); },
     NothingWritten,
     [](const Context &ctx, CallState &state, bool fSucceeded) {
         if (!fSucceeded) {
             EXPECT_EQ(ERROR_SUCCESS, ctx.T().FreeKey(ctx.hAlder, state.hPreparedKey));
         }
     }},
    {"FreeProviderWithKeysOpen", Allocates::Either, ERROR_SUCCESS, NTE_NO_MEMORY, PrepareProviderWithKeys,
     [](const Context &ctx, CallState &state) { return ctx.T().FreeProvider(state.hPreparedProvider); }, NothingWritten,
     [](const Context &ctx, CallState &state, bool fSucceeded) {
         if (!fSucceeded) {
             EXPECT_EQ(ERROR_SUCCESS, ctx.T().FreeProvider(state.hPreparedProvider));
         }
     }},
    {"GetKeyStorageInterface", Allocates::Some, STATUS_SUCCESS, STATUS_UNSUCCESSFUL, nullptr,
     [](const Context &ctx, CallState &state) {
         return static_cast<LONG>(ctx.pfnGetInterface(u"Quorvane Cedar Cryptographic Provider", &state.pTable, 0));
     },
     [](const Context &, const CallState &state) {
         EXPECT_EQ(reinterpret_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(kSentinelHandle), state.pTable);
     },
     [](const Context &ctx, CallState &state, bool fSucceeded) {
         if (fSucceeded) {
             EXPECT_EQ(ctx.pTable, state.pTable);
         }
     }},
};

// Failure messages name a scenario by its name.
void PrintTo(const AllocationScenario &scenario, std::ostream *pOs)
{
    *pOs << scenario.pszName;
}

int g_cInjected = 0;

class AllocationSweepTest : public qvntest::StoreTest, public ::testing::WithParamInterface<AllocationScenario>
{
protected:
    static void TearDownTestSuite()
    {
        std::printf("allocation sweep: %zu operations, %d injected allocation failures in all\n",
                    sizeof(kScenarios) / sizeof(kScenarios[0]), g_cInjected);
    }

    void SetUp() override
    {
        StoreTest::SetUp();
        ASSERT_TRUE(PopulateStore());
        std::string strError;
        ASSERT_TRUE(m_module.Load(strError)) << strError;
        m_ctx.pTable = &m_module.Table();
        m_ctx.pfnGetInterface = m_module.GetInterface();
        const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = m_module.Table();
        ASSERT_EQ(ERROR_SUCCESS, t.OpenProvider(&m_ctx.hKsp, kKspName, 0));
        ASSERT_EQ(ERROR_SUCCESS, t.OpenProvider(&m_ctx.hAlder, kAlderProvider, 0));
        ASSERT_EQ(ERROR_SUCCESS, t.OpenKey(m_ctx.hAlder, &m_ctx.hExchange, kBothContainer, AT_KEYEXCHANGE, 0));
        ASSERT_EQ(ERROR_SUCCESS, t.OpenKey(m_ctx.hAlder, &m_ctx.hSignature, kBothContainer, AT_SIGNATURE, 0));
        m_ctx.hash = qvntest::PatternBytes(32, 11);
        m_ctx.signature = qvntest::OpenSslSign(CachedTestKey(1024, 0), CALG_SHA_256, m_ctx.hash);
        m_ctx.plaintext = qvntest::PatternBytes(50, 12);
        m_ctx.ciphertext = qvntest::OpenSslEncrypt(CachedTestKey(1024, 0), m_ctx.plaintext);
        ASSERT_EQ(kKeyBytes, m_ctx.signature.size());
        ASSERT_EQ(kKeyBytes, m_ctx.ciphertext.size());
    }

    void TearDown() override
    {
        QvnPlatformFailModuleMalloc(0);
        if (m_module.IsLoaded()) {
            m_module.Table().FreeProvider(m_ctx.hKsp);
            m_module.Table().FreeProvider(m_ctx.hAlder);
            m_module.Unload();
        }
        StoreTest::TearDown();
    }

    // The handles opened before the sweep still do their work.
    void ExpectEarlierHandlesWork(unsigned uSeed)
    {
        const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = m_module.Table();
        ExpectKeySigns(t, m_ctx.hAlder, m_ctx.hExchange, CachedTestKey(1024, 0), uSeed);
        ExpectKeySigns(t, m_ctx.hAlder, m_ctx.hSignature, CachedTestKey(1024, 1), uSeed);
        DWORD dwVersion = 0;
        DWORD cbResult = 0;
        EXPECT_EQ(ERROR_SUCCESS, t.GetProviderProperty(m_ctx.hKsp, NCRYPT_VERSION_PROPERTY,
                                                       reinterpret_cast<PBYTE>(&dwVersion), 4, &cbResult, 0));
        EXPECT_EQ(0x00010000u, dwVersion);
    }

    // Runs the scenario with its k-th allocation failing, for every k; returns
    // the number of runs in which an allocation failed.
    int Sweep(const AllocationScenario &scenario)
    {
        int cInjected = 0;
        for (DWORD k = 1; k <= 200; ++k) {
            SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
            CallState state;
            if (scenario.prepare != nullptr) {
                scenario.prepare(m_ctx, state);
            }
            const Holdings before = Holdings::Now();
            QvnPlatformResetModuleCounters();
            QvnPlatformFailModuleMalloc(k);
            const LONG status = scenario.run(m_ctx, state);
            const DWORD cMallocs = QvnPlatformModuleMallocCount();
            QvnPlatformFailModuleMalloc(0);

            if (cMallocs < k) {
                // The k-th allocation never came: an undisturbed run.
                EXPECT_EQ(StatusText(scenario.successStatus), StatusText(status));
                if (scenario.allocates == Allocates::Some) {
                    EXPECT_GT(cInjected, 0) << "the operation allocated nothing";
                } else if (scenario.allocates == Allocates::None) {
                    EXPECT_EQ(0u, cMallocs) << "the operation allocated";
                }
                scenario.cleanUp(m_ctx, state, status == scenario.successStatus);
                return cInjected;
            }
            ++cInjected;
            EXPECT_EQ(StatusText(scenario.failureStatus), StatusText(status));
            EXPECT_EQ(before, Holdings::Now()) << "the failed run left something behind";
            scenario.expectUnchanged(m_ctx, state);
            scenario.cleanUp(m_ctx, state, false);
            ExpectEarlierHandlesWork(k);

            CallState again;
            if (scenario.prepare != nullptr) {
                scenario.prepare(m_ctx, again);
            }
            const LONG statusAgain = scenario.run(m_ctx, again);
            EXPECT_EQ(StatusText(scenario.successStatus), StatusText(statusAgain)) << "the next call";
            scenario.cleanUp(m_ctx, again, statusAgain == scenario.successStatus);
            if (HasFailure()) {
                break;
            }
        }
        ADD_FAILURE() << "the sweep did not end";
        return cInjected;
    }

    LoadedModule m_module;
    Context m_ctx;
};

TEST_P(AllocationSweepTest, EveryAllocationFailingEndsTheCallCleanly)
{
    const Holdings before = Holdings::Now();
    const int cInjected = Sweep(GetParam());
    std::printf("allocation sweep: %s: %d injected allocation failures\n", GetParam().pszName, cInjected);
    g_cInjected += cInjected;
    EXPECT_EQ(before, Holdings::Now());
}

INSTANTIATE_TEST_SUITE_P(Operations, AllocationSweepTest, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<AllocationScenario> &info) {
                             return std::string(info.param.pszName);
                         });

} // namespace
} // namespace hardening
