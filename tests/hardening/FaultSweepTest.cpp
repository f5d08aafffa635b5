// One driver for every fault that the platform can inject. A scenario is a
// set-up through the table of a freshly loaded module and one call under
// test. The driver runs the call undisturbed, to learn how many module
// allocations and which CryptoAPI calls it makes, then once with each
// allocation failing and once with each CryptoAPI call failing with each of
// several errors. Every run must end with:
// - the status that the failure stands for: NTE_NO_MEMORY for an allocation;
//   for a CryptoAPI call its last-error value, 0 and plain Win32 codes too
//   (NTE_SILENT_CONTEXT becomes NTE_UI_REQUIRED, and the call sites translate
//   a few codes); for a release the undisturbed status: the module ignores it;
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
#include <vector>

namespace hardening
{
namespace
{

constexpr ULONG_PTR kSentinel = 0x5E771E5;
constexpr DWORD kSentinelSize = 0xFEEDFACE;
constexpr BYTE kCanary = 0xA5;
const LONG kErrors[] = {0,          ERROR_ACCESS_DENIED, NTE_FAIL, NTE_SILENT_CONTEXT, NTE_KEYSET_NOT_DEF,
                        NTE_NO_KEY, NTE_BAD_DATA};

// Inputs and their known results, made by OpenSSL with the exchange pair.
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
    LONG Crypt(bool fEncrypt)
    {
        return (fEncrypt ? T().Encrypt : T().Decrypt)(hAlder, hExchange, input.data(), static_cast<DWORD>(input.size()),
                                                      nullptr, out.output.data(), kKeyBytes, &out.cbResult,
                                                      NCRYPT_PAD_PKCS1_FLAG);
    }
};

// A first call is made on a fresh module, every other call after the set-up
// has opened the Session's handles. A call that opens and frees nothing must
// leave the process holding what it held.
enum Kind { kFirstCall, kOpensOrFrees, kHoldsNothingNew };

struct Scenario {
    const char *pszName;
    Kind kind;
    LONG (*call)(Session &);
    LONG cleanStatus;
    const Bytes Inputs::*input = nullptr;    // the caller's input buffer, if any
    const Bytes Inputs::*expected = nullptr; // the exact output, if the call makes one
    bool fWipes = false;                     // its working buffer may hold plaintext
    LONG noMemoryStatus = NTE_NO_MEMORY;
};

const Scenario kScenarios[] = {
    // The first entry call of a module also creates its provider manager.
    {"FirstCallOpensTheKeyStorageProvider", kFirstCall,
     [](Session &s) { return s.T().OpenProvider(&s.out.hProvider, kKspName, 0); }, ERROR_SUCCESS},
    {"FirstCallOpensACspProvider", kFirstCall,
     [](Session &s) { return s.T().OpenProvider(&s.out.hProvider, kAlderProvider, 0); }, ERROR_SUCCESS},
    {"GetKeyStorageInterface", kHoldsNothingNew,
     [](Session &s) { return LONG(s.module.getInterface(qvntest::kCedarProvider, &s.out.pTable, 0)); }, STATUS_SUCCESS,
     nullptr, nullptr, false, STATUS_UNSUCCESSFUL},
    {"GetProviderProperty", kHoldsNothingNew,
     [](Session &s) {
         return s.T().GetProviderProperty(s.hKsp, NCRYPT_MAX_NAME_LENGTH_PROPERTY, s.out.output.data(), 4,
                                          &s.out.cbResult, 0);
     },
     ERROR_SUCCESS, nullptr, &Inputs::maxNameLength},
    {"OpenKey", kOpensOrFrees,
     [](Session &s) { return s.T().OpenKey(s.hAlder, &s.out.hKey, kExchangeContainer, AT_KEYEXCHANGE, 0); },
     ERROR_SUCCESS},
    {"OpenKeyOfAMissingPair", kHoldsNothingNew,
     [](Session &s) { return s.T().OpenKey(s.hAlder, &s.out.hKey, kSignatureContainer, AT_KEYEXCHANGE, 0); },
     NTE_BAD_KEYSET},
    {"SignHash", kHoldsNothingNew,
     [](Session &s) {
         BCRYPT_PKCS1_PADDING_INFO padding = {u"SHA256"};
         return s.T().SignHash(s.hAlder, s.hExchange, &padding, s.hash.data(), 32, s.out.output.data(), kKeyBytes,
                               &s.out.cbResult, NCRYPT_PAD_PKCS1_FLAG);
     },
     ERROR_SUCCESS, nullptr, &Inputs::signature},
    {"VerifySignature", kHoldsNothingNew,
     [](Session &s) {
         BCRYPT_PKCS1_PADDING_INFO padding = {u"SHA256"};
         return s.T().VerifySignature(s.hAlder, s.hExchange, &padding, s.hash.data(), 32, s.input.data(), kKeyBytes,
                                      NCRYPT_PAD_PKCS1_FLAG);
     },
     ERROR_SUCCESS, &Inputs::signature},
    {"Encrypt", kHoldsNothingNew, [](Session &s) { return s.Crypt(true); }, ERROR_SUCCESS, &Inputs::plaintext,
     &Inputs::plaintext, true},
    {"Decrypt", kHoldsNothingNew, [](Session &s) { return s.Crypt(false); }, ERROR_SUCCESS, &Inputs::ciphertext,
     &Inputs::plaintext, true},
    {"FreeKey", kOpensOrFrees, [](Session &s) { return s.T().FreeKey(s.hAlder, s.hExchange); }, ERROR_SUCCESS},
    {"FreeProviderWithKeysOpen", kOpensOrFrees, [](Session &s) { return s.T().FreeProvider(s.hAlder); }, ERROR_SUCCESS},
    // The module's teardown releases what the caller left open.
    {"UnloadWithProvidersAndKeysOpen", kOpensOrFrees, [](Session &s) { return s.module.Unload(), LONG(ERROR_SUCCESS); },
     ERROR_SUCCESS},
};

// The nth module allocation fails, or the nth call of a CryptoAPI function.
struct Fault {
    DWORD nthMalloc;
    std::string strFunction;
    DWORD nth;
    LONG error;
    LONG expected; // the status that the failure stands for
};

// What an undisturbed run of the call does, for the runs with a fault to follow.
struct Outcome {
    LONG status = 0;
    DWORD cMallocs = 0;
    std::vector<QVN_CALL_RECORD> calls;
    std::vector<std::string> functions; // of the calls
};

bool IsRelease(const std::string &fn)
{
    return fn == "CryptDestroyHash" || fn == "CryptDestroyKey" || fn == "CryptReleaseContext";
}

// The exact output of an undisturbed call.
void ExpectOutput(const Scenario &sc, const Outs &out)
{
    if (sc.expected != nullptr) {
        ASSERT_LE(out.cbResult, kKeyBytes);
        Bytes output(out.output.begin(), out.output.begin() + out.cbResult);
        if (sc.input == &Inputs::plaintext) { // a ciphertext, random: OpenSSL decrypts it
            output = qvntest::OpenSslDecrypt(CachedTestKey(1024, 0), output).value_or(Bytes());
        }
        EXPECT_EQ(qvntest::Hex(In().*sc.expected), qvntest::Hex(output));
    }
}

// Runs the scenario on a freshly loaded module with the fault injected into
// the call under test, and checks what the run must end with. Without
// pClean the run is the undisturbed one.
Outcome RunAndCheck(const Scenario &sc, const Fault &fault, const Outcome *pClean)
{
    Outcome run;
    const Holdings start = Held();
    {
        Session s;
        if (sc.kind != kFirstCall) {
            EXPECT_EQ(ERROR_SUCCESS, s.T().OpenProvider(&s.hKsp, kKspName, 0));
            EXPECT_EQ(ERROR_SUCCESS, s.T().OpenProvider(&s.hAlder, kAlderProvider, 0));
            EXPECT_EQ(ERROR_SUCCESS, s.T().OpenKey(s.hAlder, &s.hExchange, kExchangeContainer, AT_KEYEXCHANGE, 0));
            EXPECT_EQ(ERROR_SUCCESS, s.T().OpenKey(s.hAlder, &s.hSignature, kSignatureContainer, AT_SIGNATURE, 0));
        }
        s.hash = In().hash;
        s.input = sc.input != nullptr ? In().*sc.input : Bytes();
        const Holdings before = Held();
        QvnPlatformClearCallLog();
        QvnPlatformResetModuleCounters();
        QvnPlatformTrackModuleFrees(TRUE);
        QvnPlatformFailModuleMalloc(fault.nthMalloc);
        if (!fault.strFunction.empty()) {
            QvnPlatformFailCall(fault.strFunction.c_str(), fault.nth, static_cast<DWORD>(fault.error));
        }
        run.status = sc.call(s);
        QvnPlatformFailModuleMalloc(0);
        QvnPlatformClearFailures();
        run.cMallocs = QvnPlatformModuleMallocCount();
        bool fUnwiped = false; // a buffer that may hold plaintext was freed unwiped
        for (DWORD i = 0; i < QvnPlatformModuleFreeCount(); ++i) {
            SIZE_T cbBlock = 0;
            BOOL fAllZero = FALSE;
            QvnPlatformGetModuleFree(i, &cbBlock, &fAllZero);
            fUnwiped |= sc.fWipes && !fAllZero;
        }
        QvnPlatformTrackModuleFrees(FALSE);
        run.calls.resize(QvnPlatformGetCallCount());
        for (DWORD i = 0; i < run.calls.size(); ++i) {
            QvnPlatformGetCall(i, &run.calls[i]);
            const std::string fn = run.calls[i].szFunction;
            run.functions.push_back(fn);
            // Releases succeed, but for the one that the fault refuses. That one leaves
            // its handle with the platform, unless releasing its context took it along:
            // the test releases it, so that the counts show what the module holds.
            const ULONG_PTR h = run.calls[i].hHandle;
            EXPECT_TRUE(run.calls[i].fSucceeded || !IsRelease(fn) || fn == fault.strFunction) << fn << " failed";
            if (!run.calls[i].fSucceeded && IsRelease(fn)) {
                const BOOL fReleased = fn == "CryptDestroyHash"  ? CryptDestroyHash(h)
                                       : fn == "CryptDestroyKey" ? CryptDestroyKey(h)
                                                                 : CryptReleaseContext(h, 0);
                EXPECT_TRUE(fReleased || GetLastError() == ERROR_INVALID_PARAMETER) << StatusText(GetLastError());
            }
        }
        Holdings after = Held();
        after[3] = sc.kind == kFirstCall ? before[3] : after[3]; // a first call may keep the manager it made

        EXPECT_EQ(StatusText(fault.expected), StatusText(run.status));
        if (pClean == nullptr) {
            ExpectOutput(sc, s.out);
            EXPECT_FALSE(sc.input == &Inputs::ciphertext && fUnwiped) << "the plaintext was freed unwiped";
            EXPECT_TRUE(sc.kind != kHoldsNothingNew || before == after) << "the call left something behind";
        } else if (IsRelease(fault.strFunction)) {
            EXPECT_EQ(pClean->functions, run.functions) << "a refused release cut the work short";
        } else {
            const auto written = [](const Outs &o) { // a size set to 0 is allowed
                return std::make_tuple(o.hProvider, o.hKey, o.pTable, o.output,
                                       o.cbResult ? o.cbResult : kSentinelSize);
            };
            EXPECT_EQ(written(Outs()), written(s.out)) << "an out-parameter or the caller's buffer was written";
            EXPECT_EQ(before, after) << "the failed call left something behind";
            EXPECT_EQ(In().hash, s.hash) << "the caller's hash was written";
            EXPECT_EQ(sc.input != nullptr ? In().*sc.input : Bytes(), s.input) << "the caller's input was written";
            EXPECT_FALSE(fUnwiped) << "a working buffer was freed unwiped";
        }
        if (pClean != nullptr && run.status != pClean->status) {
            SCOPED_TRACE("the same call made again, undisturbed");
            s.out = Outs();
            EXPECT_EQ(StatusText(sc.cleanStatus), StatusText(sc.call(s)));
            ExpectOutput(sc, s.out);
        }
    } // the module unloads with whatever is still open
    EXPECT_EQ(start, Held()) << "the run or the unload left something behind";
    return run;
}

TEST(FaultSweep, EveryAllocationAndEveryCryptoCallFailingEndsTheCallCleanly)
{
    qvntest::ScopedStore store;
    ASSERT_NO_FATAL_FAILURE(PopulateStore());
    int cAllocationFaults = 0;
    int cCryptoFaults = 0;
    for (const Scenario &sc : kScenarios) {
        SCOPED_TRACE(sc.pszName);
        const Outcome clean = RunAndCheck(sc, {0, "", 0, 0, sc.cleanStatus}, nullptr);
        std::vector<Fault> faults;
        for (DWORD k = 1; k <= clean.cMallocs; ++k) {
            faults.push_back({k, "", 0, 0, sc.noMemoryStatus});
        }
        for (size_t i = 0; i < clean.calls.size(); ++i) {
            const std::string &fn = clean.functions[i];
            const auto nth = 1 + std::count(clean.functions.begin(), clean.functions.begin() + i, fn);
            const bool fOpensKey = clean.calls[i].szContainer[0] != 0; // acquires a named container
            for (LONG error : kErrors) {
                const LONG expected = IsRelease(fn) ? clean.status // the module ignores a refused release
                                                    : qvntest::StatusOfFailedCapiCall(fn, DWORD(error), fOpensKey);
                faults.push_back({0, fn, static_cast<DWORD>(nth), error, expected});
            }
        }
        EXPECT_FALSE(faults.empty()) << "the call makes no allocation and no CryptoAPI call";
        for (const Fault &fault : faults) {
            SCOPED_TRACE(fault.nthMalloc != 0 ? "allocation " + std::to_string(fault.nthMalloc) + " fails"
                                              : fault.strFunction + " #" + std::to_string(fault.nth) + " fails with " +
                                                    StatusText(fault.error));
            RunAndCheck(sc, fault, &clean);
            (fault.nthMalloc != 0 ? cAllocationFaults : cCryptoFaults)++;
            if (HasFailure()) {
                return; // the first broken run says enough
            }
        }
    }
    std::printf("fault sweep: %zu scenarios, %d allocation failures and %d CryptoAPI failures injected\n",
                std::size(kScenarios), cAllocationFaults, cCryptoFaults);
}

// Loading builds the module's static objects, the four CSP names among them.
// What an allocation failing then costs is the module's choice, but the load
// must go on: the key storage provider opens, each CSP name opens or is an
// unknown name, and the unload leaves nothing behind.
TEST(FaultSweep, AnAllocationFailingWhileLoadingLeavesAWorkingModule)
{
    qvntest::ScopedStore store;
    const Holdings start = Held();
    for (DWORD k = 1; !HasFailure(); ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " of the load fails");
        QvnPlatformResetModuleCounters();
        QvnPlatformFailModuleMalloc(k);
        const HMODULE hLoaded = LoadModuleLibrary();
        const bool fFailed = QvnPlatformModuleMallocCount() >= k;
        QvnPlatformFailModuleMalloc(0);
        {
            LoadedModule module; // the same module, now with its table
            for (const WCHAR *pszName : {kKspName, kAlderProvider, qvntest::kBirchProvider, qvntest::kCedarProvider,
                                         qvntest::kDogwoodProvider}) {
                NCRYPT_PROV_HANDLE hProvider = 0;
                const LONG status = module.table->OpenProvider(&hProvider, pszName, 0);
                EXPECT_TRUE(status == ERROR_SUCCESS || (status == NTE_INVALID_PARAMETER && pszName != kKspName))
                    << StatusText(status);
            }
        }
        FreeLibrary(hLoaded);
        EXPECT_EQ(start, Held()) << "the unload left something behind";
        if (!fFailed) {
            EXPECT_GT(k, 1u) << "the load makes no allocation";
            return;
        }
    }
}

} // namespace
} // namespace hardening
