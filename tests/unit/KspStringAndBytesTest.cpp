// The owned wide string that carries every name, and the two byte routines
// of the CAPI border.
#include "UnitTestSupport.h"

#include "common/KspBytes.h"
#include "common/KspString.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace
{

TEST(KspString, HoldsSixteenBitCodeUnits)
{
    static_assert(sizeof(KSP_WSTRING::value_type) == 2, "UTF-16 code units");
    // U+1F600 is a surrogate pair: two code units, counted as two.
    const WCHAR szFace[] = {0xD83D, 0xDE00, 0};
    const KSP_WSTRING strFace(szFace);
    EXPECT_EQ(2u, strFace.size());
    EXPECT_EQ(0, strFace.c_str()[2]) << "always NUL-terminated for platform calls";
}

TEST(KspString, EqualityIsOrdinalOverTheWholeString)
{
    const KSP_WSTRING strSha256(TEXT("SHA256"));
    struct Case {
        LPCWSTR pszOther;
        bool fEqual;
    } const rgCases[] = {
        {TEXT("SHA256"), true},   {TEXT("sha256"), false},  {TEXT("SHA"), false},
        {TEXT("SHA256 "), false}, {TEXT(" SHA256"), false}, {TEXT("SHA2560"), false},
        {TEXT(""), false},        {TEXT("SHA-256"), false}, {TEXT("ＳHA256"), false}, // fullwidth S
    };
    for (const Case &c : rgCases) {
        EXPECT_EQ(c.fEqual, strSha256 == KSP_WSTRING(c.pszOther)) << unit::Narrow(c.pszOther);
        EXPECT_EQ(c.fEqual, KSP_WSTRING(c.pszOther) == strSha256) << unit::Narrow(c.pszOther);
    }
    EXPECT_TRUE(KSP_WSTRING() == KSP_WSTRING(TEXT("")));
}

TEST(KspBytes, BitsToBytesRoundsUp)
{
    struct Case {
        DWORD dwBits;
        DWORD dwBytes;
    } const rgCases[] = {
        {0, 0},
        {1, 1},
        {7, 1},
        {8, 1},
        {9, 2},
        {1023, 128},
        {1024, 128},
        {1025, 129},
        {2047, 256},
        {2048, 256},
        {4096, 512},
        {0xFFFFFFF8u, 0x1FFFFFFFu},
        {0xFFFFFFFFu, 0x20000000u},
    };
    for (const Case &c : rgCases) {
        EXPECT_EQ(c.dwBytes, BitsToBytes(c.dwBits)) << c.dwBits << " bits";
    }
}

std::vector<BYTE> Reversed(std::vector<BYTE> bytes)
{
    ReverseByteOrder(bytes.data(), static_cast<DWORD>(bytes.size()));
    return bytes;
}

TEST(KspBytes, ReverseByteOrderSwapsEndsInwards)
{
    EXPECT_EQ((std::vector<BYTE>{3, 2, 1}), Reversed({1, 2, 3}));
    EXPECT_EQ((std::vector<BYTE>{4, 3, 2, 1}), Reversed({1, 2, 3, 4}));
    EXPECT_EQ((std::vector<BYTE>{0xAB}), Reversed({0xAB}));

    std::vector<BYTE> rgbLong(513);
    for (size_t i = 0; i < rgbLong.size(); ++i) {
        rgbLong[i] = static_cast<BYTE>(i * 7 + 1);
    }
    std::vector<BYTE> rgbExpected(rgbLong.rbegin(), rgbLong.rend());
    EXPECT_EQ(rgbExpected, Reversed(rgbLong));
}

TEST(KspBytes, ReverseByteOrderStaysWithinItsLength)
{
    BYTE rgb[6] = {1, 2, 3, 4, 0xEE, 0xEF};
    ReverseByteOrder(rgb, 4);
    const BYTE rgbExpected[6] = {4, 3, 2, 1, 0xEE, 0xEF};
    EXPECT_TRUE(std::equal(rgb, rgb + 6, rgbExpected));

    // With length 0 the buffer is not read at all: a null buffer is safe.
    ReverseByteOrder(nullptr, 0);
    BYTE bSingle = 0x5A;
    ReverseByteOrder(&bSingle, 0);
    EXPECT_EQ(0x5A, bSingle);
}

} // namespace
