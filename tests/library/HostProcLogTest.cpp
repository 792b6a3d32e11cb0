// [HostProc] Log= travels from Proxies.ini to every HostProc the library
// starts: none silences HostProc's lines (the library's own stay), an
// unknown value keeps them on standard error and says so once at level 1.
#include "LibraryHarness.h"

namespace kestrel_test {
namespace {

struct LogCase {
    const char* szValue;
    bool bHostProcLines;
    bool bUnknownLine;
};

class HostProcLogTest : public LibraryTest, public ::testing::WithParamInterface<LogCase> {};

TEST_P(HostProcLogTest, RoutesHostProcLines) {
    const LogCase& c = GetParam();
    options.strIniExtra = std::string("[HostProc]\nLog=") + c.szValue + "\n";
    Load();
    // HostProc says it opened the driver before LoadDriver answers.
    ASSERT_EQ(k.AddDeviceInstance("cam", TestDriver().c_str(), "logged"), 1);
    EXPECT_EQ(HasLine("]: opened driver '" + TestDriver() + "'"), c.bHostProcLines);
    EXPECT_EQ(CountLines(std::string("[HostProc] Log=") + c.szValue + " is not stderr, syslog or none: using stderr"),
              c.bUnknownLine ? 1 : 0);
    EXPECT_TRUE(HasLine("Adding instance 'cam' on server 'logged'"));
    k.RemoveDeviceInstance("cam");
}

INSTANTIATE_TEST_SUITE_P(Values, HostProcLogTest,
                         ::testing::Values(LogCase{"none", false, false}, LogCase{"journal", true, true}),
                         [](const auto& info) { return std::string(info.param.szValue); });

}  // namespace
}  // namespace kestrel_test
