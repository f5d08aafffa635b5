// Helpers of the unit suites, and the fixture that gives every test a fresh
// platform, a throw-away key store and, afterwards, no provider manager.
#ifndef QVN_UNIT_TEST_SUPPORT_H
#define QVN_UNIT_TEST_SUPPORT_H

#include "common/KspError.h"
#include "provider/KspProviderManager.h"

#include <TestSupport.h>
#include <qvnplatform.h>

#include <gtest/gtest.h>

#include <cstring>
#include <cstdio>
#include <memory>
#include <string>

namespace unit
{

// Statuses compare as hex text, so that a failure names them as they are documented.
inline std::string Hex(LONG lStatus)
{
    char sz[16];
    std::snprintf(sz, sizeof(sz), "0x%08x", static_cast<unsigned>(lStatus));
    return sz;
}
#define EXPECT_STATUS(expected, actual) EXPECT_EQ(::unit::Hex(expected), ::unit::Hex(actual))
#define ASSERT_STATUS(expected, actual) ASSERT_EQ(::unit::Hex(expected), ::unit::Hex(actual))

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

// The functions in the platform's call log since it was last cleared, in
// order, and the main handle argument of the last call.
inline std::string CallLog()
{
    std::string str;
    QVN_CALL_RECORD record;
    for (DWORD i = 0; QvnPlatformGetCall(i, &record); ++i) {
        str += (i == 0 ? "" : " ") + std::string(record.szFunction, strnlen(record.szFunction, 40));
    }
    return str;
}
inline ULONG_PTR LastCallHandle()
{
    QVN_CALL_RECORD record{};
    EXPECT_TRUE(QvnPlatformGetCall(QvnPlatformGetCallCount() - 1, &record));
    return record.hHandle;
}

// The module's allocations during one call, as text: the mallocs, then each
// block freed with its size, "zeroed" when it was all zero then. The test's
// own code allocates through the module's operator new too: only the call counts.
template <typename TCall> std::string ModuleMemoryOf(TCall &&fnCall)
{
    QvnPlatformTrackModuleFrees(TRUE);
    QvnPlatformResetModuleCounters();
    fnCall();
    QvnPlatformTrackModuleFrees(FALSE); // off first: building the answer allocates and frees too
    std::string str = std::to_string(QvnPlatformModuleMallocCount()) + " mallocs";
    SIZE_T cbBlock = 0;
    BOOL fAllZero = FALSE;
    for (DWORD i = 0; QvnPlatformGetModuleFree(i, &cbBlock, &fAllZero); ++i) {
        str += ", freed " + std::to_string(cbBlock) + (fAllZero ? " zeroed" : "");
    }
    return str;
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
        m_pStore = std::make_unique<qvntest::ScopedStore>(); // resets the platform's controls too
        QvnPlatformRecordCalls(TRUE);
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
