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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "LibraryHarness.h"
#include "simcam.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace kestrel_test {
namespace {

constexpr const char* kCamera = "cam-dropin";
constexpr const char* kUser = "operator";
constexpr const char* kPassword = "s3cret";  // from the instance's own INI section
constexpr const char* kFeatureSet = "dropin-features";

enum class Module { kDriver, kKestrel };

std::string Hex(uint64_t v) {
    char sz[17];
    std::snprintf(sz, sizeof sz, "%016llx", static_cast<unsigned long long>(v));
    return sz;
}

uint64_t Fnv1a64(const unsigned char* p, size_t n) {
    uint64_t h = 14695981039346656037ULL;
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 1099511628211ULL;
    }
    return h;
}

std::string Digest(const unsigned char* p, size_t n) {
    return "len=" + std::to_string(n) + " fnv=" + Hex(Fnv1a64(p, n));
}

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

std::string JpegSummary(const unsigned char* p, size_t n) {
    int nWidth = 0, nHeight = 0, nSubsampling = 0, nColorspace = 0;
    tjhandle hDecoder = tjInitDecompress();
    const int nHeader = tjDecompressHeader3(hDecoder, p, static_cast<unsigned long>(n), &nWidth, &nHeight,
                                            &nSubsampling, &nColorspace);
    tjDestroy(hDecoder);
    if (nHeader != 0) return "not a JPEG " + Digest(p, n);
    return "jpeg " + std::to_string(nWidth) + "x" + std::to_string(nHeight) + " " + Digest(p, n);
}

std::string TextOf(BSTR bs) {
    if (bs == nullptr) return "<null>";
    std::string out;
    for (unsigned i = 0; i < SysStringLen(bs); ++i) {
        const char16_t c = bs[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            char sz[8];
            std::snprintf(sz, sizeof sz, "\\u%04x", static_cast<unsigned>(c));
            out += sz;
        }
    }
    return out;
}

BSTR Bstr(const char* sz) {
    std::u16string wide(sz, sz + std::strlen(sz));
    return SysAllocStringLen(wide.data(), static_cast<unsigned>(wide.size()));
}

std::string Str(int n) { return std::to_string(n); }

std::string Dbl(double d) {
    char sz[40];
    std::snprintf(sz, sizeof sz, "%.17g", d);
    return sz;
}

// The application. Everything it learns goes into the transcript.
class Application {
public:
    Application(const Kestrel& api, Module module) : m_api(api), m_module(module) {}

    std::vector<std::string> Run() {
        Discover();
        Connect();
        Images();
        Ptz();
        Presets();
        Events();
        Xml();
        MediaStreams();
        Recordings();
        Close();
        return m_transcript;
    }

private:
    void Note(const std::string& strLine) { m_transcript.push_back(strLine); }

    void Discover() {
        const Kestrel& a = m_api;
        // Every capability query of the (server, password) shape.
        const std::pair<const char*, int (*Kestrel::*)(const char*, const char*)> queries[] = {
            {"QueryNumberOfCamDyn", &Kestrel::QueryNumberOfCamDyn},     {"QueryDeviceIdDyn", &Kestrel::QueryDeviceIdDyn},
            {"QueryIsPTZDeviceDyn", &Kestrel::QueryIsPTZDeviceDyn},     {"QueryPtzCenterClickDyn", &Kestrel::QueryPtzCenterClickDyn},
            {"QueryPtzMoveAdvancedDyn", &Kestrel::QueryPtzMoveAdvancedDyn}, {"QueryPtzPortsDyn", &Kestrel::QueryPtzPortsDyn},
            {"QueryPtzZoomRelDyn", &Kestrel::QueryPtzZoomRelDyn},       {"QueryPTZPosDyn", &Kestrel::QueryPTZPosDyn},
            {"QueryChangePortsDyn", &Kestrel::QueryChangePortsDyn},     {"QueryAudioInputsDyn", &Kestrel::QueryAudioInputsDyn},
            {"QueryAudioOutputsDyn", &Kestrel::QueryAudioOutputsDyn},   {"QueryNoInputDyn", &Kestrel::QueryNoInputDyn},
            {"QueryNoOutputDyn", &Kestrel::QueryNoOutputDyn},           {"QuerySendFtpDyn", &Kestrel::QuerySendFtpDyn},
            {"QueryIsBrowsableDyn", &Kestrel::QueryIsBrowsableDyn},     {"QueryIsIpix", &Kestrel::QueryIsIpix},
            {"QueryIsCeilingMode", &Kestrel::QueryIsCeilingMode},       {"QueryNumberOfAudioInputs", &Kestrel::QueryNumberOfAudioInputs},
            {"QueryNumberOfAudioOutputs", &Kestrel::QueryNumberOfAudioOutputs}};
        for (const auto& [szName, query] : queries) Note(std::string(szName) + " " + Str((a.*query)(kCamera, kPassword)));
        Note("QueryNumberOfCamDyn wrong password " + Str(a.QueryNumberOfCamDyn(kCamera, "wrong")));
        Note("QueryIsAbsoluteDyn " + Str(a.QueryIsAbsoluteDyn(kCamera, kPassword, 1)));
        Note(std::string("IsDebugBuildDyn ") + (a.IsDebugBuildDyn(kCamera, kPassword) ? "true" : "false"));
        Note("FunctionSupported GetImage2 " + Str(a.FunctionSupported(kCamera, kPassword, "GetImage2")));
        Note("FunctionSupported Teleport " + Str(a.FunctionSupported(kCamera, kPassword, "Teleport")));

        char szType[256] = {};
        a.QueryDeviceTypeStrDyn(kCamera, kPassword, szType);
        Note(std::string("QueryDeviceTypeStrDyn '") + szType + "'");

        std::vector<std::vector<char>> storage(256, std::vector<char>(256, '\0'));
        std::vector<char*> names;
        for (auto& entry : storage) names.push_back(entry.data());
        const int nSupported = a.QueryPtzSupportedDyn(kCamera, kPassword, names.data());
        std::string strLine = "QueryPtzSupportedDyn " + Str(nSupported);
        for (int i = 0; i < nSupported; ++i) strLine += std::string(" '") + names[static_cast<size_t>(i)] + "'";
        Note(strLine);
    }

    void Connect() {
        const Kestrel& a = m_api;
        Note("OpenConnection wrong password " + Str(a.OpenConnection(kCamera, "wrong", 0, 1)));
        Note("OpenConnection 1 " + Str(a.OpenConnection(kCamera, kPassword, 0, 1)));
        Note("OpenConnection 2 half " + Str(a.OpenConnection(kCamera, kPassword, 1, 2)));
        Note("OpenConnection 9 " + Str(a.OpenConnection(kCamera, kPassword, 0, 9)));
        char szMac[256] = {};
        char szType[256] = {};
        const int nInfo = a.GetInfo(kCamera, kPassword, szMac, szType);
        Note("GetInfo " + Str(nInfo) + " '" + szMac + "' '" + szType + "'");
        for (int nCamNo : {1, 2}) {
            int nHalf = -1, nWidth = -1;
            a.ConfigDevice2(kCamera, kUser, kPassword, nCamNo, &nHalf, &nWidth);
            Note("ConfigDevice2 " + Str(nCamNo) + " " + Str(nHalf) + " " + Str(nWidth));
        }
        a.RefreshConfiguration(kCamera, kUser, kPassword, 0);
        a.SetPollingRate(kCamera, 1, 250);
        const int nStream = a.OpenStreamConnection(kCamera, kPassword, 0, 1);
        Note("OpenStreamConnection " + Str(nStream));
    }

    void Image(int nCamNo) {
        unsigned char* pJpg = nullptr;
        const int nResult = m_api.GetImage2(kCamera, nCamNo, &pJpg);
        if (pJpg == nullptr) {
            Note("GetImage2 " + Str(nCamNo) + " no image");
            if (m_module == Module::kDriver) {
                EXPECT_LT(nResult, 0) << "without an image the driver reports an error";
            } else {
                EXPECT_EQ(nResult, 0) << "GetImage2 through Kestrel returns 0";
            }
            return;
        }
        const size_t nLength = JpegLength(pJpg);
        EXPECT_EQ(nResult, m_module == Module::kDriver ? static_cast<int>(nLength) : 0);
        Note("GetImage2 " + Str(nCamNo) + " " + JpegSummary(pJpg, nLength));
        m_api.DeleteBuffer(pJpg);
        ++m_nImages;
    }

    void VideoBlock(int nCamNo) {
        unsigned char* pBlock = nullptr;
        const int nLength = m_api.GetVideoDataBlock(kCamera, nCamNo, &pBlock);
        Note("GetVideoDataBlock " + Str(nCamNo) + " " + Str(nLength) + " " +
             (pBlock != nullptr ? JpegSummary(pBlock, static_cast<size_t>(nLength)) : "none"));
        m_api.DeleteBuffer(pBlock);
    }

    void MediaBlock(int nType, int nDevice, int nStream, bool bJpeg) {
        unsigned char* pBlock = nullptr;
        const int nLength = m_api.GetMediaDataBlock(kCamera, nType, nDevice, nStream, &pBlock);
        std::string strWhat = "none";
        if (pBlock != nullptr) {
            const size_t nSize = static_cast<size_t>(nLength);
            strWhat = bJpeg ? JpegSummary(pBlock, nSize) : Digest(pBlock, nSize);
            if (nType == SIMCAM_MEDIA_EVENTS) strWhat += " '" + std::string(reinterpret_cast<char*>(pBlock), nSize) + "'";
        }
        Note("GetMediaDataBlock " + Str(nType) + "/" + Str(nDevice) + "/" + Str(nStream) + " " + Str(nLength) + " " +
             strWhat);
        m_api.DeleteBuffer(pBlock);
    }

    void Images() {
        for (int i = 0; i < 3; ++i) Image(1);
        Image(2);  // half size
        for (int i = 0; i < 3; ++i) VideoBlock(1);
        VideoBlock(2);
    }

    void Position(const char* szWhen) {
        const Kestrel& a = m_api;
        int nPan = 0, nTilt = 0, nZoom = 0;
        const int nPos = a.GetPTZPos(kCamera, 1, 0, &nPan, &nTilt, &nZoom);
        int nAbsPan = 0, nAbsTilt = 0, nAbsZoom = 0, nAbsFocus = 0;
        const int nAbs = a.PTZGetAbsolute(kCamera, kUser, kPassword, 1, 0, &nAbsPan, &nAbsTilt, &nAbsZoom, &nAbsFocus);
        double dPan = 0, dTilt = 0, dZoom = 0, dFocus = 0;
        const int nDoubles = a.PTZGetAbsoluteDoubles(kCamera, kUser, kPassword, 1, 0, &dPan, &dTilt, &dZoom, &dFocus);
        Note(std::string("position ") + szWhen + ": " + Str(nPos) + " " + Str(nPan) + "," + Str(nTilt) + "," +
             Str(nZoom) + " | " + Str(nAbs) + " " + Str(nAbsPan) + "," + Str(nAbsTilt) + "," + Str(nAbsZoom) + "," +
             Str(nAbsFocus) + " | " + Str(nDoubles) + " " + Dbl(dPan) + "," + Dbl(dTilt) + "," + Dbl(dZoom) + "," +
             Dbl(dFocus));
    }

    void Ptz() {
        const Kestrel& a = m_api;
        std::vector<int> drivers(256, 0), ports(256, 0), addresses(256, 0);
        drivers[0] = 3;
        ports[0] = 2;
        addresses[0] = 17;
        a.SetPanTiltDriver(kCamera, kUser, kPassword, drivers.data(), ports.data(), addresses.data());
        Note("QueryPTZMoveXY " + Str(a.QueryPTZMoveXY(kCamera, kUser, kPassword, 1, 0)));
        Note("QueryPTZMoveXYZ " + Str(a.QueryPTZMoveXYZ(kCamera, kUser, kPassword, 1, 0)));
        Note("PTZCommandSupported home " + Str(a.PTZCommandSupported(kCamera, kUser, kPassword, 1, 0, SIMCAM_PTZ_HOME)));
        Note("PTZCommandSupported 99 " + Str(a.PTZCommandSupported(kCamera, kUser, kPassword, 1, 0, 99)));
        a.MoveCamera2(kCamera, 1, SIMCAM_PTZ_RIGHT);
        a.MoveCamera2(kCamera, 1, SIMCAM_PTZ_ZOOM_IN);
        Position("after steps");
        a.PanTiltCamera2(kCamera, 1, 0, 1250, -300);
        a.ZoomCamera2(kCamera, 1, 0, 50);
        a.PTZCamera(kCamera, 1, 0, -500, 200, -25);
        Position("after relative moves");
        a.PTZSetAbsolute(kCamera, kUser, kPassword, 1, 0, 4500, -1000, 200, 0, 300);
        a.PTZSetAbsoluteDoubles(kCamera, kUser, kPassword, 1, 0, -30.5, 10.25, 3.5, 700.0);
        Position("after absolute doubles");
        // Continuous moves run on the camera's clock, which the frames advance.
        a.PTZMoveXY(kCamera, kUser, kPassword, 1, 0, 40, -20);
        Image(1);
        Image(1);
        Position("while moving");
        a.PTZMoveXYZ(kCamera, kUser, kPassword, 1, 0, 0, 0, 60);
        Image(1);
        a.PTZCommand(kCamera, kUser, kPassword, 1, 0, SIMCAM_PTZ_STOP, 0);
        Position("stopped");
        a.PTZCommand(kCamera, kUser, kPassword, 1, 0, SIMCAM_PTZ_HOME, 50);
        Position("home");
        Image(1);
    }

    void Presets() {
        const Kestrel& a = m_api;
        auto list = [&](const char* szWhen) {
            std::vector<std::vector<char>> storage(8, std::vector<char>(256, '\0'));
            std::vector<char*> names;
            for (auto& entry : storage) names.push_back(entry.data());
            const int nCount = a.QueryPresetPositions(kCamera, 1, 8, names.data());
            std::string strLine = std::string("QueryPresetPositions ") + szWhen + " " + Str(nCount);
            for (int i = 0; i < nCount && i < 8; ++i) strLine += std::string(" '") + names[static_cast<size_t>(i)] + "'";
            Note(strLine);
        };
        list("initial");
        Note("MoveToPresetPosition Entrance " + Str(a.MoveToPresetPosition(kCamera, 1, "Entrance")));
        Position("at Entrance");
        Note("MoveToPresetPosition Nowhere " + Str(a.MoveToPresetPosition(kCamera, 1, "Nowhere")));
        a.PanTiltCamera2(kCamera, 1, 0, 700, 700);
        Note("save preset " + Str(a.ExecuteCustomCommand(kCamera, kPassword, 0, 1, 0, "preset save Door")));
        Note("delete preset " + Str(a.ExecuteCustomCommand(kCamera, kPassword, 0, 1, 0, "preset delete Parking")));
        list("edited");
        Note("MoveToPresetPosition Overview " + Str(a.MoveToPresetPosition(kCamera, 1, "Overview")));
        Note("MoveToPresetPosition Door " + Str(a.MoveToPresetPosition(kCamera, 1, "Door")));
        Position("at Door");
        Image(1);
    }

    void Events() {
        const Kestrel& a = m_api;
        Note("QueryEventTypeDyn " + Str(a.QueryEventTypeDyn(kCamera, kPassword)));
        CStringArray used, open;
        used.Add("Input1");
        open.Add("left over");
        const int nQuery = a.QueryEventsDyn(kCamera, kPassword, used, open);
        std::string strLine = "QueryEventsDyn " + Str(nQuery);
        for (int i = 0; i < open.GetSize(); ++i) strLine += std::string(" '") + open[i] + "'";
        Note(strLine);

        Note("BeginDefineEvent " + Str(a.BeginDefineEvent(kCamera, kUser, kPassword, 1)));
        Note("DefineEventDyn Input1 " + Str(a.DefineEventDyn(kCamera, kPassword, "Input1", "10.0.0.5", "8080", "door", 1)));
        Note("DefineEventDyn Motion2 " +
             Str(a.DefineEventDyn(kCamera, kPassword, "Motion2", "10.0.0.6", "9090", "hall", 0)));
        Note("DefineEventDyn Bogus " + Str(a.DefineEventDyn(kCamera, kPassword, "Bogus", "", "", "", 0)));
        Note("EndDefineEvent " + Str(a.EndDefineEvent(kCamera, kUser, kPassword)));

        CStringArray selection;
        selection.Add("Input2");
        selection.Add("Motion1");
        Note("SetEventsDyn " + Str(a.SetEventsDyn(kCamera, kPassword, selection)));
        CStringArray bogus;
        bogus.Add("Bogus");
        Note("SetEventsDyn Bogus " + Str(a.SetEventsDyn(kCamera, kPassword, bogus)));

        Note("OpenMediaStream events " + Str(a.OpenMediaStream(kCamera, kPassword, SIMCAM_MEDIA_EVENTS, 0, 0, "")));
        for (const char* szCommand : {"input 2 1", "motion 1", "input 1 1", "motion 2", "input 2 0", "input 9 1"}) {
            Note(std::string("ExecuteCustomCommand ") + szCommand + " " +
                 Str(a.ExecuteCustomCommand(kCamera, kPassword, SIMCAM_MEDIA_EVENTS, 0, 0, szCommand)));
        }
        Note("ExecuteCustomCommand unknown " + Str(a.ExecuteCustomCommand(kCamera, kPassword, 0, 0, 0, "sing")));
        for (int i = 0; i < 5; ++i) MediaBlock(SIMCAM_MEDIA_EVENTS, 0, 0, false);

        const short nParser = a.OpenXmlEventParserDyn(kCamera, kUser, kPassword, "Alarm");
        Note("OpenXmlEventParserDyn " + Str(nParser));
        Note("OpenXmlEventParserDyn bad type " + Str(a.OpenXmlEventParserDyn(kCamera, kUser, kPassword, "1 bad")));
        const std::string strData = "source=Input2;state=1\nnote=a<b & c";
        BSTR bsXml = nullptr;
        const int nFields = a.ParseXmlEventDataDyn(kCamera, kUser, kPassword, nParser,
                                                   reinterpret_cast<const unsigned char*>(strData.data()),
                                                   static_cast<int>(strData.size()), &bsXml);
        Note("ParseXmlEventDataDyn " + Str(nFields) + " " + TextOf(bsXml));
        SysFreeString(bsXml);
        a.CloseXmlEventParserDyn(kCamera, kUser, kPassword, nParser);
        a.CloseMediaStream(kCamera, SIMCAM_MEDIA_EVENTS, 0, 0);
    }

    void Xml() {
        const Kestrel& a = m_api;
        auto getXml = [&](const char* szFilter) {
            BSTR bs = nullptr;
            const int nResult = a.GetXml(kCamera, kUser, kPassword, szFilter, &bs);
            Note(std::string("GetXml '") + szFilter + "' " + Str(nResult) + " " + TextOf(bs));
            SysFreeString(bs);
        };
        getXml("");
        getXml("Video");
        getXml("Events");

        BSTR bs = Bstr("<SimCam><Video><Quality>55</Quality></Video><Cameras><Camera id=\"2\"><Name>Yard</Name>"
                       "</Camera></Cameras><IO><Output id=\"2\" state=\"1\"/></IO></SimCam>");
        const bool bParams = a.SetXmlParams(kCamera, kUser, kPassword, &bs);
        Note(std::string("SetXmlParams ") + (bParams ? "true " : "false ") + TextOf(bs));
        SysFreeString(bs);
        bs = Bstr("<SimCam><Video><Width>333</Width></Video></SimCam>");
        const bool bRefused = a.SetXmlParams(kCamera, kUser, kPassword, &bs);
        Note(std::string("SetXmlParams odd width ") + (bRefused ? "true " : "false ") + TextOf(bs));
        SysFreeString(bs);
        bs = Bstr("<Events><Event source=\"Motion1\" destIP=\"10.1.1.1\" destPort=\"7000\" message=\"yard\" "
                  "useBuffer=\"1\"/></Events>");
        const bool bEvents = a.SetXmlEvents(kCamera, kUser, kPassword, &bs);
        Note(std::string("SetXmlEvents ") + (bEvents ? "true " : "false ") + TextOf(bs));
        SysFreeString(bs);

        bs = nullptr;
        const int nInfo = a.GetStreamInfo(kCamera, kPassword, 2, &bs);
        Note("GetStreamInfo " + Str(nInfo) + " " + TextOf(bs));
        SysFreeString(bs);
        bs = nullptr;
        const int nCredentials = a.GenerateCredentialsDyn(kCamera, kUser, kPassword, &bs);
        Note("GenerateCredentialsDyn " + Str(nCredentials) + " " + TextOf(bs));
        SysFreeString(bs);
        Image(2);  // after the new quality
    }

    void MediaStreams() {
        const Kestrel& a = m_api;
        BSTR bsSettings = Bstr("<Settings><Width>160</Width><Height>120</Height><FrameRate>25</FrameRate></Settings>");
        const bool bOpened =
            a.OpenMediaStreamWithSettings(kCamera, kPassword, SIMCAM_MEDIA_VIDEO, 1, 0, "", &bsSettings);
        Note(std::string("OpenMediaStreamWithSettings ") + (bOpened ? "true " : "false ") + TextOf(bsSettings));
        SysFreeString(bsSettings);
        bsSettings = Bstr("<Settings><Width>1</Width></Settings>");
        const bool bBad = a.OpenMediaStreamWithSettings(kCamera, kPassword, SIMCAM_MEDIA_VIDEO, 2, 0, "", &bsSettings);
        Note(std::string("OpenMediaStreamWithSettings bad ") + (bBad ? "true" : "false"));
        SysFreeString(bsSettings);
        for (int i = 0; i < 3; ++i) MediaBlock(SIMCAM_MEDIA_VIDEO, 1, 0, true);
        Note("SetMediaStreamPollingRate " + Str(a.SetMediaStreamPollingRate(kCamera, SIMCAM_MEDIA_VIDEO, 1, 0, 12.5)));
        Note("SetMediaStreamPollingRate 500 " +
             Str(a.SetMediaStreamPollingRate(kCamera, SIMCAM_MEDIA_VIDEO, 1, 0, 500.0)));

        Note("OpenMediaStream audio in " + Str(a.OpenMediaStream(kCamera, kPassword, SIMCAM_MEDIA_AUDIO_IN, 1, 0, "")));
        MediaBlock(SIMCAM_MEDIA_AUDIO_IN, 1, 0, false);
        Note("SetMediaStreamPollingRate audio " +
             Str(a.SetMediaStreamPollingRate(kCamera, SIMCAM_MEDIA_AUDIO_IN, 1, 0, 10.0)));
        MediaBlock(SIMCAM_MEDIA_AUDIO_IN, 1, 0, false);
        a.CloseMediaStream(kCamera, SIMCAM_MEDIA_AUDIO_IN, 1, 0);

        Note("OpenMediaStream audio out " + Str(a.OpenMediaStream(kCamera, kPassword, SIMCAM_MEDIA_AUDIO_OUT, 1, 0, "")));
        std::vector<unsigned char> samples(200);
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<unsigned char>(i * 7);
        int nCode = 99;
        const int nPut = a.PutMediaDataBlock(kCamera, SIMCAM_MEDIA_AUDIO_OUT, 1, 0, samples.data(), 200, &nCode);
        Note("PutMediaDataBlock 200 " + Str(nPut) + " " + Str(nCode));
        nCode = 99;
        const int nOdd = a.PutMediaDataBlock(kCamera, SIMCAM_MEDIA_AUDIO_OUT, 1, 0, samples.data(), 101, &nCode);
        Note("PutMediaDataBlock 101 " + Str(nOdd) + " " + Str(nCode));
        MediaBlock(SIMCAM_MEDIA_AUDIO_OUT, 1, 0, false);
        a.CloseMediaStream(kCamera, SIMCAM_MEDIA_AUDIO_OUT, 1, 0);
        MediaBlock(SIMCAM_MEDIA_AUDIO_OUT, 1, 0, false);  // closed
    }

    void Recordings() {
        const Kestrel& a = m_api;
        const long long nStart = SIMCAM_DETERMINISTIC_EPOCH_MS;
        const long long nEnd = SIMCAM_DETERMINISTIC_EPOCH_MS + 3600LL * 1000;
        BSTR bsTimeLine = nullptr;
        const int nRuns = a.GetTimeLine(kCamera, SIMCAM_MEDIA_VIDEO, 1, 0, nStart, nEnd, &bsTimeLine);
        Note("GetTimeLine " + Str(nRuns) + " " + TextOf(bsTimeLine));
        SysFreeString(bsTimeLine);
        bsTimeLine = nullptr;
        const int nNone = a.GetTimeLine(kCamera, SIMCAM_MEDIA_AUDIO_IN, 1, 0, nStart, nEnd, &bsTimeLine);
        Note("GetTimeLine audio " + Str(nNone) + " " + TextOf(bsTimeLine));
        SysFreeString(bsTimeLine);

        Note("Play from the start " + Str(a.Play(kCamera, SIMCAM_MEDIA_VIDEO, 1, 0, nStart + 250, 1.0)));
        for (int i = 0; i < 3; ++i) MediaBlock(SIMCAM_MEDIA_VIDEO, 1, 0, true);
        Note("Play backwards " + Str(a.Play(kCamera, SIMCAM_MEDIA_VIDEO, 1, 0, nStart + 1000, -2.0)));
        for (int i = 0; i < 2; ++i) MediaBlock(SIMCAM_MEDIA_VIDEO, 1, 0, true);
        Note("Pause " + Str(a.Pause(kCamera, SIMCAM_MEDIA_VIDEO, 1, 0)));
        MediaBlock(SIMCAM_MEDIA_VIDEO, 1, 0, true);
        a.CloseMediaStream(kCamera, SIMCAM_MEDIA_VIDEO, 1, 0);

        Note("Retrieve " + Str(a.Retrieve(kCamera, SIMCAM_MEDIA_VIDEO, 1, 0, nStart, nEnd)));
        for (int i = 0; i < 3; ++i) Note("RetrieveStatus " + Str(a.RetrieveStatus(kCamera, SIMCAM_MEDIA_VIDEO, 1, 0)));
    }

    void Close() {
        const Kestrel& a = m_api;
        a.CloseConnection2(kCamera, 1);
        a.CloseConnection2(kCamera, 2);
        Image(1);  // no connection any more: no image
        VideoBlock(1);
        Note("images " + Str(m_nImages));
    }

    const Kestrel& m_api;
    const Module m_module;
    std::vector<std::string> m_transcript;
    int m_nImages = 0;
};

// Every export of the driver API from one module, as an application would
// resolve them.
Kestrel ResolveDriver(void* hModule) {
    Kestrel api;
#define KESTREL_DROPIN_RESOLVE(OP, R, NAME, PARAMS, ARGS) \
    api.NAME = reinterpret_cast<R(*) PARAMS>(dlsym(hModule, #NAME));
    KESTREL_FORWARDING_EXPORTS(KESTREL_DROPIN_RESOLVE)
    KESTREL_DRIVER_SERVICE_EXPORTS(KESTREL_DROPIN_RESOLVE)
#undef KESTREL_DROPIN_RESOLVE
    return api;
}

class DropInTest : public LibraryTest {
protected:
    void SetUp() override {
        // The thread sanitizer's own thread comes with the first thread a
        // program starts; it must exist before the harness counts threads.
        std::thread([] {}).join();
        LibraryTest::SetUp();
        char szTemplate[] = "/tmp/kestrel-dropin-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        m_strFolder = szTemplate;
        // The camera's configuration: deterministic, small frames, and a
        // section of its own for this instance. Both runs read the same
        // file; HostProc inherits the environment that names it.
        const std::string strIni = m_strFolder + "/simcam.ini";
        std::ofstream(strIni) << "[simcam]\ndeterministic=1\nwidth=320\nheight=240\nquality=70\nrecord_frames=50\n"
                              << "[" << kCamera << "]\npassword=" << kPassword << "\ncameras=2\ninputs=2\noutputs=2\n";
        for (const char* szKey : {"WIDTH", "HEIGHT", "FPS", "QUALITY", "CAMERAS", "INPUTS", "OUTPUTS", "PASSWORD",
                                  "DETERMINISTIC", "RECORD_FRAMES"}) {
            unsetenv((std::string("SIMCAM_") + szKey).c_str());
        }
        setenv("SIMCAM_CONFIG", strIni.c_str(), 1);
        // The confined HostProc may read it only where Proxies.ini allows.
        options.strIniExtra = "[HostProc]\nAllowRead=" + m_strFolder + "\n";
    }

    void TearDown() override {
        unsetenv("SIMCAM_CONFIG");
        std::error_code ignored;
        std::filesystem::remove_all(m_strFolder, ignored);
        LibraryTest::TearDown();
    }

    std::string m_strFolder;
};

TEST_F(DropInTest, ScenarioGivesTheSameResultsDirectAndThroughKestrel) {
    // The driver loaded directly. Unloading it afterwards ends its state,
    // so a repeated run starts from the same camera.
    std::vector<std::string> direct;
    {
        void* hDriver = dlopen(SIMCAM_DRIVER, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(hDriver, nullptr) << dlerror();
        const Kestrel driver = ResolveDriver(hDriver);
        driver.SetFeatureSet(kFeatureSet);
        direct = Application(driver, Module::kDriver).Run();
        ASSERT_EQ(dlclose(hDriver), 0);
        EXPECT_EQ(dlopen(SIMCAM_DRIVER, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the driver stays loaded";
    }

    // The same file behind libKestrel.so: announced first, then used alike.
    Load();
    k.SetFeatureSet(kFeatureSet);
    ASSERT_EQ(k.AddDeviceInstance(kCamera, SIMCAM_DRIVER, "dropin"), 1);
    const std::vector<std::string> proxied = Application(k, Module::kKestrel).Run();
    k.RemoveDeviceInstance(kCamera);
    EXPECT_FALSE(HasLine("rpc call='")) << "no forwarded call failed";

    // The scenario did what it set out to do (not two identical failures).
    ASSERT_FALSE(direct.empty());
    EXPECT_EQ(direct.back(), "images 10");
    EXPECT_NE(std::find(direct.begin(), direct.end(), "OpenConnection 1 0"), direct.end());

    EXPECT_EQ(proxied.size(), direct.size());
    for (size_t i = 0; i < std::min(direct.size(), proxied.size()); ++i) {
        EXPECT_EQ(proxied[i], direct[i]) << "line " << i;
    }
#if defined(__SANITIZE_ADDRESS__)
    // Checked while libKestrel.so is loaded: its module-wide objects are
    // still reachable, so only memory lost by the scenario is reported.
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "memory was leaked; the report is in the captured log";
#endif
    if (HasFailure()) {
        std::string strDirect;
        for (const std::string& strLine : direct) strDirect += strLine + "\n";
        std::cerr << "---- direct transcript ----\n" << strDirect;
    }
}

}  // namespace
}  // namespace kestrel_test
