// UTF-16 <-> UTF-8 conversion of the stand-in.
#include "kernel32/wide.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

struct Utf8Case {
    const char *pszName;
    std::u16string strUtf16;
    std::string strUtf8;
};

class WideRoundTripTest : public ::testing::TestWithParam<Utf8Case>
{
};

TEST_P(WideRoundTripTest, ConvertsBothWays)
{
    const Utf8Case &c = GetParam();
    EXPECT_EQ(c.strUtf8, qvn::ToUtf8(c.strUtf16)) << c.pszName;
    EXPECT_EQ(c.strUtf8, qvn::ToUtf8(c.strUtf16.c_str())) << c.pszName;
    EXPECT_EQ(c.strUtf16, qvn::ToUtf16(c.strUtf8)) << c.pszName;
}

INSTANTIATE_TEST_SUITE_P(
    Text, WideRoundTripTest,
    ::testing::Values(Utf8Case{"empty", u"", ""}, Utf8Case{"ascii", u"Quorvane Alder", "Quorvane Alder"},
                      Utf8Case{"two bytes", u"\u00e9\u07ff", "\xC3\xA9\xDF\xBF"},
                      Utf8Case{"three bytes", u"\u0800\u20ac\uffff", "\xE0\xA0\x80\xE2\x82\xAC\xEF\xBF\xBF"},
                      Utf8Case{"surrogate pair", u"\U0001F600\U0010FFFF", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
                      Utf8Case{"mixed", u"a\u00e9\U00010000z", "a\xC3\xA9\xF0\x90\x80\x80z"}));

TEST(WideTest, NullPointerGivesEmptyText)
{
    EXPECT_EQ(std::string(), qvn::ToUtf8(static_cast<LPCWSTR>(nullptr)));
}

TEST(WideTest, PointerFormStopsAtTheNul)
{
    const char16_t sz[] = {u'a', u'b', 0, u'c', 0};
    EXPECT_EQ("ab", qvn::ToUtf8(sz));
    // The string form keeps an embedded NUL.
    EXPECT_EQ(std::string("ab\0c", 4), qvn::ToUtf8(std::u16string(sz, 4)));
}

TEST(WideTest, UnpairedSurrogatesBecomeReplacementCharacters)
{
    EXPECT_EQ("\xEF\xBF\xBDx", qvn::ToUtf8(std::u16string{0xD800, u'x'}));
    EXPECT_EQ("x\xEF\xBF\xBD", qvn::ToUtf8(std::u16string{u'x', 0xDC00}));
    EXPECT_EQ("\xEF\xBF\xBD", qvn::ToUtf8(std::u16string{0xDBFF}));
    // Low before high is two unpaired surrogates.
    EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD", qvn::ToUtf8(std::u16string{0xDC00, 0xD800}));
}

struct MalformedCase {
    const char *pszName;
    std::string strUtf8;
    std::u16string strExpected;
};

class MalformedUtf8Test : public ::testing::TestWithParam<MalformedCase>
{
};

TEST_P(MalformedUtf8Test, EachBadSequenceBecomesOneReplacement)
{
    const MalformedCase &c = GetParam();
    EXPECT_EQ(c.strExpected, qvn::ToUtf16(c.strUtf8)) << c.pszName;
}

INSTANTIATE_TEST_SUITE_P(Bytes, MalformedUtf8Test,
                         ::testing::Values(MalformedCase{"stray continuation", "a\x80z", u"a\ufffdz"},
                                           MalformedCase{"invalid lead", "\xFF\xFE", u"\ufffd\ufffd"},
                                           MalformedCase{"truncated at end", "a\xE2\x82", u"a\ufffd"},
                                           MalformedCase{"truncated before ascii", "\xE2\x82z", u"\ufffdz"},
                                           MalformedCase{"overlong slash", "\xC0\xAF", u"\ufffd"},
                                           MalformedCase{"overlong nul", "\xE0\x80\x80", u"\ufffd"},
                                           MalformedCase{"encoded surrogate", "\xED\xA0\x80", u"\ufffd"},
                                           MalformedCase{"above U+10FFFF", "\xF4\x90\x80\x80", u"\ufffd"}));

} // namespace
