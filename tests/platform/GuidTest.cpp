// GUID text forms.
#include <set>

#include <boost/regex.hpp>
#include <gtest/gtest.h>

#include "platform/GUID.h"

namespace {

TEST(Guid, NilIsTheDefault)
{
    const NmGUID::CmGUID guid;
    EXPECT_TRUE(guid.IsNil());
    EXPECT_EQ(guid.ToString(), "00000000-0000-0000-0000-000000000000");
}

TEST(Guid, NewOnesAreRandomUpperCaseAndDistinct)
{
    const boost::regex rxRandomGuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> setSeen;
    for (int i = 0; i < 100; ++i) {
        NmGUID::CmGUID guid;
        guid.GenerateNew();
        EXPECT_FALSE(guid.IsNil());
        const std::string strText = guid.ToString();
        EXPECT_EQ(strText.size(), 36u);
        EXPECT_TRUE(boost::regex_match(strText, rxRandomGuid)) << strText;
        EXPECT_TRUE(setSeen.insert(strText).second) << strText;
    }
}

} // namespace
