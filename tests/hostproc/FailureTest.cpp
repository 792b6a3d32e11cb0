// Drivers that crash, abort, exit, throw or hang: what the client sees and
// what is left of the HostProc.
#include <csignal>
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

int OpenConnectionEcho(const std::string& strServer) {
    return DefaultResult(Call("OpenConnection", {Str(strServer.c_str()), Str("pw"), Int(0), Int(1)}));
}

// A call whose driver kills the HostProc: the client gets
// RPC_S_CALL_FAILED, the process ends as the driver made it, and after a
// fatal signal its socket file is gone.
struct DeadlyCase {
    const char* szId;
    int nSignal;  // 0: an exit
    int nExitCode;
};

void PrintTo(const DeadlyCase& c, std::ostream* pOut) { *pOut << c.szId; }

class DeadlyDriver : public HostProcTest, public ::testing::WithParamInterface<DeadlyCase> {};

TEST_P(DeadlyDriver, EndsOnlyHostProcAndFailsTheCall) {
    const DeadlyCase& c = GetParam();
    Start();
    RpcDriverCtx hCtx = Load(TestDriver());
    ASSERT_NE(hCtx, nullptr);
    EXPECT_EQ(rpc_OpenConnection(hCtx, "t", "pw", 0, 1), OpenConnectionEcho("t"));
    // Another call is inside the driver when it dies: it fails the same way.
    auto inFlight = std::async(
        std::launch::async, [hCtx] { return StatusOf([&] { rpc_OpenConnection(hCtx, "other#hang", "pw", 0, 1); }); });
    ASSERT_EQ(Control(hCtx, "td:wait-hung 1"), 1);

    EXPECT_EQ(StatusOf([&] { rpc_OpenConnection(hCtx, c.szId, "pw", 0, 1); }), RPC_S_CALL_FAILED);
    EXPECT_EQ(inFlight.get(), RPC_S_CALL_FAILED);
    const std::optional<int> status = WaitExit();
    ASSERT_TRUE(status.has_value());
    if (c.nSignal != 0) {
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == c.nSignal) << "wait status " << *status;
        EXPECT_TRUE(WaitForLine("fatal signal "));
        EXPECT_FALSE(SocketExists());
    } else {
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == c.nExitCode) << "wait status " << *status;
        // _exit runs nothing of HostProc's: the socket file stays, stale.
        // Nobody answers on it, and the next HostProc for the endpoint
        // replaces it.
        EXPECT_TRUE(SocketExists());
        RemoveStaleSocket();
    }
    // Gone between calls now.
    EXPECT_EQ(StatusOf([&] { rpc_OpenConnection(hCtx, "t", "pw", 0, 1); }), RPC_S_SERVER_UNAVAILABLE);
}

INSTANTIATE_TEST_SUITE_P(Failure, DeadlyDriver,
                         ::testing::Values(DeadlyCase{"t#crash", SIGSEGV, 0}, DeadlyCase{"t#crash=abort", SIGABRT, 0},
                                           DeadlyCase{"t#exit=3", 0, 3}),
                         [](const ::testing::TestParamInfo<DeadlyCase>& info) {
                             switch (info.index) {
                                 case 0:
                                     return std::string("Segv");
                                 case 1:
                                     return std::string("Abort");
                                 default:
                                     return std::string("Exit");
                             }
                         });

TEST_F(Failure, ExceptionFromTheDriverIsAFaultAndHostProcKeepsServing) {
    Start();
    RpcDriverCtx hCtx = Load(TestDriver());
    ASSERT_NE(hCtx, nullptr);
    for (const char* szId : {"t#throw", "t#throw=int"}) {
        SCOPED_TRACE(szId);
        EXPECT_EQ(StatusOf([&] { rpc_OpenConnection(hCtx, szId, "pw", 0, 1); }), RPC_S_CALL_FAILED);
        // Same process, same context, same driver state.
        EXPECT_EQ(rpc_OpenConnection(hCtx, "t", "pw", 0, 1), OpenConnectionEcho("t"));
    }
    // Procedures with caller buffers or blocks unwind the same way, and the
    // client gets no outputs.
    Owned<char> mac, type;
    EXPECT_EQ(StatusOf([&] { rpc_GetInfo(hCtx, "t#throw", "pw", &mac, &type); }), RPC_S_CALL_FAILED);
    EXPECT_EQ(mac.get(), nullptr);
    int32_t nSize = -1;
    Owned<char> block;
    EXPECT_EQ(StatusOf([&] { rpc_GetImage2(hCtx, "t#throw#block=64", 1, &nSize, &block); }), RPC_S_CALL_FAILED);
    EXPECT_EQ(block.get(), nullptr);

    const std::string strState = DriverState(hCtx);
    EXPECT_EQ(StateValue(strState, "pid"), Pid());
    EXPECT_EQ(StateValue(strState, "calls.OpenConnection"), 4);
    EXPECT_EQ(StateValue(strState, "blocks.live"), 0);
    EXPECT_EQ(CountLines("fatal signal"), 0);
}

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
    const std::optional<int> status = WaitExit();
    EXPECT_TRUE(status.has_value()) << "still running a minute after SIGTERM";
    if (!status) {
        Signal(SIGKILL);
        WaitExit();
        RemoveStaleSocket();
    }
    EXPECT_EQ(hung.get(), RPC_S_CALL_FAILED);
}

}  // namespace
}  // namespace hostproc_test
