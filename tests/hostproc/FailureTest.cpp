// Drivers that crash, abort, exit, throw or hang: what the client sees, what
// is left of the HostProc, and its line about it, exactly as a user reads
// it. The proxy-server name and the driver's path carry a newline and bytes
// that are no UTF-8: they show escaped, so no line is forged, and the
// fatal-signal line (written by the handler from prepared text) escapes the
// path the same way.
#include <csignal>
#include <filesystem>
#include <future>

#include <sys/wait.h>

#include "HostProcHarness.h"
#include "testdriver_protocol.h"

namespace hostproc_test {
namespace {

using testdriver::Call;
using testdriver::DefaultResult;
using testdriver::Int;
using testdriver::Str;

using Failure = HostProcTest;

struct FailureCase {
    const char* szName;
    const char* szId;    // the call's directives
    const char* szLine;  // after the prefix; %s: the driver's path, escaped
    int nSignal;         // the HostProc ends by it, or
    int nExitCode;       // with it (-1: it serves on)
    bool bSocketStays;   // _exit runs nothing of HostProc's
};

void PrintTo(const FailureCase& c, std::ostream* pOut) { *pOut << c.szName; }

class DriverFailure : public HostProcTest, public ::testing::WithParamInterface<FailureCase> {};

// A call whose driver fails gets RPC_S_CALL_FAILED, and so does another call
// inside the driver when it takes the process down; an exception (of any
// type) leaves the HostProc serving.
TEST_P(DriverFailure, FailsTheCallAndIsNamedEscaped) {
    const FailureCase& c = GetParam();
    const bool bEnds = c.nExitCode >= 0 || c.nSignal != 0;
    const std::string strDriver = Root() +
                                  "/lib\ntest\xfe"
                                  "driver.so";
    std::filesystem::copy_file(TestDriver(), strDriver);
    HostProcOptions options;
    options.strName = "cam\nHostProc cam[1]: forged \xc3\xa9\xff";
    Start(options);
    RpcDriverCtx hCtx = Load(strDriver);
    ASSERT_NE(hCtx, nullptr);
    std::future<std::optional<uint32_t>> inFlight;
    if (bEnds) {
        inFlight = std::async(std::launch::async,
                              [hCtx] { return StatusOf([&] { rpc_OpenConnection(hCtx, "other#hang", "pw", 0, 1); }); });
        ASSERT_EQ(Control(hCtx, "td:wait-hung 1"), 1);
    }

    EXPECT_EQ(StatusOf([&] { rpc_OpenConnection(hCtx, c.szId, "pw", 0, 1); }), RPC_S_CALL_FAILED);
    if (bEnds) {
        EXPECT_EQ(inFlight.get(), RPC_S_CALL_FAILED);
        const std::optional<int> status = WaitExit();
        ASSERT_TRUE(status.has_value());
        if (c.nSignal != 0)
            EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == c.nSignal) << "wait status " << *status;
        else
            EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == c.nExitCode) << "wait status " << *status;
        // A stale socket file: nobody answers on it, and the next HostProc
        // for the endpoint replaces it.
        EXPECT_EQ(SocketExists(), c.bSocketStays);
        RemoveStaleSocket();
        EXPECT_EQ(StatusOf([&] { rpc_OpenConnection(hCtx, "t", "pw", 0, 1); }), RPC_S_SERVER_UNAVAILABLE);
    } else {
        // Same process, same context, same driver state, for an exception
        // of any type. (That no outputs reach the caller is the library's
        // EveryForwardingExportFailsCleanlyAndLeavesCallerStorageAlone.)
        EXPECT_EQ(StatusOf([&] { rpc_QueryIsIpix(hCtx, "t#throw=int", "pw"); }), RPC_S_CALL_FAILED);
        EXPECT_EQ(rpc_OpenConnection(hCtx, "t", "pw", 0, 1),
                  DefaultResult(Call("OpenConnection", {Str("t"), Str("pw"), Int(0), Int(1)})));
        const std::string strState = DriverState(hCtx);
        EXPECT_EQ(StateValue(strState, "pid"), Pid());
        EXPECT_EQ(StateValue(strState, "calls.OpenConnection"), 2);
        EXPECT_EQ(CountLines("fatal signal"), 0);
    }

    const std::string strPrefix =
        "HostProc cam\\x0aHostProc cam[1]: forged \xc3\xa9\\xff[" + std::to_string(Pid()) + "]: ";
    char szExpected[512];
    snprintf(szExpected, sizeof szExpected, c.szLine,
             (Root() + "/lib\\x0atest\\xfe"
                       "driver.so")
                 .c_str());
    // The whole line, once (it is never the first); no line starts with the
    // forged text.
    EXPECT_TRUE(WaitForLine("\n" + strPrefix + szExpected + "\n"));
    EXPECT_EQ(CountLines(" during OpenConnection"), 1);
    EXPECT_EQ(("\n" + Log()).find("\nHostProc cam[1]"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Failure, DriverFailure,
    ::testing::Values(
        FailureCase{"Segv", "t#crash", "fatal signal SIGSEGV in driver '%s' during OpenConnection, exiting", SIGSEGV,
                    -1, false},
        FailureCase{"Abort", "t#crash=abort", "fatal signal SIGABRT in driver '%s' during OpenConnection, exiting",
                    SIGABRT, -1, false},
        FailureCase{"Exit", "t#quit=3", "driver '%s' called exit(3) during OpenConnection, exiting", 0, 3, false},
        FailureCase{"UnderscoreExit", "t#exit=3", "driver '%s' called _exit(3) during OpenConnection, exiting", 0, 3,
                    true},
        FailureCase{"Exception", "t#throw",
                    "C++ exception from driver '%s' during OpenConnection: testdriver: exception on request", 0, -1,
                    false}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.szName); });

// A call that never returns must not keep HostProc from ending: the socket
// goes at once and the process ends after a bounded wait for the call.
TEST_F(Failure, SigtermEndsItEvenWithACallHangingInTheDriver) {
    Start();
    RpcDriverCtx hCtx = Load(TestDriver());
    ASSERT_NE(hCtx, nullptr);
    auto hung = std::async(std::launch::async,
                           [hCtx] { return StatusOf([&] { rpc_OpenConnection(hCtx, "h#hang", "pw", 0, 1); }); });
    ASSERT_EQ(Control(hCtx, "td:wait-hung 1"), 1);
    Signal(SIGTERM);
    EXPECT_TRUE(WaitExit().has_value()) << "still running a minute after SIGTERM";
    EXPECT_EQ(hung.get(), RPC_S_CALL_FAILED);
}

}  // namespace
}  // namespace hostproc_test
