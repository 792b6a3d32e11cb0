// The exports that do more than pass their arguments through: results the
// library maps, caller buffers it fills and their bounds, BSTRs and blocks it
// hands over, string arrays it builds and replaces, each against the echo
// test driver steered by directives in the instance id.
#include <cstdlib>

#include "ExportArgs.h"

namespace kestrel_test {
namespace {

class PostProcessing : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        Load();
    }
    // Adds strId (its directives steer the driver) to one HostProc.
    const char* Add(const char* szId) {
        EXPECT_EQ(k.AddDeviceInstance(szId, TestDriver().c_str(), "srv01"), 1) << szId;
        return szId;
    }
    void TearDown() override {
        ExpectNoLeaks();
        LibraryTest::TearDown();
    }
};

// The pattern a `block=N` directive fills a block with.
testing::AssertionResult HoldsPattern(const unsigned char* pBlock, size_t nSize) {
    for (size_t i = 0; pBlock != nullptr && i < nSize; ++i)
        if (pBlock[i] != td::PatternByte(i)) return testing::AssertionFailure() << "byte " << i << " differs";
    return pBlock ? testing::AssertionSuccess() : testing::AssertionFailure() << "no block";
}

TEST_F(PostProcessing, GetInfoMapsItsResultAndCopiesOnlyOnSuccess) {
    const struct {
        const char* szId;
        int nExpected;
        bool bCopied;
    } cases[] = {{"info#result=0", 0, true},
                 {"info#result=77", 77, true},
                 {"info#result=57005", 1, false},
                 {"info#result=-1", -1, false},
                 {"info#result=57006", 57006, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szId);
        CallerBuffer mac, type;
        EXPECT_EQ(k.GetInfo(Add(c.szId), "pw", mac.Get(), type.Get()), c.nExpected);
        const std::string strEcho = td::Call("GetInfo", {td::Str(c.szId), td::Str("pw"), "&", "&"});
        EXPECT_TRUE(c.bCopied ? mac.Holds(td::OutText(strEcho, "pcMAC")) : testing::AssertionResult(mac.Untouched()));
        EXPECT_TRUE(c.bCopied ? type.Holds(td::OutText(strEcho, "pcDevType"))
                              : testing::AssertionResult(type.Untouched()));
        // The closing line shows the caller's buffers as they are now.
        EXPECT_EQ(CountTraceLines(Log(), "GetInfo",
                                  std::string("szServer='") + c.szId + "', pcMAC='" + mac.Get() + "', pcDevType='" +
                                      type.Get() + "'"),
                  1);
    }
}

// Negative and zero results are results, not failures; a bool is true for
// every non-zero one, and the XML setters' closing line says 0 or 1.
TEST_F(PostProcessing, DriverResultsPassUnchangedAndBoolsAreTheirNonZero) {
    for (const char* szId :
         {"r#result=-2147483648", "r#result=2147483647", "r#result=0", "r#result=-1", "r#result=256"}) {
        SCOPED_TRACE(szId);
        Add(szId);
        const int nResult = std::atoi(std::strchr(szId, '=') + 1);
        EXPECT_EQ(k.QueryIsIpix(szId, "pw"), nResult);
        int nCode = 0;
        const unsigned char data[2] = {1, 2};
        EXPECT_EQ(k.PutMediaDataBlock(szId, 1, 2, 3, data, 2, &nCode), nResult);
        EXPECT_EQ(k.QueryEventTypeDyn(szId, "pw"), static_cast<short>(nResult));
        EXPECT_EQ(k.IsDebugBuildDyn(szId, "pw"), nResult != 0);

        BSTR bsSettings = NewBstr("<Settings/>");
        EXPECT_EQ(k.OpenMediaStreamWithSettings(szId, "pw", 0, 1, 0, "ev", &bsSettings), nResult != 0);
        EXPECT_EQ(TextOf(bsSettings), "<Settings/>") << "only read";
        SysFreeString(bsSettings);

        // Whatever the result, the variable receives the driver's answer.
        const size_t nLogBefore = Log().size();
        BSTR bsXml = NewBstr("<Params/>");
        EXPECT_EQ(k.SetXmlParams(szId, "u", "pw", &bsXml), nResult != 0);
        const std::string strParams = td::OutText(
            td::Call("SetXmlParams", {td::Str(szId), td::Str("u"), td::Str("pw"), td::Wide(u"<Params/>")}), "bsXml");
        EXPECT_EQ(TextOf(bsXml), strParams);
        EXPECT_EQ(k.SetXmlEvents(szId, "u", "pw", &bsXml), nResult != 0);
        EXPECT_EQ(TextOf(bsXml), td::OutText(td::Call("SetXmlEvents", {td::Str(szId), td::Str("u"), td::Str("pw"),
                                                                       td::Wide(td::Utf8ToUtf16(strParams).c_str())}),
                                             "bsXml"));
        SysFreeString(bsXml);
        const std::string strNew = Log().substr(nLogBefore);
        const std::string strClosing = nResult != 0 ? "rVal='1'" : "rVal='0'";
        EXPECT_EQ(CountTraceLines(strNew, "SetXmlParams", strClosing), 1);
        EXPECT_EQ(CountTraceLines(strNew, "SetXmlEvents", strClosing), 1);
    }
}

// Without a text from the driver the caller's variable gets a new empty BSTR
// (the old one released), except GetTimeLine's, which is overwritten with a
// null BSTR and not released.
TEST_F(PostProcessing, BstrOutputsWithoutTextAreEmptyButGetTimeLinesIsNull) {
    // Every BSTR output but GetTimeLine's goes through one hand-over: GetXml
    // and SetXmlParams stand for them.
    const char* szId = Add("xml#null");
    for (bool bHadOne : {true, false}) {
        SCOPED_TRACE(bHadOne ? "with a BSTR" : "without one");
        BSTR bs = bHadOne ? NewBstr("old") : nullptr;
        k.GetXml(szId, "u", "pw", "Video", &bs);
        EXPECT_TRUE(bs != nullptr && SysStringLen(bs) == 0);
        EXPECT_TRUE(k.SetXmlParams(szId, "u", "pw", &bs));
        EXPECT_TRUE(bs != nullptr && SysStringLen(bs) == 0);
        SysFreeString(bs);
    }
    EXPECT_EQ(CountTraceLines(Log(), "GetXml",
                              "rVal='" +
                                  std::to_string(td::DefaultResult(td::Call(
                                      "GetXml", {td::Str(szId), td::Str("u"), td::Str("pw"), td::Str("Video"), "&"}))) +
                                  "'"),
              2);

    const char* szTimeLine = Add("tl#null");
    BSTR bsOld = NewBstr("still the caller's");
    BSTR bs = bsOld;
    EXPECT_EQ(k.GetTimeLine(szTimeLine, 0, 1, 2, -5000000000LL, 7000000000LL, &bs),
              td::DefaultResult(
                  td::Call("GetTimeLine", {td::Str(szTimeLine), "0", "1", "2", "-5000000000", "7000000000", "&"})));
    EXPECT_EQ(bs, nullptr);
    EXPECT_EQ(TextOf(bsOld), "still the caller's");
    SysFreeString(bsOld);
}

TEST_F(PostProcessing, BlocksArriveWholeOrNotAtAll) {
    unsigned char witness = 0;
    // No block, or a failed driver result: the pointer is null, the result
    // the driver's (GetImage2: always 0, and its pointer is not cleared first).
    for (const char* szId : {"blk#null", "blk#result=-3"}) {
        SCOPED_TRACE(szId);
        const int nResult = std::strchr(szId, '=') ? -3 : 0;
        unsigned char* pBlock = &witness;
        EXPECT_EQ(k.GetVideoDataBlock(Add(szId), 1, &pBlock), nResult);
        EXPECT_EQ(pBlock, nullptr);
        pBlock = &witness;
        EXPECT_EQ(k.GetMediaDataBlock(szId, 0, 1, 0, &pBlock), nResult);
        EXPECT_EQ(pBlock, nullptr);
        pBlock = nullptr;
        EXPECT_EQ(k.GetImage2(szId, 1, &pBlock), 0);
        EXPECT_EQ(pBlock, nullptr);
    }
    // GetImage2 delivers as many bytes as the driver's result says (blocks
    // of any size crossing fragments: the remote and runtime tests, the soak).
    const char* szShort = Add("blk#block=1000#result=600");
    unsigned char* pImage = nullptr;
    EXPECT_EQ(k.GetImage2(szShort, 1, &pImage), 0);
    EXPECT_TRUE(HoldsPattern(pImage, 600));
    k.DeleteBuffer(pImage);
    k.DeleteBuffer(nullptr);  // accepted
    for (const char* szId : {"blk#null", "blk#result=-3", szShort})
        EXPECT_EQ(StateValue(DriverState(szId), "blocks.live"), "0") << szId;
}

// No values: both of the caller's stale pointers are replaced by null (the
// echo driver's arrays of other counts: ExportsTest).
TEST_F(PostProcessing, DeviceFrameratesWithoutValuesClearTheCallersPointers) {
    int nValues = -1;
    double stale = 0;
    double* pValues = &stale;
    double* pInternal = &stale;
    const int nResult = k.QueryDeviceControlledFramerates(Add("fps#count=0"), "pw", 3, &nValues, &pValues, &pInternal);
    EXPECT_EQ(nResult, td::DefaultResult(td::Call("QueryDeviceControlledFramerates",
                                                  {td::Str("fps#count=0"), td::Str("pw"), "3", "&", "&", "&"})));
    EXPECT_EQ(nValues, 0);
    EXPECT_EQ(pValues, nullptr);
    EXPECT_EQ(pInternal, nullptr);
}

// Caller buffers of 256 characters get at most 255 and a terminator (`fill`:
// the driver wrote 256 without one; `len=N`: texts of N characters); the
// list exports write as many entries as their result says. (GetInfo and
// QueryDeviceTypeStrDyn copy through the same function.)
TEST_F(PostProcessing, CallerBuffersGetWhatTheResultSaysCutTo255) {
    const struct {
        bool bPresets;  // QueryPresetPositions, else QueryPtzSupportedDyn
        const char* szId;
        int nResult;
        int nWritten;
        size_t nLength;  // of each text written; 0: the driver's text as it is
    } cases[] = {
        {true, "pre#count=9", kPresetMax, kPresetMax, 0},
        {true, "pre#result=0", 0, 0, 0},
        {true, "pre#result=-2", -2, 0, 0},
        {true, "pre#count=2#fill", 2, 2, 255},
        {false, "sup#count=0", 0, 0, 0},
        {false, "sup#result=-4", 0, 0, 0},
        {false, "sup#count=256#len=255", 256, 256, 255},
        {false, "sup#count=3#fill", 3, 3, 255},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szId);
        std::vector<CallerBuffer> buffers(c.bPresets ? kPresetMax : kSupportedEntries);
        std::vector<char*> pointers;
        for (CallerBuffer& buffer : buffers) pointers.push_back(buffer.Get());
        Add(c.szId);
        const std::string strEcho =
            c.bPresets ? td::Call("QueryPresetPositions", {td::Str(c.szId), "6", std::to_string(kPresetMax), "&"})
                       : td::Call("QueryPtzSupportedDyn", {td::Str(c.szId), td::Str("pw"), "&"});
        EXPECT_EQ(c.bPresets ? k.QueryPresetPositions(c.szId, 6, kPresetMax, pointers.data())
                             : k.QueryPtzSupportedDyn(c.szId, "pw", pointers.data()),
                  c.bPresets || c.nResult != 0 ? c.nResult : c.nWritten);
        for (size_t j = 0; j < buffers.size(); ++j) {
            const std::string strText =
                td::OutText(strEcho, (c.bPresets ? "pszPresetNames[" : "ppszSupported[") + std::to_string(j) + "]");
            if (static_cast<int>(j) < c.nWritten)
                EXPECT_TRUE(buffers[j].Holds(c.nLength ? td::FitText(strText, c.nLength) : strText)) << j;
            else
                EXPECT_TRUE(buffers[j].Untouched()) << j;
        }
    }
}

TEST_F(PostProcessing, QueryEventsDynReplacesTheOpenEventsOnlyForANonZeroResult) {
    const struct {
        const char* szId;
        int nResult;
        int nEntries;  // -1: the caller's array stays as it was
        size_t nLength;
    } cases[] = {
        {"ev#print#result=0", 0, -1, 0},
        {"ev#print#result=-2#count=1", -2, 1, 0},
        {"ev#print#count=0", 0, -1, 0},           // no events is a result of 0 as well
        {"ev#print#count=4#len=300", 4, 4, 255},  // entries are cut to 255 characters
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szId);
        CStringArray used;  // empty: sent as a count of 0
        CStringArray open;
        open.Add("kept");
        EXPECT_EQ(k.QueryEventsDyn(Add(c.szId), "pw", used, open), c.nResult);
        const std::string strEcho = td::Call("QueryEventsDyn", {td::Str(c.szId), td::Str("pw"), "[]", "&"});
        EXPECT_EQ(CountExactLines(Log(), strEcho), 1);
        if (c.nEntries < 0) {
            EXPECT_EQ(td::Array(open), "[\"kept\"]");
            continue;
        }
        ASSERT_EQ(open.GetSize(), c.nEntries);
        for (int j = 0; j < c.nEntries; ++j) {
            const std::string strText = td::OutText(strEcho, "aszOpenEvents[" + std::to_string(j) + "]");
            EXPECT_STREQ(open[j], c.nLength > 0 ? td::FitText(strText, c.nLength).c_str() : strText.c_str());
        }
    }
}

}  // namespace
}  // namespace kestrel_test
