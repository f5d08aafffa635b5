// _wassert: abort with a report on stderr, or record the report for tests.
#include <assert.h>
#include <windows.h>
#include <qvnplatform.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace
{

class AssertTest : public ::testing::Test
{
protected:
    void SetUp() override { QvnPlatformReset(); }
    void TearDown() override { QvnPlatformReset(); }
};

TEST_F(AssertTest, NothingRecordedAtFirst)
{
    WCHAR szMessage[16] = u"unchanged";
    WCHAR szFile[16] = u"unchanged";
    DWORD dwLine = 77;
    EXPECT_EQ(0u, QvnPlatformAssertCount());
    EXPECT_FALSE(QvnPlatformGetLastAssert(szMessage, 16, szFile, 16, &dwLine));
    EXPECT_EQ(std::u16string(u"unchanged"), szMessage);
    EXPECT_EQ(std::u16string(u"unchanged"), szFile);
    EXPECT_EQ(77u, dwLine);
}

TEST_F(AssertTest, RecordModeCountsAndKeepsTheLastReport)
{
    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    _wassert(u"PpObject != NULL", u"COMMON_FILES/Common/mt", 120);
    _wassert(u"m_hObject != NULL", u"KspCAPIKeyContext", 455);
    EXPECT_EQ(2u, QvnPlatformAssertCount());

    WCHAR szMessage[64] = {};
    WCHAR szFile[64] = {};
    DWORD dwLine = 0;
    ASSERT_TRUE(QvnPlatformGetLastAssert(szMessage, 64, szFile, 64, &dwLine));
    EXPECT_EQ(std::u16string(u"m_hObject != NULL"), szMessage);
    EXPECT_EQ(std::u16string(u"KspCAPIKeyContext"), szFile);
    EXPECT_EQ(455u, dwLine);
}

TEST_F(AssertTest, RecordedReportNeedsRoomForTheTextAndItsNul)
{
    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    _wassert(u"abc", u"mt", 1);

    WCHAR szMessage[4] = u"zzz";
    WCHAR szFile[3] = u"yy";
    // Three characters need four units: a buffer of three fails and nothing is written.
    EXPECT_FALSE(QvnPlatformGetLastAssert(szMessage, 3, szFile, 3, nullptr));
    EXPECT_EQ(std::u16string(u"zzz"), szMessage);
    EXPECT_EQ(std::u16string(u"yy"), szFile);
    EXPECT_FALSE(QvnPlatformGetLastAssert(szMessage, 4, szFile, 2, nullptr));
    EXPECT_EQ(std::u16string(u"zzz"), szMessage);

    EXPECT_TRUE(QvnPlatformGetLastAssert(szMessage, 4, szFile, 3, nullptr));
    EXPECT_EQ(std::u16string(u"abc"), szMessage);
    EXPECT_EQ(std::u16string(u"mt"), szFile);
    // Parts that are not wanted: null buffers of size 0.
    DWORD dwLine = 0;
    EXPECT_TRUE(QvnPlatformGetLastAssert(nullptr, 0, nullptr, 0, &dwLine));
    EXPECT_EQ(1u, dwLine);
    EXPECT_FALSE(QvnPlatformGetLastAssert(nullptr, 4, nullptr, 0, &dwLine));
}

TEST_F(AssertTest, NullTextIsRecordedAsEmpty)
{
    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    _wassert(nullptr, nullptr, 0);
    WCHAR szMessage[4] = u"zzz";
    WCHAR szFile[4] = u"zzz";
    ASSERT_TRUE(QvnPlatformGetLastAssert(szMessage, 4, szFile, 4, nullptr));
    EXPECT_EQ(std::u16string(), szMessage);
    EXPECT_EQ(std::u16string(), szFile);
}

TEST_F(AssertTest, ResetClearsTheRecordAndReturnsToAbortMode)
{
    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    _wassert(u"x", u"y", 2);
    QvnPlatformReset();
    EXPECT_EQ(0u, QvnPlatformAssertCount());
    EXPECT_FALSE(QvnPlatformGetLastAssert(nullptr, 0, nullptr, 0, nullptr));
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(_wassert(u"after reset", u"mt", 3), "Assertion failed: after reset, file mt, line 3");
}

TEST_F(AssertTest, RecordModeIsSafeFromManyThreads)
{
    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([] {
            for (int j = 0; j < 250; ++j) {
                _wassert(u"condition", u"file", 9);
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(1000u, QvnPlatformAssertCount());
}

TEST(AssertDeathTest, AbortModePrintsTheReportInUtf8AndAborts)
{
    QvnPlatformReset();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(_wassert(u"m_pObject != NULL || m_hObject != NULL", u"COMMON_FILES/Common/mt", 311),
                 "Assertion failed: m_pObject != NULL \\|\\| m_hObject != NULL, file COMMON_FILES/Common/mt, "
                 "line 311");
    EXPECT_DEATH(_wassert(u"caf\u00e9", u"\u20ac", 5), "Assertion failed: caf\xC3\xA9, file \xE2\x82\xAC, line 5");
}

TEST(AssertDeathTest, UnknownModeActsAsAbort)
{
    QvnPlatformReset();
    QvnPlatformSetAssertMode(7);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(_wassert(u"x", u"y", 1), "Assertion failed: x, file y, line 1");
    QvnPlatformReset();
}

} // namespace
