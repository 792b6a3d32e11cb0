// All 86 forwarding exports of libKestrel.so against the echo test driver,
// from one table made of KESTREL_FORWARDING_EXPORTS (a new export needs no
// new row): every argument reaches the driver unchanged, every output comes
// back, results are the driver's with the library's own mappings, whatever
// is handed over is released without leaks. (Every export fails through the
// one frame that CallFailureTest drives; nothing of an export's own runs
// after a failed call.)
#include <map>

#include "ExportArgs.h"

namespace kestrel_test {
namespace {

// Results that are not the driver's plain answer to the call.
long long ExpectedResult(const ExportCase& c, const CallSite& site) {
    static const std::map<std::string_view, int> kRules = {{"GetImage2", 0},
                                                           {"GetInfo", 0},  // never the driver's / success
                                                           {"GetVideoDataBlock", 1},
                                                           {"GetMediaDataBlock", 1},  // the block's length
                                                           {"QueryPtzSupportedDyn", 2},
                                                           {"QueryEventsDyn", 2},         // entries written
                                                           {"QueryPresetPositions", 3}};  // at most nPresetMax of them
    if (c.bBoolResult) return 1;
    if (c.bShortResult) return td::DefaultShortResult(site.strEcho);
    const auto rule = kRules.find(c.szName);
    switch (rule == kRules.end() ? -1 : rule->second) {
        case 0:
            return 0;
        case 1:
            return static_cast<long long>(site.strEcho.size());
        case 2:
            return site.nCount;
        case 3:
            return std::min(site.nCount, kPresetMax);
        default:
            return td::DefaultResult(site.strEcho);
    }
}

// The data-block exports write no entry line.
bool WritesEntryLine(const std::string& strExport) {
    return strExport != "GetVideoDataBlock" && strExport != "GetMediaDataBlock" && strExport != "PutMediaDataBlock";
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
        EXPECT_EQ(CountTraceLines(strLog, c.szName, "szServer='" + strId + "'"), WritesEntryLine(c.szName) ? 1 : 0);
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
