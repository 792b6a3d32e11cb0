// The simulated camera's finer points: its export table, the XML it reads,
// time-driven state, stream settings and the recording ring's edges.

#include "SimcamFixture.h"

#include <cstring>
#include <string>

namespace {

using namespace simcamtest;

std::string CameraXml(const char* id)
{
    Bstr xml;
    EXPECT_EQ(SIMCAM_OK, D().GetXml(id, "", kPw, "Cameras", &xml.bs));
    return xml.Text();
}

bool SetName(const char* id, const std::string& nameElement)
{
    Bstr xml("<SimCam><Cameras><Camera id='1'>" + nameElement + "</Camera></Cameras></SimCam>");
    return D().SetXmlParams(id, "", kPw, &xml.bs);
}

TEST_F(SimcamTest, ExportsExactlyTheDriverApi)
{
    int resolved = 0;
#define SIMCAM_TEST_EXPORT(OP, R, NAME, PARAMS, ARGS)                     \
    resolved += D().NAME != nullptr;                                      \
    EXPECT_EQ(1, D().FunctionSupported("exports", kPw, #NAME)) << #NAME;
    KESTREL_FORWARDING_EXPORTS(SIMCAM_TEST_EXPORT)
#undef SIMCAM_TEST_EXPORT
    EXPECT_EQ(KESTREL_FORWARDING_EXPORT_COUNT, resolved);
    EXPECT_NE(nullptr, D().SetFeatureSet);
    EXPECT_NE(nullptr, D().DeleteBuffer);
    // C++ symbols stay inside the driver.
    EXPECT_EQ(nullptr, dlsym(D().handle, "_ZN6simcam9DeviceForEPKc"));
}

TEST_F(SimcamTest, XmlReaderDecodesWhatItAccepts)
{
    Create("xmlread");
    EXPECT_TRUE(SetName("xmlread", "<Name>A&lt;B&#x263A;&#65;</Name>"));
    EXPECT_NE(std::string::npos, CameraXml("xmlread").find("<Name>A&lt;B\u263aA</Name>"));
    EXPECT_TRUE(SetName("xmlread", "<!-- note --><Name><![CDATA[x<y]]><?pi?></Name >"));
    EXPECT_NE(std::string::npos, CameraXml("xmlread").find("<Name>x&lt;y</Name>"));
    // Beyond the BMP: surrogate pairs survive BSTR, UTF-8 and back.
    EXPECT_TRUE(SetName("xmlread", "<Name>Cam \U0001F600</Name>"));
    EXPECT_NE(std::string::npos, CameraXml("xmlread").find("<Name>Cam \U0001F600</Name>"));

    std::string nested;
    for (int i = 0; i < 70; ++i)
        nested += "<a>";
    for (int i = 0; i < 70; ++i)
        nested += "</a>";
    const std::string refused[] = {"<Name a='1' a='2'>x</Name>", "<Name>&nbsp;</Name>", "<Name>&#0;</Name>",
                                   "<Name>x</Name><!-- open", "<Name a='<'>x</Name>", nested};
    for (const std::string& element : refused)
        EXPECT_FALSE(SetName("xmlread", element)) << element;
    Bstr trailing("<SimCam/><SimCam/>");
    EXPECT_FALSE(D().SetXmlParams("xmlread", "", kPw, &trailing.bs));
    EXPECT_NE(std::string::npos, CameraXml("xmlread").find("<Name>Cam \U0001F600</Name>")) << "unchanged";
}

TEST_F(SimcamTest, OutputPulsesEndOnTheDeviceClock)
{
    Create("pulse", {{"SIMCAM_DETERMINISTIC", "1"}, {"SIMCAM_WIDTH", "160"}, {"SIMCAM_HEIGHT", "120"}});
    EXPECT_EQ(SIMCAM_E_CAMERA, D().SetOutput("pulse", kPw, 3, 1));
    D().TriggerOutput("pulse", kPw, 2, 250);
    Bstr io;
    ASSERT_EQ(SIMCAM_OK, D().GetXml("pulse", "", kPw, "IO", &io.bs));
    EXPECT_NE(std::string::npos, io.Text().find("<Output id=\"2\" state=\"1\"/>")) << io.Text();
    ASSERT_EQ(SIMCAM_OK, D().OpenConnection("pulse", kPw, 0, 1));
    for (int i = 0; i < 3; ++i) { // 300 ms of device time at 10 fps
        Block frame;
        ASSERT_GT(Image("pulse", 1, frame), 0);
    }
    ASSERT_EQ(SIMCAM_OK, D().GetXml("pulse", "", kPw, "IO", &io.bs));
    EXPECT_NE(std::string::npos, io.Text().find("<Output id=\"2\" state=\"0\"/>")) << io.Text();
}

TEST_F(SimcamTest, StreamSettingsPlaybackDirectionsAndTheRingsLimit)
{
    Create("ring", {{"SIMCAM_DETERMINISTIC", "1"},
                    {"SIMCAM_WIDTH", "160"},
                    {"SIMCAM_HEIGHT", "120"},
                    {"SIMCAM_RECORD_FRAMES", "3"}});
    Bstr bad("<Settings><Width>9</Width></Settings>");
    EXPECT_FALSE(D().OpenMediaStreamWithSettings("ring", kPw, SIMCAM_MEDIA_VIDEO, 1, 0, "", &bad.bs));
    Bstr settings("<Settings><Width>96</Width><Height>64</Height></Settings>");
    ASSERT_TRUE(D().OpenMediaStreamWithSettings("ring", kPw, SIMCAM_MEDIA_VIDEO, 1, 0, "", &settings.bs));
    EXPECT_EQ(0u, settings.Text().rfind("<Settings>", 0)) << "read only";
    for (int i = 0; i < 5; ++i) {
        Block frame;
        frame.size = D().GetMediaDataBlock("ring", SIMCAM_MEDIA_VIDEO, 1, 0, &frame.p);
        ASSERT_GT(frame.size, 0);
        EXPECT_EQ(96, DecodeHeader(frame).width);
    }
    Bstr timeline;
    ASSERT_EQ(1, D().GetTimeLine("ring", SIMCAM_MEDIA_VIDEO, 1, 0, 0, LLONG_MAX, &timeline.bs));
    EXPECT_NE(std::string::npos, timeline.Text().find("frames=\"3\"")) << timeline.Text();
    // GetTimeLine overwrites the variable without releasing its BSTR.
    BSTR first = timeline.bs;
    EXPECT_EQ(0, D().GetTimeLine("ring", SIMCAM_MEDIA_VIDEO, 1, 0, 0, 1000, &timeline.bs));
    EXPECT_NE(first, timeline.bs);
    SysFreeString(first);

    // Backwards from the newest frame: three recorded frames, then the end.
    ASSERT_EQ(SIMCAM_OK, D().Play("ring", SIMCAM_MEDIA_VIDEO, 1, 0, SIMCAM_DETERMINISTIC_EPOCH_MS + 400, -1));
    for (int i = 0; i < 3; ++i) {
        Block frame;
        EXPECT_GT(frame.size = D().GetMediaDataBlock("ring", SIMCAM_MEDIA_VIDEO, 1, 0, &frame.p), 0) << i;
    }
    Block end;
    EXPECT_EQ(0, D().GetMediaDataBlock("ring", SIMCAM_MEDIA_VIDEO, 1, 0, &end.p));
    EXPECT_EQ(SIMCAM_OK, D().Play("ring", SIMCAM_MEDIA_VIDEO, 1, 0, -1, 1)); // back to live
    Block live;
    EXPECT_GT(live.size = D().GetMediaDataBlock("ring", SIMCAM_MEDIA_VIDEO, 1, 0, &live.p), 0);
    EXPECT_EQ(SIMCAM_E_NOT_OPEN, D().Play("ring", SIMCAM_MEDIA_VIDEO, 2, 0, 0, 1));
}

TEST_F(SimcamTest, ConfigurationIsRefreshedAndResetOnRequest)
{
    Create("refresh", {{"SIMCAM_WIDTH", "320"}, {"SIMCAM_HEIGHT", "240"}});
    ASSERT_EQ(SIMCAM_OK, D().OpenConnection("refresh", kPw, 1, 1));
    int half = -1, width = -1;
    D().ConfigDevice2("refresh", "", kPw, 1, &half, &width);
    EXPECT_EQ(1, half);
    EXPECT_EQ(160, width);

    setenv("SIMCAM_WIDTH", "480", 1);
    D().RefreshConfiguration("refresh", "", kPw, 1);
    unsetenv("SIMCAM_WIDTH");
    Bstr video;
    ASSERT_EQ(SIMCAM_OK, D().GetXml("refresh", "", kPw, "Video", &video.bs));
    EXPECT_NE(std::string::npos, video.Text().find("<Width>480</Width>")) << video.Text();

    D().PTZSetAbsoluteDoubles("refresh", "", kPw, 1, 0, 45, 0, 3, 500);
    ASSERT_EQ(SIMCAM_OK, D().ChangePassword("refresh", "", kPw, "other"));
    EXPECT_EQ(SIMCAM_OK, D().ExecuteCustomCommand("refresh", "other", 0, 0, 0, "reset"));
    int pan = -1, tilt = -1, zoom = -1;
    ASSERT_EQ(SIMCAM_OK, D().GetPTZPos("refresh", 1, 0, &pan, &tilt, &zoom));
    EXPECT_EQ(0, pan);
    EXPECT_EQ(100, zoom);
    EXPECT_EQ(2, D().QueryNumberOfCamDyn("refresh", kPw)); // the configured password again
    Block none;
    EXPECT_EQ(SIMCAM_E_NOT_OPEN, Image("refresh", 1, none)); // connections are gone too
}

} // namespace
