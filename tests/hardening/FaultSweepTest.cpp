// One driver for every fault that the platform can inject. A scenario is a
// set-up through the table of a freshly loaded module and one call under
// test. The driver runs the call undisturbed to learn how many module
// allocations and which CryptoAPI calls it makes, then once with each
// allocation failing and once with each CryptoAPI call failing with each of
// several errors. Every run must end with:
// - the status that the failure stands for: NTE_NO_MEMORY for an allocation,
//   the last-error value for a CryptoAPI call (0 and plain Win32 codes too;
//   NTE_SILENT_CONTEXT as NTE_UI_REQUIRED, and the few codes that the call
//   sites translate), the undisturbed status for a release, whose failure the
//   module ignores while it works on;
// - nothing held that was not held before the call, and nothing at all once
//   the module is unloaded with its providers and keys still open;
// - no out-parameter, caller buffer or input written (a size may be set to 0);
// - the working buffer of encryption and decryption, which may hold
//   plaintext, zeroed before the module frees it;
// - the same call, made again undisturbed, giving the undisturbed result.
#include "CapiFailureStatus.h"
#include "Hardening.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

namespace hardening
{
namespace
{

constexpr ULONG_PTR kSentinel = 0x5E771E5;
constexpr DWORD kSentinelSize = 0xFEEDFACE;
constexpr BYTE kCanary = 0xA5;
// What each CryptoAPI call is made to fail with.
const DWORD kErrors[] = {0,
                         ERROR_ACCESS_DENIED,
                         static_cast<DWORD>(NTE_FAIL),
                         static_cast<DWORD>(NTE_SILENT_CONTEXT),
                         static_cast<DWORD>(NTE_KEYSET_NOT_DEF),
                         static_cast<DWORD>(NTE_NO_KEY),
                         static_cast<DWORD>(NTE_BAD_DATA)};

// Inputs and their known results, made by OpenSSL (the exchange pair).
struct Inputs {
    Bytes hash = qvntest::PatternBytes(32, 11);
    Bytes signature = qvntest::OpenSslSign(CachedTestKey(1024, 0), CALG_SHA_256, hash);
    Bytes plaintext = qvntest::PatternBytes(50, 12);
    Bytes ciphertext = qvntest::OpenSslEncrypt(CachedTestKey(1024, 0), plaintext);
    Bytes maxNameLength = {0x04, 0x01, 0x00, 0x00};
};
const Inputs &In()
{
    static const Inputs inputs;
    return inputs;
}

// The out-parameters of the call under test, preset so that a write shows.
struct Outs {
    NCRYPT_PROV_HANDLE hProvider = kSentinel;
    NCRYPT_KEY_HANDLE hKey = kSentinel;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = reinterpret_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(kSentinel);
    DWORD cbResult = kSentinelSize;
    Bytes output = Bytes(kKeyBytes, kCanary);
};

// One run: the module, what the set-up opened, the caller's inputs and outs.
struct Session {
    LoadedModule module;
    NCRYPT_PROV_HANDLE hKsp = 0, hAlder = 0;
    NCRYPT_KEY_HANDLE hExchange = 0, hSignature = 0;
    Bytes hash, input;
    Outs out;
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &T() const { return *module.table; }
    LONG Sign(PBYTE pbSignature)
    {
        BCRYPT_PKCS1_PADDING_INFO padding = {u"SHA256"};
        return T().SignHash(hAlder, hExchange, &padding, hash.data(), 32, pbSignature, kKeyBytes, &out.cbResult,
                            NCRYPT_PAD_PKCS1_FLAG);
    }
    LONG Crypt(bool fEncrypt, PBYTE pbOutput)
    {
        return (fEncrypt ? T().Encrypt : T().Decrypt)(hAlder, hExchange, input.data(), static_cast<DWORD>(input.size()),
                                                      nullptr, pbOutput, pbOutput ? kKeyBytes : 0, &out.cbResult,
                                                      NCRYPT_PAD_PKCS1_FLAG);
    }
};

// What the set-up opens, in this order: the key storage provider, Alder, and
// under Alder the exchange key and the signature key of kBothContainer.
enum SetUp { kKsp = 1, kAlder = 2, kExchange = 4, kSignature = 8 };

struct Scenario {
    const char *pszName;
    int setUp;
    LONG (*call)(Session &);
    LONG cleanStatus;
    const Bytes Inputs::*input = nullptr;    // the caller's input buffer, if any
    const Bytes Inputs::*expected = nullptr; // the exact output, if the call makes one
    bool fWipes = false;                     // its working buffer may hold plaintext
    LONG noMemoryStatus = NTE_NO_MEMORY;
};

const Scenario kScenarios[] = {
    // No set-up: the first entry call of a module also creates its provider manager.
    {"FirstCallOpensTheKeyStorageProvider", 0,
     [](Session &s) { return s.T().OpenProvider(&s.out.hProvider, kKspName, 0); }, ERROR_SUCCESS},
    {"FirstCallOpensACspProvider", 0,
     [](Session &s) { return s.T().OpenProvider(&s.out.hProvider, kAlderProvider, 0); }, ERROR_SUCCESS},
    {"OpenProviderOfAnUnknownName", kKsp,
     [](Session &s) { return s.T().OpenProvider(&s.out.hProvider, u"Quorvane Alder Cryptographic Provider ", 0); },
     NTE_INVALID_PARAMETER},
    {"GetKeyStorageInterface", 0,
     [](Session &s) { return LONG(s.module.getInterface(qvntest::kCedarProvider, &s.out.pTable, 0)); }, STATUS_SUCCESS,
     nullptr, nullptr, false, STATUS_UNSUCCESSFUL},
    {"GetProviderProperty", kKsp,
     [](Session &s) {
         return s.T().GetProviderProperty(s.hKsp, NCRYPT_MAX_NAME_LENGTH_PROPERTY, s.out.output.data(), 4,
                                          &s.out.cbResult, 0);
     },
     ERROR_SUCCESS, nullptr, &Inputs::maxNameLength},
    {"GetProviderPropertyOfAnUnknownName", kKsp,
     [](Session &s) {
         return s.T().GetProviderProperty(s.hKsp, u"Max Name Length ", s.out.output.data(), 4, &s.out.cbResult, 0);
     },
     NTE_NOT_SUPPORTED},
    {"OpenKey", kAlder,
     [](Session &s) {
         return s.T().OpenKey(s.hAlder, &s.out.hKey, kBothContainer, AT_KEYEXCHANGE, NCRYPT_SILENT_FLAG);
     },
     ERROR_SUCCESS},
    {"OpenKeyOfAMissingPair", kAlder,
     [](Session &s) { return s.T().OpenKey(s.hAlder, &s.out.hKey, kSignatureOnlyContainer, AT_KEYEXCHANGE, 0); },
     NTE_BAD_KEYSET},
    {"SignHash", kAlder | kExchange, [](Session &s) { return s.Sign(s.out.output.data()); }, ERROR_SUCCESS, nullptr,
     &Inputs::signature},
    {"SignHashSizeQuery", kAlder | kExchange, [](Session &s) { return s.Sign(nullptr); }, ERROR_SUCCESS},
    {"VerifySignature", kAlder | kExchange,
     [](Session &s) {
         BCRYPT_PKCS1_PADDING_INFO padding = {u"SHA256"};
         return s.T().VerifySignature(s.hAlder, s.hExchange, &padding, s.hash.data(), 32, s.input.data(), kKeyBytes,
                                      NCRYPT_PAD_PKCS1_FLAG);
     },
     ERROR_SUCCESS, &Inputs::signature},
    {"Encrypt", kAlder | kExchange, [](Session &s) { return s.Crypt(true, s.out.output.data()); }, ERROR_SUCCESS,
     &Inputs::plaintext, nullptr, true},
    {"EncryptSizeQuery", kAlder | kExchange, [](Session &s) { return s.Crypt(true, nullptr); }, ERROR_SUCCESS,
     &Inputs::plaintext},
    {"Decrypt", kAlder | kExchange, [](Session &s) { return s.Crypt(false, s.out.output.data()); }, ERROR_SUCCESS,
     &Inputs::ciphertext, &Inputs::plaintext, true},
    {"DecryptSizeQuery", kAlder | kExchange, [](Session &s) { return s.Crypt(false, nullptr); }, ERROR_SUCCESS,
     &Inputs::ciphertext},
    {"FreeKey", kAlder | kExchange, [](Session &s) { return s.T().FreeKey(s.hAlder, s.hExchange); }, ERROR_SUCCESS},
    {"FreeProviderWithKeysOpen", kAlder | kExchange | kSignature,
     [](Session &s) { return s.T().FreeProvider(s.hAlder); }, ERROR_SUCCESS},
    // The module's teardown releases what the caller left open.
    {"UnloadWithProvidersAndKeysOpen", kKsp | kAlder | kExchange | kSignature,
     [](Session &s) { return s.module.Unload(), LONG(ERROR_SUCCESS); }, ERROR_SUCCESS},
};

// The nth module allocation fails, or the nth call of a CryptoAPI function.
struct Fault {
    DWORD nthMalloc;
    std::string strFunction;
    DWORD nth;
    DWORD dwError;
    bool fOpensKey; // the call acquires a named container
};

// What the call under test did.
struct Outcome {
    LONG status = 0;
    Outs out;
    DWORD cMallocs = 0;
    std::vector<QVN_CALL_RECORD> calls;
    std::vector<std::string> functions; // of the calls
    bool fHeldOther = false;            // after the call the process held other than before it
    bool fInputsChanged = false;        // the hash or the input buffer was written
    bool fUnwipedBuffer = false;        // a block that may hold plaintext was freed unwiped
};

bool IsRelease(const std::string &strFunction)
{
    return strFunction == "CryptDestroyHash" || strFunction == "CryptDestroyKey" ||
           strFunction == "CryptReleaseContext";
}

void ExpectUndisturbedResult(const Scenario &sc, LONG status, const Outs &out)
{
    EXPECT_EQ(StatusText(sc.cleanStatus), StatusText(status));
    if (sc.expected != nullptr && status == ERROR_SUCCESS) {
        ASSERT_LE(out.cbResult, kKeyBytes);
        EXPECT_EQ(qvntest::Hex(In().*sc.expected),
                  qvntest::Hex(Bytes(out.output.begin(), out.output.begin() + out.cbResult)));
    }
}

Outcome RunOnce(const Scenario &sc, const Fault &fault, const Outcome *pClean)
{
    Outcome run;
    const Holdings start;
    {
        Session s;
        if (!s.module.Load()) {
            ADD_FAILURE() << "the module did not load";
            return run;
        }
        const LONG setUpStatuses[] = {
            sc.setUp & kKsp ? s.T().OpenProvider(&s.hKsp, kKspName, 0) : 0,
            sc.setUp & kAlder ? s.T().OpenProvider(&s.hAlder, kAlderProvider, 0) : 0,
            sc.setUp & kExchange ? s.T().OpenKey(s.hAlder, &s.hExchange, kBothContainer, AT_KEYEXCHANGE, 0) : 0,
            sc.setUp & kSignature ? s.T().OpenKey(s.hAlder, &s.hSignature, kBothContainer, AT_SIGNATURE, 0) : 0};
        EXPECT_EQ(std::vector<LONG>(4, 0), std::vector<LONG>(setUpStatuses, setUpStatuses + 4)) << "set-up";
        s.hash = In().hash;
        s.input = sc.input != nullptr ? In().*sc.input : Bytes();
        const Holdings before;
        QvnPlatformClearCallLog();
        QvnPlatformResetModuleCounters();
        QvnPlatformTrackModuleFrees(TRUE);
        QvnPlatformFailModuleMalloc(fault.nthMalloc);
        if (!fault.strFunction.empty()) {
            QvnPlatformFailCall(fault.strFunction.c_str(), fault.nth, fault.dwError);
        }
        run.status = sc.call(s);
        QvnPlatformFailModuleMalloc(0);
        QvnPlatformClearFailures();
        run.cMallocs = QvnPlatformModuleMallocCount();
        for (DWORD i = 0; i < QvnPlatformModuleFreeCount(); ++i) {
            SIZE_T cbBlock = 0;
            BOOL fAllZero = FALSE;
            QvnPlatformGetModuleFree(i, &cbBlock, &fAllZero);
            run.fUnwipedBuffer |= sc.fWipes && !fAllZero;
        }
        QvnPlatformTrackModuleFrees(FALSE);
        run.calls.resize(QvnPlatformGetCallCount());
        for (DWORD i = 0; i < run.calls.size(); ++i) {
            QvnPlatformGetCall(i, &run.calls[i]);
            run.functions.push_back(run.calls[i].szFunction);
            // A refused release leaves its handle with the platform, unless releasing
            // its context took it along: release it, so the counts show the module's.
            const ULONG_PTR h = run.calls[i].hHandle;
            if (!run.calls[i].fSucceeded && IsRelease(run.functions[i])) {
                const std::string &fn = run.functions[i];
                const BOOL fReleased = fn == "CryptDestroyHash"  ? CryptDestroyHash(h)
                                       : fn == "CryptDestroyKey" ? CryptDestroyKey(h)
                                                                 : CryptReleaseContext(h, 0);
                EXPECT_TRUE(fReleased || GetLastError() == ERROR_INVALID_PARAMETER) << StatusText(GetLastError());
            }
        }
        const Holdings after;
        for (int i = 0; i < 4; ++i) {
            // A first call (no set-up) may keep the provider manager that it made.
            run.fHeldOther |= after.counts[i] != before.counts[i] && !(i == 3 && sc.setUp == 0);
        }
        run.out = s.out;
        run.fInputsChanged = s.hash != In().hash || s.input != (sc.input != nullptr ? In().*sc.input : Bytes());
        if (pClean != nullptr && run.status != pClean->status) {
            SCOPED_TRACE("the same call made again, undisturbed");
            s.out = Outs();
            const LONG status = sc.call(s);
            ExpectUndisturbedResult(sc, status, s.out);
        }
    } // the module unloads with whatever is still open
    EXPECT_EQ(start, Holdings()) << "the run or the unload left something behind";
    return run;
}

void ExpectFailedCleanly(const Outcome &run)
{
    EXPECT_EQ(kSentinel, run.out.hProvider);
    EXPECT_EQ(kSentinel, run.out.hKey);
    EXPECT_EQ(kSentinel, reinterpret_cast<ULONG_PTR>(run.out.pTable));
    EXPECT_TRUE(run.out.cbResult == kSentinelSize || run.out.cbResult == 0) << run.out.cbResult;
    EXPECT_EQ(Bytes(kKeyBytes, kCanary), run.out.output) << "the caller's buffer was written";
    EXPECT_FALSE(run.fHeldOther) << "the failed call left something behind";
    EXPECT_FALSE(run.fInputsChanged) << "the caller's input was written";
    EXPECT_FALSE(run.fUnwipedBuffer) << "a working buffer was freed unwiped";
}

TEST(FaultSweep, EveryAllocationAndEveryCryptoCallFailingEndsTheCallCleanly)
{
    qvntest::ScopedStore store;
    ASSERT_NO_FATAL_FAILURE(PopulateStore());
    int cAllocationFaults = 0;
    int cCryptoFaults = 0;
    for (const Scenario &sc : kScenarios) {
        SCOPED_TRACE(sc.pszName);
        const Outcome clean = RunOnce(sc, {0, "", 0, 0, false}, nullptr);
        ExpectUndisturbedResult(sc, clean.status, clean.out);
        if (sc.expected == &Inputs::plaintext) {
            EXPECT_FALSE(clean.fUnwipedBuffer) << "the buffer that held the plaintext was freed unwiped";
        }
        std::vector<Fault> faults;
        for (DWORD k = 1; k <= clean.cMallocs; ++k) {
            faults.push_back({k, "", 0, 0, false});
        }
        for (size_t i = 0; i < clean.calls.size(); ++i) {
            const std::string &fn = clean.functions[i];
            const auto nth = 1 + std::count(clean.functions.begin(), clean.functions.begin() + i, fn);
            for (DWORD dwError : kErrors) {
                faults.push_back({0, fn, static_cast<DWORD>(nth), dwError, clean.calls[i].szContainer[0] != 0});
            }
        }
        EXPECT_FALSE(faults.empty()) << "the call makes no allocation and no CryptoAPI call";
        for (const Fault &fault : faults) {
            SCOPED_TRACE(fault.nthMalloc != 0 ? "allocation " + std::to_string(fault.nthMalloc) + " fails"
                                              : fault.strFunction + " #" + std::to_string(fault.nth) + " fails with " +
                                                    StatusText(static_cast<LONG>(fault.dwError)));
            const Outcome run = RunOnce(sc, fault, &clean);
            if (fault.nthMalloc != 0) {
                ++cAllocationFaults;
                EXPECT_EQ(StatusText(sc.noMemoryStatus), StatusText(run.status));
                ExpectFailedCleanly(run);
            } else if (++cCryptoFaults, IsRelease(fault.strFunction)) {
                EXPECT_EQ(StatusText(clean.status), StatusText(run.status));
                EXPECT_EQ(clean.functions, run.functions) << "a refused release cut the work short";
            } else {
                const LONG expected =
                    qvntest::StatusOfFailedCapiCall(fault.strFunction, fault.dwError, fault.fOpensKey);
                EXPECT_EQ(StatusText(expected), StatusText(run.status));
                ExpectFailedCleanly(run);
            }
            if (HasFailure()) {
                return; // the first broken run says enough
            }
        }
    }
    std::printf("fault sweep: %zu scenarios, %d allocation failures and %d CryptoAPI failures injected\n",
                std::size(kScenarios), cAllocationFaults, cCryptoFaults);
}

// Loading builds the four CSP names. An allocation failing then loses that
// one name, which becomes an unknown name to the module, and nothing else:
// the other names and the key storage provider work, the unload frees all.
TEST(FaultSweep, AnAllocationFailingWhileLoadingLosesOneCspNameAndNothingElse)
{
    qvntest::ScopedStore store;
    const Holdings start;
    const WCHAR *const csps[] = {qvntest::kAlderProvider, qvntest::kBirchProvider, qvntest::kCedarProvider,
                                 qvntest::kDogwoodProvider};
    std::vector<std::string> lost;
    for (DWORD k = 1; !HasFailure(); ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " of the load fails");
        const size_t cLostBefore = lost.size();
        LoadedModule module;
        QvnPlatformResetModuleCounters();
        QvnPlatformFailModuleMalloc(k);
        ASSERT_TRUE(module.LoadLibraryOnly());
        const bool fFailed = QvnPlatformModuleMallocCount() >= k;
        QvnPlatformFailModuleMalloc(0);
        ASSERT_TRUE(module.Load());
        for (const WCHAR *pszCsp : csps) {
            NCRYPT_PROV_HANDLE hProvider = 0;
            NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
            const LONG status = module.table->OpenProvider(&hProvider, pszCsp, 0);
            const LONG ntStatus = module.getInterface(pszCsp, &pTable, 0);
            if (status != ERROR_SUCCESS || ntStatus != STATUS_SUCCESS) {
                EXPECT_EQ(StatusText(NTE_INVALID_PARAMETER), StatusText(status));
                EXPECT_EQ(StatusText(STATUS_INVALID_PARAMETER), StatusText(ntStatus));
                lost.push_back(qvntest::Narrow(pszCsp));
            }
        }
        NCRYPT_PROV_HANDLE hKsp = 0;
        EXPECT_EQ(ERROR_SUCCESS, module.table->OpenProvider(&hKsp, kKspName, 0));
        EXPECT_EQ(fFailed ? 1u : 0u, lost.size() - cLostBefore);
        module.Unload();
        EXPECT_EQ(start, Holdings()) << "the unload left something behind";
        if (!fFailed) {
            break;
        }
    }
    std::sort(lost.begin(), lost.end());
    EXPECT_EQ(4u, lost.size());
    EXPECT_EQ(lost.end(), std::unique(lost.begin(), lost.end())) << "a name was lost twice";
}

} // namespace
} // namespace hardening
