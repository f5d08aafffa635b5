// VerSetConditionMask and VerifyVersionInfoW against the emulated version.
#include <windows.h>
#include <qvnplatform.h>

#include <gtest/gtest.h>

#include <cstring>

namespace
{

TEST(VersionTest, ConditionMaskSetsThreeBitsAtTheIndexOfTheHighestTypeFlag)
{
    const struct {
        ULONGLONG ullStart;
        DWORD dwTypeMask;
        BYTE bCondition;
        ULONGLONG ullExpected;
    } cases[] = {
        {0, VER_MINORVERSION, VER_GREATER_EQUAL, 0x3},
        {0, VER_MAJORVERSION, VER_GREATER_EQUAL, 0x18},
        {0, VER_PRODUCT_TYPE, VER_OR, 0xE00000},
        {0x18, VER_MINORVERSION, VER_GREATER_EQUAL, 0x1B}, // existing bits are kept
        {0x08, VER_MAJORVERSION, VER_LESS, 0x28},          // and or-ed with
        {0, VER_MAJORVERSION, 0x0B, 0x18},                 // only three bits of the condition
        {0, VER_SERVICEPACKMINOR | VER_PLATFORMID | VER_MINORVERSION, VER_EQUAL, 0x1000},
        {0x1B, 0x100, VER_EQUAL, 0x1B}, // not a type flag
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.ullExpected, VerSetConditionMask(c.ullStart, c.dwTypeMask, c.bCondition))
            << std::hex << c.ullStart << " " << c.dwTypeMask << " " << int(c.bCondition);
    }
}

TEST(VersionTest, MajorAndMinorAtLeastAgainstTheEmulatedVersion)
{
    const struct {
        DWORD dwRunningMajor, dwRunningMinor; // 0.0: the default, 10.0
        DWORD dwMajor, dwMinor;
        bool fExpected;
    } cases[] = {
        {0, 0, 6, 0, true},  {10, 0, 6, 0, true},   {6, 0, 6, 0, true},    {6, 1, 6, 0, true},  {6, 3, 6, 0, true},
        {5, 2, 6, 0, false}, {5, 1, 6, 0, false},   {5, 0, 6, 0, false},   {10, 0, 6, 3, true}, {6, 1, 6, 2, false},
        {6, 2, 6, 2, true},  {10, 0, 10, 1, false}, {10, 0, 11, 0, false}, {0, 0, 10, 0, true}, {0, 0, 10, 1, false},
    };
    ULONGLONG ullConditions = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    ullConditions = VerSetConditionMask(ullConditions, VER_MINORVERSION, VER_GREATER_EQUAL);
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.dwRunningMajor << "." << c.dwRunningMinor << " >= " << c.dwMajor << "."
                                        << c.dwMinor);
        QvnPlatformReset();
        if (c.dwRunningMajor != 0) {
            QvnPlatformSetWindowsVersion(c.dwRunningMajor, c.dwRunningMinor);
        }
        OSVERSIONINFOEXW info;
        std::memset(&info, 0, sizeof(info));
        info.dwOSVersionInfoSize = sizeof(info);
        info.dwMajorVersion = c.dwMajor;
        info.dwMinorVersion = c.dwMinor;
        SetLastError(0x5EA1);
        EXPECT_EQ(c.fExpected, VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION, ullConditions) != 0);
        EXPECT_EQ(c.fExpected ? 0x5EA1u : static_cast<DWORD>(ERROR_OLD_WIN_VERSION), GetLastError());
        // A build number, in the type mask without a condition of its own, never matches.
        EXPECT_FALSE(VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_BUILDNUMBER, ullConditions));
        EXPECT_EQ(static_cast<DWORD>(ERROR_OLD_WIN_VERSION), GetLastError());
    }
    QvnPlatformReset();

    OSVERSIONINFOEXW info;
    std::memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    EXPECT_FALSE(VerifyVersionInfoW(&info, 0, ullConditions));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_ARGUMENTS), GetLastError());
    EXPECT_FALSE(VerifyVersionInfoW(&info, VER_MAJORVERSION, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_ARGUMENTS), GetLastError());
    EXPECT_FALSE(VerifyVersionInfoW(nullptr, VER_MAJORVERSION, ullConditions));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

} // namespace
