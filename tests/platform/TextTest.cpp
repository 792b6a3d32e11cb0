// Text: conversions between UTF-8, UTF-16LE and wide text (the local code
// page is UTF-8 on Linux; error chains print through it), and the text form
// of GUIDs.
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <boost/regex.hpp>

#include "platform/GUID.h"
#include "platform/TextConversion.h"

namespace {

using namespace NmTextConversion;

std::string Utf16Le(const std::u16string& strUnits)
{
    std::string strBytes;
    for (const char16_t cUnit : strUnits) {
        strBytes.push_back(static_cast<char>(cUnit & 0xFF));
        strBytes.push_back(static_cast<char>(cUnit >> 8));
    }
    return strBytes;
}

TEST(TextConversion, EveryDirectionConvertsWholeTextsOfAnyLength)
{
    // Around the stack buffer of 256 bytes, and well beyond it.
    const struct {
        std::string strUtf8;
        std::u16string strWide;
    } cases[] = {
        {"", u""},
        {"Access is denied.\r\n", u"Access is denied.\r\n"},
        {"a\xF0\x9F\x98\x80z", {u'a', 0xD83D, 0xDE00, u'z'}},  // beyond the BMP: a surrogate pair
        {std::string(127, 'x'), std::u16string(127, u'x')},
        {std::string(128, 'x'), std::u16string(128, u'x')},
        {std::string(129, 'x'), std::u16string(129, u'x')},
        {std::string(256, 'x'), std::u16string(256, u'x')},
        {std::string(300, 'k'), std::u16string(300, u'k')},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8ToWide(c.strUtf8), c.strWide) << c.strUtf8.size();
        EXPECT_EQ(WideToUtf8(c.strWide), c.strUtf8) << c.strUtf8.size();
        EXPECT_EQ(Utf8ToUtf16Le(c.strUtf8), Utf16Le(c.strWide)) << c.strUtf8.size();
        EXPECT_EQ(Utf16LeToUtf8(Utf16Le(c.strWide)), c.strUtf8) << c.strUtf8.size();
    }
    std::string strAccents;  // 300 bytes of UTF-8, 300 of UTF-16LE
    for (int i = 0; i < 150; ++i)
        strAccents += "\xC3\xA9";
    EXPECT_EQ(Utf8ToWide(strAccents), std::u16string(150, u'\u00E9'));
    EXPECT_EQ(WideToUtf8(std::u16string(150, u'\u00E9')), strAccents);
}

TEST(TextConversion, InvalidSequencesAreSubstituted)
{
    EXPECT_EQ(Utf8ToWide("a\xFF"
                         "b"),
              (std::u16string{u'a', 0xFFFD, u'b'}));
    EXPECT_EQ(WideToUtf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx") << "lone surrogate";
    EXPECT_EQ(Utf16LeToUtf8(std::string("A\0B", 3)), "A\xEF\xBF\xBD") << "odd trailing byte";
}

// New GUIDs name HostProc endpoints: random, upper case, distinct.
TEST(Guid, NewOnesAreRandomUpperCaseAndDistinct)
{
    NmGUID::CmGUID guid;
    const boost::regex rxRandom("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> setSeen;
    for (int i = 0; i < 100; ++i) {
        guid.GenerateNew();
        EXPECT_TRUE(boost::regex_match(guid.ToString(), rxRandom)) << guid.ToString();
        EXPECT_TRUE(setSeen.insert(guid.ToString()).second) << guid.ToString();
    }
}

}  // namespace
