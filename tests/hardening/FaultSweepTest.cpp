// One driver for every fault that the platform can inject. A scenario is a
// set-up through the table of a freshly loaded module and one call under
// test. The driver runs the call undisturbed, to learn its module allocations
// and CryptoAPI calls, then once with each allocation failing and once with
// each CryptoAPI call failing with each of several errors. Every run must end
// with: the status the failure stands for (NTE_NO_MEMORY for an allocation;
// for a CryptoAPI call its last error, 0 and Win32 codes too, as the module
// translates it; for a refused release, which the module ignores, the
// undisturbed status); nothing held that was not held before, and nothing at
// all once the module unloads with its handles open; no out-parameter, caller
// buffer or input written (a size may be set to 0); every working buffer that
// may hold plaintext zeroed before it is freed; the same call, made again
// undisturbed, giving the undisturbed result. The status of each run is
// recorded (into QVN_SWEEP_RECORD, as the end-to-end observations are), so
// that the Linux stand-in and the product DLL under Wine compare per point.
#include "CapiFailureStatus.h"
#include "Hardening.h"

#include <cstdlib>
#include <iterator>
#include <set>
#include <tuple>

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
    Bytes hash = PatternBytes(32, 11);
    Bytes signature = JudgeSign(CachedTestKey(1024, 0), CALG_SHA_256, hash);
    Bytes plaintext = PatternBytes(50, 12);
    Bytes ciphertext = JudgeEncrypt(CachedTestKey(1024, 0), plaintext);
    Bytes maxNameLength = {0x04, 0x01, 0x00, 0x00};
} const kIn;

// The out-parameters of the call under test, preset so that a write shows (a
// size set to 0 is allowed).
struct Outs {
    NCRYPT_PROV_HANDLE hProvider = kSentinel;
    NCRYPT_KEY_HANDLE hKey = kSentinel;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = reinterpret_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(kSentinel);
    DWORD cbResult = kSentinelSize;
    Bytes output = Bytes(kKeyBytes, kCanary);
    auto Written() const
    {
        return std::make_tuple(hProvider, hKey, pTable, output, cbResult ? cbResult : kSentinelSize);
    }
};

// One run: the module, what the set-up opened, the caller's inputs and outs.
struct Session {
    LoadedModule module;
    NCRYPT_PROV_HANDLE hKsp = 0, hAlder = 0;
    NCRYPT_KEY_HANDLE hExchange = 0, hSignature = 0;
    PBYTE Out() { return out.output.data(); }
    Bytes hash, input;
    Outs out;
    BCRYPT_PKCS1_PADDING_INFO sha256 = {TEXT("SHA256")};
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &T() const { return *module.table; }
    LONG Crypt(bool fEncrypt)
    {
        return (fEncrypt ? T().Encrypt : T().Decrypt)(hAlder, hExchange, input.data(), static_cast<DWORD>(input.size()),
                                                      nullptr, out.output.data(), kKeyBytes, &out.cbResult,
                                                      NCRYPT_PAD_PKCS1_FLAG);
    }
};

// A first call is made on a fresh module, any other after the set-up opened
// the Session's handles; one that opens and frees nothing holds nothing new.
enum Kind { kFirstCall, kOpensOrFrees, kHoldsNothingNew };

// The call under test, made through the Session s.
#define CALL(...) [](Session &s) -> LONG { return __VA_ARGS__; }

struct Scenario {
    const char *pszName;
    Kind kind;
    LONG cleanStatus;
    LONG (*call)(Session &);
    const Bytes Inputs::*input = nullptr;    // the caller's input buffer, if any
    const Bytes Inputs::*expected = nullptr; // the exact output, if the call makes one
    LONG noMemoryStatus = NTE_NO_MEMORY;
};

const Scenario kScenarios[] = {
    // The first entry call of a module also creates its provider manager.
    {"FirstCallOpensTheKeyStorageProvider", kFirstCall, ERROR_SUCCESS,
     CALL(s.T().OpenProvider(&s.out.hProvider, kKspName, 0))},
    {"FirstCallOpensACspProvider", kFirstCall, ERROR_SUCCESS,
     CALL(s.T().OpenProvider(&s.out.hProvider, kAlderProvider, 0))},
    {"GetKeyStorageInterface", kHoldsNothingNew, STATUS_SUCCESS,
     CALL(LONG(s.module.getInterface(kCedarProvider, &s.out.pTable, 0))), nullptr, nullptr, STATUS_UNSUCCESSFUL},
    {"GetProviderProperty", kHoldsNothingNew, ERROR_SUCCESS,
     CALL(s.T().GetProviderProperty(s.hKsp, NCRYPT_MAX_NAME_LENGTH_PROPERTY, s.Out(), 4, &s.out.cbResult, 0)), nullptr,
     &Inputs::maxNameLength},
    {"OpenKey", kOpensOrFrees, ERROR_SUCCESS,
     CALL(s.T().OpenKey(s.hAlder, &s.out.hKey, kExchangeContainer, AT_KEYEXCHANGE, 0))},
    {"OpenKeyOfAMissingPair", kHoldsNothingNew, NTE_BAD_KEYSET,
     CALL(s.T().OpenKey(s.hAlder, &s.out.hKey, kSignatureContainer, AT_KEYEXCHANGE, 0))},
    {"SignHash", kHoldsNothingNew, ERROR_SUCCESS,
     CALL(s.T().SignHash(s.hAlder, s.hExchange, &s.sha256, s.hash.data(), 32, s.Out(), kKeyBytes, &s.out.cbResult,
                         NCRYPT_PAD_PKCS1_FLAG)),
     nullptr, &Inputs::signature},
    {"VerifySignature", kHoldsNothingNew, ERROR_SUCCESS,
     CALL(s.T().VerifySignature(s.hAlder, s.hExchange, &s.sha256, s.hash.data(), 32, s.input.data(), kKeyBytes,
                                NCRYPT_PAD_PKCS1_FLAG)),
     &Inputs::signature},
    {"Encrypt", kHoldsNothingNew, ERROR_SUCCESS, CALL(s.Crypt(true)), &Inputs::plaintext, &Inputs::plaintext},
    {"Decrypt", kHoldsNothingNew, ERROR_SUCCESS, CALL(s.Crypt(false)), &Inputs::ciphertext, &Inputs::plaintext},
    {"FreeKey", kOpensOrFrees, ERROR_SUCCESS, CALL(s.T().FreeKey(s.hAlder, s.hExchange))},
    {"FreeProviderWithKeysOpen", kOpensOrFrees, ERROR_SUCCESS, CALL(s.T().FreeProvider(s.hAlder))},
    // The module's teardown releases what the caller left open.
    {"UnloadWithProvidersAndKeysOpen", kOpensOrFrees, ERROR_SUCCESS, CALL(s.module.Unload(), LONG(ERROR_SUCCESS))},
};
#undef CALL

// The nth module allocation fails, or the nth call of a CryptoAPI function.
struct Fault {
    DWORD nthMalloc, nth;
    std::string strFunction;
    LONG error, expected; // expected: the status that the failure stands for
};

// What an undisturbed run of the call does, for the runs with a fault to follow.
struct Outcome {
    LONG status = 0;
    DWORD cMallocs = 0;
    std::vector<QVN_CALL_RECORD> calls;
    std::vector<std::string> functions; // of the calls
};

const std::set<std::string> kReleases = {"CryptDestroyHash", "CryptDestroyKey", "CryptReleaseContext"};

// The exact output of an undisturbed call.
void ExpectOutput(const Scenario &sc, const Outs &out)
{
    if (sc.expected != nullptr) {
        ASSERT_LE(out.cbResult, kKeyBytes);
        Bytes output(out.output.begin(), out.output.begin() + out.cbResult);
        if (sc.input == &Inputs::plaintext) { // a ciphertext, random: OpenSSL decrypts it
            output = JudgeDecrypt(CachedTestKey(1024, 0), output).value_or(Bytes());
        }
        EXPECT_EQ(Hex(kIn.*sc.expected), Hex(output));
    }
}

// Runs the scenario on a fresh module with the fault injected into the call
// under test and checks how the run ends; without pClean it is undisturbed.
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
        s.hash = kIn.hash;
        s.input = sc.input != nullptr ? kIn.*sc.input : Bytes();
        const Holdings before = Held();
        QvnPlatformClearCallLog();
        QvnPlatformRecordCalls(TRUE);
        QvnPlatformResetModuleCounters();
        QvnPlatformTrackModuleFrees(TRUE);
        QvnPlatformFailModuleMalloc(fault.nthMalloc);
        QvnPlatformFailCall(fault.strFunction.c_str(), fault.nth, static_cast<DWORD>(fault.error)); // none if nth is 0
        run.status = sc.call(s);
        QvnPlatformFailModuleMalloc(0);
        QvnPlatformClearFailures();
        run.cMallocs = QvnPlatformModuleMallocCount();
        // Encryption and decryption work on buffers that may hold plaintext.
        const bool fWipes = sc.input == &Inputs::plaintext || sc.input == &Inputs::ciphertext;
        bool fUnwiped = false; // a buffer that may hold plaintext was freed unwiped
        BOOL fAllZero = FALSE;
        for (DWORD i = 0; QvnPlatformGetModuleFree(i, nullptr, &fAllZero); ++i) {
            fUnwiped |= fWipes && !fAllZero;
        }
        QvnPlatformTrackModuleFrees(FALSE);
        run.calls.resize(QvnPlatformGetCallCount());
        for (DWORD i = 0; i < run.calls.size(); ++i) {
            QvnPlatformGetCall(i, &run.calls[i]);
            const std::string fn = run.calls[i].szFunction;
            run.functions.push_back(fn);
            // Releases succeed but for the one the fault refuses, whose handle the test
            // releases (if its context did not take it along) so the counts show the module's.
            EXPECT_TRUE(run.calls[i].fSucceeded || !kReleases.count(fn) || fn == fault.strFunction) << fn << " failed";
#ifndef _WIN32 // the Wine test CSP releases what it refuses to release
            const ULONG_PTR h = run.calls[i].hHandle;
            if (!run.calls[i].fSucceeded && kReleases.count(fn)) {
                const BOOL fReleased = fn == "CryptDestroyHash"  ? CryptDestroyHash(h)
                                       : fn == "CryptDestroyKey" ? CryptDestroyKey(h)
                                                                 : CryptReleaseContext(h, 0);
                EXPECT_TRUE(fReleased || GetLastError() == ERROR_INVALID_PARAMETER) << StatusText(GetLastError());
            }
#endif
        }
        Holdings after = Held();
        after[3] = sc.kind == kFirstCall ? before[3] : after[3]; // a first call may keep the manager it made

        EXPECT_EQ(StatusText(fault.expected), StatusText(run.status));
        if (pClean == nullptr) {
            ExpectOutput(sc, s.out);
            EXPECT_FALSE(sc.input == &Inputs::ciphertext && fUnwiped) << "the plaintext was freed unwiped";
            EXPECT_TRUE(sc.kind != kHoldsNothingNew || before == after) << "the call left something behind";
        } else if (kReleases.count(fault.strFunction)) {
            EXPECT_EQ(pClean->functions, run.functions) << "a refused release cut the work short";
        } else {
            EXPECT_EQ(Outs().Written(), s.out.Written()) << "an out-parameter or the caller's buffer was written";
            EXPECT_EQ(before, after) << "the failed call left something behind";
            EXPECT_EQ(kIn.hash, s.hash) << "the caller's hash was written";
            EXPECT_EQ(sc.input != nullptr ? kIn.*sc.input : Bytes(), s.input) << "the caller's input was written";
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

// "<Suite.Test> <scenario>/<failure> <status>", the end-to-end observations' form.
void Record(const std::string &strPoint, LONG status)
{
    const char *pszPath = std::getenv("QVN_SWEEP_RECORD");
    if (pszPath != nullptr && *pszPath != '\0') {
        if (std::FILE *pFile = std::fopen(pszPath, "ab")) {
            const auto *pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
            std::fprintf(pFile, "%s.%s %s %s\n", pInfo->test_suite_name(), pInfo->name(), strPoint.c_str(),
                         StatusText(status).c_str());
            std::fclose(pFile);
        }
    }
}

TEST(FaultSweep, EveryAllocationAndEveryCryptoCallFailingEndsTheCallCleanly)
{
    ScopedStore store;
    ASSERT_NO_FATAL_FAILURE(PopulateStore());
    int cAllocationFaults = 0, cCryptoFaults = 0, cScenarios = 0;
    // QVN_SWEEP_SCENARIO=<name of a scenario> sweeps that one alone.
    const std::string strOnly = std::getenv("QVN_SWEEP_SCENARIO") ? std::getenv("QVN_SWEEP_SCENARIO") : "";
    for (const Scenario &sc : kScenarios) {
        if (!strOnly.empty() && strOnly != sc.pszName) {
            continue;
        }
        ++cScenarios;
        SCOPED_TRACE(sc.pszName);
        const Outcome clean = RunAndCheck(sc, {0, 0, "", 0, sc.cleanStatus}, nullptr);
        std::vector<Fault> faults;
        for (DWORD k = 1; k <= clean.cMallocs; ++k) {
            faults.push_back({k, 0, "", 0, sc.noMemoryStatus});
        }
        for (size_t i = 0; i < clean.calls.size(); ++i) {
            const std::string &fn = clean.functions[i];
            const auto nth = 1 + std::count(clean.functions.begin(), clean.functions.begin() + i, fn);
            const bool fOpensKey = clean.calls[i].szContainer[0] != 0; // acquires a named container
            for (LONG error : kErrors) {
                const LONG expected = kReleases.count(fn) ? clean.status // the module ignores a refused release
                                                          : StatusOfFailedCapiCall(fn, DWORD(error), fOpensKey);
                faults.push_back({0, static_cast<DWORD>(nth), fn, error, expected});
            }
        }
        EXPECT_FALSE(faults.empty()) << "the call makes no allocation and no CryptoAPI call";
        for (const Fault &fault : faults) {
            const std::string strPoint = fault.nthMalloc != 0 ? "allocation#" + std::to_string(fault.nthMalloc)
                                                              : fault.strFunction + "#" + std::to_string(fault.nth) +
                                                                    "/" + StatusText(fault.error);
            SCOPED_TRACE(strPoint + " fails");
            Record(std::string(sc.pszName) + "/" + strPoint, RunAndCheck(sc, fault, &clean).status);
            (fault.nthMalloc != 0 ? cAllocationFaults : cCryptoFaults)++;
            if (HasFailure()) {
                return; // the first broken run says enough
            }
        }
    }
    ASSERT_GT(cScenarios, 0) << "no scenario is named " << strOnly;
    std::printf("fault sweep: %d scenarios, %d allocation failures and %d CryptoAPI failures injected\n", cScenarios,
                cAllocationFaults, cCryptoFaults);
}

#ifndef _WIN32 // under Wine the load allocates before the test can patch the module's imports
// Loading builds the module's static objects, the four CSP names among them.
// What an allocation failing then costs is the module's choice, but the load
// must go on: the key storage provider opens, each CSP name opens or is an
// unknown name, and the unload leaves nothing behind.
TEST(FaultSweep, AnAllocationFailingWhileLoadingLeavesAWorkingModule)
{
    ScopedStore store;
    const Holdings start = Held();
    for (DWORD k = 1, cMallocs = k; cMallocs >= k && !HasFailure(); ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " of the load fails");
        QvnPlatformResetModuleCounters();
        QvnPlatformFailModuleMalloc(k);
        const HMODULE hLoaded = LoadedModule::Load();
        cMallocs = QvnPlatformModuleMallocCount();
        QvnPlatformFailModuleMalloc(0);
        {
            LoadedModule module; // the same module, now with its table
            for (const WCHAR *pszName : {kKspName, kAlderProvider, kBirchProvider, kCedarProvider, kDogwoodProvider}) {
                NCRYPT_PROV_HANDLE hProvider = 0;
                const LONG status = module.table->OpenProvider(&hProvider, pszName, 0);
                EXPECT_TRUE(status == ERROR_SUCCESS || (status == NTE_INVALID_PARAMETER && pszName != kKspName))
                    << StatusText(status);
            }
        }
        FreeLibrary(hLoaded);
        EXPECT_EQ(start, Held()) << "the unload left something behind";
        EXPECT_TRUE(cMallocs >= k || k > 1) << "the load makes no allocation";
    }
}

#endif

} // namespace
} // namespace hardening
