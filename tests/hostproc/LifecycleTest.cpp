// Loading and unloading drivers in one HostProc, the neutral answers for
// missing exports, bounds the library never sends, and how the process
// ends by itself.
#include "HostProcHarness.h"
#include "testdriver_protocol.h"

namespace hostproc_test {
namespace {

using testdriver::Call;
using testdriver::DefaultResult;
using testdriver::Int;
using testdriver::Str;

using Lifecycle = HostProcTest;

int OpenConnectionEcho(const char* szServer) {
    return DefaultResult(Call("OpenConnection", {Str(szServer), Str("pw"), Int(0), Int(1)}));
}

// Instances of several drivers share one HostProc; a driver's library is
// opened once for all its instances and closed with the last of them,
// before UnloadDriver's reply, which nulls the caller's handle.
TEST_F(Lifecycle, DriverLibrariesAreSharedAndCloseWithTheirLastInstance) {
    Start();
    RpcDriverCtx hEcho = Load(TestDriver());
    RpcDriverCtx hPartial = Load(PartialDriver());
    RpcDriverCtx hEcho2 = Load(TestDriver());
    ASSERT_TRUE(hEcho && hPartial && hEcho2);
    EXPECT_EQ(rpc_OpenConnection(hEcho, "t", "pw", 0, 1), OpenConnectionEcho("t"));
    EXPECT_EQ(rpc_OpenConnection(hPartial, "t", "pw", 0, 1), 4242);
    EXPECT_EQ(rpc_OpenConnection(hEcho2, "u", "pw", 0, 1), OpenConnectionEcho("u"));
    EXPECT_EQ(StateValue(DriverState(hEcho2), "pid"), Pid()) << "the driver runs inside our HostProc";
    EXPECT_EQ(StateValue(DriverState(hEcho2), "calls.OpenConnection"), 2) << "one library, one state";
    EXPECT_EQ(CountLines("opened driver '" + TestDriver() + "'"), 1);

    rpc_UnloadDriver(&hEcho);
    EXPECT_EQ(hEcho, nullptr);
    EXPECT_EQ(CountLines("closed driver '" + TestDriver() + "'"), 0) << "an instance still uses it";
    rpc_UnloadDriver(&hEcho2);
    EXPECT_EQ(CountLines("closed driver '" + TestDriver() + "'"), 1);
    EXPECT_EQ(rpc_OpenConnection(hPartial, "t", "pw", 0, 1), 4242);
    rpc_UnloadDriver(&hPartial);
    EXPECT_EQ(CountLines("closed driver '" + PartialDriver() + "'"), 1);

    // Loading again opens it again; one that cannot be opened gives a null
    // handle, and dlopen's reason is named.
    EXPECT_EQ(Load(Root() + "/libno_such_driver.so"), nullptr);
    EXPECT_EQ(CountLines("No such file or directory"), 1);
    RpcDriverCtx hAgain = Load(TestDriver());
    ASSERT_NE(hAgain, nullptr);
    EXPECT_EQ(rpc_OpenConnection(hAgain, "t", "pw", 0, 1), OpenConnectionEcho("t"));
    EXPECT_EQ(CountLines("opened driver '" + TestDriver() + "'"), 2);
    rpc_UnloadDriver(&hAgain);
}

// What a driver lacks answers 0 with zero outputs and null pointers, never
// a fault, and is reported once per library, however many instances call
// it. The neutral answers come from the interface table by output kind: one
// export of each kind stands for the rest.
TEST_F(Lifecycle, MissingExportsAnswerNeutrallyAndAreReportedOnce) {
    Start();
    for (RpcDriverCtx hCtx : {Load(PartialDriver()), Load(PartialDriver())}) {
        ASSERT_NE(hCtx, nullptr);
        EXPECT_EQ(rpc_OpenConnection(hCtx, "t", "pw", 0, 1), 4242) << "what it has";
        Owned<char> mac, type, video;
        EXPECT_EQ(rpc_GetInfo(hCtx, "t", "pw", &mac, &type), 0);
        EXPECT_TRUE(mac.get() == nullptr && type.get() == nullptr);
        int32_t nSize = -1, nCount = -1, nPan = -1, nTilt = -1, nZoom = -1;
        EXPECT_EQ(rpc_GetVideoDataBlock(hCtx, "t", 1, &nSize, &video), 0);
        EXPECT_TRUE(nSize == 0 && video.get() == nullptr);
        Owned<double> values, internal;
        EXPECT_EQ(rpc_QueryDeviceControlledFramerates(hCtx, "t", "pw", 1, &nCount, &values, &internal), 0);
        EXPECT_TRUE(nCount == 0 && values.get() == nullptr && internal.get() == nullptr);
        Owned<char*> supported;
        EXPECT_EQ(rpc_QueryPtzSupportedDyn(hCtx, "t", "pw", 64, &nSize, &supported), 0);
        EXPECT_TRUE(nSize == 0 && supported.get() == nullptr);
        EXPECT_EQ(rpc_GetPTZPos(hCtx, "t", 1, 0, &nPan, &nTilt, &nZoom), 0);
        EXPECT_TRUE(nPan == 0 && nTilt == 0 && nZoom == 0);
        Owned<char16_t> reply;
        EXPECT_EQ(rpc_SetXmlParams(hCtx, "t", "u", "pw", u"<x/>", &reply), 0);
        EXPECT_EQ(reply.get(), nullptr);
        EXPECT_EQ(StatusOf([&] { rpc_SetFeatureSet(hCtx, "features"); }), std::nullopt);
    }
    for (const char* szExport : {"GetInfo", "GetVideoDataBlock", "QueryDeviceControlledFramerates",
                                 "QueryPtzSupportedDyn", "GetPTZPos", "SetXmlParams", "SetFeatureSet"})
        EXPECT_EQ(CountLines(std::string("has no export ") + szExport + ":"), 1) << szExport;
    EXPECT_EQ(CountLines("has no export OpenConnection:"), 0);
}

// How HostProc ends by itself: when no client ever loads a driver, and when
// its last client unloads and leaves (not while a context is open, however
// many idle spans pass); cleanly, removing its socket. A client that leaves
// without unloading is the library's case (ApplicationThatDiesLeavesNoHostProc);
// SIGTERM is every test's teardown.
class Ending : public HostProcTest, public ::testing::WithParamInterface<bool> {};

TEST_P(Ending, CleanlyWhenIdle) {
    const bool bLoaded = GetParam();
    HostProcOptions options;
    (bLoaded ? options.nIdleMs : options.nInitialMs) = 200;
    Start(options);
    if (bLoaded) {
        RpcDriverCtx hCtx = Load(TestDriver());
        ASSERT_NE(hCtx, nullptr);
        EXPECT_TRUE(StaysFor(1000ms)) << "ended with a context open";
        rpc_UnloadDriver(&hCtx);
        ReleaseClient();
    }
    const std::optional<int> status = WaitExit();
    ASSERT_TRUE(status.has_value()) << "still running";
    EXPECT_EQ(*status, 0);
    EXPECT_FALSE(SocketExists());
    EXPECT_TRUE(WaitForLine("exiting: no client left"));
}

INSTANTIATE_TEST_SUITE_P(NeverLoadedOrUnloaded, Ending, ::testing::Bool());

// Bounds that the library never sends otherwise (it always asks for 256
// entries and strings of 256): HostProc refuses what is out of range before
// the driver sees it, and serves the largest shapes allowed; the faults cost
// the context and the driver nothing.
TEST_F(Lifecycle, PresetPositionBoundsAreChecked) {
    Start();
    const RpcDriverCtx hCtx = Load(TestDriver());
    ASSERT_NE(hCtx, nullptr);
    const std::optional<uint32_t> kRefused = RPC_X_INVALID_BOUND, kServed;
    for (auto [nPresetMax, nMaxStrLen, status] : {std::tuple{-1, 16, kRefused},
                                                  {4097, 16, kRefused},
                                                  {1, 0, kRefused},
                                                  {1, 4097, kRefused},
                                                  {1, -5, kRefused},
                                                  {4096, 1, kServed},
                                                  {1, 4096, kServed}}) {
        SCOPED_TRACE(std::to_string(nPresetMax) + "x" + std::to_string(nMaxStrLen));
        Owned<char*> names;
        EXPECT_EQ(StatusOf([&] { rpc_QueryPresetPositions(hCtx, "t#null", 1, nPresetMax, nMaxStrLen, &names); }),
                  status);
        ASSERT_EQ(names.get() != nullptr, status == kServed);
        for (int j = 0; names.get() != nullptr && j < nPresetMax; ++j) {
            EXPECT_STREQ(names.p[j], "") << j;
            delete[] names.p[j];
        }
    }
    // The other list export's string bound.
    int32_t nSize = -1;
    Owned<char*> supported;
    EXPECT_EQ(StatusOf([&] { rpc_QueryPtzSupportedDyn(hCtx, "t", "pw", 0, &nSize, &supported); }), RPC_X_INVALID_BOUND);
    EXPECT_EQ(StateValue(DriverState(hCtx), "calls.QueryPresetPositions"), 2);
}

}  // namespace
}  // namespace hostproc_test
