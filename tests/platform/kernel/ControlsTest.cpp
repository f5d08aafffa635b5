// The shared test controls: failure injection, the call log, reset hooks.
#include <windows.h>
#include <qvnplatform.h>

#include "controls/controls.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{

class ControlsTest : public ::testing::Test
{
protected:
    void SetUp() override { QvnPlatformReset(); }
    void TearDown() override { QvnPlatformReset(); }

    // The error of an injected failure, or kNone when the call is not failed.
    static constexpr DWORD kNone = 0xFFFFFFFE;
    static DWORD Call(const char *pszFunction)
    {
        DWORD dwError = kNone;
        const bool fFail = qvn::ConsumeInjectedFailure(pszFunction, &dwError);
        EXPECT_EQ(fFail, dwError != kNone) << pszFunction;
        return dwError;
    }
};

// ---- Failure injection ----------------------------------------------------------

TEST_F(ControlsTest, NthCallOfTheNamedFunctionFailsOnce)
{
    QvnPlatformFailCall("CryptCreateHash", 3, static_cast<DWORD>(NTE_BAD_ALGID));
    EXPECT_EQ(kNone, Call("CryptCreateHash"));
    EXPECT_EQ(kNone, Call("CryptHashData")); // other functions do not count
    EXPECT_EQ(kNone, Call("CryptCreateHash"));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_ALGID), Call("CryptCreateHash"));
    EXPECT_EQ(kNone, Call("CryptCreateHash"));
}

TEST_F(ControlsTest, NamesAreComparedExactly)
{
    QvnPlatformFailCall("CryptSignHashW", 1, 5);
    EXPECT_EQ(kNone, Call("CryptSignHash"));
    EXPECT_EQ(kNone, Call("cryptsignhashw"));
    EXPECT_EQ(kNone, Call("CryptSignHashW2"));
    EXPECT_EQ(5u, Call("CryptSignHashW"));
}

TEST_F(ControlsTest, SeveralInjectionsArePendingAtOnce)
{
    QvnPlatformFailCall("CryptAcquireContextW", 1, 11);
    QvnPlatformFailCall("CryptAcquireContextW", 3, 33);
    QvnPlatformFailCall("BCryptRegisterProvider", 1, 0xC0000022);
    EXPECT_EQ(11u, Call("CryptAcquireContextW"));
    EXPECT_EQ(kNone, Call("CryptAcquireContextW"));
    EXPECT_EQ(33u, Call("CryptAcquireContextW"));
    EXPECT_EQ(kNone, Call("CryptAcquireContextW"));
    EXPECT_EQ(0xC0000022u, Call("BCryptRegisterProvider"));
    EXPECT_EQ(kNone, Call("BCryptRegisterProvider"));
}

TEST_F(ControlsTest, TwoInjectionsDueOnTheSameCallFailItOnceWithTheFirstError)
{
    QvnPlatformFailCall("CryptGetUserKey", 2, 1);
    QvnPlatformFailCall("CryptGetUserKey", 2, 2);
    EXPECT_EQ(kNone, Call("CryptGetUserKey"));
    EXPECT_EQ(1u, Call("CryptGetUserKey"));
    EXPECT_EQ(kNone, Call("CryptGetUserKey"));
}

TEST_F(ControlsTest, ZeroethCallAndNullNameAreIgnored)
{
    QvnPlatformFailCall("CryptDecrypt", 0, 7);
    QvnPlatformFailCall(nullptr, 1, 7);
    EXPECT_EQ(kNone, Call("CryptDecrypt"));
    DWORD dwError = 123;
    EXPECT_FALSE(qvn::ConsumeInjectedFailure(nullptr, &dwError));
    EXPECT_EQ(123u, dwError);
}

TEST_F(ControlsTest, ClearFailuresAndResetCancelPendingInjections)
{
    QvnPlatformFailCall("CryptEncrypt", 1, 7);
    QvnPlatformClearFailures();
    EXPECT_EQ(kNone, Call("CryptEncrypt"));
    QvnPlatformFailCall("CryptEncrypt", 1, 7);
    QvnPlatformReset();
    EXPECT_EQ(kNone, Call("CryptEncrypt"));
}

TEST_F(ControlsTest, InjectionFiresExactlyOnceUnderConcurrentCalls)
{
    QvnPlatformFailCall("CryptHashData", 500, 9);
    std::atomic<int> cFailed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            for (int j = 0; j < 250; ++j) {
                DWORD dwError = 0;
                if (qvn::ConsumeInjectedFailure("CryptHashData", &dwError)) {
                    EXPECT_EQ(9u, dwError);
                    ++cFailed;
                }
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(1, cFailed.load());
}

// ---- Call log --------------------------------------------------------------------

QVN_CALL_RECORD AcquireRecord(LPCWSTR pszContainer, DWORD dwFlags)
{
    QVN_CALL_RECORD record = qvn::MakeRecord("CryptAcquireContextW");
    qvn::CopyWide(record.szProvider, 128, u"Quorvane Alder Cryptographic Provider");
    qvn::CopyWide(record.szContainer, 128, pszContainer);
    record.fContainerNull = pszContainer == nullptr;
    record.dwProvType = 1;
    record.dwFlags = dwFlags;
    record.fSucceeded = TRUE;
    return record;
}

TEST_F(ControlsTest, LogKeepsCallsInOrderWithTheirArguments)
{
    qvn::LogCall(AcquireRecord(nullptr, 0xF0000000));
    QVN_CALL_RECORD sign = qvn::MakeRecord("CryptSignHashW");
    sign.dwKeySpec = 1;
    sign.hHandle = 0x1234;
    sign.dwError = static_cast<DWORD>(NTE_BAD_KEYSET);
    qvn::LogCall(sign);
    qvn::LogCall(AcquireRecord(u"K", 0));

    ASSERT_EQ(3u, QvnPlatformGetCallCount());
    QVN_CALL_RECORD record;
    ASSERT_TRUE(QvnPlatformGetCall(0, &record));
    EXPECT_STREQ("CryptAcquireContextW", record.szFunction);
    EXPECT_EQ(std::u16string(u"Quorvane Alder Cryptographic Provider"), record.szProvider);
    EXPECT_EQ(std::u16string(), record.szContainer);
    EXPECT_TRUE(record.fContainerNull);
    EXPECT_EQ(1u, record.dwProvType);
    EXPECT_EQ(0xF0000000u, record.dwFlags);
    EXPECT_TRUE(record.fSucceeded);

    ASSERT_TRUE(QvnPlatformGetCall(1, &record));
    EXPECT_STREQ("CryptSignHashW", record.szFunction);
    EXPECT_EQ(1u, record.dwKeySpec);
    EXPECT_EQ(0x1234u, record.hHandle);
    EXPECT_FALSE(record.fSucceeded);
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), record.dwError);
    EXPECT_EQ(std::u16string(), record.szProvider);

    ASSERT_TRUE(QvnPlatformGetCall(2, &record));
    EXPECT_EQ(std::u16string(u"K"), record.szContainer);
    EXPECT_FALSE(record.fContainerNull);

    EXPECT_EQ(2u, QvnPlatformCountCalls("CryptAcquireContextW"));
    EXPECT_EQ(1u, QvnPlatformCountCalls("CryptSignHashW"));
    EXPECT_EQ(0u, QvnPlatformCountCalls("CryptSignHash"));
    EXPECT_EQ(0u, QvnPlatformCountCalls(nullptr));
}

TEST_F(ControlsTest, ReadingPastTheEndFailsAndLeavesTheRecordAlone)
{
    qvn::LogCall(qvn::MakeRecord("CryptReleaseContext"));
    QVN_CALL_RECORD record = qvn::MakeRecord("untouched");
    EXPECT_FALSE(QvnPlatformGetCall(1, &record));
    EXPECT_STREQ("untouched", record.szFunction);
    EXPECT_FALSE(QvnPlatformGetCall(0, nullptr));
}

TEST_F(ControlsTest, ClearAndResetEmptyTheLog)
{
    qvn::LogCall(qvn::MakeRecord("CryptDestroyKey"));
    QvnPlatformClearCallLog();
    EXPECT_EQ(0u, QvnPlatformGetCallCount());
    EXPECT_EQ(0u, QvnPlatformCountCalls("CryptDestroyKey"));
    qvn::LogCall(qvn::MakeRecord("CryptDestroyKey"));
    QvnPlatformReset();
    EXPECT_EQ(0u, QvnPlatformGetCallCount());
    QVN_CALL_RECORD record;
    EXPECT_FALSE(QvnPlatformGetCall(0, &record));
}

TEST_F(ControlsTest, LogCountsEveryCallFromManyThreads)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([] {
            for (int j = 0; j < 300; ++j) {
                qvn::LogCall(qvn::MakeRecord("CryptGetKeyParam"));
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(1200u, QvnPlatformGetCallCount());
    EXPECT_EQ(1200u, QvnPlatformCountCalls("CryptGetKeyParam"));
    QVN_CALL_RECORD record;
    ASSERT_TRUE(QvnPlatformGetCall(1199, &record));
    EXPECT_STREQ("CryptGetKeyParam", record.szFunction);
}

TEST_F(ControlsTest, RecordHelpersTruncateAndTerminate)
{
    const std::string strLong(60, 'F');
    const QVN_CALL_RECORD record = qvn::MakeRecord(strLong.c_str());
    EXPECT_EQ(std::string(39, 'F'), record.szFunction);
    // Every other field starts zero.
    QVN_CALL_RECORD zero;
    std::memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(0, std::memcmp(&zero.szProvider, &record.szProvider, sizeof(QVN_CALL_RECORD) - sizeof(zero.szFunction)));

    WCHAR sz[4] = {u'x', u'x', u'x', u'x'};
    qvn::CopyWide(sz, 4, u"abcdef");
    EXPECT_EQ(std::u16string(u"abc"), sz);
    qvn::CopyWide(sz, 4, nullptr);
    EXPECT_EQ(std::u16string(), sz);
    qvn::CopyWide(sz, 4, u"ab");
    EXPECT_EQ(std::u16string(u"ab"), sz);
    qvn::CopyWide(sz, 0, u"zz"); // no room at all: nothing written
    EXPECT_EQ(std::u16string(u"ab"), sz);
}

// ---- Reset hooks ------------------------------------------------------------------

std::atomic<int> g_cHookCalls{0};
void CountingHook()
{
    ++g_cHookCalls;
}

TEST_F(ControlsTest, ResetCallsEachRegisteredHookOnce)
{
    qvn::RegisterResetHook(CountingHook);
    qvn::RegisterResetHook(CountingHook);
    qvn::RegisterResetHook(nullptr);
    const int cBefore = g_cHookCalls.load();
    QvnPlatformReset();
    EXPECT_EQ(cBefore + 1, g_cHookCalls.load());
}

} // namespace
