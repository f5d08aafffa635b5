// VerSetConditionMask and VerifyVersionInfoW against the emulated version.
#include <windows.h>
#include <qvnplatform.h>

#include <gtest/gtest.h>

#include <cstring>

namespace
{

// ---- VerSetConditionMask -------------------------------------------------------

struct MaskCase {
    const char *pszName;
    ULONGLONG ullStart;
    DWORD dwTypeMask;
    BYTE bCondition;
    ULONGLONG ullExpected;
};

class ConditionMaskTest : public ::testing::TestWithParam<MaskCase>
{
};

TEST_P(ConditionMaskTest, SetsThreeBitsAtTheTypeFlagsIndex)
{
    const MaskCase &c = GetParam();
    EXPECT_EQ(c.ullExpected, VerSetConditionMask(c.ullStart, c.dwTypeMask, c.bCondition)) << c.pszName;
}

INSTANTIATE_TEST_SUITE_P(
    Layout, ConditionMaskTest,
    ::testing::Values(MaskCase{"minor", 0, VER_MINORVERSION, VER_GREATER_EQUAL, 0x3},
                      MaskCase{"major", 0, VER_MAJORVERSION, VER_GREATER_EQUAL, 0x18},
                      MaskCase{"build", 0, VER_BUILDNUMBER, VER_EQUAL, 0x40},
                      MaskCase{"platform", 0, VER_PLATFORMID, VER_LESS, 0x800},
                      MaskCase{"sp minor", 0, VER_SERVICEPACKMINOR, VER_GREATER, 0x2000},
                      MaskCase{"sp major", 0, VER_SERVICEPACKMAJOR, VER_LESS_EQUAL, 0x28000},
                      MaskCase{"suite", 0, VER_SUITENAME, VER_AND, 0x180000},
                      MaskCase{"product type", 0, VER_PRODUCT_TYPE, VER_OR, 0xE00000},
                      // Existing bits are kept; the new condition is or-ed in.
                      MaskCase{"major then minor", 0x18, VER_MINORVERSION, VER_GREATER_EQUAL, 0x1B},
                      MaskCase{"same type again", 0x08, VER_MAJORVERSION, VER_LESS, 0x28},
                      // Only the low three bits of the condition count.
                      MaskCase{"condition masked", 0, VER_MAJORVERSION, 0x0B, 0x18},
                      // One attribute per call: the highest type flag given wins.
                      MaskCase{"several types", 0, VER_MAJORVERSION | VER_MINORVERSION, VER_EQUAL, 0x08},
                      MaskCase{"several types high", 0, VER_SERVICEPACKMINOR | VER_PLATFORMID | VER_MINORVERSION,
                               VER_EQUAL, 0x1000},
                      MaskCase{"no type", 0x1B, 0, VER_EQUAL, 0x1B},
                      MaskCase{"unknown type bit", 0x1B, 0x100, VER_EQUAL, 0x1B}),
    [](const ::testing::TestParamInfo<MaskCase> &info) {
        std::string strName = info.param.pszName;
        for (char &ch : strName) {
            if (ch == ' ') {
                ch = '_';
            }
        }
        return strName;
    });

// ---- VerifyVersionInfoW -----------------------------------------------------------

OSVERSIONINFOEXW MakeInfo(DWORD dwMajor, DWORD dwMinor)
{
    OSVERSIONINFOEXW info;
    std::memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = dwMajor;
    info.dwMinorVersion = dwMinor;
    return info;
}

ULONGLONG MajorMinorAtLeast()
{
    ULONGLONG ullMask = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    return VerSetConditionMask(ullMask, VER_MINORVERSION, VER_GREATER_EQUAL);
}

// Returns the BOOL result; *pdwError receives the last error afterwards (it is
// preset to a sentinel, so that a success shows that it was left alone).
constexpr DWORD kSentinel = 0x5EA1;

BOOL Verify(OSVERSIONINFOEXW info, DWORD dwTypeMask, ULONGLONG ullConditions, DWORD *pdwError)
{
    SetLastError(kSentinel);
    const BOOL fResult = VerifyVersionInfoW(&info, dwTypeMask, ullConditions);
    *pdwError = GetLastError();
    return fResult;
}

class VerifyVersionTest : public ::testing::Test
{
protected:
    void SetUp() override { QvnPlatformReset(); }
    void TearDown() override { QvnPlatformReset(); }

    void ExpectPass(const OSVERSIONINFOEXW &info, DWORD dwTypeMask, ULONGLONG ullConditions)
    {
        DWORD dwError = 0;
        EXPECT_TRUE(Verify(info, dwTypeMask, ullConditions, &dwError));
        EXPECT_EQ(kSentinel, dwError);
    }

    void ExpectFail(DWORD dwExpectedError, const OSVERSIONINFOEXW &info, DWORD dwTypeMask, ULONGLONG ullConditions)
    {
        DWORD dwError = 0;
        EXPECT_FALSE(Verify(info, dwTypeMask, ullConditions, &dwError));
        EXPECT_EQ(dwExpectedError, dwError);
    }
};

struct AtLeastCase {
    DWORD dwRunningMajor;
    DWORD dwRunningMinor;
    DWORD dwWantedMajor;
    DWORD dwWantedMinor;
    bool fExpected;
};

class VerifyAtLeastTest : public VerifyVersionTest, public ::testing::WithParamInterface<AtLeastCase>
{
};

TEST_P(VerifyAtLeastTest, MajorAndMinorGreaterOrEqual)
{
    const AtLeastCase &c = GetParam();
    QvnPlatformSetWindowsVersion(c.dwRunningMajor, c.dwRunningMinor);
    const OSVERSIONINFOEXW info = MakeInfo(c.dwWantedMajor, c.dwWantedMinor);
    if (c.fExpected) {
        ExpectPass(info, VER_MAJORVERSION | VER_MINORVERSION, MajorMinorAtLeast());
    } else {
        ExpectFail(ERROR_OLD_WIN_VERSION, info, VER_MAJORVERSION | VER_MINORVERSION, MajorMinorAtLeast());
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, VerifyAtLeastTest,
                         ::testing::Values(AtLeastCase{10, 0, 6, 0, true}, AtLeastCase{6, 0, 6, 0, true},
                                           AtLeastCase{6, 1, 6, 0, true}, AtLeastCase{6, 3, 6, 0, true},
                                           AtLeastCase{5, 2, 6, 0, false}, AtLeastCase{5, 1, 6, 0, false},
                                           AtLeastCase{5, 0, 6, 0, false},
                                           // a higher major wins even with a lower minor
                                           AtLeastCase{10, 0, 6, 3, true}, AtLeastCase{6, 1, 6, 2, false},
                                           AtLeastCase{6, 2, 6, 2, true}, AtLeastCase{10, 0, 10, 1, false},
                                           AtLeastCase{10, 0, 11, 0, false}));

TEST_F(VerifyVersionTest, DefaultIsWindows10Build19045AndResetRestoresIt)
{
    OSVERSIONINFOEXW info = MakeInfo(10, 0);
    info.dwBuildNumber = 19045;
    const DWORD dwTypeMask = VER_MAJORVERSION | VER_MINORVERSION | VER_BUILDNUMBER;
    ULONGLONG ullEqual = VerSetConditionMask(0, VER_MAJORVERSION, VER_EQUAL);
    ullEqual = VerSetConditionMask(ullEqual, VER_MINORVERSION, VER_EQUAL);
    ullEqual = VerSetConditionMask(ullEqual, VER_BUILDNUMBER, VER_EQUAL);
    ExpectPass(info, dwTypeMask, ullEqual);

    QvnPlatformSetWindowsVersion(5, 1);
    ExpectFail(ERROR_OLD_WIN_VERSION, info, dwTypeMask, ullEqual);
    QvnPlatformReset();
    ExpectPass(info, dwTypeMask, ullEqual);
}

TEST_F(VerifyVersionTest, EmulatedVersionsReportTheirReleaseBuild)
{
    struct {
        DWORD dwMajor;
        DWORD dwMinor;
        DWORD dwBuild;
    } const cases[] = {{5, 1, 2600}, {5, 2, 3790}, {6, 0, 6002}, {6, 1, 7601}, {10, 0, 19045}};
    const ULONGLONG ullBuildEqual = VerSetConditionMask(0, VER_BUILDNUMBER, VER_EQUAL);
    for (const auto &c : cases) {
        QvnPlatformSetWindowsVersion(c.dwMajor, c.dwMinor);
        OSVERSIONINFOEXW info = MakeInfo(0, 0);
        info.dwBuildNumber = c.dwBuild;
        ExpectPass(info, VER_BUILDNUMBER, ullBuildEqual);
        info.dwBuildNumber = c.dwBuild + 1;
        ExpectFail(ERROR_OLD_WIN_VERSION, info, VER_BUILDNUMBER, ullBuildEqual);
    }
}

TEST_F(VerifyVersionTest, EmptyTypeMaskOrConditionMaskIsBadArguments)
{
    const OSVERSIONINFOEXW info = MakeInfo(6, 0);
    ExpectFail(ERROR_BAD_ARGUMENTS, info, 0, MajorMinorAtLeast());
    ExpectFail(ERROR_BAD_ARGUMENTS, info, VER_MAJORVERSION | VER_MINORVERSION, 0);
}

TEST_F(VerifyVersionTest, StructureSizeIsNotChecked)
{
    OSVERSIONINFOEXW info = MakeInfo(6, 0);
    info.dwOSVersionInfoSize = 0;
    ExpectPass(info, VER_MAJORVERSION | VER_MINORVERSION, MajorMinorAtLeast());
}

TEST_F(VerifyVersionTest, NullStructureIsAnInvalidParameter)
{
    SetLastError(kSentinel);
    EXPECT_FALSE(VerifyVersionInfoW(nullptr, VER_MAJORVERSION, MajorMinorAtLeast()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(VerifyVersionTest, AttributeInTypeMaskWithoutConditionNeverMatches)
{
    QvnPlatformSetWindowsVersion(6, 0);
    // Major has no condition of its own: the comparison fails at once.
    const ULONGLONG ullMinorOnly = VerSetConditionMask(0, VER_MINORVERSION, VER_GREATER_EQUAL);
    ExpectFail(ERROR_OLD_WIN_VERSION, MakeInfo(6, 0), VER_MAJORVERSION | VER_MINORVERSION, ullMinorOnly);
    // A build number without condition fails, even when everything else passes.
    const ULONGLONG ullMajorOnly = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    ExpectFail(ERROR_OLD_WIN_VERSION, MakeInfo(0, 0), VER_MAJORVERSION | VER_MINORVERSION | VER_BUILDNUMBER,
               ullMajorOnly);
    // Conditions for attributes outside the type mask play no part.
    ExpectPass(MakeInfo(0, 0), VER_MAJORVERSION | VER_MINORVERSION, ullMajorOnly);
}

TEST_F(VerifyVersionTest, MajorMinorAndServicePackCompareAsOneNumber)
{
    QvnPlatformSetWindowsVersion(6, 0); // no service pack
    const DWORD dwAll = VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR | VER_SERVICEPACKMINOR;
    auto conditions = [](BYTE bMajor, BYTE bMinor, BYTE bSpMajor, BYTE bSpMinor) {
        ULONGLONG ull = VerSetConditionMask(0, VER_MAJORVERSION, bMajor);
        ull = VerSetConditionMask(ull, VER_MINORVERSION, bMinor);
        ull = VerSetConditionMask(ull, VER_SERVICEPACKMAJOR, bSpMajor);
        return VerSetConditionMask(ull, VER_SERVICEPACKMINOR, bSpMinor);
    };

    // 6.0 SP1 or later: the major and minor are equal, the service pack decides.
    OSVERSIONINFOEXW info = MakeInfo(6, 0);
    info.wServicePackMajor = 1;
    const ULONGLONG ullAtLeast = conditions(VER_GREATER_EQUAL, VER_GREATER_EQUAL, VER_GREATER_EQUAL, VER_GREATER_EQUAL);
    ExpectFail(ERROR_OLD_WIN_VERSION, info, dwAll, ullAtLeast);
    // 5.2 SP3 or later: the major decides alone.
    info = MakeInfo(5, 2);
    info.wServicePackMajor = 3;
    ExpectPass(info, dwAll, ullAtLeast);
    // 6.0 SP0.1 or later fails on the minor of the service pack.
    info = MakeInfo(6, 0);
    info.wServicePackMinor = 1;
    ExpectFail(ERROR_OLD_WIN_VERSION, info, dwAll, ullAtLeast);
}

TEST_F(VerifyVersionTest, FirstConditionGovernsLaterOnesOfTheOtherDirection)
{
    QvnPlatformSetWindowsVersion(6, 0);
    const DWORD dwMajorMinor = VER_MAJORVERSION | VER_MINORVERSION;
    auto conditions = [](BYTE bMajor, BYTE bMinor) {
        return VerSetConditionMask(VerSetConditionMask(0, VER_MAJORVERSION, bMajor), VER_MINORVERSION, bMinor);
    };
    const OSVERSIONINFOEXW wantedNextMinor = MakeInfo(6, 1);

    // Major GREATER_EQUAL, minor LESS: LESS is overruled, 0 >= 1 fails.
    ExpectFail(ERROR_OLD_WIN_VERSION, wantedNextMinor, dwMajorMinor, conditions(VER_GREATER_EQUAL, VER_LESS));
    // Major EQUAL lets the minor use its own condition: 0 < 1 passes.
    ExpectPass(wantedNextMinor, dwMajorMinor, conditions(VER_EQUAL, VER_LESS));
    // Major LESS_EQUAL, minor LESS: same direction, the minor's own condition.
    ExpectPass(wantedNextMinor, dwMajorMinor, conditions(VER_LESS_EQUAL, VER_LESS));
    // Major GREATER_EQUAL, minor EQUAL: EQUAL is always its own condition.
    ExpectFail(ERROR_OLD_WIN_VERSION, wantedNextMinor, dwMajorMinor, conditions(VER_GREATER_EQUAL, VER_EQUAL));
    ExpectPass(MakeInfo(5, 1), dwMajorMinor, conditions(VER_GREATER_EQUAL, VER_EQUAL));
    // A condition that is not a comparison for the first part never matches.
    ExpectFail(ERROR_OLD_WIN_VERSION, wantedNextMinor, dwMajorMinor, conditions(VER_AND, VER_LESS));
    // Major without a condition of its own, inside the type mask: fails.
    ExpectFail(ERROR_OLD_WIN_VERSION, MakeInfo(6, 0), dwMajorMinor, conditions(0, VER_EQUAL));
}

TEST_F(VerifyVersionTest, MissingLaterConditionFixesTheGoverningOne)
{
    QvnPlatformSetWindowsVersion(6, 0);
    const DWORD dwAll = VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR | VER_SERVICEPACKMINOR;
    // Major GREATER_EQUAL; minor has none, so GREATER_EQUAL goes on governing
    // the service pack even though it asks for LESS.
    ULONGLONG ull = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    ull = VerSetConditionMask(ull, VER_SERVICEPACKMAJOR, VER_LESS);
    OSVERSIONINFOEXW info = MakeInfo(6, 0);
    info.wServicePackMajor = 1;
    ExpectFail(ERROR_OLD_WIN_VERSION, info, dwAll, ull);
    // An equal service pack passes under GREATER_EQUAL (LESS would fail it).
    info.wServicePackMajor = 0;
    ExpectPass(info, dwAll, ull);
}

TEST_F(VerifyVersionTest, PlatformProductTypeAndSuite)
{
    OSVERSIONINFOEXW info = MakeInfo(0, 0);
    info.dwPlatformId = 2; // VER_PLATFORM_WIN32_NT
    ExpectPass(info, VER_PLATFORMID, VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL));
    info.dwPlatformId = 1;
    ExpectFail(ERROR_OLD_WIN_VERSION, info, VER_PLATFORMID, VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL));

    info.wProductType = 1; // VER_NT_WORKSTATION
    ExpectPass(info, VER_PRODUCT_TYPE, VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL));
    info.wProductType = 3; // VER_NT_SERVER
    ExpectFail(ERROR_OLD_WIN_VERSION, info, VER_PRODUCT_TYPE, VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL));

    const ULONGLONG ullAnd = VerSetConditionMask(0, VER_SUITENAME, VER_AND);
    const ULONGLONG ullOr = VerSetConditionMask(0, VER_SUITENAME, VER_OR);
    info.wSuiteMask = 0x0100; // VER_SUITE_SINGLEUSERTS, which the system has
    ExpectPass(info, VER_SUITENAME, ullAnd);
    ExpectPass(info, VER_SUITENAME, ullOr);
    info.wSuiteMask = 0x0101; // and VER_SUITE_SMALLBUSINESS, which it lacks
    ExpectFail(ERROR_OLD_WIN_VERSION, info, VER_SUITENAME, ullAnd);
    ExpectPass(info, VER_SUITENAME, ullOr);
    info.wSuiteMask = 0x0001;
    ExpectFail(ERROR_OLD_WIN_VERSION, info, VER_SUITENAME, ullOr);
    info.wSuiteMask = 0;
    ExpectPass(info, VER_SUITENAME, ullAnd);
    ExpectPass(info, VER_SUITENAME, ullOr);
    // The suite only takes AND or OR.
    ExpectFail(ERROR_BAD_ARGUMENTS, info, VER_SUITENAME, VerSetConditionMask(0, VER_SUITENAME, VER_EQUAL));
}

} // namespace
