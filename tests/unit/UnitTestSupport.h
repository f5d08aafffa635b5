// Shared helpers of the unit suites: statuses printed in hex, the status of
// an object-layer call, the platform's call log, live CryptoAPI handles and
// module allocations, and the fixture that gives every test a fresh platform,
// a throw-away key store and no provider manager.
#ifndef QVN_UNIT_TEST_SUPPORT_H
#define QVN_UNIT_TEST_SUPPORT_H

#include "COMMON_FILES/Common/mt.h"
#include "capi/KspCAPIKeyContext.h"
#include "common/KspError.h"

#include <TestSupport.h>
#include <qvnplatform.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace unit
{

using qvntest::Bytes;
using qvntest::Narrow;
using qvntest::PatternBytes;
using qvntest::TestKey;

struct Status {
    LONG lValue;
    bool operator==(Status other) const { return lValue == other.lValue; }
};
std::ostream &operator<<(std::ostream &os, Status status);
#define EXPECT_STATUS(expected, actual)                                                                                \
    EXPECT_EQ(::unit::Status{static_cast<LONG>(expected)}, ::unit::Status{static_cast<LONG>(actual)})
#define ASSERT_STATUS(expected, actual)                                                                                \
    ASSERT_EQ(::unit::Status{static_cast<LONG>(expected)}, ::unit::Status{static_cast<LONG>(actual)})

// The status that the entry frame makes of an object-layer call: 0 when it
// returns, the status of the status error it throws, a marker for anything else.
template <typename TCall> LONG StatusOf(TCall &&fnCall)
{
    try {
        fnCall();
        return 0;
    } catch (const CKspBaseError &err) {
        return err.GetStatus();
    } catch (...) {
        return 0x7E57E5C0;
    }
}

inline constexpr LPCWSTR kKspName = TEXT("Quorvane TPM Key Storage Provider");
inline constexpr LPCWSTR kAlder = TEXT("Quorvane Alder Cryptographic Provider");
inline constexpr LPCWSTR kBirch = TEXT("Quorvane Birch Cryptographic Provider");
inline constexpr LPCWSTR kCedar = TEXT("Quorvane Cedar Cryptographic Provider");
inline constexpr LPCWSTR kDogwood = TEXT("Quorvane Dogwood Cryptographic Provider");
inline constexpr LPCWSTR kCapiNames[4] = {kAlder, kBirch, kCedar, kDogwood};
inline constexpr DWORD kCapiTypes[4] = {PROV_RSA_FULL, PROV_RSA_SCHANNEL, PROV_RSA_AES, PROV_RSA_FULL};

// The platform's call log since it was last cleared: the records (of one
// function), the names, or each name with the call's main handle argument.
std::vector<QVN_CALL_RECORD> CallsOf(const char *pszFunction = nullptr);
std::vector<std::string> CallNames();
typedef std::vector<std::pair<std::string, ULONG_PTR>> CALL_HANDLES;
CALL_HANDLES CallHandles();

typedef std::tuple<LONG, LONG, LONG> LIVE_HANDLES; // CryptoAPI contexts, keys, hashes
LIVE_HANDLES LiveNow();

// The module's allocations during one call; the test's own code allocates
// through the module's operator new too, so only the call is measured.
struct Footprint {
    DWORD cMallocs = 0;                         // a failed one included
    std::vector<std::pair<SIZE_T, bool>> frees; // size, all zero when freed
    bool Balanced(bool fOneFailed = false) const { return frees.size() + (fOneFailed ? 1u : 0u) == cMallocs; }
};
void StartMeasuring(DWORD nthFailure);
Footprint StopMeasuring();
// With nthFailure set, that module malloc of the call fails.
template <typename TCall> Footprint MeasureModuleMemory(TCall &&fnCall, DWORD nthFailure = 0)
{
    StartMeasuring(nthFailure);
    fnCall();
    return StopMeasuring();
}

// Whether any thread holds the section, asked from a thread of its own.
bool IsHeld(CTSCriticalSection &section);
// Runs fnCall while another thread holds g_csKsp: were it taken there, the call would never return.
void WhileAnotherThreadHoldsTheLock(const std::function<void()> &fnCall);

// The CryptoAPI context and key that a key object holds, as its calls show them.
struct CapiHandles {
    ULONG_PTR hContext, hKey;
};
CapiHandles HandlesOf(CKspCapiKeyContext &key);

class ModuleTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
    // A container in pszProvider holding the shared key of dwBits as its pair of dwKeySpec.
    static void MakeContainer(LPCWSTR pszProvider, LPCWSTR pszContainer, DWORD dwKeySpec, DWORD dwBits = 1024,
                              DWORD dwAcquireFlags = 0);
    // A key object on a new Alder container holding the shared key of dwBits;
    // null, and a test failure, when it cannot be opened. The call log is cleared.
    static std::unique_ptr<CKspCapiKeyContext> AlderKey(DWORD dwBits, DWORD dwKeySpec = AT_KEYEXCHANGE);

private:
    std::unique_ptr<qvntest::ScopedStore> m_pStore;
};

} // namespace unit

#endif
