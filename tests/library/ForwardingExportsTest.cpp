// All 86 forwarding exports of libKestrel.so against the echo test driver:
// every argument must reach the driver unchanged, every output must come
// back, results must be the driver's (with the library's own mappings), and
// whatever is handed over must be released without leaks.
//
// The table is made from KESTREL_FORWARDING_EXPORTS, so a new export needs
// no new row; each parameter gets a holder chosen by its C++ type, with a
// value that no other parameter has, so a swapped argument shows up in the
// driver's echo. The echo is checked twice: the driver prints it (the
// `print` directive, into HostProc's standard error, which the harness
// captures), and every output the driver derives from it is predicted with
// testdriver_protocol.h.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "ExportTestSupport.h"
#include "LibraryHarness.h"

namespace kestrel_test {
namespace {

namespace td = testdriver;

constexpr int kDataLength = 77;  // bytes behind PutMediaDataBlock's and ParseXmlEventDataDyn's pointer
constexpr int kPresetMax = 5;    // QueryPresetPositions' nPresetMax
constexpr int kSupportedEntries = 256;  // QueryPtzSupportedDyn's caller buffers

// Results that are not the driver's plain answer to the call.
enum class ResultRule {
    kDriver,       // DefaultResult, DefaultShortResult, or true
    kZero,         // GetImage2 never returns the driver's result; GetInfo's driver reports success
    kEchoSize,     // the length of the block handed over
    kCount,        // the number of entries written
    kPresetCount,  // the number of entries written, at most nPresetMax
};
const std::map<std::string_view, ResultRule> kResultRules = {
    {"GetImage2", ResultRule::kZero},
    {"GetInfo", ResultRule::kZero},
    {"GetVideoDataBlock", ResultRule::kEchoSize},
    {"GetMediaDataBlock", ResultRule::kEchoSize},
    {"QueryPtzSupportedDyn", ResultRule::kCount},
    {"QueryEventsDyn", ResultRule::kCount},
    {"QueryPresetPositions", ResultRule::kPresetCount},
};

// Exports whose BSTR variable carries text to the driver.
const std::set<std::string_view> kInputBstrExports = {"SetXmlParams", "SetXmlEvents",
                                                      "OpenMediaStreamWithSettings"};

// The data-block exports write no entry line.
const std::set<std::string_view> kSilentExports = {"GetVideoDataBlock", "GetMediaDataBlock", "PutMediaDataBlock"};

// Parameter names from a stringised parameter list "(const char* a, int b)".
std::vector<std::string> ParamNames(std::string_view params) {
    std::vector<std::string> names;
    params.remove_prefix(1);
    params.remove_suffix(1);
    while (!params.empty()) {
        const size_t nComma = params.find(',');
        std::string_view one = params.substr(0, nComma);
        size_t nStart = one.size();
        while (nStart > 0 && (std::isalnum(static_cast<unsigned char>(one[nStart - 1])) || one[nStart - 1] == '_')) {
            --nStart;
        }
        names.emplace_back(one.substr(nStart));
        params = nComma == std::string_view::npos ? std::string_view() : params.substr(nComma + 1);
    }
    return names;
}

// One call of one export.
struct CallSite {
    Kestrel& api;
    std::string strExport;
    std::string strInstance;
    int nCount = td::kDefaultCount;
    std::string strEcho;  // known once every argument has its value
};

// A holder per parameter type makes the argument, its echo token, and
// checks what the call left in it. A parameter type without a holder does
// not compile.
template <typename T>
struct Arg;

template <>
struct Arg<const char*> {
    std::string strValue;
    void Init(const CallSite& site, const std::string& strName, int i) {
        // Quotes, a backslash, a control character and UTF-8 must all
        // arrive as they were sent.
        strValue = i == 0 ? site.strInstance
                          : strName + "<" + std::to_string(i) + "> \"q\" \\ \t \xc3\xa9\xe2\x82\xac";
    }
    const char* Get() { return strValue.c_str(); }
    std::string Token() const { return td::Str(strValue.c_str()); }
    void Check(CallSite&) {}
};

template <>
struct Arg<int> {
    int nValue = 0;
    void Init(const CallSite&, const std::string& strName, int i) {
        if (strName == "nLength") {
            nValue = kDataLength;
        } else if (strName == "nPresetMax") {
            nValue = kPresetMax;
        } else {
            nValue = (i % 2 != 0 ? -1 : 1) * (i * 65536 + 4660 + i);
        }
    }
    int Get() { return nValue; }
    std::string Token() const { return td::Int(nValue); }
    void Check(CallSite&) {}
};

template <>
struct Arg<short> {
    short nValue = 0;
    void Init(const CallSite&, const std::string&, int i) { nValue = static_cast<short>(-(1000 + 37 * i)); }
    short Get() { return nValue; }
    std::string Token() const { return td::Int(nValue); }
    void Check(CallSite&) {}
};

template <>
struct Arg<long long> {
    long long nValue = 0;
    // Beyond 32 bits, so that a narrowing on the way is seen.
    void Init(const CallSite&, const std::string&, int i) {
        nValue = (i % 2 != 0 ? -1 : 1) * (0x100000000LL * (i + 2) + 12345 + i);
    }
    long long Get() { return nValue; }
    std::string Token() const { return td::Int(nValue); }
    void Check(CallSite&) {}
};

template <>
struct Arg<double> {
    double dValue = 0;
    void Init(const CallSite&, const std::string&, int i) { dValue = (i % 2 != 0 ? -1.0 : 1.0) * (i + 1.0 / 3.0) * 1000.0; }
    double Get() { return dValue; }
    std::string Token() const { return td::Dbl(dValue); }
    void Check(CallSite&) {}
};

template <>
struct Arg<const unsigned char*> {
    std::vector<unsigned char> data;
    void Init(const CallSite&, const std::string&, int i) {
        data.resize(kDataLength);
        for (size_t j = 0; j < data.size(); ++j) data[j] = static_cast<unsigned char>(j * 29 + static_cast<size_t>(i) * 71);
        data[1] = 0;  // binary data, not text
    }
    const unsigned char* Get() { return data.data(); }
    std::string Token() const { return td::Bytes(data.data(), kDataLength); }
    void Check(CallSite&) {}
};

template <>
struct Arg<const int*> {
    std::vector<int> values;
    void Init(const CallSite&, const std::string&, int i) {
        values.resize(256);
        for (int j = 0; j < 256; ++j) values[static_cast<size_t>(j)] = i * 1000003 - j * 7919;
    }
    const int* Get() { return values.data(); }
    std::string Token() const { return td::Ints(values.data(), 256); }
    void Check(CallSite&) {}
};

template <>
struct Arg<int*> {
    std::string strName;
    int nValue = INT_MIN + 7;
    void Init(const CallSite&, const std::string& strParam, int) { strName = strParam; }
    int* Get() { return &nValue; }
    std::string Token() const { return td::Out(&nValue); }
    void Check(CallSite& site) {
        const int nExpected = strName == "piNumFPSValues" ? site.nCount : td::OutInt(site.strEcho, strName);
        EXPECT_EQ(nValue, nExpected) << strName;
    }
};

template <>
struct Arg<double*> {
    std::string strName;
    double dValue = -1.5e300;
    void Init(const CallSite&, const std::string& strParam, int) { strName = strParam; }
    double* Get() { return &dValue; }
    std::string Token() const { return td::Out(&dValue); }
    void Check(CallSite& site) { EXPECT_EQ(dValue, td::OutDouble(site.strEcho, strName)) << strName; }
};

template <>
struct Arg<char*> {
    std::string strName;
    CallerBuffer buffer;
    void Init(const CallSite&, const std::string& strParam, int) { strName = strParam; }
    char* Get() { return buffer.Get(); }
    std::string Token() const { return "&"; }
    void Check(CallSite& site) {
        EXPECT_TRUE(buffer.Holds(td::CallerBufferText(td::OutText(site.strEcho, strName)))) << strName;
    }
};

template <>
struct Arg<char**> {
    std::string strName;
    std::vector<CallerBuffer> buffers;
    std::vector<char*> pointers;
    void Init(const CallSite& site, const std::string& strParam, int) {
        strName = strParam;
        // Exactly as many buffers as the export may write.
        buffers.resize(site.strExport == "QueryPresetPositions" ? kPresetMax : kSupportedEntries);
        for (CallerBuffer& buffer : buffers) pointers.push_back(buffer.Get());
    }
    char** Get() { return pointers.data(); }
    std::string Token() const { return "&"; }
    void Check(CallSite& site) {
        const int nWritten =
            site.strExport == "QueryPresetPositions" ? std::min(site.nCount, kPresetMax) : site.nCount;
        for (int j = 0; j < static_cast<int>(buffers.size()); ++j) {
            const std::string strSlot = strName + "[" + std::to_string(j) + "]";
            if (j < nWritten) {
                EXPECT_TRUE(buffers[static_cast<size_t>(j)].Holds(
                    td::CallerBufferText(td::OutText(site.strEcho, strSlot))))
                    << strSlot;
            } else {
                EXPECT_TRUE(buffers[static_cast<size_t>(j)].Untouched()) << strSlot;
            }
        }
    }
};

template <>
struct Arg<double**> {
    std::string strName;
    double* pArray = nullptr;
    void Init(const CallSite&, const std::string& strParam, int) { strName = strParam; }
    double** Get() { return &pArray; }
    std::string Token() const { return td::Out(&pArray); }
    void Check(CallSite& site) {
        ASSERT_NE(pArray, nullptr) << strName;
        for (int j = 0; j < site.nCount; ++j) {
            const std::string strSlot = strName + "[" + std::to_string(j) + "]";
            EXPECT_EQ(pArray[j], td::OutDouble(site.strEcho, strSlot)) << strSlot;
        }
        site.api.DeleteBuffer(reinterpret_cast<unsigned char*>(pArray));
    }
};

template <>
struct Arg<unsigned char**> {
    unsigned char* pBlock = nullptr;
    void Init(const CallSite&, const std::string&, int) {}
    unsigned char** Get() { return &pBlock; }
    std::string Token() const { return td::Out(&pBlock); }
    void Check(CallSite& site) {
        ASSERT_NE(pBlock, nullptr);
        // The echo's bytes; a shorter block is read past its end, which the
        // address sanitizer reports.
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(pBlock), site.strEcho.size()), site.strEcho);
        site.api.DeleteBuffer(pBlock);
    }
};

template <>
struct Arg<BSTR*> {
    std::string strName;
    bool bInput = false;
    std::string strBefore;
    BSTR bsBefore = nullptr;
    BSTR bsVariable = nullptr;
    void Init(const CallSite& site, const std::string& strParam, int i) {
        strName = strParam;
        bInput = kInputBstrExports.count(site.strExport) > 0;
        // An input text with characters outside the BMP (a surrogate pair).
        strBefore = bInput ? "<" + strParam + " i=\"" + std::to_string(i) + "\">\xc3\xa4\xe2\x82\xac\xf0\x9f\x98\x80</x>"
                           : "previous " + strParam;
        bsBefore = bsVariable = NewBstr(strBefore);
    }
    BSTR* Get() { return &bsVariable; }
    std::string Token() const { return bInput ? td::Wide(bsVariable) : td::Out(&bsVariable); }
    void Check(CallSite& site) {
        if (site.strExport == "OpenMediaStreamWithSettings") {
            // Only read: the same BSTR with the same text, still the caller's.
            EXPECT_EQ(bsVariable, bsBefore);
            EXPECT_EQ(TextOf(bsVariable), strBefore);
            SysFreeString(bsVariable);
            return;
        }
        EXPECT_EQ(TextOf(bsVariable), td::OutText(site.strEcho, strName)) << strName;
        if (site.strExport == "GetTimeLine") {
            // Overwritten, not released: the old BSTR is still the caller's
            // (a release would show here as a use after free or double free).
            EXPECT_EQ(TextOf(bsBefore), strBefore);
            SysFreeString(bsBefore);
        }
        // Every other export released the old BSTR itself; had it not, the
        // leak shows in the sanitizer build (so no pointer to it is kept).
        if (bsVariable != bsBefore) SysFreeString(bsVariable);
        bsBefore = bsVariable = nullptr;
    }
};

template <>
struct Arg<CStringArray&> {
    std::string strName;
    bool bOut = false;
    CStringArray array;
    std::string strBefore;
    void Init(const CallSite&, const std::string& strParam, int i) {
        strName = strParam;
        bOut = strParam == "aszOpenEvents";
        if (bOut) {
            array.Add("stale one");
            array.Add("stale two");
            array.Add("stale three");
        } else {
            array.Add((strParam + "<" + std::to_string(i) + ">").c_str());
            array.Add("quote \" and \xc3\xa9");
            array.Add("");
            array.Add("Input1");
        }
        strBefore = td::Array(array);
    }
    CStringArray& Get() { return array; }
    std::string Token() const { return bOut ? td::Out(&array) : td::Array(array); }
    void Check(CallSite& site) {
        if (!bOut) {
            EXPECT_EQ(td::Array(array), strBefore) << strName << " is only read";
            return;
        }
        ASSERT_EQ(array.GetSize(), site.nCount) << strName;
        for (int j = 0; j < site.nCount; ++j) {
            const std::string strSlot = strName + "[" + std::to_string(j) + "]";
            EXPECT_STREQ(array[j], td::CallerBufferText(td::OutText(site.strEcho, strSlot)).c_str()) << strSlot;
        }
    }
};

template <typename R>
void CheckResult(const CallSite& site, R result) {
    const auto rule = kResultRules.find(site.strExport);
    long long nExpected = 0;
    if constexpr (std::is_same_v<R, bool>) {
        nExpected = 1;
    } else if constexpr (std::is_same_v<R, short>) {
        nExpected = td::DefaultShortResult(site.strEcho);
    } else {
        switch (rule == kResultRules.end() ? ResultRule::kDriver : rule->second) {
        case ResultRule::kDriver: nExpected = td::DefaultResult(site.strEcho); break;
        case ResultRule::kZero: nExpected = 0; break;
        case ResultRule::kEchoSize: nExpected = static_cast<long long>(site.strEcho.size()); break;
        case ResultRule::kCount: nExpected = site.nCount; break;
        case ResultRule::kPresetCount: nExpected = std::min(site.nCount, kPresetMax); break;
        }
    }
    EXPECT_EQ(static_cast<long long>(result), nExpected) << "result";
}

// Calls the export with a distinct value per parameter and checks the
// result and every output against the echo the driver must have seen.
template <typename R, typename... A>
void CallAndCheck(CallSite& site, R (*pExport)(A...), const char* szParams) {
    ASSERT_NE(pExport, nullptr) << site.strExport << " is not exported";
    const std::vector<std::string> names = ParamNames(szParams);
    ASSERT_EQ(names.size(), sizeof...(A));

    std::tuple<Arg<A>...> args;
    std::apply(
        [&](auto&... arg) {
            int i = 0;
            ((arg.Init(site, names[static_cast<size_t>(i)], i), ++i), ...);
        },
        args);
    std::string strTokens;
    std::apply([&](auto&... arg) { ((strTokens += (strTokens.empty() ? "" : ",") + arg.Token()), ...); }, args);
    site.strEcho = site.strExport + "(" + strTokens + ")";

    try {
        if constexpr (std::is_void_v<R>) {
            std::apply([&](auto&... arg) { pExport(arg.Get()...); }, args);
        } else {
            const R result = std::apply([&](auto&... arg) { return pExport(arg.Get()...); }, args);
            CheckResult(site, result);
        }
    } catch (KestrelErrorCode nCode) {
        FAIL() << "threw " << nCode;
    }
    std::apply([&](auto&... arg) { (arg.Check(site), ...); }, args);
}

struct ExportCase {
    const char* szName;
    void (*pRun)(CallSite&);
};

#define KESTREL_TEST_EXPORT_CASE(OP, R, NAME, PARAMS, ARGS) \
    ExportCase{#NAME, [](CallSite& site) { CallAndCheck(site, site.api.NAME, #PARAMS); }},
const ExportCase kExportCases[] = {KESTREL_FORWARDING_EXPORTS(KESTREL_TEST_EXPORT_CASE)};
#undef KESTREL_TEST_EXPORT_CASE
static_assert(std::size(kExportCases) == KESTREL_FORWARDING_EXPORT_COUNT, "one case per forwarding export");

class ForwardingExportsTest : public LibraryTest {};

// The pattern a `block=N` directive fills a block with.
testing::AssertionResult HoldsPattern(const unsigned char* pBlock, size_t nSize) {
    if (pBlock == nullptr) return testing::AssertionFailure() << "no block";
    for (size_t i = 0; i < nSize; ++i) {
        if (pBlock[i] != td::PatternByte(i)) return testing::AssertionFailure() << "byte " << i << " differs";
    }
    return testing::AssertionSuccess();
}

TEST_F(ForwardingExportsTest, EveryForwardingExportPassesArgumentsAndOutputsThrough) {
    Load();
    const std::string strId = "fwd#print";  // the driver prints each call's echo
    ASSERT_EQ(k.AddDeviceInstance(strId.c_str(), TestDriver().c_str(), "srv01"), 1);

    std::set<std::string> names;
    for (const ExportCase& exportCase : kExportCases) {
        SCOPED_TRACE(exportCase.szName);
        names.insert(exportCase.szName);
        CallSite site{k, exportCase.szName, strId, td::kDefaultCount, {}};
        exportCase.pRun(site);

        const std::string strLog = Log();
        EXPECT_EQ(CountExactLines(strLog, site.strEcho), 1) << "the driver did not receive " << site.strEcho;
        EXPECT_EQ(CountTraceLines(strLog, site.strExport, "szServer='" + strId + "'"),
                  kSilentExports.count(site.strExport) > 0 ? 0 : 1)
            << "entry line";
    }
    EXPECT_EQ(names.size(), static_cast<size_t>(KESTREL_FORWARDING_EXPORT_COUNT));
    EXPECT_FALSE(HasLine("rpc call='")) << "no call failed";

    // Each export reached the driver once. HostProc released the five
    // blocks and arrays the driver handed over (three blocks, two double
    // arrays) after sending them; the library's copies went back through
    // DeleteBuffer above, and the sanitizer build checks that nothing leaked.
    const std::string strState = DriverState(strId);
    EXPECT_EQ(StateValue(strState, "calls"), std::to_string(KESTREL_FORWARDING_EXPORT_COUNT));
    for (const std::string& strName : names) EXPECT_EQ(StateValue(strState, "calls." + strName), "1") << strName;
    EXPECT_EQ(StateValue(strState, "deletebuffer"), "5");
    EXPECT_EQ(StateValue(strState, "blocks.live"), "0");
    ExpectNoLeaks();
}

// ---- the exports with their own post-processing ----

TEST_F(ForwardingExportsTest, GetInfoMapsItsResultAndCopiesOnlyOnSuccess) {
    Load();
    struct Case {
        const char* szId;
        int nExpected;
        bool bCopied;
    };
    const Case cases[] = {
        {"info#result=0", 0, true},      {"info#result=77", 77, true}, {"info#result=57005", 1, false},
        {"info#result=5", 5, false},     {"info#result=1", 1, false},  {"info#result=-1", -1, false},
        {"info#result=57006", 57006, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szId);
        ASSERT_EQ(k.AddDeviceInstance(c.szId, TestDriver().c_str(), "srv01"), 1);
        CallerBuffer mac, type;
        EXPECT_EQ(k.GetInfo(c.szId, "pw", mac.Get(), type.Get()), c.nExpected);
        const std::string strEcho = td::Call("GetInfo", {td::Str(c.szId), td::Str("pw"), "&", "&"});
        if (c.bCopied) {
            EXPECT_TRUE(mac.Holds(td::OutText(strEcho, "pcMAC")));
            EXPECT_TRUE(type.Holds(td::OutText(strEcho, "pcDevType")));
        } else {
            EXPECT_TRUE(mac.Untouched());
            EXPECT_TRUE(type.Untouched());
        }
        // The closing line shows the caller's buffers as they are now.
        EXPECT_EQ(CountTraceLines(Log(), "GetInfo",
                                  std::string("szServer='") + c.szId + "', pcMAC='" + mac.Get() + "', pcDevType='" +
                                      type.Get() + "'"),
                  1);
    }
    ExpectNoLeaks();
}

TEST_F(ForwardingExportsTest, DriverResultsPassUnchanged) {
    Load();
    const std::string strDriver = TestDriver();
    for (const char* szId : {"r#result=-2147483648", "r#result=2147483647", "r#result=0", "r#result=-1"}) {
        SCOPED_TRACE(szId);
        ASSERT_EQ(k.AddDeviceInstance(szId, strDriver.c_str(), "srv01"), 1);
        const int nExpected = std::atoi(std::strchr(szId, '=') + 1);
        EXPECT_EQ(k.QueryIsIpix(szId, "pw"), nExpected);
        EXPECT_EQ(k.OpenConnection(szId, "pw", 1, 2), nExpected);
        EXPECT_EQ(k.SetMediaStreamPollingRate(szId, 1, 2, 3, 4.5), nExpected);
        int nCode = 0;
        const unsigned char data[2] = {1, 2};
        EXPECT_EQ(k.PutMediaDataBlock(szId, 1, 2, 3, data, 2, &nCode), nExpected);
    }
    // Short results, negative handles included.
    for (const char* szId : {"s#result=-32768", "s#result=32767", "s#result=-5"}) {
        SCOPED_TRACE(szId);
        ASSERT_EQ(k.AddDeviceInstance(szId, strDriver.c_str(), "srv01"), 1);
        const short nExpected = static_cast<short>(std::atoi(std::strchr(szId, '=') + 1));
        EXPECT_EQ(k.QueryEventTypeDyn(szId, "pw"), nExpected);
        EXPECT_EQ(k.OpenXmlEventParserDyn(szId, "u", "pw", "Alarm"), nExpected);
    }
    ExpectNoLeaks();
}

TEST_F(ForwardingExportsTest, BoolExportsAreTrueForEveryNonZeroDriverResult) {
    Load();
    const std::string strDriver = TestDriver();
    for (const char* szId : {"b#result=0", "b#result=1", "b#result=-7", "b#result=256"}) {
        SCOPED_TRACE(szId);
        ASSERT_EQ(k.AddDeviceInstance(szId, strDriver.c_str(), "srv01"), 1);
        const bool bExpected = std::strcmp(szId, "b#result=0") != 0;
        EXPECT_EQ(k.IsDebugBuildDyn(szId, "pw"), bExpected);

        BSTR bsSettings = NewBstr("<Settings/>");
        EXPECT_EQ(k.OpenMediaStreamWithSettings(szId, "pw", 0, 1, 0, "ev", &bsSettings), bExpected);
        EXPECT_EQ(TextOf(bsSettings), "<Settings/>");
        SysFreeString(bsSettings);

        // Whatever the result, the variable receives the driver's answer,
        // and the closing line shows 0 or 1.
        const size_t nLinesBefore = LinesOf(Log()).size();
        BSTR bsXml = NewBstr("<Params/>");
        EXPECT_EQ(k.SetXmlParams(szId, "u", "pw", &bsXml), bExpected);
        const std::string strParamsEcho =
            td::Call("SetXmlParams", {td::Str(szId), td::Str("u"), td::Str("pw"), td::Wide(u"<Params/>")});
        EXPECT_EQ(TextOf(bsXml), td::OutText(strParamsEcho, "bsXml"));
        EXPECT_EQ(k.SetXmlEvents(szId, "u", "pw", &bsXml), bExpected);
        const std::string strEventsEcho = td::Call(
            "SetXmlEvents", {td::Str(szId), td::Str("u"), td::Str("pw"),
                             td::Wide(td::Utf8ToUtf16(td::OutText(strParamsEcho, "bsXml")).c_str())});
        EXPECT_EQ(TextOf(bsXml), td::OutText(strEventsEcho, "bsXml"));
        SysFreeString(bsXml);

        std::string strNewLines;
        const std::vector<std::string> lines = LinesOf(Log());
        for (size_t i = nLinesBefore; i < lines.size(); ++i) strNewLines += lines[i] + "\n";
        const std::string strClosing = bExpected ? "rVal='1'" : "rVal='0'";
        EXPECT_EQ(CountTraceLines(strNewLines, "SetXmlParams", strClosing), 1);
        EXPECT_EQ(CountTraceLines(strNewLines, "SetXmlEvents", strClosing), 1);
    }
    ExpectNoLeaks();
}

TEST_F(ForwardingExportsTest, BstrExportsHandOverAnEmptyBstrWhenTheDriverHasNone) {
    Load();
    const char* szId = "xml#null";
    ASSERT_EQ(k.AddDeviceInstance(szId, TestDriver().c_str(), "srv01"), 1);
    // Each variable holds a BSTR that the export must release (a leak in
    // the sanitizer build otherwise) and replace with an empty one.
    auto expectEmpty = [](BSTR& bs) {
        EXPECT_NE(bs, nullptr);
        EXPECT_EQ(SysStringLen(bs), 0u);
        SysFreeString(bs);
        bs = nullptr;
    };
    BSTR bs = NewBstr("old GetXml");
    const int nGetXml = k.GetXml(szId, "u", "pw", "Video", &bs);
    EXPECT_EQ(nGetXml, td::DefaultResult(td::Call(
                           "GetXml", {td::Str(szId), td::Str("u"), td::Str("pw"), td::Str("Video"), "&"})));
    EXPECT_EQ(CountTraceLines(Log(), "GetXml", "rVal='" + std::to_string(nGetXml) + "'"), 1);
    expectEmpty(bs);
    bs = nullptr;  // a variable without a BSTR works the same way
    k.GetXml(szId, "u", "pw", "Video", &bs);
    expectEmpty(bs);
    bs = NewBstr("old SetXmlParams");
    EXPECT_TRUE(k.SetXmlParams(szId, "u", "pw", &bs));
    expectEmpty(bs);
    bs = NewBstr("old SetXmlEvents");
    EXPECT_TRUE(k.SetXmlEvents(szId, "u", "pw", &bs));
    expectEmpty(bs);
    bs = NewBstr("old ParseXmlEventDataDyn");
    const unsigned char data[3] = {'a', '=', 'b'};
    k.ParseXmlEventDataDyn(szId, "u", "pw", 3, data, 3, &bs);
    expectEmpty(bs);
    bs = NewBstr("old GenerateCredentialsDyn");
    k.GenerateCredentialsDyn(szId, "u", "pw", &bs);
    expectEmpty(bs);
    bs = NewBstr("old GetStreamInfo");
    k.GetStreamInfo(szId, "pw", 2, &bs);
    expectEmpty(bs);
    ExpectNoLeaks();
}

TEST_F(ForwardingExportsTest, GetTimeLineOverwritesItsVariableWithoutReleasingIt) {
    Load();
    for (const char* szId : {"tl", "tl#null"}) {
        SCOPED_TRACE(szId);
        ASSERT_EQ(k.AddDeviceInstance(szId, TestDriver().c_str(), "srv01"), 1);
        BSTR bsOld = NewBstr("still the caller's");
        BSTR bs = bsOld;
        const int nResult = k.GetTimeLine(szId, 0, 1, 2, -5000000000LL, 7000000000LL, &bs);
        const std::string strEcho =
            td::Call("GetTimeLine", {td::Str(szId), "0", "1", "2", "-5000000000", "7000000000", "&"});
        EXPECT_EQ(nResult, td::DefaultResult(strEcho));
        if (std::strcmp(szId, "tl#null") == 0) {
            EXPECT_EQ(bs, nullptr) << "no information: a null BSTR";
        } else {
            EXPECT_EQ(TextOf(bs), td::OutText(strEcho, "bsRecordingTimeInfo"));
        }
        // The old BSTR was not released: it is intact and freed here once.
        EXPECT_EQ(TextOf(bsOld), "still the caller's");
        SysFreeString(bsOld);
        SysFreeString(bs);
    }
    ExpectNoLeaks();
}

TEST_F(ForwardingExportsTest, BlockExportsDeliverNullWithoutABlockAndWholeBlocksOtherwise) {
    Load();
    const std::string strDriver = TestDriver();
    unsigned char witness = 0;

    // No block: the caller's pointer is null afterwards, the result the driver's.
    const char* szNone = "blk#null";
    ASSERT_EQ(k.AddDeviceInstance(szNone, strDriver.c_str(), "srv01"), 1);
    unsigned char* pBlock = &witness;
    EXPECT_EQ(k.GetVideoDataBlock(szNone, 1, &pBlock), 0);
    EXPECT_EQ(pBlock, nullptr);
    pBlock = &witness;
    EXPECT_EQ(k.GetMediaDataBlock(szNone, 0, 1, 0, &pBlock), 0);
    EXPECT_EQ(pBlock, nullptr);
    pBlock = nullptr;
    EXPECT_EQ(k.GetImage2(szNone, 1, &pBlock), 0);
    EXPECT_EQ(pBlock, nullptr);

    // A negative driver result hands over no block either.
    const char* szFailed = "blk#result=-3";
    ASSERT_EQ(k.AddDeviceInstance(szFailed, strDriver.c_str(), "srv01"), 1);
    pBlock = &witness;
    EXPECT_EQ(k.GetVideoDataBlock(szFailed, 1, &pBlock), -3);
    EXPECT_EQ(pBlock, nullptr);
    pBlock = nullptr;
    EXPECT_EQ(k.GetImage2(szFailed, 1, &pBlock), 0) << "GetImage2 reports 0 whatever the driver said";
    EXPECT_EQ(pBlock, nullptr);

    // Large blocks arrive whole; the sizes are odd on purpose.
    const char* szBig = "blk#block=1048577";
    ASSERT_EQ(k.AddDeviceInstance(szBig, strDriver.c_str(), "srv01"), 1);
    pBlock = nullptr;
    EXPECT_EQ(k.GetVideoDataBlock(szBig, 1, &pBlock), 1048577);
    EXPECT_TRUE(HoldsPattern(pBlock, 1048577));
    k.DeleteBuffer(pBlock);
    pBlock = nullptr;
    EXPECT_EQ(k.GetMediaDataBlock(szBig, 0, 1, 0, &pBlock), 1048577);
    EXPECT_TRUE(HoldsPattern(pBlock, 1048577));
    k.DeleteBuffer(pBlock);
    pBlock = nullptr;
    EXPECT_EQ(k.GetImage2(szBig, 1, &pBlock), 0);
    EXPECT_TRUE(HoldsPattern(pBlock, 1048577));
    k.DeleteBuffer(pBlock);
    k.DeleteBuffer(nullptr);  // accepted

    // GetImage2 delivers as many bytes as the driver's result says.
    const char* szShort = "blk#block=1000#result=600";
    ASSERT_EQ(k.AddDeviceInstance(szShort, strDriver.c_str(), "srv01"), 1);
    pBlock = nullptr;
    EXPECT_EQ(k.GetImage2(szShort, 1, &pBlock), 0);
    EXPECT_TRUE(HoldsPattern(pBlock, 600));
    k.DeleteBuffer(pBlock);

    for (const char* szId : {szNone, szFailed, szBig, szShort}) {
        EXPECT_EQ(StateValue(DriverState(szId), "blocks.live"), "0") << szId;
    }
    ExpectNoLeaks();
}

TEST_F(ForwardingExportsTest, DeviceFrameratesHandOverTwoArraysOfTheReportedCount) {
    Load();
    for (int nCount : {0, 1, 1000}) {
        SCOPED_TRACE(nCount);
        const std::string strId = "fps#count=" + std::to_string(nCount);
        ASSERT_EQ(k.AddDeviceInstance(strId.c_str(), TestDriver().c_str(), "srv01"), 1);
        int nValues = -1;
        double sentinel = 0;  // the caller's stale pointers, which must be replaced
        double* pValues = &sentinel;
        double* pInternal = &sentinel;
        const int nResult = k.QueryDeviceControlledFramerates(strId.c_str(), "pw", 3, &nValues, &pValues, &pInternal);
        const std::string strEcho =
            td::Call("QueryDeviceControlledFramerates", {td::Str(strId.c_str()), td::Str("pw"), "3", "&", "&", "&"});
        EXPECT_EQ(nResult, td::DefaultResult(strEcho));
        EXPECT_EQ(nValues, nCount);
        if (nCount == 0) {
            EXPECT_EQ(pValues, nullptr);
            EXPECT_EQ(pInternal, nullptr);
            continue;
        }
        ASSERT_NE(pValues, nullptr);
        ASSERT_NE(pInternal, nullptr);
        ASSERT_NE(pValues, &sentinel);
        ASSERT_NE(pInternal, &sentinel);
        for (int j = 0; j < nCount; ++j) {
            const std::string strIndex = "[" + std::to_string(j) + "]";
            EXPECT_EQ(pValues[j], td::OutDouble(strEcho, "ppdFPSValuesArray" + strIndex));
            EXPECT_EQ(pInternal[j], td::OutDouble(strEcho, "ppdFPSInternalValsArray" + strIndex));
        }
        k.DeleteBuffer(reinterpret_cast<unsigned char*>(pValues));
        k.DeleteBuffer(reinterpret_cast<unsigned char*>(pInternal));
        EXPECT_EQ(StateValue(DriverState(strId), "blocks.live"), "0");
    }
    ExpectNoLeaks();
}

TEST_F(ForwardingExportsTest, QueryPtzSupportedDynReturnsTheNumberOfEntries) {
    Load();
    struct Case {
        const char* szId;
        int nEntries;
        size_t nLength;  // of each entry; 0: the driver's text
    };
    const Case cases[] = {
        {"sup#count=5", 5, 0},
        {"sup#count=0", 0, 0},
        {"sup#result=-4", 0, 0},  // an error result is no count: nothing copied
        {"sup#count=256#len=255", 256, 255},
        {"sup#count=3#fill", 3, 255},  // 256 characters without terminator reach the caller cut to 255
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szId);
        ASSERT_EQ(k.AddDeviceInstance(c.szId, TestDriver().c_str(), "srv01"), 1);
        std::vector<CallerBuffer> buffers(kSupportedEntries);
        std::vector<char*> pointers;
        for (CallerBuffer& buffer : buffers) pointers.push_back(buffer.Get());
        EXPECT_EQ(k.QueryPtzSupportedDyn(c.szId, "pw", pointers.data()), c.nEntries);
        const std::string strEcho = td::Call("QueryPtzSupportedDyn", {td::Str(c.szId), td::Str("pw"), "&"});
        for (int j = 0; j < kSupportedEntries; ++j) {
            const std::string strText = td::OutText(strEcho, "ppszSupported[" + std::to_string(j) + "]");
            if (j < c.nEntries) {
                EXPECT_TRUE(buffers[static_cast<size_t>(j)].Holds(
                    c.nLength > 0 ? td::FitText(strText, c.nLength) : strText))
                    << j;
            } else {
                EXPECT_TRUE(buffers[static_cast<size_t>(j)].Untouched()) << j;
            }
        }
    }
    ExpectNoLeaks();
}

TEST_F(ForwardingExportsTest, QueryPresetPositionsCopiesOnlyForAPositiveResult) {
    Load();
    constexpr int nPresetMax = 4;
    struct Case {
        const char* szId;
        int nResult;
        int nCopied;
        bool bFill;
    };
    const Case cases[] = {
        {"pre#count=3", 3, 3, false}, {"pre#count=9", nPresetMax, nPresetMax, false},
        {"pre#result=0", 0, 0, false}, {"pre#result=-2", -2, 0, false},
        {"pre#count=2#fill", 2, 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szId);
        ASSERT_EQ(k.AddDeviceInstance(c.szId, TestDriver().c_str(), "srv01"), 1);
        // Exactly nPresetMax buffers: touching a fifth would be caught.
        std::vector<CallerBuffer> buffers(nPresetMax);
        std::unique_ptr<char*[]> pointers(new char*[nPresetMax]);
        for (int j = 0; j < nPresetMax; ++j) pointers[j] = buffers[static_cast<size_t>(j)].Get();
        EXPECT_EQ(k.QueryPresetPositions(c.szId, 6, nPresetMax, pointers.get()), c.nResult);
        const std::string strEcho =
            td::Call("QueryPresetPositions", {td::Str(c.szId), "6", std::to_string(nPresetMax), "&"});
        for (int j = 0; j < nPresetMax; ++j) {
            const std::string strText = td::OutText(strEcho, "pszPresetNames[" + std::to_string(j) + "]");
            if (j < c.nCopied) {
                EXPECT_TRUE(buffers[static_cast<size_t>(j)].Holds(c.bFill ? td::FitText(strText, 255) : strText)) << j;
            } else {
                EXPECT_TRUE(buffers[static_cast<size_t>(j)].Untouched()) << j;
            }
        }
    }
    ExpectNoLeaks();
}

TEST_F(ForwardingExportsTest, CallerBuffersGetAtMost255CharactersAndATerminator) {
    Load();
    const char* szId = "buf#fill";  // the driver writes 256 characters, no terminator
    ASSERT_EQ(k.AddDeviceInstance(szId, TestDriver().c_str(), "srv01"), 1);
    CallerBuffer mac, type, devType;
    EXPECT_EQ(k.GetInfo(szId, "pw", mac.Get(), type.Get()), 0);
    const std::string strInfoEcho = td::Call("GetInfo", {td::Str(szId), td::Str("pw"), "&", "&"});
    EXPECT_TRUE(mac.Holds(td::FitText(td::OutText(strInfoEcho, "pcMAC"), 255)));
    EXPECT_TRUE(type.Holds(td::FitText(td::OutText(strInfoEcho, "pcDevType"), 255)));
    k.QueryDeviceTypeStrDyn(szId, "pw", devType.Get());
    const std::string strTypeEcho = td::Call("QueryDeviceTypeStrDyn", {td::Str(szId), td::Str("pw"), "&"});
    EXPECT_TRUE(devType.Holds(td::FitText(td::OutText(strTypeEcho, "pcDevType"), 255)));

    // A short text is copied with its terminator and nothing more.
    const char* szShort = "buf#len=3";
    ASSERT_EQ(k.AddDeviceInstance(szShort, TestDriver().c_str(), "srv01"), 1);
    CallerBuffer shortType;
    k.QueryDeviceTypeStrDyn(szShort, "pw", shortType.Get());
    EXPECT_TRUE(shortType.Holds("pcD"));
    ExpectNoLeaks();
}

TEST_F(ForwardingExportsTest, QueryEventsDynReplacesTheOpenEventsOnlyForANonZeroResult) {
    Load();
    struct Case {
        const char* szId;
        int nResult;
        int nEntries;  // -1: the caller's array stays as it was
        size_t nLength;
    };
    const Case cases[] = {
        {"ev#print#result=0", 0, -1, 0},
        {"ev#print#result=-2#count=1", -2, 1, 0},
        {"ev#print#count=0", 0, -1, 0},  // no events is a result of 0 as well
        {"ev#print#count=4#len=300", 4, 4, 255},  // entries are cut to 255 characters
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szId);
        ASSERT_EQ(k.AddDeviceInstance(c.szId, TestDriver().c_str(), "srv01"), 1);
        CStringArray used;  // empty: sent as a count of 0
        CStringArray open;
        open.Add("kept");
        EXPECT_EQ(k.QueryEventsDyn(c.szId, "pw", used, open), c.nResult);
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
    ExpectNoLeaks();
}

TEST_F(ForwardingExportsTest, EmptyInputsTravelAsEmpty) {
    Load();
    const char* szId = "empty#print";
    ASSERT_EQ(k.AddDeviceInstance(szId, TestDriver().c_str(), "srv01"), 1);
    const unsigned char data[1] = {0x5A};
    int nCode = 0;
    k.PutMediaDataBlock(szId, 2, 1, 0, data, 0, &nCode);
    const std::string strPutEcho = td::Call("PutMediaDataBlock", {td::Str(szId), "2", "1", "0", td::Bytes(data, 0), "0", "&"});
    EXPECT_EQ(CountExactLines(Log(), strPutEcho), 1);
    EXPECT_EQ(nCode, td::OutInt(strPutEcho, "pResultCode"));

    CStringArray none;
    k.SetEventsDyn(szId, "", none);
    EXPECT_EQ(CountExactLines(Log(), td::Call("SetEventsDyn", {td::Str(szId), td::Str(""), "[]"})), 1);

    BSTR bsEmpty = SysAllocString(u"");
    k.OpenMediaStreamWithSettings(szId, "", 0, 0, 0, "", &bsEmpty);
    EXPECT_EQ(CountExactLines(Log(), td::Call("OpenMediaStreamWithSettings",
                                              {td::Str(szId), td::Str(""), "0", "0", "0", td::Str(""), "L\"\""})),
              1);
    SysFreeString(bsEmpty);

    BSTR bs = nullptr;
    const unsigned char* pNoData = data;
    k.ParseXmlEventDataDyn(szId, "", "", 0, pNoData, 0, &bs);
    const std::string strParseEcho =
        td::Call("ParseXmlEventDataDyn", {td::Str(szId), td::Str(""), td::Str(""), "0", td::Bytes(data, 0), "0", "&"});
    EXPECT_EQ(CountExactLines(Log(), strParseEcho), 1);
    EXPECT_EQ(TextOf(bs), td::OutText(strParseEcho, "bsXml"));
    SysFreeString(bs);
    ExpectNoLeaks();
}

}  // namespace
}  // namespace kestrel_test
