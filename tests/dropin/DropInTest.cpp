// Kestrel as a drop-in: an application's session with a camera, written
// once against the driver API, runs against libsimcam.so loaded directly
// and against the shipped libKestrel.so in front of the same file (run by
// the shipped HostProc beside it). The simulated camera is deterministic,
// so both runs must produce the same transcript: every result, every out
// value, the digest and size of every image and block, every text. The
// only differences allowed are the two an application must know about:
// instances are announced with AddDeviceInstance, and GetImage2 returns 0
// through Kestrel (the image's length is then read from the JPEG itself).
#include <dlfcn.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "ExportArgs.h"
#include "simcam.h"

namespace kestrel_test {
namespace {

constexpr const char* kCamera = "cam-dropin";
constexpr const char* kUser = "operator";
constexpr const char* kPassword = "s3cret";  // from the instance's own INI section
constexpr int kVideo = SIMCAM_MEDIA_VIDEO, kEvents = SIMCAM_MEDIA_EVENTS;
constexpr int kAudioIn = SIMCAM_MEDIA_AUDIO_IN, kAudioOut = SIMCAM_MEDIA_AUDIO_OUT;

// The length of the JPEG stream at p, end-of-image marker included, read
// from its own markers; 0 when p does not start a JPEG stream. This is how
// an application learns the size of GetImage2's block through Kestrel.
size_t JpegLength(const unsigned char* p) {
    if (p[0] != 0xFF || p[1] != 0xD8) return 0;
    size_t i = 2;
    for (;;) {
        if (p[i] != 0xFF) return 0;
        while (p[i] == 0xFF) ++i;  // fill bytes
        const unsigned char marker = p[i++];
        if (marker == 0xD9) return i;
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) continue;
        i += (static_cast<size_t>(p[i]) << 8) | p[i + 1];
        if (marker != 0xDA) continue;
        // Entropy-coded data up to the next marker that is not a stuffed
        // 0xFF or a restart marker.
        while (!(p[i] == 0xFF && p[i + 1] != 0x00 && !(p[i + 1] >= 0xD0 && p[i + 1] <= 0xD7))) ++i;
    }
}

// A block as the transcript holds it: its length, an FNV-1a digest of its
// bytes and, for a JPEG, the picture's size. The block is released.
std::string Block(const Kestrel& api, unsigned char* p, size_t n) {
    if (p == nullptr) return "none";
    uint64_t nHash = 14695981039346656037ULL;
    for (size_t i = 0; i < n; ++i) nHash = (nHash ^ p[i]) * 1099511628211ULL;
    int nWidth = 0, nHeight = 0, nSubsampling = 0, nColorspace = 0;
    tjhandle hDecoder = tjInitDecompress();
    const bool bJpeg = tjDecompressHeader3(hDecoder, p, static_cast<unsigned long>(n), &nWidth, &nHeight, &nSubsampling,
                                           &nColorspace) == 0;
    tjDestroy(hDecoder);
    api.DeleteBuffer(p);
    return "len=" + std::to_string(n) + " fnv=" + std::to_string(nHash) +
           (bJpeg ? " jpeg " + std::to_string(nWidth) + "x" + std::to_string(nHeight) : "");
}

// A BSTR's text; the BSTR is released.
std::string Take(BSTR bs) {
    const std::string strText = TextOf(bs);
    SysFreeString(bs);
    return strText;
}

// The application. Everything it learns goes into the transcript.
class Application {
public:
    Application(const Kestrel& api, bool bThroughKestrel) : a(api), m_bThroughKestrel(bThroughKestrel) {}

    std::vector<std::string> Run() {
        Discover();
        Ptz();
        Events();
        Xml();
        MediaStreams();
        Recordings();
        a.CloseConnection2(kCamera, 1);
        a.CloseConnection2(kCamera, 2);
        Image(1);  // no connection any more: no image
        VideoBlock(1);
        Note({"images", m_nImages});
        return m_transcript;
    }

private:
    // One part of a transcript line, whatever a call gave back.
    struct Part {
        template <typename T>
        Part(const T& value) {  // NOLINT: converts on purpose
            std::ostringstream out;
            out << std::setprecision(17) << value;
            str = out.str();
        }
        std::string str;
    };
    // One transcript line; a braced list keeps the calls in the order written.
    void Note(std::initializer_list<Part> parts) {
        std::string strLine;
        for (const Part& part : parts) strLine += (&part == parts.begin() ? "" : " ") + part.str;
        m_transcript.push_back(strLine);
    }

    void Discover() {
        // Every capability query of the (server, password) shape.
#define KESTREL_DROPIN_QUERY(OP, R, NAME, PARAMS, ARGS) Query(#NAME, a.NAME);
        KESTREL_FORWARDING_EXPORTS(KESTREL_DROPIN_QUERY)
#undef KESTREL_DROPIN_QUERY
        Note({"wrong password", a.QueryNumberOfCamDyn(kCamera, "wrong"), a.OpenConnection(kCamera, "wrong", 0, 1)});
        Note(
            {"QueryIsAbsoluteDyn", a.QueryIsAbsoluteDyn(kCamera, kPassword, 1), a.IsDebugBuildDyn(kCamera, kPassword)});
        Note({"FunctionSupported", a.FunctionSupported(kCamera, kPassword, "GetImage2"),
              a.FunctionSupported(kCamera, kPassword, "Teleport")});
        char szType[256] = {}, szMac[256] = {};
        a.QueryDeviceTypeStrDyn(kCamera, kPassword, szType);
        Note({"QueryDeviceTypeStrDyn", szType});
        std::vector<std::vector<char>> storage(256, std::vector<char>(256, '\0'));
        std::vector<char*> names;
        for (auto& entry : storage) names.push_back(entry.data());
        const int nSupported = a.QueryPtzSupportedDyn(kCamera, kPassword, names.data());
        Note({"QueryPtzSupportedDyn", nSupported});
        for (int i = 0; i < nSupported; ++i) Note({names[static_cast<size_t>(i)]});

        Note({"OpenConnection", a.OpenConnection(kCamera, kPassword, 0, 1), a.OpenConnection(kCamera, kPassword, 1, 2),
              a.OpenConnection(kCamera, kPassword, 0, 9)});
        Note({"GetInfo", a.GetInfo(kCamera, kPassword, szMac, szType), szMac, szType});
        for (int nCamNo : {1, 2}) {
            int nHalf = -1, nWidth = -1;
            a.ConfigDevice2(kCamera, kUser, kPassword, nCamNo, &nHalf, &nWidth);
            Note({"ConfigDevice2", nCamNo, nHalf, nWidth});
        }
        a.RefreshConfiguration(kCamera, kUser, kPassword, 0);
        a.SetPollingRate(kCamera, 1, 250);
        Note({"OpenStreamConnection", a.OpenStreamConnection(kCamera, kPassword, 0, 1)});
        for (int i = 0; i < 3; ++i) Image(1);
        Image(2);  // half size
        for (int i = 0; i < 3; ++i) VideoBlock(1);
        VideoBlock(2);
    }

    template <typename F>
    void Query(const char*, F) {}
    void Query(const char* szName, int (*query)(const char*, const char*)) {
        Note({szName, query(kCamera, kPassword)});
    }

    void Image(int nCamNo) {
        unsigned char* pJpg = nullptr;
        const int nResult = a.GetImage2(kCamera, nCamNo, &pJpg);
        const size_t nLength = pJpg != nullptr ? JpegLength(pJpg) : 0;
        if (m_bThroughKestrel)
            EXPECT_EQ(nResult, 0) << "GetImage2 through Kestrel returns 0";
        else if (pJpg == nullptr)
            EXPECT_LT(nResult, 0) << "without an image the driver reports an error";
        else
            EXPECT_EQ(nResult, static_cast<int>(nLength));
        m_nImages += pJpg != nullptr;
        Note({"GetImage2", nCamNo, Block(a, pJpg, nLength)});
    }

    void VideoBlock(int nCamNo) {
        unsigned char* pBlock = nullptr;
        const int nLength = a.GetVideoDataBlock(kCamera, nCamNo, &pBlock);
        Note({"GetVideoDataBlock", nCamNo, nLength, Block(a, pBlock, static_cast<size_t>(nLength))});
    }

    void MediaBlock(int nType, int nDevice) {
        unsigned char* pBlock = nullptr;
        const int nLength = a.GetMediaDataBlock(kCamera, nType, nDevice, 0, &pBlock);
        Note({"GetMediaDataBlock", nType, nDevice, nLength, Block(a, pBlock, static_cast<size_t>(nLength))});
    }

    void Position(const char* szWhen) {
        int nPan = 0, nTilt = 0, nZoom = 0, nAbsPan = 0, nAbsTilt = 0, nAbsZoom = 0, nAbsFocus = 0;
        double dPan = 0, dTilt = 0, dZoom = 0, dFocus = 0;
        Note({szWhen, a.GetPTZPos(kCamera, 1, 0, &nPan, &nTilt, &nZoom),
              a.PTZGetAbsolute(kCamera, kUser, kPassword, 1, 0, &nAbsPan, &nAbsTilt, &nAbsZoom, &nAbsFocus),
              a.PTZGetAbsoluteDoubles(kCamera, kUser, kPassword, 1, 0, &dPan, &dTilt, &dZoom, &dFocus), nPan, nTilt,
              nZoom, nAbsPan, nAbsTilt, nAbsZoom, nAbsFocus, dPan, dTilt, dZoom, dFocus});
    }

    // Each export's arguments are checked against the echo driver (library
    // tests); here a step, an absolute move and a continuous one, which runs
    // on the camera's clock that the frames advance.
    void Ptz() {
        a.MoveCamera2(kCamera, 1, SIMCAM_PTZ_RIGHT);
        a.PTZSetAbsoluteDoubles(kCamera, kUser, kPassword, 1, 0, -30.5, 10.25, 3.5, 700.0);
        Position("after moves");
        a.PTZMoveXY(kCamera, kUser, kPassword, 1, 0, 40, -20);
        Image(1);
        Image(1);
        a.PTZCommand(kCamera, kUser, kPassword, 1, 0, SIMCAM_PTZ_STOP, 0);
        Position("stopped");
    }

    void Events() {
        Note({"QueryEventTypeDyn", a.QueryEventTypeDyn(kCamera, kPassword)});
        CStringArray used, open, selection, bogus;
        used.Add("Input1");
        open.Add("left over");
        Note({"QueryEventsDyn", a.QueryEventsDyn(kCamera, kPassword, used, open)});
        for (int i = 0; i < open.GetSize(); ++i) Note({open[i]});

        selection.Add("Input2");
        selection.Add("Motion1");
        bogus.Add("Bogus");
        Note(
            {"SetEventsDyn", a.SetEventsDyn(kCamera, kPassword, selection), a.SetEventsDyn(kCamera, kPassword, bogus)});
        Note({"OpenMediaStream events", a.OpenMediaStream(kCamera, kPassword, kEvents, 0, 0, "")});
        for (const char* szCommand :
             {"input 2 1", "motion 1", "input 1 1", "motion 2", "input 2 0", "input 9 1", "sing"})
            Note({szCommand, a.ExecuteCustomCommand(kCamera, kPassword, kEvents, 0, 0, szCommand)});
        for (int i = 0; i < 5; ++i) MediaBlock(kEvents, 0);

        const short nParser = a.OpenXmlEventParserDyn(kCamera, kUser, kPassword, "Alarm");
        Note({"OpenXmlEventParserDyn", nParser, a.OpenXmlEventParserDyn(kCamera, kUser, kPassword, "1 bad")});
        const std::string strData = "source=Input2;state=1\nnote=a<b & c";
        const auto* pData = reinterpret_cast<const unsigned char*>(strData.data());
        BSTR bsXml = nullptr;
        Note({"ParseXmlEventDataDyn",
              a.ParseXmlEventDataDyn(kCamera, kUser, kPassword, nParser, pData, static_cast<int>(strData.size()),
                                     &bsXml),
              Take(bsXml)});
        a.CloseXmlEventParserDyn(kCamera, kUser, kPassword, nParser);
        a.CloseMediaStream(kCamera, kEvents, 0, 0);
    }

    void Xml() {
        for (const char* szFilter : {"", "Video", "Events"}) {
            BSTR bs = nullptr;
            Note({"GetXml", szFilter, a.GetXml(kCamera, kUser, kPassword, szFilter, &bs), Take(bs)});
        }
        // Each setter takes XML in and writes its answer over it.
        using Setter = bool (*)(const char*, const char*, const char*, BSTR*);
        for (const auto& [set, szXml] : std::initializer_list<std::pair<Setter, const char*>>{
                 {a.SetXmlParams,
                  "<SimCam><Video><Quality>55</Quality></Video><Cameras><Camera id=\"2\"><Name>Yard"
                  "</Name></Camera></Cameras><IO><Output id=\"2\" state=\"1\"/></IO></SimCam>"},
                 {a.SetXmlParams, "<SimCam><Video><Width>333</Width></Video></SimCam>"},
                 {a.SetXmlEvents,
                  "<Events><Event source=\"Motion1\" destIP=\"10.1.1.1\" destPort=\"7000\" "
                  "message=\"yard\" useBuffer=\"1\"/></Events>"}}) {
            BSTR bs = NewBstr(szXml);
            Note({"set", set(kCamera, kUser, kPassword, &bs), Take(bs)});
        }
        BSTR bsInfo = nullptr;
        Note({"GetStreamInfo", a.GetStreamInfo(kCamera, kPassword, 2, &bsInfo), Take(bsInfo)});
        Image(2);  // after the new quality
    }

    void MediaStreams() {
        for (const char* szSettings : {"<Settings><Width>160</Width><Height>120</Height><FrameRate>25</FrameRate>"
                                       "</Settings>",
                                       "<Settings><Width>1</Width></Settings>"}) {
            BSTR bs = NewBstr(szSettings);
            Note({"OpenMediaStreamWithSettings",
                  a.OpenMediaStreamWithSettings(kCamera, kPassword, kVideo, 1, 0, "", &bs), Take(bs)});
        }
        for (int i = 0; i < 3; ++i) MediaBlock(kVideo, 1);

        Note({"OpenMediaStream audio in", a.OpenMediaStream(kCamera, kPassword, kAudioIn, 1, 0, "")});
        Note({"SetMediaStreamPollingRate", a.SetMediaStreamPollingRate(kCamera, kAudioIn, 1, 0, 10.0)});
        MediaBlock(kAudioIn, 1);
        a.CloseMediaStream(kCamera, kAudioIn, 1, 0);

        Note({"OpenMediaStream audio out", a.OpenMediaStream(kCamera, kPassword, kAudioOut, 1, 0, "")});
        std::vector<unsigned char> samples(200);
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<unsigned char>(i * 7);
        for (const int nBytes : {200, 101}) {
            int nCode = 99;
            Note({"PutMediaDataBlock", nBytes,
                  a.PutMediaDataBlock(kCamera, kAudioOut, 1, 0, samples.data(), nBytes, &nCode), nCode});
        }
        a.CloseMediaStream(kCamera, kAudioOut, 1, 0);
        MediaBlock(kAudioOut, 1);  // closed
    }

    void Recordings() {
        const long long nStart = SIMCAM_DETERMINISTIC_EPOCH_MS, nEnd = nStart + 3600LL * 1000;
        BSTR bs = nullptr;
        Note({"GetTimeLine", a.GetTimeLine(kCamera, kVideo, 1, 0, nStart, nEnd, &bs), Take(bs)});
        Note({"Play backwards", a.Play(kCamera, kVideo, 1, 0, nStart + 1000, -2.0)});
        for (int i = 0; i < 2; ++i) MediaBlock(kVideo, 1);
        a.CloseMediaStream(kCamera, kVideo, 1, 0);
        Note({"Retrieve", a.Retrieve(kCamera, kVideo, 1, 0, nStart, nEnd)});
    }

    const Kestrel& a;
    const bool m_bThroughKestrel;
    std::vector<std::string> m_transcript;
    int m_nImages = 0;
};

class DropInTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        // The camera's configuration: deterministic, small frames, and a
        // section of its own for this instance. Both runs read the same
        // file; HostProc inherits the environment that names it.
        const std::string strIni = Root() + "/simcam.ini";
        std::ofstream(strIni) << "[simcam]\ndeterministic=1\nwidth=320\nheight=240\nquality=70\nrecord_frames=50\n"
                              << "[" << kCamera << "]\npassword=" << kPassword << "\ncameras=2\ninputs=2\noutputs=2\n";
        for (const char* szKey : {"WIDTH", "HEIGHT", "FPS", "QUALITY", "CAMERAS", "INPUTS", "OUTPUTS", "PASSWORD",
                                  "DETERMINISTIC", "RECORD_FRAMES"})
            unsetenv((std::string("SIMCAM_") + szKey).c_str());
        setenv("SIMCAM_CONFIG", strIni.c_str(), 1);
        // The confined HostProc may read it only where Proxies.ini allows.
        options.strIniExtra = "[HostProc]\nAllowRead=" + Root() + "\n";
    }

    void TearDown() override {
        unsetenv("SIMCAM_CONFIG");
        LibraryTest::TearDown();
    }
};

TEST_F(DropInTest, ScenarioGivesTheSameResultsDirectAndThroughKestrel) {
    // The driver loaded directly, every export resolved as an application
    // would. Unloading it afterwards ends its state, so a repeated run
    // starts from the same camera.
    void* hDriver = dlopen(SIMCAM_DRIVER, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(hDriver, nullptr) << dlerror();
    Kestrel driver;
#define KESTREL_DROPIN_RESOLVE(OP, R, NAME, PARAMS, ARGS) \
    driver.NAME = reinterpret_cast<R(*) PARAMS>(dlsym(hDriver, #NAME));
    KESTREL_FORWARDING_EXPORTS(KESTREL_DROPIN_RESOLVE)
    KESTREL_DRIVER_SERVICE_EXPORTS(KESTREL_DROPIN_RESOLVE)
#undef KESTREL_DROPIN_RESOLVE
    driver.SetFeatureSet("dropin-features");
    const std::vector<std::string> direct = Application(driver, false).Run();
    ASSERT_EQ(dlclose(hDriver), 0);
    EXPECT_EQ(dlopen(SIMCAM_DRIVER, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the driver stays loaded";

    // The same file behind libKestrel.so: announced first, then used alike.
    Load();
    k.SetFeatureSet("dropin-features");
    ASSERT_EQ(k.AddDeviceInstance(kCamera, SIMCAM_DRIVER, "dropin"), 1);
    const std::vector<std::string> proxied = Application(k, true).Run();
    k.RemoveDeviceInstance(kCamera);
    EXPECT_FALSE(HasLine("rpc call='")) << "no forwarded call failed";

    // The scenario did what it set out to do (not two identical failures).
    ASSERT_FALSE(direct.empty());
    EXPECT_EQ(direct.back(), "images 7");
    EXPECT_NE(std::find(direct.begin(), direct.end(), "OpenConnection 0 0 -2"), direct.end());
    for (size_t i = 0; i < std::max(direct.size(), proxied.size()); ++i)
        EXPECT_EQ(i < proxied.size() ? proxied[i] : "<missing>", i < direct.size() ? direct[i] : "<missing>")
            << "line " << i;
    ExpectNoLeaks();  // while libKestrel.so is loaded: only what the scenario lost counts
}

}  // namespace
}  // namespace kestrel_test
