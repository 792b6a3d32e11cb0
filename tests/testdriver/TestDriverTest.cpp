// The test driver, loaded in-process the way HostProc loads it: the answers
// the protocol promises, the directives, and the failure modes.

#include "DriverTable.h"
#include "testdriver_protocol.h"

#include <kestrel/driver_exports.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

namespace td = testdriver;

namespace {

using Driver = td::DriverTable;

// One driver for the whole process, as inside one HostProc.
Driver& D()
{
    static Driver driver(TESTDRIVER_PATH);
    return driver;
}

int Control(const char* id, const char* command)
{
    return D().ExecuteCustomCommand(id, "", 0, 0, 0, command);
}

std::string State()
{
    BSTR bs = nullptr;
    EXPECT_EQ(0, D().GetXml("any", "", "", "td:state", &bs));
    std::string text = td::Utf16ToUtf8(std::u16string_view(bs, SysStringLen(bs)));
    SysFreeString(bs);
    return text;
}

// Runs `body` in a forked child and returns its wait status.
template <typename F>
int StatusOfChild(F body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGSEGV, SIG_DFL);
        signal(SIGABRT, SIG_DFL);
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

class TestDriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(nullptr, D().handle) << dlerror();
        Control("any", "td:reset");
    }
};

TEST_F(TestDriverTest, ExportsEveryFunctionOfTheApi)
{
    int resolved = 0;
#define TD_COUNT(OP, R, NAME, PARAMS, ARGS) resolved += D().NAME != nullptr;
    KESTREL_FORWARDING_EXPORTS(TD_COUNT)
    KESTREL_DRIVER_SERVICE_EXPORTS(TD_COUNT)
#undef TD_COUNT
    EXPECT_EQ(KESTREL_FORWARDING_EXPORT_COUNT + 2, resolved);
}

TEST_F(TestDriverTest, PartialDriverExportsOnlyItsHandful)
{
    Driver partial(PARTIALDRIVER_PATH);
    ASSERT_NE(nullptr, partial.handle) << dlerror();
    EXPECT_EQ(4242, partial.OpenConnection("p", "", 0, 0));
    EXPECT_EQ(3, partial.QueryNumberOfCamDyn("p", ""));
    unsigned char* block = nullptr;
    ASSERT_EQ(7, partial.GetImage2("p", 1, &block));
    EXPECT_EQ(0, std::memcmp(block, "PARTIAL", 7));
    partial.DeleteBuffer(block);
    EXPECT_EQ(nullptr, partial.SetFeatureSet);
    EXPECT_EQ(nullptr, partial.GetXml);
    EXPECT_EQ(nullptr, partial.CloseConnection2);
}

TEST_F(TestDriverTest, ResultsAndOutValuesFollowFromTheEcho)
{
    const std::string open = td::Call("OpenConnection", {td::Str("t1"), td::Str("p\"w"), td::Int(1), td::Int(-2)});
    EXPECT_EQ(td::DefaultResult(open), D().OpenConnection("t1", "p\"w", 1, -2));

    int pan = 0, tilt = 0, zoom = 0;
    const int r = D().GetPTZPos("t1", 3, 4, &pan, &tilt, &zoom);
    const std::string ptz = td::Call("GetPTZPos", {td::Str("t1"), td::Int(3), td::Int(4), "&", "&", "&"});
    EXPECT_EQ(td::DefaultResult(ptz), r);
    EXPECT_EQ(td::OutInt(ptz, "pPan"), pan);
    EXPECT_EQ(td::OutInt(ptz, "pTilt"), tilt);
    EXPECT_EQ(td::OutInt(ptz, "pZoom"), zoom);

    double fps = 0, internal = 0;
    D().GetDeviceControlledFramerate("t1", "pw", 1, &fps, &internal);
    const std::string rate = td::Call("GetDeviceControlledFramerate", {td::Str("t1"), td::Str("pw"), td::Int(1), "&", "&"});
    EXPECT_EQ(td::OutDouble(rate, "pdFPSValue"), fps);
    EXPECT_EQ(td::OutDouble(rate, "pdFPSInternalVal"), internal);

    const std::string play = td::Call("Play", {td::Str("t1"), td::Int(1), td::Int(2), td::Int(3), td::Int(-9000000000LL), td::Dbl(0.25)});
    EXPECT_EQ(td::DefaultResult(play), D().Play("t1", 1, 2, 3, -9000000000LL, 0.25));

    const std::string type = td::Call("QueryEventTypeDyn", {td::Str("t1"), td::Str("")});
    EXPECT_EQ(td::DefaultShortResult(type), D().QueryEventTypeDyn("t1", ""));
    EXPECT_TRUE(D().IsDebugBuildDyn("t1", ""));
}

TEST_F(TestDriverTest, InputBuffersAndArraysAreHashedIntoTheEcho)
{
    const unsigned char data[] = {0, 1, 2, 250};
    int code = 0;
    const int r = D().PutMediaDataBlock("t1", 1, 2, 3, data, 4, &code);
    const std::string echo = td::Call("PutMediaDataBlock",
                                      {td::Str("t1"), td::Int(1), td::Int(2), td::Int(3), td::Bytes(data, 4), td::Int(4), "&"});
    EXPECT_EQ(td::DefaultResult(echo), r);
    EXPECT_EQ(td::OutInt(echo, "pResultCode"), code);

    int drivers[256], ports[256], ids[256];
    for (int i = 0; i < 256; ++i) {
        drivers[i] = i;
        ports[i] = -i;
        ids[i] = i * 7;
    }
    D().SetPanTiltDriver("t1", "u", "p", drivers, ports, ids);
    EXPECT_NE(td::Ints(drivers, 256), td::Ints(ports, 256));

    CStringArray used, open;
    used.Add("Input1");
    used.Add("Motion\x01");
    open.Add("stale");
    const int n = D().QueryEventsDyn("t1", "pw", used, open);
    const std::string events = td::Call("QueryEventsDyn", {td::Str("t1"), td::Str("pw"), td::Array(used), "&"});
    ASSERT_EQ(td::kDefaultCount, n);
    ASSERT_EQ(2, open.GetSize());
    EXPECT_EQ(td::OutText(events, "aszOpenEvents[1]"), open[1]);
    EXPECT_NE(std::string::npos, events.find("\"Motion\\x01\""));
}

TEST_F(TestDriverTest, CallerBuffersReceiveTextsCutToTheirSize)
{
    char mac[256] = {}, type[256] = {};
    EXPECT_EQ(0, D().GetInfo("t1", "pw", mac, type));
    const std::string echo = td::Call("GetInfo", {td::Str("t1"), td::Str("pw"), "&", "&"});
    EXPECT_EQ(td::OutText(echo, "pcMAC"), mac);
    EXPECT_EQ(td::OutText(echo, "pcDevType"), type);

    char devType[256];
    D().QueryDeviceTypeStrDyn("t1#len=1000", "", devType);
    EXPECT_EQ(255u, std::strlen(devType));

    std::memset(devType, 0, sizeof devType);
    char guard[8] = "guard!!";
    struct {
        char buffer[256];
        char after[8];
    } filled{};
    std::memcpy(filled.after, guard, sizeof guard);
    D().QueryDeviceTypeStrDyn("t1#fill", "", filled.buffer);
    EXPECT_EQ(0, std::memcmp(filled.after, guard, sizeof guard));
    EXPECT_EQ(nullptr, std::memchr(filled.buffer, 0, sizeof filled.buffer));

    char storage[4][256];
    char* names[4] = {storage[0], storage[1], storage[2], storage[3]};
    EXPECT_EQ(3, D().QueryPresetPositions("t1#count=9", 1, 3, names));
    const std::string presets = td::Call("QueryPresetPositions", {td::Str("t1#count=9"), td::Int(1), td::Int(3), "&"});
    EXPECT_EQ(td::OutText(presets, "pszPresetNames[2]"), storage[2]);
    EXPECT_EQ(4, D().QueryPtzSupportedDyn("t1#count=4", "", names));
}

TEST_F(TestDriverTest, BlocksAndArraysAreHandedOverAndReleasedThroughDeleteBuffer)
{
    unsigned char* block = nullptr;
    const int n = D().GetImage2("t1", 5, &block);
    const std::string echo = td::Call("GetImage2", {td::Str("t1"), td::Int(5), "&"});
    ASSERT_EQ(static_cast<int>(echo.size()), n);
    EXPECT_EQ(echo, std::string(reinterpret_cast<char*>(block), n));
    D().DeleteBuffer(block);

    ASSERT_EQ(100000, D().GetVideoDataBlock("t1#block=100000", 1, &block));
    for (size_t i = 0; i < 100000; i += 997)
        ASSERT_EQ(td::PatternByte(i), block[i]) << i;
    D().DeleteBuffer(block);

    block = reinterpret_cast<unsigned char*>(1);
    EXPECT_EQ(0, D().GetMediaDataBlock("t1#null", 0, 0, 0, &block));
    EXPECT_EQ(nullptr, block);
    EXPECT_EQ(5, D().GetMediaDataBlock("t1#null#result=5", 0, 0, 0, &block));
    EXPECT_EQ(nullptr, block);

    int count = 0;
    double* values = nullptr;
    double* internals = nullptr;
    D().QueryDeviceControlledFramerates("t1#count=3", "", 1, &count, &values, &internals);
    const std::string rates = td::Call("QueryDeviceControlledFramerates", {td::Str("t1#count=3"), td::Str(""), td::Int(1), "&", "&", "&"});
    ASSERT_EQ(3, count);
    EXPECT_EQ(td::OutDouble(rates, "ppdFPSInternalValsArray[2]"), internals[2]);
    D().DeleteBuffer(reinterpret_cast<unsigned char*>(values));
    D().DeleteBuffer(reinterpret_cast<unsigned char*>(internals));

    const std::string state = State();
    EXPECT_NE(std::string::npos, state.find("deletebuffer=4\n")) << state;
    EXPECT_NE(std::string::npos, state.find("blocks.live=0\n")) << state;
}

TEST_F(TestDriverTest, BstrOutputsReplaceTheVariableExceptForGetTimeLine)
{
    BSTR xml = SysAllocString(u"<in>\u00e9</in>");
    EXPECT_TRUE(D().SetXmlParams("t1", "u", "p", &xml));
    const std::string echo = td::Call("SetXmlParams", {td::Str("t1"), td::Str("u"), td::Str("p"), "L\"<in>\xc3\xa9</in>\""});
    EXPECT_EQ(td::Utf8ToUtf16(td::OutText(echo, "bsXml")), std::u16string(xml));
    SysFreeString(xml);

    BSTR kept = SysAllocString(u"caller's");
    BSTR timeline = kept;
    D().GetTimeLine("t1", 0, 1, 0, 10, 20, &timeline);
    EXPECT_NE(kept, timeline);
    EXPECT_EQ(std::u16string(u"caller's"), kept); // not released
    SysFreeString(kept);
    SysFreeString(timeline);

    BSTR none = SysAllocString(u"old");
    EXPECT_EQ(0, D().GenerateCredentialsDyn("t1#null#result=0", "", "", &none));
    EXPECT_EQ(nullptr, none);

    BSTR settings = SysAllocString(u"<s/>");
    EXPECT_FALSE(D().OpenMediaStreamWithSettings("t1#result=0", "", 0, 0, 0, "", &settings));
    EXPECT_EQ(std::u16string(u"<s/>"), settings);
    SysFreeString(settings);
}

TEST_F(TestDriverTest, QueuedAndStickyDirectivesApplyInOrder)
{
    EXPECT_EQ(0, Control("q", "td:next @QueryNoInputDyn result=11"));
    EXPECT_EQ(0, Control("q", "td:next result=12"));
    EXPECT_EQ(12, D().QueryNoOutputDyn("q", ""));  // first entry is for another export
    EXPECT_EQ(11, D().QueryNoInputDyn("q", ""));
    EXPECT_NE(11, D().QueryNoInputDyn("q", ""));   // used up

    EXPECT_EQ(0, Control("q", "td:mode result=7"));
    EXPECT_EQ(7, D().QuerySendFtpDyn("q", ""));
    EXPECT_EQ(7, D().QuerySendFtpDyn("q", ""));
    EXPECT_EQ(0, Control("q#result=8", "td:mode result=7"));
    EXPECT_EQ(8, D().QuerySendFtpDyn("q#result=8", "")); // the id beats the mode
    EXPECT_EQ(0, Control("q", "td:mode"));
    EXPECT_NE(7, D().QuerySendFtpDyn("q", ""));
    EXPECT_EQ(-1, Control("q", "td:bogus"));

    const std::string state = State();
    EXPECT_NE(std::string::npos, state.find("calls.QuerySendFtpDyn=4\n")) << state;
    EXPECT_EQ(std::string::npos, state.find("calls.ExecuteCustomCommand")) << state;
}

TEST_F(TestDriverTest, FeatureSetIsRecorded)
{
    D().SetFeatureSet("features:a,b");
    const std::string state = State();
    EXPECT_NE(std::string::npos, state.find("featureset=features:a,b\n")) << state;
    EXPECT_NE(std::string::npos, state.find("featureset.calls=1\n")) << state;
}

TEST_F(TestDriverTest, HungCallsWaitForRelease)
{
    int results[2] = {0, 0};
    std::thread a([&] { results[0] = D().QueryIsIpix("h#hang#result=1", ""); });
    std::thread b([&] { results[1] = D().QueryIsIpix("h#hang#result=2", ""); });
    EXPECT_EQ(2, Control("h", "td:wait-hung 2"));
    EXPECT_EQ(2, Control("h", "td:release"));
    a.join();
    b.join();
    EXPECT_EQ(1, results[0]);
    EXPECT_EQ(2, results[1]);
}

TEST_F(TestDriverTest, ExceptionsAreThrownOnRequest)
{
    EXPECT_THROW(D().QueryIsIpix("x#throw", ""), std::runtime_error);
    EXPECT_THROW(D().CloseConnection2("x#throw=int", 1), int);
}

TEST_F(TestDriverTest, FailuresEndTheProcessAsRequested)
{
    int status = StatusOfChild([] { D().QueryIsIpix("c#crash", ""); });
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGSEGV, WTERMSIG(status));

    status = StatusOfChild([] { D().QueryIsIpix("c#crash=write", ""); });
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGSEGV, WTERMSIG(status));

    status = StatusOfChild([] { D().QueryIsIpix("c#crash=abort", ""); });
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGABRT, WTERMSIG(status));

    status = StatusOfChild([] { D().QueryIsIpix("c#exit=23", ""); });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(23, WEXITSTATUS(status));
}

} // namespace
