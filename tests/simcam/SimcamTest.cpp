// libsimcam.so used in-process as an application (or HostProc) uses a
// driver: dlopen, one function pointer per export, blocks released through
// the driver's DeleteBuffer and BSTRs through SysFreeString.

#include "SimcamFixture.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace simcamtest;

TEST_F(SimcamTest, FramesAreJpegsOfTheConfiguredSize)
{
    Create("frames-default");
    ASSERT_EQ(SIMCAM_OK, D().OpenConnection("frames-default", kPw, 0, 1));
    Block first, second;
    ASSERT_GT(Image("frames-default", 1, first), 0);
    const JpegSize size = DecodeHeader(first);
    EXPECT_EQ(1280, size.width);
    EXPECT_EQ(720, size.height);
    ASSERT_GT(Image("frames-default", 1, second), 0);
    EXPECT_NE(first.Bytes(), second.Bytes()); // frame counter and time move on

    Create("frames-small", {{"SIMCAM_WIDTH", "320"}, {"SIMCAM_HEIGHT", "240"}, {"SIMCAM_CAMERAS", "3"}});
    EXPECT_EQ(3, D().QueryNumberOfCamDyn("frames-small", kPw));
    ASSERT_EQ(SIMCAM_OK, D().OpenConnection("frames-small", kPw, 1, 3)); // half size
    Block half;
    ASSERT_GT(Image("frames-small", 3, half), 0);
    EXPECT_EQ(160, DecodeHeader(half).width);
    EXPECT_EQ(120, DecodeHeader(half).height);

    ASSERT_EQ(SIMCAM_OK, D().OpenStreamConnection("frames-small", kPw, 0, 2));
    Block video;
    video.size = D().GetVideoDataBlock("frames-small", 2, &video.p);
    ASSERT_GT(video.size, 0);
    EXPECT_EQ(320, DecodeHeader(video).width);
}

TEST_F(SimcamTest, PasswordAndConnectionAreRequired)
{
    Create("auth");
    EXPECT_EQ(SIMCAM_E_PASSWORD, D().OpenConnection("auth", "wrong", 0, 1));
    EXPECT_EQ(SIMCAM_E_CAMERA, D().OpenConnection("auth", kPw, 0, 9));
    Block none;
    EXPECT_EQ(SIMCAM_E_NOT_OPEN, Image("auth", 1, none));
    EXPECT_EQ(nullptr, none.p);

    char mac[256] = "untouched", type[256] = "untouched";
    EXPECT_EQ(SIMCAM_E_PASSWORD, D().GetInfo("auth", "wrong", mac, type));
    EXPECT_STREQ("untouched", mac);
    EXPECT_EQ(SIMCAM_OK, D().GetInfo("auth", kPw, mac, type));
    EXPECT_EQ(17u, std::strlen(mac));
    EXPECT_STREQ(SIMCAM_DEVICE_TYPE, type);
    EXPECT_EQ(SIMCAM_E_PASSWORD, D().QueryNoInputDyn("auth", "wrong"));

    EXPECT_EQ(SIMCAM_OK, D().ChangePassword("auth", "admin", kPw, "n3w"));
    EXPECT_EQ(SIMCAM_E_PASSWORD, D().OpenConnection("auth", kPw, 0, 1));
    EXPECT_EQ(SIMCAM_OK, D().OpenConnection("auth", "n3w", 0, 1));
    D().CloseConnection2("auth", 1);
    EXPECT_EQ(SIMCAM_E_NOT_OPEN, Image("auth", 1, none));
}

TEST_F(SimcamTest, PtzMovesAndPresetsShowInQueriesAndFrames)
{
    Create("ptz", {{"SIMCAM_DETERMINISTIC", "1"}, {"SIMCAM_WIDTH", "320"}, {"SIMCAM_HEIGHT", "240"}});
    double pan = 1, tilt = 1, zoom = 0, focus = 0;
    ASSERT_EQ(SIMCAM_OK, D().PTZGetAbsoluteDoubles("ptz", "", kPw, 1, 0, &pan, &tilt, &zoom, &focus));
    EXPECT_EQ(0.0, pan);
    EXPECT_EQ(1.0, zoom);

    D().PTZSetAbsoluteDoubles("ptz", "", kPw, 1, 0, 30.5, -12.25, 4, 200);
    int p = 0, t = 0, z = 0, f = 0;
    ASSERT_EQ(SIMCAM_OK, D().PTZGetAbsolute("ptz", "", kPw, 1, 0, &p, &t, &z, &f));
    EXPECT_EQ(3050, p);
    EXPECT_EQ(-1225, t);
    EXPECT_EQ(400, z);
    EXPECT_EQ(200, f);

    D().MoveCamera2("ptz", 1, SIMCAM_PTZ_RIGHT); // 5 degrees / zoom 4
    D().PanTiltCamera2("ptz", 1, 0, -50, 25);
    ASSERT_EQ(SIMCAM_OK, D().GetPTZPos("ptz", 1, 0, &p, &t, &z));
    EXPECT_EQ(3050 + 125 - 50, p);
    EXPECT_EQ(-1225 + 25, t);

    // Positions clamp to the head's range.
    D().PTZSetAbsolute("ptz", "", kPw, 1, 0, 99999, -99999, 1, 0, 0);
    ASSERT_EQ(SIMCAM_OK, D().GetPTZPos("ptz", 1, 0, &p, &t, &z));
    EXPECT_EQ(18000, p);
    EXPECT_EQ(-9000, t);
    EXPECT_EQ(100, z);

    char storage[8][256];
    char* names[8];
    for (int i = 0; i < 8; ++i)
        names[i] = storage[i];
    ASSERT_EQ(2, D().QueryPresetPositions("ptz", 1, 2, names));
    EXPECT_STREQ("Home", names[0]);
    EXPECT_STREQ("Entrance", names[1]);
    EXPECT_EQ(SIMCAM_OK, D().MoveToPresetPosition("ptz", 1, "Entrance"));
    ASSERT_EQ(SIMCAM_OK, D().GetPTZPos("ptz", 1, 0, &p, &t, &z));
    EXPECT_EQ(-4500, p);
    EXPECT_EQ(SIMCAM_E_NOT_FOUND, D().MoveToPresetPosition("ptz", 1, "Nowhere"));

    D().PTZSetAbsoluteDoubles("ptz", "", kPw, 1, 0, 12, 3, 2, 500);
    EXPECT_EQ(SIMCAM_OK, D().ExecuteCustomCommand("ptz", kPw, 0, 1, 0, "preset save Gate"));
    ASSERT_EQ(5, D().QueryPresetPositions("ptz", 1, 8, names));
    EXPECT_STREQ("Gate", names[4]);
    D().MoveCamera2("ptz", 1, SIMCAM_PTZ_HOME);
    EXPECT_EQ(SIMCAM_OK, D().MoveToPresetPosition("ptz", 1, "Gate"));
    ASSERT_EQ(SIMCAM_OK, D().GetPTZPos("ptz", 1, 0, &p, &t, &z));
    EXPECT_EQ(1200, p);

    // Continuous motion runs on the device's clock: one frame interval
    // (100 ms at 10 fps) per frame in deterministic mode.
    D().MoveCamera2("ptz", 1, SIMCAM_PTZ_HOME);
    ASSERT_EQ(SIMCAM_OK, D().OpenConnection("ptz", kPw, 0, 1));
    D().PTZMoveXY("ptz", "", kPw, 1, 0, 20, 0); // 10 degrees per second
    for (int i = 0; i < 10; ++i) {
        Block frame;
        ASSERT_GT(Image("ptz", 1, frame), 0);
    }
    D().PTZCommand("ptz", "", kPw, 1, 0, SIMCAM_PTZ_STOP, 0);
    ASSERT_EQ(SIMCAM_OK, D().GetPTZPos("ptz", 1, 0, &p, &t, &z));
    EXPECT_EQ(1000, p);

    // The picture follows the head: the scene differs after a pan.
    Block before, after;
    ASSERT_GT(Image("ptz", 1, before), 0);
    D().PTZSetAbsoluteDoubles("ptz", "", kPw, 1, 0, 100, 0, 1, 500);
    ASSERT_GT(Image("ptz", 1, after), 0);
    const JpegSize size = DecodeHeader(before);
    const auto a = DecodePixels(before, size);
    const auto b = DecodePixels(after, size);
    ASSERT_FALSE(a.empty());
    const size_t lowRow = static_cast<size_t>(size.height - 30) * size.width * 3; // below the overlay text
    EXPECT_NE(0, std::memcmp(&a[lowRow], &b[lowRow], static_cast<size_t>(size.width) * 3));

    char supported[256][256];
    char* entries[256];
    for (int i = 0; i < 256; ++i)
        entries[i] = supported[i];
    EXPECT_EQ(18, D().QueryPtzSupportedDyn("ptz", kPw, entries));
    EXPECT_STREQ("ZoomIn", entries[5]);
    EXPECT_EQ(1, D().PTZCommandSupported("ptz", "", kPw, 1, 0, SIMCAM_PTZ_ZOOM_IN));
    EXPECT_EQ(0, D().PTZCommandSupported("ptz", "", kPw, 1, 0, 99));
}

TEST_F(SimcamTest, XmlConfigurationRoundTripsAndRejectsBadInput)
{
    Create("xml", {{"SIMCAM_DETERMINISTIC", "1"}});
    Bstr xml;
    ASSERT_EQ(SIMCAM_OK, D().GetXml("xml", "admin", kPw, "", &xml.bs));
    EXPECT_NE(std::string::npos, xml.Text().find("<Width>1280</Width>")) << xml.Text();

    // A filter keeps one section; the previous BSTR is released by the call.
    ASSERT_EQ(SIMCAM_OK, D().GetXml("xml", "admin", kPw, "Video", &xml.bs));
    EXPECT_EQ(std::string::npos, xml.Text().find("<Cameras>"));
    BSTR kept = xml.bs;
    EXPECT_EQ(SIMCAM_E_NOT_FOUND, D().GetXml("xml", "admin", kPw, "Nothing", &xml.bs));
    EXPECT_EQ(kept, xml.bs);

    Bstr params("<?xml version=\"1.0\"?><SimCam><Video><Width>640</Width><Height>480</Height>"
                "<Quality>50</Quality></Video><Cameras><Camera id=\"2\"><Name>Gate &amp; Yard</Name></Camera>"
                "</Cameras><IO><Output id=\"1\" state=\"1\"/></IO><Unknown>ignored</Unknown></SimCam>");
    ASSERT_TRUE(D().SetXmlParams("xml", "admin", kPw, &params.bs));
    EXPECT_NE(std::string::npos, params.Text().find("<Name>Gate &amp; Yard</Name>")) << params.Text();
    EXPECT_NE(std::string::npos, params.Text().find("<Output id=\"1\" state=\"1\"/>"));

    ASSERT_EQ(SIMCAM_OK, D().OpenConnection("xml", kPw, 0, 1));
    Block frame;
    ASSERT_GT(Image("xml", 1, frame), 0);
    EXPECT_EQ(640, DecodeHeader(frame).width);

    const char* bad[] = {"<SimCam><Video><Width>641</Width></Video></SimCam>",
                         "<SimCam><Video><Width>800</Width></Video>",
                         "<SimCam><Video><Width>800</Width></Vide></SimCam>",
                         "<Other/>",
                         "<SimCam><Cameras><Camera id=\"7\"><Name>x</Name></Camera></Cameras></SimCam>",
                         "<!DOCTYPE x [<!ENTITY a \"b\">]><SimCam/>",
                         "<SimCam><Video><Width>800</Width><Height>nope</Height></Video></SimCam>"};
    for (const char* text : bad) {
        Bstr input(text);
        EXPECT_FALSE(D().SetXmlParams("xml", "admin", kPw, &input.bs)) << text;
        EXPECT_EQ(0u, input.Text().rfind("<Error>", 0)) << input.Text();
    }
    ASSERT_EQ(SIMCAM_OK, D().GetXml("xml", "admin", kPw, "Video", &xml.bs));
    EXPECT_NE(std::string::npos, xml.Text().find("<Width>640</Width>")) << "nothing applied: " << xml.Text();

    Bstr wrong("<SimCam/>");
    EXPECT_FALSE(D().SetXmlParams("xml", "admin", "wrong", &wrong.bs));

    Bstr info;
    ASSERT_EQ(SIMCAM_OK, D().GetStreamInfo("xml", kPw, 1, &info.bs));
    EXPECT_NE(std::string::npos, info.Text().find("width=\"320\" height=\"240\"")) << info.Text();

    Bstr credentials;
    ASSERT_EQ(SIMCAM_OK, D().GenerateCredentialsDyn("xml", "op", kPw, &credentials.bs));
    EXPECT_NE(std::string::npos, credentials.Text().find("<User>op</User><Token>"));
}

TEST_F(SimcamTest, FrameRateArraysAreHandedOverAndReleasedThroughDeleteBuffer)
{
    Create("rates");
    int count = 0;
    double* values = nullptr;
    double* internals = nullptr;
    ASSERT_EQ(SIMCAM_OK, D().QueryDeviceControlledFramerates("rates", kPw, 1, &count, &values, &internals));
    ASSERT_EQ(7, count);
    EXPECT_EQ(25.0, values[5]);
    EXPECT_EQ(40.0, internals[5]);
    EXPECT_EQ(SIMCAM_OK, D().SetDeviceControlledFramerate("rates", kPw, 1, internals[5]));
    D().DeleteBuffer(reinterpret_cast<unsigned char*>(values));
    D().DeleteBuffer(reinterpret_cast<unsigned char*>(internals));
    D().DeleteBuffer(nullptr);

    double fps = 0, internal = 0;
    ASSERT_EQ(SIMCAM_OK, D().GetDeviceControlledFramerate("rates", kPw, 1, &fps, &internal));
    EXPECT_EQ(25.0, fps);
    EXPECT_EQ(SIMCAM_E_ARGUMENT, D().SetDeviceControlledFramerate("rates", kPw, 1, 33.0));
    int controls = 0;
    EXPECT_EQ(SIMCAM_OK, D().QueryDeviceControlsFramerate("rates", kPw, 2, &controls));
    EXPECT_EQ(1, controls);
}

TEST_F(SimcamTest, EventsFlowFromInputsThroughTheStreamToTheParser)
{
    Create("events", {{"SIMCAM_DETERMINISTIC", "1"}});
    CStringArray used, open;
    used.Add("Input1");
    open.Add("stale");
    ASSERT_EQ(1, D().QueryEventsDyn("events", kPw, used, open));
    ASSERT_EQ(3, open.GetSize()); // Input2, Motion1, Motion2
    EXPECT_STREQ("Input2", open[0]);

    CStringArray selected;
    selected.Add("Input2");
    EXPECT_EQ(SIMCAM_OK, D().SetEventsDyn("events", kPw, selected));
    selected.Add("Bogus");
    EXPECT_EQ(SIMCAM_E_NOT_FOUND, D().SetEventsDyn("events", kPw, selected));

    ASSERT_EQ(SIMCAM_OK, D().OpenMediaStream("events", kPw, SIMCAM_MEDIA_EVENTS, 0, 0, ""));
    EXPECT_EQ(SIMCAM_OK, D().ExecuteCustomCommand("events", kPw, 0, 0, 0, "input 1 1")); // not selected
    EXPECT_EQ(SIMCAM_OK, D().ExecuteCustomCommand("events", kPw, 0, 0, 0, "input 2 1"));
    Block event;
    event.size = D().GetMediaDataBlock("events", SIMCAM_MEDIA_EVENTS, 0, 0, &event.p);
    ASSERT_GT(event.size, 0);
    EXPECT_EQ(0u, event.Bytes().rfind("source=Input2;state=1;time=", 0)) << event.Bytes();
    Block none;
    EXPECT_EQ(0, D().GetMediaDataBlock("events", SIMCAM_MEDIA_EVENTS, 0, 0, &none.p));

    EXPECT_EQ(SIMCAM_EVENT_TYPE_TEXT, D().QueryEventTypeDyn("events", kPw));
    const short parser = D().OpenXmlEventParserDyn("events", "", kPw, "Input");
    ASSERT_GT(parser, 0);
    Bstr xml;
    ASSERT_EQ(4, D().ParseXmlEventDataDyn("events", "", kPw, parser, event.p, event.size, &xml.bs));
    EXPECT_EQ(0u, xml.Text().rfind("<Event type=\"Input\"><source>Input2</source><state>1</state><time>", 0))
        << xml.Text();
    const std::string bad = "source=Input2;no pair";
    BSTR before = xml.bs;
    EXPECT_EQ(SIMCAM_E_ARGUMENT, D().ParseXmlEventDataDyn("events", "", kPw, parser,
                                                          reinterpret_cast<const unsigned char*>(bad.data()),
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
    EXPECT_NE(std::string::npos, xml.Text().find("source=\"Input1\" destIP=\"10.0.0.1\" destPort=\"80\" "
                                                 "message=\"door\" useBuffer=\"0\" sent=\"1\""))
        << xml.Text();

    Bstr events("<Events><Event source=\"Motion2\" message=\"m\"/></Events>");
    ASSERT_TRUE(D().SetXmlEvents("events", "", kPw, &events.bs));
    EXPECT_NE(std::string::npos, events.Text().find("source=\"Motion2\"")) << events.Text();
    Bstr badEvents("<Events><Event source=\"Motion7\"/></Events>");
    EXPECT_FALSE(D().SetXmlEvents("events", "", kPw, &badEvents.bs));
}

TEST_F(SimcamTest, AudioStreamsGoBothWays)
{
    Create("audio", {{"SIMCAM_DETERMINISTIC", "1"}});
    ASSERT_EQ(SIMCAM_OK, D().OpenMediaStream("audio", kPw, SIMCAM_MEDIA_AUDIO_IN, 1, 0, ""));
    Block pcm;
    pcm.size = D().GetMediaDataBlock("audio", SIMCAM_MEDIA_AUDIO_IN, 1, 0, &pcm.p);
    EXPECT_EQ(320, pcm.size); // 20 ms of 8 kHz 16-bit mono
    EXPECT_EQ(SIMCAM_OK, D().SetMediaStreamPollingRate("audio", SIMCAM_MEDIA_AUDIO_IN, 1, 0, 10));
    Block longer;
    longer.size = D().GetMediaDataBlock("audio", SIMCAM_MEDIA_AUDIO_IN, 1, 0, &longer.p);
    EXPECT_EQ(1600, longer.size);

    int code = 99;
    const unsigned char samples[6] = {1, 0, 2, 0, 3, 0};
    EXPECT_EQ(SIMCAM_E_NOT_OPEN, D().PutMediaDataBlock("audio", SIMCAM_MEDIA_AUDIO_OUT, 1, 0, samples, 6, &code));
    ASSERT_EQ(SIMCAM_OK, D().OpenMediaStream("audio", kPw, SIMCAM_MEDIA_AUDIO_OUT, 1, 0, ""));
    EXPECT_EQ(6, D().PutMediaDataBlock("audio", SIMCAM_MEDIA_AUDIO_OUT, 1, 0, samples, 6, &code));
    EXPECT_EQ(SIMCAM_OK, code);
    EXPECT_EQ(SIMCAM_E_ARGUMENT, D().PutMediaDataBlock("audio", SIMCAM_MEDIA_AUDIO_OUT, 1, 0, samples, 5, &code));
    EXPECT_EQ(0, D().PutMediaDataBlock("audio", SIMCAM_MEDIA_AUDIO_OUT, 1, 0, samples, 0, &code));
    Bstr xml;
    ASSERT_EQ(SIMCAM_OK, D().GetXml("audio", "", kPw, "Audio", &xml.bs));
    EXPECT_NE(std::string::npos, xml.Text().find("<Received>6</Received>")) << xml.Text();
    D().CloseMediaStream("audio", SIMCAM_MEDIA_AUDIO_OUT, 1, 0);
    EXPECT_EQ(SIMCAM_E_NOT_OPEN, D().PutMediaDataBlock("audio", SIMCAM_MEDIA_AUDIO_OUT, 1, 0, samples, 2, &code));
}

TEST_F(SimcamTest, RecordingsPlayBackAndRetrieve)
{
    Create("rec", {{"SIMCAM_DETERMINISTIC", "1"}, {"SIMCAM_WIDTH", "160"}, {"SIMCAM_HEIGHT", "120"}});
    ASSERT_EQ(SIMCAM_OK, D().OpenMediaStream("rec", kPw, SIMCAM_MEDIA_VIDEO, 1, 0, ""));
    std::vector<std::string> live;
    for (int i = 0; i < 5; ++i) {
        Block frame;
        frame.size = D().GetMediaDataBlock("rec", SIMCAM_MEDIA_VIDEO, 1, 0, &frame.p);
        ASSERT_GT(frame.size, 0);
        live.push_back(frame.Bytes());
    }
    BSTR timeline = nullptr;
    ASSERT_EQ(1, D().GetTimeLine("rec", SIMCAM_MEDIA_VIDEO, 1, 0, 0, LLONG_MAX, &timeline));
    const std::string expected = "<Recording start=\"" + std::to_string(SIMCAM_DETERMINISTIC_EPOCH_MS) +
                                 "\" end=\"" + std::to_string(SIMCAM_DETERMINISTIC_EPOCH_MS + 400) + "\" frames=\"5\"/>";
    EXPECT_NE(std::string::npos,
              testdriver::Utf16ToUtf8(std::u16string_view(timeline, SysStringLen(timeline))).find(expected));
    SysFreeString(timeline);

    ASSERT_EQ(SIMCAM_OK, D().Play("rec", SIMCAM_MEDIA_VIDEO, 1, 0, SIMCAM_DETERMINISTIC_EPOCH_MS + 300, 1.0));
    Block replay;
    replay.size = D().GetMediaDataBlock("rec", SIMCAM_MEDIA_VIDEO, 1, 0, &replay.p);
    ASSERT_GT(replay.size, 0);
    EXPECT_NE(live[3], replay.Bytes()); // same moment, but marked as playback
    EXPECT_EQ(SIMCAM_OK, D().Pause("rec", SIMCAM_MEDIA_VIDEO, 1, 0));
    Block paused;
    EXPECT_EQ(0, D().GetMediaDataBlock("rec", SIMCAM_MEDIA_VIDEO, 1, 0, &paused.p));
    EXPECT_EQ(SIMCAM_E_NOT_FOUND, D().Play("rec", SIMCAM_MEDIA_VIDEO, 1, 0, SIMCAM_DETERMINISTIC_EPOCH_MS + 9000, 1));

    EXPECT_EQ(3, D().Retrieve("rec", SIMCAM_MEDIA_VIDEO, 1, 0, SIMCAM_DETERMINISTIC_EPOCH_MS,
                              SIMCAM_DETERMINISTIC_EPOCH_MS + 200));
    EXPECT_EQ(33, D().RetrieveStatus("rec", SIMCAM_MEDIA_VIDEO, 1, 0));
    EXPECT_EQ(66, D().RetrieveStatus("rec", SIMCAM_MEDIA_VIDEO, 1, 0));
    EXPECT_EQ(100, D().RetrieveStatus("rec", SIMCAM_MEDIA_VIDEO, 1, 0));
    EXPECT_EQ(SIMCAM_E_NOT_FOUND, D().RetrieveStatus("rec", SIMCAM_MEDIA_VIDEO, 1, 1));
}

// One scenario over many exports; every byte the driver hands back is
// folded into a digest.
uint64_t RunDeterministicScenario(const char* id)
{
    uint64_t digest = 1469598103934665603ull;
    auto fold = [&](const void* data, size_t n) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < n; ++i)
            digest = (digest ^ p[i]) * 1099511628211ull;
    };
    auto foldInt = [&](long long v) { fold(&v, sizeof v); };
    auto foldBstr = [&](BSTR bs) { fold(bs, SysStringByteLen(bs)); };

    Create(id, {{"SIMCAM_DETERMINISTIC", "1"}, {"SIMCAM_WIDTH", "320"}, {"SIMCAM_HEIGHT", "180"}});
    foldInt(D().OpenConnection(id, kPw, 0, 1));
    D().PTZMoveXYZ(id, "", kPw, 1, 0, 30, -10, 5);
    for (int i = 0; i < 4; ++i) {
        Block frame;
        foldInt(Image(id, 1, frame));
        fold(frame.p, static_cast<size_t>(frame.size));
        Block video;
        foldInt(video.size = D().GetVideoDataBlock(id, 1, &video.p));
        fold(video.p, static_cast<size_t>(video.size));
    }
    double pan = 0, tilt = 0, zoom = 0, focus = 0;
    foldInt(D().PTZGetAbsoluteDoubles(id, "", kPw, 1, 0, &pan, &tilt, &zoom, &focus));
    fold(&pan, sizeof pan);
    fold(&zoom, sizeof zoom);
    D().OpenMediaStream(id, kPw, SIMCAM_MEDIA_EVENTS, 0, 0, "");
    D().ExecuteCustomCommand(id, kPw, 0, 0, 0, "motion 1");
    Block event;
    foldInt(event.size = D().GetMediaDataBlock(id, SIMCAM_MEDIA_EVENTS, 0, 0, &event.p));
    fold(event.p, static_cast<size_t>(event.size));
    Bstr xml, credentials, timeline;
    foldInt(D().GetXml(id, "", kPw, "", &xml.bs));
    foldBstr(xml.bs);
    foldInt(D().GenerateCredentialsDyn(id, "op", kPw, &credentials.bs));
    foldBstr(credentials.bs);
    foldInt(D().GetTimeLine(id, 0, 1, 0, 0, LLONG_MAX, &timeline.bs));
    foldBstr(timeline.bs);
    return digest;
}

TEST_F(SimcamTest, DeterministicModeGivesIdenticalBytesInTwoRuns)
{
    uint64_t digests[2] = {0, 0};
    for (uint64_t& digest : digests) {
        int fds[2];
        ASSERT_EQ(0, pipe(fds));
        const pid_t pid = fork();
        if (pid == 0) {
            // A fresh process each time, like two runs of an application.
            close(fds[0]);
            const uint64_t d = RunDeterministicScenario("det-run");
            const ssize_t written = write(fds[1], &d, sizeof d);
            _exit(written == sizeof d ? 0 : 1);
        }
        close(fds[1]);
        ASSERT_EQ(static_cast<ssize_t>(sizeof digest), read(fds[0], &digest, sizeof digest));
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(digests[0], digests[1]);
    // And the scenario does depend on what was asked.
    EXPECT_NE(digests[0], RunDeterministicScenario("det-other-id"));
}

TEST_F(SimcamTest, CrashCommandsReallyEndTheProcess)
{
    Create("crash");
    int status = StatusOfChild([] { D().ExecuteCustomCommand("crash", kPw, 0, 0, 0, "crash"); });
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGSEGV, WTERMSIG(status));
    status = StatusOfChild([] { D().ExecuteCustomCommand("crash", kPw, 0, 0, 0, "crash:write"); });
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGSEGV, WTERMSIG(status));
    status = StatusOfChild([] { D().ExecuteCustomCommand("crash", kPw, 0, 0, 0, "abort"); });
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGABRT, WTERMSIG(status));
    EXPECT_THROW(D().ExecuteCustomCommand("crash", kPw, 0, 0, 0, "throw"), std::exception);
    // Without the password nothing happens.
    EXPECT_EQ(SIMCAM_E_PASSWORD, D().ExecuteCustomCommand("crash", "wrong", 0, 0, 0, "crash"));
    EXPECT_EQ(SIMCAM_E_UNSUPPORTED, D().ExecuteCustomCommand("crash", kPw, 0, 0, 0, "dance"));
}

TEST_F(SimcamTest, ConfigurationComesFromTheIniFileAndTheEnvironment)
{
    char path[] = "/tmp/simcam-ini-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << "[simcam]\ncameras=3\ninputs=4\nwidth=641\n\n[ini-special]\npassword=gate\ncameras=1\n";
    Create("ini-plain", {{"SIMCAM_CONFIG", path}});
    Create("ini-special", {{"SIMCAM_CONFIG", path}, {"SIMCAM_OUTPUTS", "5"}});
    std::remove(path);

    EXPECT_EQ(3, D().QueryNumberOfCamDyn("ini-plain", kPw));
    EXPECT_EQ(4, D().QueryNoInputDyn("ini-plain", kPw));
    Bstr xml;
    ASSERT_EQ(SIMCAM_OK, D().GetXml("ini-plain", "", kPw, "Video", &xml.bs));
    EXPECT_NE(std::string::npos, xml.Text().find("<Width>1280</Width>")) << "an odd width is refused";

    EXPECT_EQ(SIMCAM_E_PASSWORD, D().QueryNumberOfCamDyn("ini-special", kPw));
    EXPECT_EQ(1, D().QueryNumberOfCamDyn("ini-special", "gate"));
    EXPECT_EQ(5, D().QueryNoOutputDyn("ini-special", "gate"));

    D().SetFeatureSet("pro;analytics");
    ASSERT_EQ(SIMCAM_OK, D().GetXml("ini-plain", "", kPw, "Device", &xml.bs));
    EXPECT_NE(std::string::npos, xml.Text().find("<FeatureSet>pro;analytics</FeatureSet>"));
    EXPECT_EQ(1, D().FunctionSupported("ini-plain", kPw, "GetImage2"));
    EXPECT_EQ(0, D().FunctionSupported("ini-plain", kPw, "GetImage3"));
}

TEST_F(SimcamTest, ConcurrentCallsOnSeveralInstances)
{
    const char* ids[] = {"conc-a", "conc-b"};
    for (const char* id : ids) {
        Create(id, {{"SIMCAM_WIDTH", "160"}, {"SIMCAM_HEIGHT", "96"}, {"SIMCAM_FPS", "60"}});
        ASSERT_EQ(SIMCAM_OK, D().OpenConnection(id, kPw, 0, 1));
        ASSERT_EQ(SIMCAM_OK, D().OpenConnection(id, kPw, 0, 2));
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const char* id = ids[t % 2];
            const int camera = 1 + t / 2;
            for (int i = 0; i < 15; ++i) {
                Block frame;
                if (Image(id, camera, frame) <= 0 || DecodeHeader(frame).width != 160)
                    ++failures;
                D().MoveCamera2(id, camera, i % 2 == 0 ? SIMCAM_PTZ_RIGHT : SIMCAM_PTZ_LEFT);
                int p = 0, tl = 0, z = 0;
                if (D().GetPTZPos(id, camera, 0, &p, &tl, &z) != SIMCAM_OK)
                    ++failures;
                Bstr xml;
                if (D().GetXml(id, "", kPw, "", &xml.bs) != SIMCAM_OK || xml.bs == nullptr)
                    ++failures;
                D().ExecuteCustomCommand(id, kPw, 0, 0, 0, i % 2 == 0 ? "input 1 1" : "input 1 0");
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(0, failures.load());
}

} // namespace
