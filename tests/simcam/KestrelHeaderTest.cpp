// The inline BSTR functions and CStringArray of the public header.

#include <kestrel/kestrel.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

namespace {

TEST(Bstr, LayoutIsLengthPrefixedAndTerminated)
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
}

TEST(Bstr, AllocStringLenKeepsEmbeddedNulsAndZeroFillsWithoutSource)
{
    const char16_t text[] = {u'a', 0, u'b', 0, u'c'};
    BSTR bs = SysAllocStringLen(text, 5);
    ASSERT_NE(nullptr, bs);
    EXPECT_EQ(5u, SysStringLen(bs));
    EXPECT_EQ(0, std::memcmp(bs, text, sizeof text));
    EXPECT_EQ(0, bs[5]);
    SysFreeString(bs);

    BSTR zeros = SysAllocStringLen(nullptr, 3);
    ASSERT_NE(nullptr, zeros);
    EXPECT_EQ(3u, SysStringLen(zeros));
    for (int i = 0; i <= 3; ++i)
        EXPECT_EQ(0, zeros[i]);
    SysFreeString(zeros);

    BSTR empty = SysAllocString(u"");
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(0u, SysStringLen(empty));
    SysFreeString(empty);
}

TEST(Bstr, NullIsHandledEverywhere)
{
    EXPECT_EQ(nullptr, SysAllocString(nullptr));
    EXPECT_EQ(0u, SysStringLen(nullptr));
    EXPECT_EQ(0u, SysStringByteLen(nullptr));
    SysFreeString(nullptr);
    // A length that cannot be represented fails instead of wrapping.
    EXPECT_EQ(nullptr, SysAllocStringLen(nullptr, 0x80000000u));
}

TEST(CStringArray, GrowsAndKeepsCopies)
{
    CStringArray a;
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(nullptr, a.GetAt(0));
    std::string source = "entry";
    for (int i = 0; i < 100; ++i) {
        source = "entry" + std::to_string(i);
        EXPECT_EQ(i, a.Add(source.c_str()));
    }
    source = "changed";
    EXPECT_EQ(100, a.GetSize());
    EXPECT_EQ(99, a.GetUpperBound());
    EXPECT_STREQ("entry0", a[0]);
    EXPECT_STREQ("entry99", a.GetAt(99));
    EXPECT_EQ(nullptr, a.GetAt(100));
    EXPECT_EQ(nullptr, a.GetAt(-1));

    a.Add(nullptr);
    EXPECT_STREQ("", a[100]);
    a.SetAt(0, "first");
    EXPECT_STREQ("first", a[0]);
    a.RemoveAt(1, 98);
    ASSERT_EQ(3, a.GetSize());
    EXPECT_STREQ("entry99", a[1]);
    a.RemoveAll();
    EXPECT_EQ(0, a.GetSize());
    EXPECT_EQ(nullptr, a.GetData());
}

TEST(CStringArray, SetSizeCopyAndMove)
{
    CStringArray a;
    a.SetSize(3);
    ASSERT_EQ(3, a.GetSize());
    EXPECT_STREQ("", a[2]);
    a.SetAt(1, "one");
    a.SetSize(2);
    EXPECT_EQ(2, a.GetSize());

    CStringArray copy;
    copy.Add("old");
    copy.Copy(a);
    ASSERT_EQ(2, copy.GetSize());
    EXPECT_STREQ("one", copy[1]);
    EXPECT_NE(a[1], copy[1]); // its own storage
    copy.Copy(copy);
    EXPECT_EQ(2, copy.GetSize());

    EXPECT_EQ(2, copy.Append(a));
    EXPECT_EQ(4, copy.GetSize());

    CStringArray moved(std::move(copy));
    EXPECT_EQ(4, moved.GetSize());
    EXPECT_EQ(0, copy.GetSize());
    CStringArray target;
    target.Add("x");
    target = std::move(moved);
    EXPECT_EQ(4, target.GetSize());
    EXPECT_STREQ("one", target[3]);
}

} // namespace
