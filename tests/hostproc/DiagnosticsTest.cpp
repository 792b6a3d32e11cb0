// HostProc's lines about a driver that dies, throws or exits, exactly as a
// user reads them. The proxy-server name and the driver's path carry a
// newline and bytes that are no UTF-8: they show escaped, so no line is
// forged, and the fatal-signal line (written by the handler from prepared
// text) escapes the path the same way.
#include <filesystem>
#include <sstream>

#include "HostProcHarness.h"

namespace hostproc_test {
namespace {

struct LineCase {
    const char* szName;
    const char* szId;    // the call's directives
    const char* szLine;  // after the prefix; %s: the driver's path, escaped
    bool bEnds;          // the HostProc ends
};

void PrintTo(const LineCase& c, std::ostream* pOut) { *pOut << c.szName; }

class DriverLine : public HostProcTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(DriverLine, NamesDriverAndExportEscaped) {
    const LineCase& c = GetParam();
    const std::string strDriver = Root() +
                                  "/lib\ntest\xfe"
                                  "driver.so";
    std::filesystem::copy_file(TestDriver(), strDriver);
    HostProcOptions options;
    options.strName = "cam\nHostProc cam[1]: forged \xc3\xa9\xff";
    Start(options);
    RpcDriverCtx hCtx = Load(strDriver);
    ASSERT_NE(hCtx, nullptr);

    EXPECT_EQ(StatusOf([&] { rpc_OpenConnection(hCtx, c.szId, "pw", 0, 1); }), RPC_S_CALL_FAILED);
    if (c.bEnds) {
        ASSERT_TRUE(WaitExit().has_value());
    }
    RemoveStaleSocket();  // _exit leaves it

    const std::string strPrefix =
        "HostProc cam\\x0aHostProc cam[1]: forged \xc3\xa9\\xff[" + std::to_string(Pid()) + "]: ";
    char szExpected[512];
    snprintf(szExpected, sizeof szExpected, c.szLine,
             (Root() + "/lib\\x0atest\\xfe"
                       "driver.so")
                 .c_str());
    ASSERT_TRUE(WaitForLine(" during OpenConnection"));
    std::istringstream lines(Log());
    int nFound = 0;
    for (std::string strLine; std::getline(lines, strLine);) {
        if (strLine.find(" during OpenConnection") != std::string::npos) {
            EXPECT_EQ(strLine, strPrefix + szExpected);
            ++nFound;
        }
        if (strLine.rfind("HostProc ", 0) == 0) {
            EXPECT_EQ(strLine.rfind(strPrefix, 0), 0U) << strLine;
        }
    }
    EXPECT_EQ(nFound, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Diagnostics, DriverLine,
    ::testing::Values(
        LineCase{"Segv", "t#crash", "fatal signal SIGSEGV in driver '%s' during OpenConnection, exiting", true},
        LineCase{"Exception", "t#throw",
                 "C++ exception from driver '%s' during OpenConnection: testdriver: exception on request", false},
        LineCase{"Exit", "t#quit=3", "driver '%s' called exit(3) during OpenConnection, exiting", true},
        LineCase{"UnderscoreExit", "t#exit=3", "driver '%s' called _exit(3) during OpenConnection, exiting", true}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.szName); });

}  // namespace
}  // namespace hostproc_test
