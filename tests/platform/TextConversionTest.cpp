// Conversions between UTF-8, UTF-16LE, wide text and the local code page.
#include <string>

#include <gtest/gtest.h>
#include <unicode/ucnv.h>

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

TEST(TextConversion, LongTextsTakeTheHeapPass)
{
    const std::string strAscii(300, 'k');
    const std::string strUtf16 = Utf8ToUtf16Le(strAscii);
    EXPECT_EQ(strUtf16, Utf16Le(std::u16string(300, u'k')));
    EXPECT_EQ(Utf16LeToUtf8(strUtf16), strAscii);

    std::string strAccents;
    for (int i = 0; i < 150; ++i)
        strAccents += "\xC3\xA9"; // é: 300 bytes of UTF-8, 300 of UTF-16LE
    EXPECT_EQ(Utf8ToWide(strAccents), std::u16string(150, u'\u00E9'));
    EXPECT_EQ(WideToUtf8(std::u16string(150, u'\u00E9')), strAccents);
}

TEST(TextConversion, ResultsAroundTheStackBufferSize)
{
    for (const std::size_t nLength : {255u, 256u, 257u}) {
        const std::string strText(nLength, 'x');
        EXPECT_EQ(Utf16LeToUtf8(Utf16Le(std::u16string(nLength, u'x'))), strText) << nLength;
    }
    EXPECT_EQ(Utf8ToUtf16Le(std::string(128, 'y')).size(), 256u);
}

TEST(TextConversion, NonBmpCharactersBecomeSurrogatePairs)
{
    const std::string strGrin = "a\xF0\x9F\x98\x80z"; // U+1F600
    EXPECT_EQ(Utf8ToWide(strGrin), (std::u16string{u'a', 0xD83D, 0xDE00, u'z'}));
    EXPECT_EQ(WideToUtf8(std::u16string{u'a', 0xD83D, 0xDE00, u'z'}), strGrin);
}

TEST(TextConversion, InvalidSequencesAreSubstituted)
{
    EXPECT_EQ(Utf8ToWide("a\xFF" "b"), (std::u16string{u'a', 0xFFFD, u'b'}));
    EXPECT_EQ(WideToUtf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx") << "lone surrogate";
    EXPECT_EQ(Utf16LeToUtf8(std::string("A\0B", 3)), "A\xEF\xBF\xBD") << "odd trailing byte";
}

TEST(TextConversion, KeepsLineBreaksAndEmptyTexts)
{
    EXPECT_EQ(WideToUtf8(u"Access is denied.\r\n"), "Access is denied.\r\n");
    EXPECT_EQ(Utf8ToWide(""), u"");
    EXPECT_EQ(WideToUtf8(u""), "");
    EXPECT_EQ(Utf8ToUtf16Le(""), "");
    EXPECT_EQ(Utf16LeToUtf8(""), "");
    EXPECT_EQ(Utf8ToLocal(""), "");
}

// ICU on Linux hard-wires its default converter to UTF-8, so Utf8ToLocal
// is a plain copy here, invalid bytes included.
TEST(TextConversion, Utf8DefaultMakesUtf8ToLocalTheIdentity)
{
    ucnv_setDefaultName("UTF-8");
    ASSERT_STREQ(ucnv_getDefaultName(), "UTF-8");
    const std::string strText = "ok \xFF\xFE \xC3\xA9\r\n";
    EXPECT_EQ(Utf8ToLocal(strText), strText);
    EXPECT_EQ(Utf8ToLocal(std::string(300, 'q')), std::string(300, 'q'));
}

} // namespace
