// The inline BSTR functions and CStringArray of the public header.

#include <kestrel/kestrel.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

namespace {

TEST(Bstr, IsLengthPrefixedTerminatedKeepsEmbeddedNulsAndHandlesNull)
{
    BSTR bs = SysAllocString(u"K\u00e9strel");
    ASSERT_NE(nullptr, bs);
    EXPECT_EQ(7u, SysStringLen(bs));
    EXPECT_EQ(14u, SysStringByteLen(bs));
    uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<unsigned char*>(bs) - 4, 4);
    EXPECT_EQ(14u, prefix);
    EXPECT_EQ(u'\u00e9', bs[1]);
    EXPECT_EQ(0, bs[7]);
    SysFreeString(bs);

    const char16_t text[] = {u'a', 0, u'b', 0, u'c'};
    bs = SysAllocStringLen(text, 5);
    ASSERT_NE(nullptr, bs);
    EXPECT_EQ(5u, SysStringLen(bs));
    EXPECT_EQ(0, std::memcmp(bs, text, sizeof text));
    EXPECT_EQ(0, bs[5]);
    SysFreeString(bs);
    bs = SysAllocStringLen(nullptr, 3);
    ASSERT_NE(nullptr, bs);
    EXPECT_EQ(std::u16string(4, u'\0'), std::u16string(bs, 4)) << "zero-filled without a source";
    SysFreeString(bs);

    EXPECT_EQ(nullptr, SysAllocString(nullptr));
    EXPECT_EQ(0u, SysStringLen(nullptr));
    EXPECT_EQ(0u, SysStringByteLen(nullptr));
    SysFreeString(nullptr);
    EXPECT_EQ(nullptr, SysAllocStringLen(nullptr, 0x80000000u)) << "a length that cannot be represented fails";
}

TEST(CStringArray, GrowsKeepsCopiesAndCopiesOrMovesWhole)
{
    CStringArray a;
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(nullptr, a.GetAt(0));
    std::string source;
    for (int i = 0; i < 100; ++i) {
        source = "entry" + std::to_string(i);
        EXPECT_EQ(i, a.Add(source.c_str()));
    }
    source = "changed";
    EXPECT_EQ(99, a.GetUpperBound());
    EXPECT_STREQ("entry0", a[0]);
    EXPECT_STREQ("entry99", a.GetAt(99));
    EXPECT_EQ(nullptr, a.GetAt(100));
    EXPECT_EQ(nullptr, a.GetAt(-1));
    a.Add(nullptr);
    EXPECT_STREQ("", a[100]);
    a.SetAt(0, "first");
    a.RemoveAt(1, 98);
    ASSERT_EQ(3, a.GetSize());
    EXPECT_STREQ("first", a[0]);
    EXPECT_STREQ("entry99", a[1]);
    a.SetSize(4);
    EXPECT_STREQ("", a[3]);
    a.SetSize(2);

    CStringArray copy;
    copy.Add("old");
    copy.Copy(a);
    copy.Copy(copy);
    ASSERT_EQ(2, copy.GetSize());
    EXPECT_STREQ("entry99", copy[1]);
    EXPECT_NE(a[1], copy[1]) << "its own storage";
    EXPECT_EQ(2, copy.Append(a));
    CStringArray moved(std::move(copy));
    EXPECT_EQ(0, copy.GetSize());
    CStringArray target;
    target.Add("x");
    target = std::move(moved);
    ASSERT_EQ(4, target.GetSize());
    EXPECT_STREQ("entry99", target[3]);
    target.RemoveAll();
    EXPECT_EQ(0, target.GetSize());
    EXPECT_EQ(nullptr, target.GetData());
}

}  // namespace
