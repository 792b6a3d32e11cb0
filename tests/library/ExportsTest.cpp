// All 86 forwarding exports of libKestrel.so against the echo test driver,
// from one table made of KESTREL_FORWARDING_EXPORTS (a new export needs no
// new row): every argument reaches the driver unchanged, every output comes
// back, results are the driver's with the library's own mappings, whatever
// is handed over is released without leaks. (Every export fails through the
// one frame that CallFailureTest drives; nothing of an export's own runs
// after a failed call.)
#include "ExportArgs.h"

namespace kestrel_test {
namespace {

// Results that are not the driver's plain answer to the call.
long long ExpectedResult(const ExportCase& c, const CallSite& site) {
    const std::string_view name = c.szName;
    if (c.bBoolResult) return 1;
    if (c.bShortResult) return td::DefaultShortResult(site.strEcho);
    if (name == "GetImage2" || name == "GetInfo") return 0;  // never the driver's / success
    if (name == "GetVideoDataBlock" || name == "GetMediaDataBlock")
        return static_cast<long long>(site.strEcho.size());                              // the block's length
    if (name == "QueryPtzSupportedDyn" || name == "QueryEventsDyn") return site.nCount;  // entries written
    if (name == "QueryPresetPositions") return std::min(site.nCount, kPresetMax);        // at most nPresetMax
    return td::DefaultResult(site.strEcho);
}

TEST_F(LibraryTest, EveryForwardingExportPassesArgumentsAndOutputsThrough) {
    Load();
    const std::string strId = "fwd#print";  // the driver prints each call's echo into the captured log
    ASSERT_EQ(k.AddDeviceInstance(strId.c_str(), TestDriver().c_str(), "srv01"), 1);

    for (const ExportCase& c : kExportCases) {
        SCOPED_TRACE(c.szName);
        CallSite site{k, c.szName, strId, td::kDefaultCount, {}};
        const unsigned long nThrown =
            c.pRun(site, [&](long long nResult) { EXPECT_EQ(nResult, ExpectedResult(c, site)) << "result"; });
        EXPECT_EQ(nThrown, 0xDEADBEEFUL);
        const std::string strLog = Log();
        EXPECT_EQ(CountExactLines(strLog, site.strEcho), 1) << "the driver did not receive " << site.strEcho;
        // The data-block exports write no entry line.
        const bool bEntry = std::string_view(c.szName).find("DataBlock") == std::string_view::npos;
        EXPECT_EQ(CountTraceLines(strLog, c.szName, "szServer='" + strId + "'"), bEntry ? 1 : 0);
    }
    EXPECT_FALSE(HasLine("rpc call='")) << "no call failed";

    // Each export reached the driver once. HostProc released the three blocks
    // and two double arrays the driver handed over once they were sent.
    const std::string strState = DriverState(strId);
    EXPECT_EQ(StateValue(strState, "calls"), std::to_string(KESTREL_FORWARDING_EXPORT_COUNT));
    for (const ExportCase& c : kExportCases) EXPECT_EQ(StateValue(strState, std::string("calls.") + c.szName), "1");
    EXPECT_EQ(StateValue(strState, "deletebuffer"), "5");
    EXPECT_EQ(StateValue(strState, "blocks.live"), "0");
    ExpectNoLeaks();
}

}  // namespace
}  // namespace kestrel_test
