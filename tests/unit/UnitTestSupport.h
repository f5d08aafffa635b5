// Shared helpers of the unit suites: readable status comparison, the status
// of an object-layer call, the platform's call log and live handle counts,
// and the fixture that gives every test a fresh platform, a throw-away key
// store and no provider manager.
#ifndef QVN_UNIT_TEST_SUPPORT_H
#define QVN_UNIT_TEST_SUPPORT_H

#include "common/KspError.h"
#include "common/KspPlatform.h"

#include <qvnplatform.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace qvntest
{
class ScopedStore;
}

namespace unit
{

// ---- Status values, printed in hex -------------------------------------------------
struct Status {
    LONG lValue;
};
inline bool operator==(Status a, Status b)
{
    return a.lValue == b.lValue;
}
inline bool operator!=(Status a, Status b)
{
    return a.lValue != b.lValue;
}
std::ostream &operator<<(std::ostream &os, Status status);

#define EXPECT_STATUS(expected, actual)                                                                                \
    EXPECT_EQ(::unit::Status{static_cast<LONG>(expected)}, ::unit::Status{static_cast<LONG>(actual)})
#define ASSERT_STATUS(expected, actual)                                                                                \
    ASSERT_EQ(::unit::Status{static_cast<LONG>(expected)}, ::unit::Status{static_cast<LONG>(actual)})

// What StatusOf reports when something other than a status error escapes.
constexpr LONG kOtherException = 0x7E57E5C0;

// The status that the entry frame would make of an object-layer call: 0 when
// it returns normally, GetStatus of the status error it throws.
template <typename TCall> LONG StatusOf(TCall &&fnCall)
{
    try {
        fnCall();
        return 0;
    } catch (const CKspBaseError &err) {
        return err.GetStatus();
    } catch (...) {
        return kOtherException;
    }
}

// ---- Names -------------------------------------------------------------------------
inline constexpr LPCWSTR kKspName = TEXT("Quorvane TPM Key Storage Provider");
inline constexpr LPCWSTR kAlder = TEXT("Quorvane Alder Cryptographic Provider");
inline constexpr LPCWSTR kBirch = TEXT("Quorvane Birch Cryptographic Provider");
inline constexpr LPCWSTR kCedar = TEXT("Quorvane Cedar Cryptographic Provider");
inline constexpr LPCWSTR kDogwood = TEXT("Quorvane Dogwood Cryptographic Provider");
inline constexpr LPCWSTR kCapiNames[4] = {kAlder, kBirch, kCedar, kDogwood};
inline constexpr DWORD kCapiTypes[4] = {PROV_RSA_FULL, PROV_RSA_SCHANNEL, PROV_RSA_AES, PROV_RSA_FULL};

std::string Narrow(const std::u16string &str);

// ---- The platform's call log -------------------------------------------------------
std::vector<QVN_CALL_RECORD> CallLog();
std::vector<std::string> CallNames();
// Records of one function, in order.
std::vector<QVN_CALL_RECORD> CallsOf(const char *pszFunction);
// Calls of one function whose main handle argument was hHandle.
size_t CountCallsOn(const char *pszFunction, ULONG_PTR hHandle);

// ---- Live CryptoAPI handles --------------------------------------------------------
struct LiveHandles {
    LONG lContexts;
    LONG lKeys;
    LONG lHashes;
};
inline bool operator==(const LiveHandles &a, const LiveHandles &b)
{
    return a.lContexts == b.lContexts && a.lKeys == b.lKeys && a.lHashes == b.lHashes;
}
inline bool operator!=(const LiveHandles &a, const LiveHandles &b)
{
    return !(a == b);
}
std::ostream &operator<<(std::ostream &os, const LiveHandles &live);
LiveHandles LiveNow();

// ---- Module allocations ------------------------------------------------------------
// Module allocations are counted for the whole executable (the test's own
// code allocates through the module's operator new too), so they are read
// tightly around the call under test.
struct ModuleFree {
    SIZE_T cbBlock;
    bool fAllZero;
};
// Stops tracking frees and returns what was recorded since it started.
std::vector<ModuleFree> TrackedFrees();

struct Footprint {
    DWORD cMallocs = 0;            // module mallocs during the call, a failed one included
    std::vector<ModuleFree> frees; // module blocks freed during the call
};

// Runs fnCall with the module's mallocs counted and its frees tracked; with
// nthFailure set, that malloc of the call fails (and no later one).
template <typename TCall> Footprint MeasureModuleMemory(TCall &&fnCall, DWORD nthFailure = 0)
{
    QvnPlatformTrackModuleFrees(TRUE);
    QvnPlatformResetModuleCounters();
    QvnPlatformFailModuleMalloc(nthFailure);
    fnCall();
    QvnPlatformFailModuleMalloc(0);
    Footprint footprint;
    footprint.cMallocs = QvnPlatformModuleMallocCount();
    footprint.frees = TrackedFrees();
    return footprint;
}

// Whether the call gave back every block it got: frees match the mallocs
// that succeeded.
inline bool LeftNothing(const Footprint &footprint, bool fOneFailed)
{
    return footprint.frees.size() + (fOneFailed ? 1u : 0u) == footprint.cMallocs;
}

// Makes the nth module malloc from now fail and cancels it again when the
// scope ends, so that a failure that the code under test did not consume
// cannot hit the test's own allocations.
class ScopedMallocFailure
{
public:
    explicit ScopedMallocFailure(DWORD nthCall) { QvnPlatformFailModuleMalloc(nthCall); }
    ~ScopedMallocFailure() { QvnPlatformFailModuleMalloc(0); }
    ScopedMallocFailure(const ScopedMallocFailure &) = delete;
    ScopedMallocFailure &operator=(const ScopedMallocFailure &) = delete;
};

// ---- Fixture -----------------------------------------------------------------------
// A fresh platform (no injections, empty call log, version 10.0, assertions
// abort), a throw-away key store, and no provider manager before and after.
class ModuleTest : public ::testing::Test
{
protected:
    ModuleTest();
    ~ModuleTest() override;
    void SetUp() override;
    void TearDown() override;

private:
    std::unique_ptr<qvntest::ScopedStore> m_pStore;
};

} // namespace unit

#endif
