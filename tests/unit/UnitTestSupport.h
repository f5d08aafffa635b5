// Shared helpers of the unit suites: statuses printed in hex, the status of
// an object-layer call, the platform's call log, the module's allocations
// during one call, the last assertion report, and the fixture that gives
// every test a fresh platform, a throw-away key store and no provider manager.
#ifndef QVN_UNIT_TEST_SUPPORT_H
#define QVN_UNIT_TEST_SUPPORT_H

#include "common/KspError.h"
#include "provider/KspProviderManager.h"

#include <TestSupport.h>
#include <qvnplatform.h>

#include <gtest/gtest.h>

#include <cstring>
#include <iomanip>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace unit
{

using qvntest::Bytes;

struct Status {
    LONG lValue;
    bool operator==(Status other) const { return lValue == other.lValue; }
};
inline std::ostream &operator<<(std::ostream &os, Status status)
{
    return os << "0x" << std::hex << std::setw(8) << std::setfill('0') << static_cast<uint32_t>(status.lValue)
              << std::dec << std::setfill(' ');
}
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

// The platform's call log since it was last cleared, and the function names in it.
inline std::vector<QVN_CALL_RECORD> CallsOf(const char *pszFunction = nullptr)
{
    std::vector<QVN_CALL_RECORD> records;
    QVN_CALL_RECORD record;
    for (DWORD i = 0; QvnPlatformGetCall(i, &record); ++i) {
        if (pszFunction == nullptr || strncmp(record.szFunction, pszFunction, sizeof(record.szFunction)) == 0) {
            records.push_back(record);
        }
    }
    return records;
}
inline std::vector<std::string> CallNames()
{
    std::vector<std::string> names;
    for (const QVN_CALL_RECORD &record : CallsOf()) {
        names.emplace_back(record.szFunction, strnlen(record.szFunction, sizeof(record.szFunction)));
    }
    return names;
}

// The module's allocations during one call: how many, and each block freed
// with its size and whether it was all zero then. The test's own code
// allocates through the module's operator new too, so only the call is measured.
struct Footprint {
    DWORD cMallocs = 0;
    std::vector<std::pair<SIZE_T, bool>> frees;
};
template <typename TCall> Footprint MeasureModuleMemory(TCall &&fnCall)
{
    QvnPlatformTrackModuleFrees(TRUE);
    QvnPlatformResetModuleCounters();
    fnCall();
    QvnPlatformTrackModuleFrees(FALSE); // off first: building the answer allocates and frees too
    Footprint footprint{QvnPlatformModuleMallocCount(), {}};
    SIZE_T cbBlock = 0;
    BOOL fAllZero = FALSE;
    for (DWORD i = 0; QvnPlatformGetModuleFree(i, &cbBlock, &fAllZero); ++i) {
        footprint.frees.emplace_back(cbBlock, fAllZero != FALSE);
    }
    return footprint;
}

// The last assertion recorded, as "<unit>: <condition>".
inline std::u16string LastAssertion()
{
    WCHAR szMessage[64] = {}, szFile[64] = {};
    DWORD dwLine = 0;
    EXPECT_TRUE(QvnPlatformGetLastAssert(szMessage, 64, szFile, 64, &dwLine) && dwLine != 0);
    return std::u16string(szFile) + u": " + szMessage;
}

class ModuleTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CKspProviderManager::DestroyInstance();
        m_pStore = std::make_unique<qvntest::ScopedStore>(); // resets the platform's controls too
    }
    void TearDown() override
    {
        // Whatever a test left open goes the way process detach takes it.
        CKspProviderManager::DestroyInstance();
        QvnPlatformReset();
        m_pStore.reset();
    }

private:
    std::unique_ptr<qvntest::ScopedStore> m_pStore;
};

} // namespace unit

#endif
