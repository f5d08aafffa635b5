// _wassert: abort with a report on stderr, or record the report for tests.
#include <assert.h>
#include <windows.h>
#include <qvnplatform.h>

#include <gtest/gtest.h>

#include <string>

namespace
{

class AssertTest : public ::testing::Test
{
protected:
    void SetUp() override { QvnPlatformReset(); }
    void TearDown() override { QvnPlatformReset(); }
};

TEST_F(AssertTest, RecordModeCountsAndKeepsTheLastReport)
{
    WCHAR szMessage[32] = u"unchanged";
    WCHAR szFile[32] = u"unchanged";
    DWORD dwLine = 77;
    EXPECT_EQ(0u, QvnPlatformAssertCount());
    EXPECT_FALSE(QvnPlatformGetLastAssert(szMessage, 32, szFile, 32, &dwLine));
    EXPECT_EQ(std::u16string(u"unchanged"), szMessage);
    EXPECT_EQ(77u, dwLine);

    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    _wassert(u"PpObject != NULL", u"COMMON_FILES/Common/mt", 120);
    _wassert(u"m_hObject != NULL", u"KspCAPIKeyContext", 455);
    EXPECT_EQ(2u, QvnPlatformAssertCount());
    ASSERT_TRUE(QvnPlatformGetLastAssert(szMessage, 32, szFile, 32, &dwLine));
    EXPECT_EQ(std::u16string(u"m_hObject != NULL"), szMessage);
    EXPECT_EQ(std::u16string(u"KspCAPIKeyContext"), szFile);
    EXPECT_EQ(455u, dwLine);

    _wassert(nullptr, nullptr, 0);
    ASSERT_TRUE(QvnPlatformGetLastAssert(szMessage, 32, szFile, 32, &dwLine));
    EXPECT_EQ(std::u16string(), szMessage);
    EXPECT_EQ(std::u16string(), szFile);
    EXPECT_EQ(0u, dwLine);

    QvnPlatformReset(); // clears the record and returns to abort mode
    EXPECT_EQ(0u, QvnPlatformAssertCount());
    EXPECT_FALSE(QvnPlatformGetLastAssert(nullptr, 0, nullptr, 0, nullptr));
}

TEST(AssertDeathTest, AbortModePrintsTheReportAndAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    QvnPlatformReset(); // back to the default
    EXPECT_DEATH(_wassert(u"m_hObject != NULL", u"mt", 311), "Assertion failed: m_hObject != NULL, file mt, line 311");
}

} // namespace
