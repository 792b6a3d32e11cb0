// kestrel demo: three simulated cameras on two proxy servers, images,
// streaming, PTZ, XML configuration, and a driver crash that costs the
// application nothing but a thrown code and a re-add.
#include "Commands.h"
#include "Device.h"
#include "Streaming.h"
#include "Util.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include <sys/wait.h>

namespace kestrel_cli {

namespace {

struct DemoOptions {
    Target target;
    std::string strOut = "kestrel-demo-out";
    double dSeconds = 3.0;
};

struct Camera {
    std::string strServer;
    std::string strHost;
};

const Camera kCameras[] = {{"cam-1", "hostA"}, {"cam-2", "hostA"}, {"cam-3", "hostB"}};

void Heading(int nStep, const char* szTitle)
{
    std::printf("\n%d. %s\n", nStep, szTitle);
    std::fflush(stdout);
}

std::string YesNo(int nValue) { return nValue > 0 ? "yes" : "no"; }

std::string Position(const PtzPosition& p)
{
    char szText[96];
    std::snprintf(szText, sizeof szText, "pan %.2f, tilt %.2f, zoom %.2f", p.dPan, p.dTilt, p.dZoom);
    return szText;
}

std::string Rate(uint64_t nFrames, uint64_t nBytes, double dSeconds)
{
    char szText[96];
    const double d = dSeconds > 0 ? dSeconds : 1e-9;
    std::snprintf(szText, sizeof szText, "%.1f fps, %.2f MB/s", static_cast<double>(nFrames) / d,
                  static_cast<double>(nBytes) / d / 1e6);
    return szText;
}

// Streams every camera in the list for dSeconds with a live progress line.
uint64_t StreamAll(Session& session, const std::vector<std::string>& servers, double dSeconds, uint64_t& nBytesTotal)
{
    std::vector<std::unique_ptr<BlockStream>> streams;
    for (const std::string& strServer : servers)
        streams.push_back(std::make_unique<BlockStream>(session, strServer, 1));
    const Clock::time_point start = Clock::now();
    for (auto& stream : streams)
        stream->Start();
    ProgressLine progress(stdout);
    auto text = [&] {
        uint64_t nFrames = 0, nBytes = 0;
        std::string strLine = "   ";
        for (auto& stream : streams) {
            nFrames += stream->Frames();
            nBytes += stream->Bytes();
            strLine += stream->Server() + " " + std::to_string(stream->Frames()) + " | ";
        }
        nBytesTotal = nBytes;
        return std::make_pair(
            nFrames, strLine + std::to_string(nFrames) + " frames, " + Rate(nFrames, nBytes, SecondsSince(start)));
    };
    while (SecondsSince(start) < dSeconds) {
        if (auto [nFrames, strLine] = text(); nFrames > 0)
            progress.Update(strLine);
        for (auto& stream : streams) {
            if (auto error = stream->Error())
                throw *error;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    for (auto& stream : streams)
        stream->Stop();
    for (auto& stream : streams) {
        if (auto error = stream->Error())
            throw *error;
    }
    auto [nFrames, strLine] = text();
    progress.Finish(strLine);
    return nFrames;
}

#ifdef KESTREL_CLI_BUILD_GST_RECORDER
// Runs a command through the shell; its output lines, and whether it ended with 0.
bool RunCommand(const std::string& strCommand, std::vector<std::string>& lines)
{
    FILE* pPipe = popen((strCommand + " 2>&1").c_str(), "r");
    if (pPipe == nullptr)
        return false;
    char szLine[1024];
    while (std::fgets(szLine, sizeof szLine, pPipe) != nullptr) {
        std::string strLine(szLine);
        if (!strLine.empty() && strLine.back() == '\n')
            strLine.pop_back();
        lines.push_back(strLine);
    }
    const int nStatus = pclose(pPipe);
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

std::string Quote(const std::string& strText) { return "'" + strText + "'"; }
#endif

// A few seconds of camera through kestrelsrc ! queue ! matroskamux !
// filesink with a driver crash halfway (the plugin's recorder), then the
// file as gst-discoverer-1.0 reads it. Empty when the build has no GStreamer.
std::string RecordThroughGStreamer(const Target& t, const std::string& strOut, double dSeconds)
{
#ifdef KESTREL_CLI_BUILD_GST_RECORDER
    namespace fs = std::filesystem;
    std::string strRecorder = KESTREL_CLI_BUILD_GST_RECORDER, strPlugins = KESTREL_CLI_BUILD_GST_PLUGINS;
    if (!FindLocations().bBuildTree) {
        const fs::path prefix = fs::read_symlink("/proc/self/exe").parent_path().parent_path();
        strRecorder = (prefix / KESTREL_CLI_INSTALL_GST_RECORDER).string();
        strPlugins = (prefix / KESTREL_CLI_INSTALL_GST_PLUGINDIR).string();
    }
    if (!fs::exists(strRecorder)) {
        std::printf("   skipped: %s is not installed\n", strRecorder.c_str());
        return {};
    }
    const char* szPath = std::getenv("GST_PLUGIN_PATH");
    const std::string strFile = strOut + "/recording.mkv";
    std::vector<std::string> lines;
    char szTimes[64];
    std::snprintf(szTimes, sizeof szTimes, " %.1f %.1f", dSeconds, dSeconds / 2);
    const bool bRecorded = RunCommand(
        "GST_PLUGIN_PATH=" + Quote(strPlugins + (szPath ? ":" + std::string(szPath) : "")) +
            " KESTREL_RECORD_DRIVER=" + Quote(t.strDriver) + " " + Quote(strRecorder) + " " + Quote(strFile) + szTimes,
        lines);
    for (const std::string& strLine : lines) {
        if (strLine.rfind("HostProc", 0) != 0)  // its proxy server's own messages
            std::printf("%s\n", strLine.c_str());
    }
    if (!bRecorded)
        throw Failure{kExitDriverFailed, "the recording through GStreamer failed"};
    lines.clear();
    if (!RunCommand("gst-discoverer-1.0 -v " + Quote(strFile), lines))
        throw Failure{kExitDriverFailed, "gst-discoverer-1.0 cannot read " + strFile};
    std::printf("   gst-discoverer-1.0 %s:\n", strFile.c_str());
    for (const std::string& strLine : lines) {
        if (strLine.find("Duration:") != std::string::npos || strLine.find("Seekable:") != std::string::npos ||
            strLine.find("video #") != std::string::npos)
            std::printf("     %s\n", strLine.substr(strLine.find_first_not_of(' ')).c_str());
    }
    return strFile;
#else
    (void)t, (void)strOut, (void)dSeconds;
    std::printf("   skipped: this build has no GStreamer plugin\n");
    return {};
#endif
}

int RunDemo(DemoOptions options)
{
    // A livelier picture than the simulated camera's default of 10 frames/s,
    // unless the caller configured it; HostProc inherits the environment.
    setenv("SIMCAM_FPS", "25", 0);
    Target& target = options.target;
    if (target.bDirect)
        throw Failure{kExitUsage, "the demo shows the proxy servers; it does not run with --direct"};
    MakeFolder(options.strOut);
    const std::string strOut = Absolute(options.strOut);
    Session session(target);
    const Target& t = session.Options();
    Module& api = session.Api();
    const char* szPassword = t.strPassword.c_str();
    std::vector<std::string> files;

    std::printf("Kestrel demo\n");
    std::printf("   library: %s (runtime version %d)\n", api.Path().c_str(),
                api.GetRuntimeVersion ? api.GetRuntimeVersion() : 0);
    std::printf("   driver:  %s\n", t.strDriver.c_str());
    std::printf("   output:  %s\n", strOut.c_str());

    Heading(1, "Adding three cameras on two proxy servers");
    for (const Camera& camera : kCameras) {
        const Clock::time_point start = Clock::now();
        session.Add(camera.strServer, camera.strHost);
        std::printf("   %s on %s: added in %s\n", camera.strServer.c_str(), camera.strHost.c_str(),
                    FormatDuration(SecondsSince(start)).c_str());
    }

    Heading(2, "Device information");
    for (const Camera& camera : kCameras) {
        const DeviceInfo info = QueryDeviceInfo(session, camera.strServer);
        std::printf("   %s: %s, MAC %s, %d cameras, device id %d (GetInfo %d, QueryDeviceTypeStrDyn \"%s\")\n",
                    camera.strServer.c_str(), info.strType.c_str(), info.strMac.c_str(), info.nCameras, info.nDeviceId,
                    info.nInfoResult, info.strTypeDyn.c_str());
    }
    {
        std::string strYes, strNumbers;
        for (const CapabilityAnswer& answer : QueryCapabilities(session, "cam-1")) {
            if (answer.strName.find("Number") != std::string::npos ||
                answer.strName.find("Audio") != std::string::npos || answer.strName.find("No") != std::string::npos ||
                answer.strName == "QueryDeviceIdDyn")
                continue;
            strYes += (strYes.empty() ? "" : ", ") + answer.strMeaning + " " + YesNo(answer.nValue);
        }
        std::printf("   capabilities of cam-1: %s\n", strYes.c_str());
        const auto ptz = QueryPtzSupported(session, "cam-1");
        std::string strPtz;
        for (const std::string& strName : ptz)
            strPtz += (strPtz.empty() ? "" : " ") + strName;
        std::printf("   PTZ commands: %s\n", strPtz.c_str());
    }

    Heading(3, "Snapshots");
    for (const Camera& camera : kCameras) {
        const int nOpen = session.Guard("OpenConnection(\"" + camera.strServer + "\")", [&] {
            return session.Need(api.OpenConnection, "OpenConnection")(camera.strServer.c_str(), szPassword, 0, 1);
        });
        if (nOpen < 0)
            throw Failure{kExitDriverFailed,
                          "OpenConnection(\"" + camera.strServer + "\") answered " + std::to_string(nOpen)};
        const std::vector<unsigned char> jpeg = session.Image(camera.strServer, 1);
        int nWidth = 0, nHeight = 0;
        JpegDimensions(jpeg.data(), jpeg.size(), nWidth, nHeight);
        const std::string strFile = strOut + "/" + camera.strServer + ".jpg";
        WriteFile(strFile, jpeg.data(), jpeg.size());
        files.push_back(strFile);
        std::printf("   %s camera 1: %dx%d JPEG, %s -> %s\n", camera.strServer.c_str(), nWidth, nHeight,
                    FormatBytes(static_cast<double>(jpeg.size())).c_str(), strFile.c_str());
    }

    Heading(4, "Streaming video blocks");
    uint64_t nBytesStreamed = 0;
    uint64_t nFramesStreamed = StreamAll(session, {"cam-1", "cam-2", "cam-3"}, options.dSeconds, nBytesStreamed);

    Heading(5, "Pan, tilt and zoom through the presets (cam-1, camera 1)");
    {
        const std::vector<std::string> presets = QueryPresets(session, "cam-1", 1);
        std::string strList;
        for (const std::string& strName : presets)
            strList += (strList.empty() ? "" : ", ") + strName;
        std::printf("   presets: %s\n", strList.c_str());
        auto pMove = session.Need(api.MoveToPresetPosition, "MoveToPresetPosition");
        for (const std::string& strPreset : presets) {
            const int nResult =
                session.Guard("MoveToPresetPosition(\"cam-1\")", [&] { return pMove("cam-1", 1, strPreset.c_str()); });
            const PtzPosition at = QueryPosition(session, "cam-1", 1);
            std::printf("   -> %-10s result %d, GetPTZPos: %s\n", strPreset.c_str(), nResult, Position(at).c_str());
        }
        if (!presets.empty()) {
            const std::vector<unsigned char> jpeg = session.Image("cam-1", 1);
            const std::string strFile = strOut + "/cam-1-" + presets.back() + ".jpg";
            WriteFile(strFile, jpeg.data(), jpeg.size());
            files.push_back(strFile);
            std::printf("   the view at %s -> %s\n", presets.back().c_str(), strFile.c_str());
        }
    }

    Heading(6, "XML configuration (cam-2)");
    {
        int nResult = 0;
        std::string strXml = GetXmlText(session, "cam-2", "Video", nResult);
        std::printf("   GetXml(\"Video\") = %d: %s\n", nResult, OneLine(strXml, 150).c_str());
        const std::string strChange =
            "<SimCam><Video><Quality>60</Quality></Video>"
            "<Cameras><Camera id=\"1\"><Name>Front door</Name></Camera></Cameras></SimCam>";
        bool bOk = false;
        const std::string strAnswer = SetXmlText(session, "cam-2", strChange, bOk);
        std::printf("   SetXmlParams(%s) = %s (answer: %zu characters of XML)\n", strChange.c_str(),
                    bOk ? "true" : "false", strAnswer.size());
        if (!bOk)
            throw Failure{kExitDriverFailed, "SetXmlParams refused the change: " + OneLine(strAnswer, 200)};
        strXml = GetXmlText(session, "cam-2", "Video", nResult);
        std::printf("   GetXml(\"Video\") = %d: %s\n", nResult, OneLine(strXml, 150).c_str());
        strXml = GetXmlText(session, "cam-2", "Cameras", nResult);
        const size_t nName = strXml.find("<Name>");
        std::printf(
            "   camera 1 of cam-2 is now called \"%s\"\n",
            nName == std::string::npos ? "?" : strXml.substr(nName + 6, strXml.find("</Name>") - nName - 6).c_str());
    }

    Heading(7, "Crash containment");
    unsigned long nCrashCode = 0;
    uint64_t nFramesAfterCrash = 0;
    {
        session.Guard("OpenStreamConnection(\"cam-3\")", [&] {
            return session.Need(api.OpenStreamConnection, "OpenStreamConnection")("cam-3", szPassword, 0, 1);
        });
        BlockStream background(session, "cam-3", 1);
        background.Start();
        if (!background.WaitForFrames(3, 30.0))
            throw background.Error().value_or(Failure{kExitDriverFailed, "cam-3 does not stream"});
        std::printf("   cam-3 on hostB streams in the background (%llu frames so far)\n",
                    static_cast<unsigned long long>(background.Frames()));
        std::printf("   asking hostA's driver to crash: ExecuteCustomCommand(\"cam-1\", \"crash\")\n");
        std::fflush(stdout);
        auto pExecute = session.Need(api.ExecuteCustomCommand, "ExecuteCustomCommand");
        bool bThrown = false;
        try {
            pExecute("cam-1", szPassword, 0, 1, 0, "crash");
        } catch (unsigned long nCode) {
            bThrown = true;
            nCrashCode = nCode;
        }
        const uint64_t nFramesAtCrash = background.Frames();
        if (!bThrown)
            throw Failure{kExitDriverFailed, "the crash command returned instead of throwing"};
        std::printf("   crash: ExecuteCustomCommand(\"cam-1\") threw %s\n", DescribeCode(nCrashCode).c_str());
        if (KestrelErrorClass(nCrashCode) != KESTREL_HOSTPROCUNAVAILABLEERROR)
            throw Failure{kExitDriverFailed, "expected the proxy-server-lost class 0x01"};
        // cam-2 shared hostA's HostProc, so it went with it.
        try {
            session.Need(api.QueryNumberOfCamDyn, "QueryNumberOfCamDyn")("cam-2", szPassword);
            throw Failure{kExitDriverFailed, "cam-2 still answers although its proxy server is gone"};
        } catch (unsigned long nCode) {
            std::printf("   cam-2 (also on hostA): QueryNumberOfCamDyn threw %s\n", DescribeCode(nCode).c_str());
        }
        // hostB never noticed: its camera goes on delivering blocks.
        if (!background.WaitForFrames(nFramesAtCrash + 10, 30.0))
            throw background.Error().value_or(Failure{kExitDriverFailed, "cam-3 stopped streaming"});
        nFramesAfterCrash = background.Frames() - nFramesAtCrash;
        std::printf("   contained: cam-3 on hostB kept streaming, %llu frames since the crash\n",
                    static_cast<unsigned long long>(nFramesAfterCrash));
        std::fflush(stdout);

        // The application's part: forget the lost instances and add them again.
        bool bFirst = true;
        for (const char* szServer : {"cam-1", "cam-2"}) {
            session.Remove(szServer);
            const Clock::time_point start = Clock::now();
            session.Add(szServer, "hostA");
            std::printf("   re-added %s on hostA in %s (%s)\n", szServer, FormatDuration(SecondsSince(start)).c_str(),
                        bFirst ? "a new HostProc" : "on the same new HostProc");
            bFirst = false;
        }
        for (const char* szServer : {"cam-1", "cam-2"}) {
            session.Guard(std::string("OpenConnection(\"") + szServer + "\")",
                          [&] { return api.OpenConnection(szServer, szPassword, 0, 1); });
            const std::vector<unsigned char> jpeg = session.Image(szServer, 1);
            int nWidth = 0, nHeight = 0;
            if (!JpegDimensions(jpeg.data(), jpeg.size(), nWidth, nHeight))
                throw Failure{kExitDriverFailed, std::string(szServer) + " sent an unreadable picture after re-adding"};
            const std::string strFile = strOut + "/" + szServer + "-recovered.jpg";
            WriteFile(strFile, jpeg.data(), jpeg.size());
            files.push_back(strFile);
            std::printf("   recovered: %s answers again, %dx%d JPEG -> %s\n", szServer, nWidth, nHeight,
                        strFile.c_str());
        }
        background.Stop();
        if (auto error = background.Error())
            throw *error;
        std::printf("   cam-3 streamed %llu frames in the background while hostA went down and came back\n",
                    static_cast<unsigned long long>(background.Frames()));
        nFramesStreamed += background.Frames();
        nBytesStreamed += background.Bytes();
    }
    {
        std::printf("   streaming all three again:\n");
        session.Guard("OpenStreamConnection", [&] {
            for (const char* szServer : {"cam-1", "cam-2"})
                api.OpenStreamConnection(szServer, szPassword, 0, 1);
            return 0;
        });
        uint64_t nBytes = 0;
        nFramesStreamed +=
            StreamAll(session, {"cam-1", "cam-2", "cam-3"}, options.dSeconds < 1.0 ? options.dSeconds : 1.0, nBytes);
        nBytesStreamed += nBytes;
    }

    session.Close();
    Heading(8, "Recording through GStreamer, with a driver crash halfway");
    const std::string strRecording =
        RecordThroughGStreamer(t, strOut, options.dSeconds + 1 > 2 ? options.dSeconds + 1 : 2);
    if (!strRecording.empty())
        files.push_back(strRecording);

    Heading(9, "Summary");
    std::printf("   3 cameras on 2 proxy servers; %llu video blocks streamed (%s)\n",
                static_cast<unsigned long long>(nFramesStreamed),
                FormatBytes(static_cast<double>(nBytesStreamed)).c_str());
    std::printf("   1 driver crash contained: hostA lost (%s), hostB unaffected, cam-1 and cam-2 re-added\n",
                CodeInWords(nCrashCode).c_str());
    std::printf("   files in %s:\n", strOut.c_str());
    for (const std::string& strFile : files)
        std::printf("     %s\n", strFile.substr(strOut.size() + 1).c_str());
    std::printf("demo finished: ok\n");
    return kExitOk;
}

}  // namespace

Runner AddDemoCommand(CLI::App& app)
{
    auto options = std::make_shared<DemoOptions>();
    CLI::App* pDemo = app.add_subcommand(
        "demo",
        "Run the tour on the simulated camera: three cameras on two proxy servers (cam-1 and cam-2 on hostA, "
        "cam-3 on hostB), device information, a snapshot per camera, streaming with a live progress line, PTZ "
        "presets, XML configuration, a driver crash on hostA that the application survives, then a recording through "
        "GStreamer (kestrelsrc) that survives a driver crash too.");
    pDemo->add_option("--out", options->strOut, "folder for the pictures")->capture_default_str();
    pDemo->add_option("--seconds", options->dSeconds, "how long to stream")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 3600.0));
    AddModuleOptions(*pDemo, options->target);
    pDemo->add_option("--password", options->target.strPassword, "device password")->capture_default_str();
    return [options] { return RunDemo(*options); };
}

}  // namespace kestrel_cli
