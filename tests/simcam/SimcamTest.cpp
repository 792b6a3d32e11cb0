// libsimcam.so used in-process as an application (or HostProc) uses a
// driver: dlopen, one function pointer per export, blocks released through
// the driver's DeleteBuffer and BSTRs through SysFreeString. The camera's
// own behaviour is tested here, once: frames, access, PTZ, XML, events,
// media and recordings, configuration and crash commands.
#include "DriverTable.h"
#include "simcam.h"
#include "testdriver_protocol.h"

#include <stdlib.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr const char* kPw = SIMCAM_DEFAULT_PASSWORD;

testdriver::DriverTable& D()
{
    static testdriver::DriverTable driver(SIMCAM_PATH);
    if (driver.handle == nullptr)
        throw std::runtime_error(dlerror());
    return driver;
}

// Creates instance `id` with extra SIMCAM_* settings (the configuration is
// taken when an instance is first used).
void Create(const char* id, std::initializer_list<std::pair<const char*, const char*>> env = {})
{
    for (const auto& [name, value] : env)
        setenv(name, value, 1);
    D().QueryNumberOfCamDyn(id, kPw);
    for (const auto& [name, value] : env)
        unsetenv(name);
}

// A block handed over by the driver, released through its DeleteBuffer.
struct Block {
    unsigned char* p = nullptr;
    int size = 0;
    Block() = default;
    Block(const Block&) = delete;
    ~Block() { D().DeleteBuffer(p); }
    std::string Bytes() const { return p != nullptr ? std::string(reinterpret_cast<char*>(p), size) : std::string(); }
};

struct Bstr {
    BSTR bs = nullptr;
    Bstr() = default;
    explicit Bstr(const std::string& utf8)
    {
        const std::u16string wide = testdriver::Utf8ToUtf16(utf8);
        bs = SysAllocStringLen(wide.data(), static_cast<unsigned>(wide.size()));
    }
    Bstr(const Bstr&) = delete;
    ~Bstr() { SysFreeString(bs); }
    std::string Text() const { return testdriver::Utf16ToUtf8(std::u16string_view(bs, SysStringLen(bs))); }
    bool Has(const std::string& part) const { return Text().find(part) != std::string::npos; }
};

// The size of a JPEG block; 0 x 0 when it is none.
struct Picture {
    int width = 0;
    int height = 0;
};

Picture Decode(const Block& b)
{
    tjhandle h = tjInitDecompress();
    Picture picture;
    int subsampling = 0, colorspace = 0;
    tjDecompressHeader3(h, b.p, static_cast<unsigned long>(b.size), &picture.width, &picture.height, &subsampling,
                        &colorspace);
    tjDestroy(h);
    return picture;
}

int Image(const char* id, int camera, Block& b)
{
    b.size = D().GetImage2(id, camera, &b.p);
    return b.size;
}

int Media(const char* id, int type, int device, int stream, Block& b)
{
    b.size = D().GetMediaDataBlock(id, type, device, stream, &b.p);
    return b.size;
}

TEST(Simcam, FramesAreJpegsOfTheConfiguredSizeOnlyOnAnOpenConnection)
{
    Create("frames", {{"SIMCAM_WIDTH", "320"}, {"SIMCAM_HEIGHT", "240"}, {"SIMCAM_CAMERAS", "3"}});
    EXPECT_EQ(3, D().QueryNumberOfCamDyn("frames", kPw));
    Block none, first, second, video;
    EXPECT_EQ(SIMCAM_E_NOT_OPEN, Image("frames", 3, none));
    EXPECT_EQ(nullptr, none.p);
    ASSERT_EQ(SIMCAM_OK, D().OpenConnection("frames", kPw, 0, 3));
    ASSERT_GT(Image("frames", 3, first), 0);
    EXPECT_EQ(320, Decode(first).width);
    ASSERT_GT(Image("frames", 3, second), 0);
    EXPECT_NE(first.Bytes(), second.Bytes());  // frame counter and time move on
    ASSERT_EQ(SIMCAM_OK, D().OpenStreamConnection("frames", kPw, 0, 2));
    ASSERT_GT(video.size = D().GetVideoDataBlock("frames", 2, &video.p), 0);
    EXPECT_EQ(240, Decode(video).height);
    D().CloseConnection2("frames", 3);
    EXPECT_EQ(SIMCAM_E_NOT_OPEN, Image("frames", 3, none));
}

TEST(Simcam, PtzMovesClampAndFollowPresetsAndTheDeviceClockInQueriesAndFrames)
{
    Create("ptz", {{"SIMCAM_DETERMINISTIC", "1"}, {"SIMCAM_WIDTH", "320"}, {"SIMCAM_HEIGHT", "240"}});
    const auto position = [] {
        int p = 0, t = 0, z = 0;
        EXPECT_EQ(SIMCAM_OK, D().GetPTZPos("ptz", 1, 0, &p, &t, &z));
        return std::to_string(p) + " " + std::to_string(t) + " " + std::to_string(z);
    };
    D().PTZSetAbsoluteDoubles("ptz", "", kPw, 1, 0, 30.5, -12.25, 4, 200);
    int p = 0, t = 0, z = 0, f = 0;
    ASSERT_EQ(SIMCAM_OK, D().PTZGetAbsolute("ptz", "", kPw, 1, 0, &p, &t, &z, &f));
    EXPECT_EQ(std::vector<int>({3050, -1225, 400, 200}), std::vector<int>({p, t, z, f}));
    D().MoveCamera2("ptz", 1, SIMCAM_PTZ_RIGHT);  // 5 degrees / zoom 4
    D().PanTiltCamera2("ptz", 1, 0, -50, 25);
    EXPECT_EQ("3125 -1200 400", position());
    D().PTZSetAbsolute("ptz", "", kPw, 1, 0, 99999, -99999, 1, 0, 0);
    EXPECT_EQ("18000 -9000 100", position()) << "clamped to the head's range";

    char storage[8][256];
    char* names[8];
    for (int i = 0; i < 8; ++i)
        names[i] = storage[i];
    ASSERT_EQ(2, D().QueryPresetPositions("ptz", 1, 2, names)) << "no more than asked for";
    D().PTZSetAbsoluteDoubles("ptz", "", kPw, 1, 0, 12, 3, 2, 500);
    EXPECT_EQ(SIMCAM_OK, D().ExecuteCustomCommand("ptz", kPw, 0, 1, 0, "preset save Gate"));
    ASSERT_EQ(5, D().QueryPresetPositions("ptz", 1, 8, names));
    EXPECT_STREQ("Gate", names[4]);
    D().MoveCamera2("ptz", 1, SIMCAM_PTZ_HOME);
    EXPECT_EQ(SIMCAM_OK, D().MoveToPresetPosition("ptz", 1, "Gate"));
    EXPECT_EQ("1200 300 200", position());

    // Continuous motion runs on the device's clock: one frame interval
    // (100 ms at 10 fps) per frame in deterministic mode.
    D().MoveCamera2("ptz", 1, SIMCAM_PTZ_HOME);
    ASSERT_EQ(SIMCAM_OK, D().OpenConnection("ptz", kPw, 0, 1));
    D().PTZMoveXY("ptz", "", kPw, 1, 0, 20, 0);  // 10 degrees per second
    for (int i = 0; i < 10; ++i) {
        Block frame;
        ASSERT_GT(Image("ptz", 1, frame), 0);
    }
    D().PTZCommand("ptz", "", kPw, 1, 0, SIMCAM_PTZ_STOP, 0);
    EXPECT_EQ("1000 0 100", position());
}

TEST(Simcam, XmlConfigurationAppliesAllOrNothingAndItsReaderDecodesWhatItAccepts)
{
    Create("xml", {{"SIMCAM_DETERMINISTIC", "1"}});
    Bstr xml;
    ASSERT_EQ(SIMCAM_OK, D().GetXml("xml", "admin", kPw, "", &xml.bs));
    ASSERT_EQ(SIMCAM_OK, D().GetXml("xml", "admin", kPw, "Video", &xml.bs));  // releases the previous BSTR
    BSTR kept = xml.bs;
    EXPECT_EQ(SIMCAM_E_NOT_FOUND, D().GetXml("xml", "admin", kPw, "Nothing", &xml.bs));
    EXPECT_EQ(kept, xml.bs);

    Bstr params(
        "<?xml version=\"1.0\"?><SimCam><Video><Width>640</Width><Height>480</Height>"
        "<Quality>50</Quality></Video><Cameras><Camera id=\"2\"><Name>Gate &amp; Yard</Name></Camera>"
        "</Cameras><IO><Output id=\"1\" state=\"1\"/></IO><Unknown>ignored</Unknown></SimCam>");
    ASSERT_TRUE(D().SetXmlParams("xml", "admin", kPw, &params.bs));
    EXPECT_TRUE(params.Has("<Name>Gate &amp; Yard</Name>")) << params.Text();
    EXPECT_TRUE(params.Has("<Output id=\"1\" state=\"1\"/>"));
    ASSERT_EQ(SIMCAM_OK, D().OpenConnection("xml", kPw, 0, 1));
    Block frame;
    ASSERT_GT(Image("xml", 1, frame), 0);
    EXPECT_EQ(640, Decode(frame).width);

    // The camera's name is read back exactly as the reader decoded it.
    const auto camera = [](const std::string& element) {
        return "<SimCam><Cameras><Camera id='1'>" + element + "</Camera></Cameras></SimCam>";
    };
    const auto name = [&](const std::string& element) {
        Bstr set(camera(element));
        if (!D().SetXmlParams("xml", "", kPw, &set.bs))
            return "refused: " + set.Text();
        Bstr cameras;
        D().GetXml("xml", "", kPw, "Cameras", &cameras.bs);
        const std::string text = cameras.Text();
        const size_t at = text.find("<Name>");
        return text.substr(at, text.find("</Name>", at) + 7 - at);
    };
    EXPECT_EQ("<Name>A&lt;B\u263aA</Name>", name("<Name>A&lt;B&#x263A;&#65;</Name>"));
    EXPECT_EQ("<Name>x&lt;y</Name>", name("<!-- note --><Name><![CDATA[x<y]]><?pi?></Name >"));
    EXPECT_EQ("<Name>Cam \U0001F600</Name>", name("<Name>Cam \U0001F600</Name>")) << "beyond the BMP";
    std::string nested;
    for (int i = 0; i < 70; ++i)
        nested = "<a>" + nested + "</a>";
    for (const std::string& text : std::initializer_list<std::string>{
             camera("<Name a='1' a='2'>x</Name>"), camera("<Name>&nbsp;</Name>"), camera("<Name>&#0;</Name>"),
             camera("<Name>x</Name><!-- open"), camera("<Name a='<'>x</Name>"), camera(nested),
             "<SimCam><Video><Width>641</Width></Video></SimCam>", "<SimCam><Video><Width>800</Width></Video>",
             "<SimCam><Video><Width>800</Width></Vide></SimCam>", "<Other/>", "<SimCam/><SimCam/>",
             "<SimCam><Cameras><Camera id=\"7\"><Name>x</Name></Camera></Cameras></SimCam>",
             "<!DOCTYPE x [<!ENTITY a \"b\">]><SimCam/>",
             "<SimCam><Video><Width>800</Width><Height>nope</Height></Video></SimCam>"}) {
        Bstr input(text);
        EXPECT_FALSE(D().SetXmlParams("xml", "admin", kPw, &input.bs)) << text;
        EXPECT_EQ(0u, input.Text().rfind("<Error>", 0)) << input.Text();
    }
    ASSERT_EQ(SIMCAM_OK, D().GetXml("xml", "admin", kPw, "", &xml.bs));
    EXPECT_TRUE(xml.Has("<Width>640</Width>") && xml.Has("<Name>Cam \U0001F600</Name>")) << "nothing applied";
    Bstr wrong("<SimCam/>");
    EXPECT_FALSE(D().SetXmlParams("xml", "admin", "wrong", &wrong.bs));

    Bstr info;
    ASSERT_EQ(SIMCAM_OK, D().GetStreamInfo("xml", kPw, 1, &info.bs));
    EXPECT_TRUE(info.Has("width=\"320\" height=\"240\"")) << info.Text();
}

TEST(Simcam, EventsFlowFromInputsThroughTheStreamToTheParserAndTheDefinitions)
{
    Create("events", {{"SIMCAM_DETERMINISTIC", "1"}, {"SIMCAM_WIDTH", "160"}, {"SIMCAM_HEIGHT", "120"}});
    CStringArray used, open;
    used.Add("Input1");
    open.Add("stale");
    ASSERT_EQ(1, D().QueryEventsDyn("events", kPw, used, open));
    EXPECT_EQ(3, open.GetSize()) << "the list is replaced, the used one left out";
    CStringArray selected;
    selected.Add("Input2");
    EXPECT_EQ(SIMCAM_OK, D().SetEventsDyn("events", kPw, selected));
    selected.Add("Bogus");
    EXPECT_EQ(SIMCAM_E_NOT_FOUND, D().SetEventsDyn("events", kPw, selected));

    ASSERT_EQ(SIMCAM_OK, D().OpenMediaStream("events", kPw, SIMCAM_MEDIA_EVENTS, 0, 0, ""));
    EXPECT_EQ(SIMCAM_OK, D().ExecuteCustomCommand("events", kPw, 0, 0, 0, "input 1 1"));  // not selected
    EXPECT_EQ(SIMCAM_OK, D().ExecuteCustomCommand("events", kPw, 0, 0, 0, "input 2 1"));
    Block event, none;
    ASSERT_GT(Media("events", SIMCAM_MEDIA_EVENTS, 0, 0, event), 0);
    EXPECT_EQ(0u, event.Bytes().rfind("source=Input2;state=1;time=", 0)) << event.Bytes();
    EXPECT_EQ(0, Media("events", SIMCAM_MEDIA_EVENTS, 0, 0, none));

    const short parser = D().OpenXmlEventParserDyn("events", "", kPw, "Input");
    ASSERT_GT(parser, 0);
    Bstr xml;
    ASSERT_EQ(4, D().ParseXmlEventDataDyn("events", "", kPw, parser, event.p, event.size, &xml.bs));
    const std::string bad = "source=Input2;no pair";
    BSTR before = xml.bs;
    EXPECT_EQ(SIMCAM_E_ARGUMENT,
              D().ParseXmlEventDataDyn("events", "", kPw, parser, reinterpret_cast<const unsigned char*>(bad.data()),
                                       static_cast<int>(bad.size()), &xml.bs));
    EXPECT_EQ(before, xml.bs);
    D().CloseXmlEventParserDyn("events", "", kPw, parser);
    EXPECT_EQ(SIMCAM_E_NOT_FOUND, D().ParseXmlEventDataDyn("events", "", kPw, parser, event.p, event.size, &xml.bs));

    // Definitions are a transaction; what was sent shows in the XML.
    EXPECT_EQ(SIMCAM_E_NOT_OPEN, D().DefineEventDyn("events", kPw, "Input1", "10.0.0.1", "80", "door", 0));
    EXPECT_EQ(SIMCAM_OK, D().BeginDefineEvent("events", "", kPw, 1));
    EXPECT_EQ(1, D().DefineEventDyn("events", kPw, "Input1", "10.0.0.1", "80", "door", 0));
    EXPECT_EQ(SIMCAM_E_NOT_FOUND, D().DefineEventDyn("events", kPw, "Input9", "", "", "", 0));
    EXPECT_EQ(1, D().EndDefineEvent("events", "", kPw));
    EXPECT_EQ(SIMCAM_OK, D().ExecuteCustomCommand("events", kPw, 0, 0, 0, "input 1 0"));
    ASSERT_EQ(SIMCAM_OK, D().GetXml("events", "", kPw, "Events", &xml.bs));
    EXPECT_TRUE(
        xml.Has("source=\"Input1\" destIP=\"10.0.0.1\" destPort=\"80\" message=\"door\" useBuffer=\"0\" "
                "sent=\"1\""))
        << xml.Text();
    Bstr events("<Events><Event source=\"Motion2\" message=\"m\"/></Events>");
    ASSERT_TRUE(D().SetXmlEvents("events", "", kPw, &events.bs));
    EXPECT_TRUE(events.Has("source=\"Motion2\"")) << events.Text();
    Bstr badEvents("<Events><Event source=\"Motion7\"/></Events>");
    EXPECT_FALSE(D().SetXmlEvents("events", "", kPw, &badEvents.bs));

    // An output pulse ends on the device clock: 300 ms of frames at 10 fps.
    EXPECT_EQ(SIMCAM_E_CAMERA, D().SetOutput("events", kPw, 3, 1));
    D().TriggerOutput("events", kPw, 2, 250);
    ASSERT_EQ(SIMCAM_OK, D().GetXml("events", "", kPw, "IO", &xml.bs));
    EXPECT_TRUE(xml.Has("<Output id=\"2\" state=\"1\"/>")) << xml.Text();
    ASSERT_EQ(SIMCAM_OK, D().OpenConnection("events", kPw, 0, 1));
    for (int i = 0; i < 3; ++i) {
        Block frame;
        ASSERT_GT(Image("events", 1, frame), 0);
    }
    ASSERT_EQ(SIMCAM_OK, D().GetXml("events", "", kPw, "IO", &xml.bs));
    EXPECT_TRUE(xml.Has("<Output id=\"2\" state=\"0\"/>")) << xml.Text();
}

TEST(Simcam, AudioGoesBothWaysAndRecordingsPlayBackEitherWayPauseAndRetrieve)
{
    Create("audio", {{"SIMCAM_DETERMINISTIC", "1"}});
    Create("media", {{"SIMCAM_DETERMINISTIC", "1"},
                     {"SIMCAM_WIDTH", "160"},
                     {"SIMCAM_HEIGHT", "120"},
                     {"SIMCAM_RECORD_FRAMES", "3"}});
    ASSERT_EQ(SIMCAM_OK, D().OpenMediaStream("audio", kPw, SIMCAM_MEDIA_AUDIO_IN, 1, 0, ""));
    Block pcm, longer;
    EXPECT_EQ(320, Media("audio", SIMCAM_MEDIA_AUDIO_IN, 1, 0, pcm));  // 20 ms of 8 kHz 16-bit mono
    EXPECT_EQ(SIMCAM_OK, D().SetMediaStreamPollingRate("audio", SIMCAM_MEDIA_AUDIO_IN, 1, 0, 10));
    EXPECT_EQ(1600, Media("audio", SIMCAM_MEDIA_AUDIO_IN, 1, 0, longer));
    int code = 99;
    const unsigned char samples[6] = {1, 0, 2, 0, 3, 0};
    const auto put = [&](int n) {
        return D().PutMediaDataBlock("audio", SIMCAM_MEDIA_AUDIO_OUT, 1, 0, samples, n, &code);
    };
    EXPECT_EQ(SIMCAM_E_NOT_OPEN, put(6));
    ASSERT_EQ(SIMCAM_OK, D().OpenMediaStream("audio", kPw, SIMCAM_MEDIA_AUDIO_OUT, 1, 0, ""));
    EXPECT_EQ(6, put(6));
    EXPECT_EQ(SIMCAM_OK, code);
    EXPECT_EQ(SIMCAM_E_ARGUMENT, put(5));
    EXPECT_EQ(0, put(0));
    Bstr xml;
    ASSERT_EQ(SIMCAM_OK, D().GetXml("audio", "", kPw, "Audio", &xml.bs));
    EXPECT_TRUE(xml.Has("<Received>6</Received>")) << xml.Text();
    D().CloseMediaStream("audio", SIMCAM_MEDIA_AUDIO_OUT, 1, 0);
    EXPECT_EQ(SIMCAM_E_NOT_OPEN, put(2));

    // Video of the configured size; the ring keeps the last 3 of 5 frames.
    ASSERT_EQ(SIMCAM_OK, D().OpenMediaStream("media", kPw, SIMCAM_MEDIA_VIDEO, 1, 0, ""));
    std::vector<std::string> live;
    for (int i = 0; i < 5; ++i) {
        Block frame;
        ASSERT_GT(Media("media", SIMCAM_MEDIA_VIDEO, 1, 0, frame), 0);
        EXPECT_EQ(160, Decode(frame).width);
        live.push_back(frame.Bytes());
    }
    constexpr long long kEpoch = SIMCAM_DETERMINISTIC_EPOCH_MS;
    Bstr timeline;
    ASSERT_EQ(1, D().GetTimeLine("media", SIMCAM_MEDIA_VIDEO, 1, 0, 0, LLONG_MAX, &timeline.bs));
    EXPECT_TRUE(timeline.Has("<Recording start=\"" + std::to_string(kEpoch + 200) + "\" end=\"" +
                             std::to_string(kEpoch + 400) + "\" frames=\"3\"/>"))
        << timeline.Text();
    BSTR first = timeline.bs;  // GetTimeLine overwrites the variable without releasing its BSTR
    EXPECT_EQ(0, D().GetTimeLine("media", SIMCAM_MEDIA_VIDEO, 1, 0, 0, 1000, &timeline.bs));
    EXPECT_NE(first, timeline.bs);
    SysFreeString(first);
    EXPECT_EQ(3, D().Retrieve("media", SIMCAM_MEDIA_VIDEO, 1, 0, kEpoch, kEpoch + 400));
    for (const int percent : {33, 66, 100})
        EXPECT_EQ(percent, D().RetrieveStatus("media", SIMCAM_MEDIA_VIDEO, 1, 0));
    EXPECT_EQ(SIMCAM_E_NOT_FOUND, D().RetrieveStatus("media", SIMCAM_MEDIA_VIDEO, 1, 1));

    ASSERT_EQ(SIMCAM_OK, D().Play("media", SIMCAM_MEDIA_VIDEO, 1, 0, kEpoch + 300, 1.0));
    Block replay, paused, end, back;
    ASSERT_GT(Media("media", SIMCAM_MEDIA_VIDEO, 1, 0, replay), 0);
    EXPECT_NE(live[3], replay.Bytes());  // same moment, but marked as playback
    EXPECT_EQ(SIMCAM_OK, D().Pause("media", SIMCAM_MEDIA_VIDEO, 1, 0));
    EXPECT_EQ(0, Media("media", SIMCAM_MEDIA_VIDEO, 1, 0, paused));
    EXPECT_EQ(SIMCAM_E_NOT_FOUND, D().Play("media", SIMCAM_MEDIA_VIDEO, 1, 0, kEpoch + 9000, 1));
    // Backwards from the newest frame: three recorded frames, then the end.
    ASSERT_EQ(SIMCAM_OK, D().Play("media", SIMCAM_MEDIA_VIDEO, 1, 0, kEpoch + 400, -1));
    for (int i = 0; i < 3; ++i) {
        Block frame;
        EXPECT_GT(Media("media", SIMCAM_MEDIA_VIDEO, 1, 0, frame), 0) << i;
    }
    EXPECT_EQ(0, Media("media", SIMCAM_MEDIA_VIDEO, 1, 0, end));
    EXPECT_EQ(SIMCAM_OK, D().Play("media", SIMCAM_MEDIA_VIDEO, 1, 0, -1, 1));  // back to live
    EXPECT_GT(Media("media", SIMCAM_MEDIA_VIDEO, 1, 0, back), 0);
    EXPECT_EQ(SIMCAM_E_NOT_OPEN, D().Play("media", SIMCAM_MEDIA_VIDEO, 2, 0, 0, 1));

    Bstr bad("<Settings><Width>9</Width></Settings>");
    EXPECT_FALSE(D().OpenMediaStreamWithSettings("media", kPw, SIMCAM_MEDIA_VIDEO, 2, 0, "", &bad.bs));
    Bstr settings("<Settings><Width>96</Width><Height>64</Height></Settings>");
    ASSERT_TRUE(D().OpenMediaStreamWithSettings("media", kPw, SIMCAM_MEDIA_VIDEO, 2, 0, "", &settings.bs));
    EXPECT_EQ(0u, settings.Text().rfind("<Settings>", 0)) << "read only";
    Block sized;
    ASSERT_GT(Media("media", SIMCAM_MEDIA_VIDEO, 2, 0, sized), 0);
    EXPECT_EQ(96, Decode(sized).width);
}

TEST(Simcam, ConfigurationComesFromIniAndEnvironmentAndIsRefreshedOrResetOnRequest)
{
    char path[] = "/tmp/simcam-ini-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << "[simcam]\ncameras=3\ninputs=4\nwidth=641\n\n[ini-special]\npassword=gate\ncameras=1\n";
    Create("ini-plain", {{"SIMCAM_CONFIG", path}, {"SIMCAM_HEIGHT", "240"}});
    Create("ini-special", {{"SIMCAM_CONFIG", path}, {"SIMCAM_OUTPUTS", "5"}});
    std::remove(path);
    EXPECT_EQ(3, D().QueryNumberOfCamDyn("ini-plain", kPw));
    EXPECT_EQ(4, D().QueryNoInputDyn("ini-plain", kPw));
    EXPECT_EQ(SIMCAM_E_PASSWORD, D().QueryNumberOfCamDyn("ini-special", kPw));
    EXPECT_EQ(1, D().QueryNumberOfCamDyn("ini-special", "gate"));
    EXPECT_EQ(5, D().QueryNoOutputDyn("ini-special", "gate"));
    Bstr xml;
    ASSERT_EQ(SIMCAM_OK, D().GetXml("ini-plain", "", kPw, "Video", &xml.bs));
    EXPECT_TRUE(xml.Has("<Width>1280</Width><Height>240</Height>")) << "an odd width is refused: " << xml.Text();

    Create("refresh", {{"SIMCAM_WIDTH", "320"}, {"SIMCAM_HEIGHT", "240"}});
    ASSERT_EQ(SIMCAM_OK, D().OpenConnection("refresh", kPw, 1, 1));
    int half = -1, width = -1;
    D().ConfigDevice2("refresh", "", kPw, 1, &half, &width);
    EXPECT_EQ(1, half);
    EXPECT_EQ(160, width);
    setenv("SIMCAM_WIDTH", "480", 1);
    D().RefreshConfiguration("refresh", "", kPw, 1);
    unsetenv("SIMCAM_WIDTH");
    ASSERT_EQ(SIMCAM_OK, D().GetXml("refresh", "", kPw, "Video", &xml.bs));
    EXPECT_TRUE(xml.Has("<Width>480</Width>")) << xml.Text();
    D().PTZSetAbsoluteDoubles("refresh", "", kPw, 1, 0, 45, 0, 3, 500);
    ASSERT_EQ(SIMCAM_OK, D().ChangePassword("refresh", "", kPw, "other"));
    EXPECT_EQ(SIMCAM_E_PASSWORD, D().QueryNoInputDyn("refresh", kPw));
    EXPECT_EQ(SIMCAM_OK, D().ExecuteCustomCommand("refresh", "other", 0, 0, 0, "reset"));
    int pan = -1, tilt = -1, zoom = -1;
    ASSERT_EQ(SIMCAM_OK, D().GetPTZPos("refresh", 1, 0, &pan, &tilt, &zoom));
    EXPECT_EQ(0, pan);
    EXPECT_EQ(100, zoom);
    EXPECT_EQ(2, D().QueryNumberOfCamDyn("refresh", kPw)) << "the configured password again";
    Block none;
    EXPECT_EQ(SIMCAM_E_NOT_OPEN, Image("refresh", 1, none)) << "connections are gone too";

    // A rate is chosen by its internal value and reported by its shown one.
    int count = 0;
    double *values = nullptr, *internals = nullptr, fps = 0, internal = 0;
    ASSERT_EQ(SIMCAM_OK, D().QueryDeviceControlledFramerates("ini-plain", kPw, 1, &count, &values, &internals));
    ASSERT_GT(count, 5);
    EXPECT_EQ(SIMCAM_OK, D().SetDeviceControlledFramerate("ini-plain", kPw, 1, internals[5]));
    ASSERT_EQ(SIMCAM_OK, D().GetDeviceControlledFramerate("ini-plain", kPw, 1, &fps, &internal));
    EXPECT_EQ(values[5], fps);
    EXPECT_EQ(internals[5], internal);
    D().DeleteBuffer(reinterpret_cast<unsigned char*>(values));  // arrays are released like blocks
    D().DeleteBuffer(reinterpret_cast<unsigned char*>(internals));
    EXPECT_EQ(SIMCAM_E_ARGUMENT, D().SetDeviceControlledFramerate("ini-plain", kPw, 1, 33.0));
}

// The wait status of body run in a child with default fault dispositions,
// so that a fault ends it as it would end a process without sanitizer handlers.
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

TEST(Simcam, CrashCommandsReallyEndTheProcessButOnlyWithThePassword)
{
    Create("crash");
    for (const auto& [command, signal] : {std::pair{"crash", SIGSEGV}, {"crash:write", SIGSEGV}, {"abort", SIGABRT}}) {
        const int status =
            StatusOfChild([command = command] { D().ExecuteCustomCommand("crash", kPw, 0, 0, 0, command); });
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << command << " " << status;
    }
    EXPECT_THROW(D().ExecuteCustomCommand("crash", kPw, 0, 0, 0, "throw"), std::exception);
    EXPECT_EQ(SIMCAM_E_PASSWORD, D().ExecuteCustomCommand("crash", "wrong", 0, 0, 0, "crash"));
    EXPECT_EQ(SIMCAM_E_UNSUPPORTED, D().ExecuteCustomCommand("crash", kPw, 0, 0, 0, "dance"));
}

// Two threads on each of two instances: moves, inputs, frames and XML meet
// in one device's state.
TEST(Simcam, ConcurrentCallsOnSeveralInstancesAllSucceed)
{
    const char* ids[] = {"conc-a", "conc-b"};
    for (const char* id : ids)
        Create(id, {{"SIMCAM_WIDTH", "160"}, {"SIMCAM_HEIGHT", "96"}});
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, id = ids[t % 2], camera = 1 + t / 2] {
            failures += D().OpenConnection(id, kPw, 0, camera) != SIMCAM_OK;
            for (int i = 0; i < 15; ++i) {
                Block frame;
                Bstr xml;
                int p = 0, tl = 0, z = 0;
                D().MoveCamera2(id, camera, i % 2 == 0 ? SIMCAM_PTZ_RIGHT : SIMCAM_PTZ_LEFT);
                D().ExecuteCustomCommand(id, kPw, 0, 0, 0, i % 2 == 0 ? "input 1 1" : "input 1 0");
                failures += Image(id, camera, frame) <= 0 || Decode(frame).width != 160 ||
                            D().GetPTZPos(id, camera, 0, &p, &tl, &z) != SIMCAM_OK ||
                            D().GetXml(id, "", kPw, "", &xml.bs) != SIMCAM_OK || xml.bs == nullptr;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(0, failures.load());
}

}  // namespace
