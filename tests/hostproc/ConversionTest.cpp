// Bounds that the library never sends otherwise (it always asks for 256
// entries and strings of 256): HostProc refuses what is out of range before
// the driver sees it, and serves the largest shapes allowed. What the
// library does send is checked end to end by tests/library.
#include "HostProcHarness.h"

namespace hostproc_test {
namespace {

using Conversion = HostProcTest;

TEST_F(Conversion, PresetPositionBoundsAreChecked) {
    Start();
    const RpcDriverCtx hCtx = Load(TestDriver());
    ASSERT_NE(hCtx, nullptr);
    for (auto [nPresetMax, nMaxStrLen] :
         {std::pair{-1, 16}, std::pair{4097, 16}, std::pair{1, 0}, std::pair{1, 4097}, std::pair{1, -5}}) {
        SCOPED_TRACE(std::to_string(nPresetMax) + "x" + std::to_string(nMaxStrLen));
        OwnedStrings names;
        EXPECT_EQ(StatusOf([&] { rpc_QueryPresetPositions(hCtx, "t", 1, nPresetMax, nMaxStrLen, &names); }),
                  RPC_X_INVALID_BOUND);
        EXPECT_EQ(names.p, nullptr);
    }
    // The largest allowed shapes.
    for (auto [nPresetMax, nMaxStrLen] : {std::pair{4096, 1}, std::pair{1, 4096}}) {
        SCOPED_TRACE(std::to_string(nPresetMax) + "x" + std::to_string(nMaxStrLen));
        OwnedStrings names;
        names.n = static_cast<size_t>(nPresetMax);
        EXPECT_EQ(rpc_QueryPresetPositions(hCtx, "t#null", 1, nPresetMax, nMaxStrLen, &names), 0);
        ASSERT_NE(names.p, nullptr);
        for (int j = 0; j < nPresetMax; ++j) EXPECT_STREQ(names.p[j], "") << j;
    }
    // The other list export's string bound.
    int32_t nSize = -1;
    OwnedStrings supported;
    EXPECT_EQ(StatusOf([&] { rpc_QueryPtzSupportedDyn(hCtx, "t", "pw", 0, &nSize, &supported); }), RPC_X_INVALID_BOUND);
    // The faults did not cost the context or the driver anything.
    EXPECT_EQ(StateValue(DriverState(hCtx), "calls.QueryPresetPositions"), 2);
}

}  // namespace
}  // namespace hostproc_test
