// The small commands: snapshot, stream, ptz, xml get|set, events.
#include "Commands.h"

#include "Device.h"
#include "FrameWriter.h"
#include "Results.h"
#include "Streaming.h"
#include "Util.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include <unistd.h>

namespace kestrel_cli {

namespace {

std::string Quoted(const std::string& strText) { return "\"" + strText + "\""; }

void Open(Session& session, bool bStream, bool bHalf)
{
    const Target& t = session.Options();
    auto pOpen = bStream ? session.Need(session.Api().OpenStreamConnection, "OpenStreamConnection")
                         : session.Need(session.Api().OpenConnection, "OpenConnection");
    const std::string strCall = std::string(bStream ? "OpenStreamConnection" : "OpenConnection") + "(" +
                                Quoted(t.strServer) + ", camera " + std::to_string(t.nCamera) + ")";
    const int nResult = session.Guard(
        strCall, [&] { return pOpen(t.strServer.c_str(), t.strPassword.c_str(), bHalf ? 1 : 0, t.nCamera); });
    if (nResult < 0)
        throw Failure{kExitDriverFailed, Answered(strCall, nResult)};
}

/* ---- snapshot ---- */

struct SnapshotOptions {
    Target target;
    std::string strOut = "snapshot.jpg";
    bool bHalf = false;
};

int RunSnapshot(const SnapshotOptions& options)
{
    Session session(options.target);
    const Target& t = session.Options();
    session.Add();
    Open(session, false, options.bHalf);
    const Clock::time_point start = Clock::now();
    const std::vector<unsigned char> jpeg = session.Image(t.strServer, t.nCamera);
    const double dSeconds = SecondsSince(start);
    int nWidth = 0, nHeight = 0;
    if (!JpegDimensions(jpeg.data(), jpeg.size(), nWidth, nHeight))
        throw Failure{kExitDriverFailed, "the picture is not a readable JPEG"};
    WriteFile(options.strOut, jpeg.data(), jpeg.size());
    std::printf("%s camera %d: %dx%d JPEG, %s in %s -> %s\n", t.strServer.c_str(), t.nCamera, nWidth, nHeight,
                FormatBytes(static_cast<double>(jpeg.size())).c_str(), FormatDuration(dSeconds).c_str(),
                options.strOut.c_str());
    return kExitOk;
}

/* ---- stream ---- */

struct StreamOptions {
    Target target;
    std::string strOut = "-";
    double dSeconds = 5.0;
    uint64_t nFrames = 0;
    bool bHalf = false;
    std::string strFormat = "mkv";
};

// The camera's frame rate as its driver states it; 0 when it does not.
double StatedFramerate(Session& session)
{
    const Target& t = session.Options();
    Module& api = session.Api();
    double dFps = 0, dInternal = 0;
    try {
        if (api.GetDeviceControlledFramerate != nullptr &&
            api.GetDeviceControlledFramerate(t.strServer.c_str(), t.strPassword.c_str(), t.nCamera, &dFps,
                                             &dInternal) >= 0)
            return dFps > 0 ? dFps : 0;
    } catch (unsigned long) {
        // Streaming will meet the same failure and report it.
    }
    return 0;
}

int RunStream(const StreamOptions& options)
{
    FILE* pOut = nullptr;
    bool bClose = false;
    if (options.strOut == "-") {
        // Blocks are binary: a terminal gets the progress line only.
        if (isatty(STDOUT_FILENO) != 1)
            pOut = stdout;
    } else {
        pOut = std::fopen(options.strOut.c_str(), "wb");
        if (pOut == nullptr)
            throw Failure{kExitIo, "cannot write " + options.strOut + ": " + std::strerror(errno)};
        bClose = true;
    }
    Session session(options.target);
    const Target& t = session.Options();
    session.Add();
    Open(session, true, options.bHalf);
    BlockStream::Sink sink;
    std::unique_ptr<FrameWriter> writer;
    Clock::time_point first;
    if (pOut != nullptr) {
        writer = MakeFrameWriter(options.strFormat, pOut, options.strOut == "-" ? "standard output" : options.strOut,
                                 StatedFramerate(session));
        sink = [&writer, &first](const unsigned char* p, size_t n) {
            const Clock::time_point now = Clock::now();
            if (first == Clock::time_point())
                first = now;
            writer->Frame(p, n, std::chrono::duration<double>(now - first).count());
        };
    }
    BlockStream stream(session, t.strServer, t.nCamera, sink, options.nFrames);
    const Clock::time_point start = Clock::now();
    ProgressLine progress(stderr, 1.0);
    auto text = [&] {
        const double dElapsed = SecondsSince(start);
        char szText[160];
        std::snprintf(
            szText, sizeof szText, "%s camera %d: %llu frames, %s, %.1f fps, %.2f MB/s", t.strServer.c_str(), t.nCamera,
            static_cast<unsigned long long>(stream.Frames()), FormatBytes(static_cast<double>(stream.Bytes())).c_str(),
            static_cast<double>(stream.Frames()) / dElapsed, static_cast<double>(stream.Bytes()) / dElapsed / 1e6);
        return std::string(szText);
    };
    stream.Start();
    while (SecondsSince(start) < options.dSeconds && stream.Running() &&
           (options.nFrames == 0 || stream.Frames() < options.nFrames)) {
        if (stream.Frames() > 0)
            progress.Update(text());
        stream.WaitForFrames(options.nFrames ? options.nFrames : UINT64_MAX, 0.2);
    }
    stream.Stop();
    if (writer) {
        try {
            writer->Finish();  // what arrived stays playable, also when streaming failed
        } catch (const Failure&) {
            if (!stream.Error())
                throw;
        }
    }
    progress.Finish(text() + (pOut == nullptr ? " (not written: standard output is a terminal)"
                                              : " -> " + (options.strOut == "-" ? std::string("standard output")
                                                                                : options.strOut)));
    if (pOut != nullptr && std::fflush(pOut) != 0 && options.strOut != "-")
        throw Failure{kExitIo, "cannot write " + options.strOut};
    if (bClose && std::fclose(pOut) != 0)
        throw Failure{kExitIo, "cannot write " + options.strOut};
    if (auto error = stream.Error())
        throw *error;
    return kExitOk;
}

/* ---- ptz ---- */

struct PtzOptions {
    Target target;
    bool bList = false;
    std::string strPreset;
    bool bHome = false;
    std::vector<double> absolute;
    std::string strStep;
};

int RunPtz(const PtzOptions& options)
{
    Session session(options.target);
    const Target& t = session.Options();
    Module& api = session.Api();
    session.Add();
    const char* szServer = t.strServer.c_str();
    const char* szPassword = t.strPassword.c_str();
    if (options.bList ||
        (options.strPreset.empty() && !options.bHome && options.absolute.empty() && options.strStep.empty())) {
        std::string strList;
        for (const std::string& strName : QueryPresets(session, t.strServer, t.nCamera))
            strList += (strList.empty() ? "" : ", ") + strName;
        std::printf("presets: %s\n", strList.empty() ? "(none)" : strList.c_str());
    }
    if (!options.strPreset.empty()) {
        auto pMove = session.Need(api.MoveToPresetPosition, "MoveToPresetPosition");
        const int nResult = session.Guard("MoveToPresetPosition(" + Quoted(t.strServer) + ")",
                                          [&] { return pMove(szServer, t.nCamera, options.strPreset.c_str()); });
        std::printf("MoveToPresetPosition(%s) = %d\n", Quoted(options.strPreset).c_str(), nResult);
        if (nResult < 0)
            throw Failure{kExitDriverFailed, Answered("MoveToPresetPosition", nResult)};
    }
    if (options.bHome) {
        auto pCommand = session.Need(api.PTZCommand, "PTZCommand");
        session.Guard("PTZCommand(home)", [&] { pCommand(szServer, "", szPassword, t.nCamera, 0, 7, 100); });
        std::printf("PTZCommand(home)\n");
    }
    if (!options.absolute.empty()) {
        auto pSet = session.Need(api.PTZSetAbsoluteDoubles, "PTZSetAbsoluteDoubles");
        const double dFocus = options.absolute.size() > 3 ? options.absolute[3] : 500.0;
        session.Guard("PTZSetAbsoluteDoubles", [&] {
            pSet(szServer, "", szPassword, t.nCamera, 0, options.absolute.at(0), options.absolute.at(1),
                 options.absolute.at(2), dFocus);
        });
        std::printf("PTZSetAbsoluteDoubles(pan %.2f, tilt %.2f, zoom %.2f)\n", options.absolute[0], options.absolute[1],
                    options.absolute[2]);
    }
    if (!options.strStep.empty()) {
        static const std::pair<const char*, int> kSteps[] = {{"up", 1},    {"down", 2}, {"left", 3},
                                                             {"right", 4}, {"in", 5},   {"out", 6}};
        int nDir = -1;
        for (const auto& [szName, nValue] : kSteps) {
            if (options.strStep == szName)
                nDir = nValue;
        }
        auto pMove = session.Need(api.MoveCamera2, "MoveCamera2");
        session.Guard("MoveCamera2", [&] { pMove(szServer, t.nCamera, nDir); });
        std::printf("MoveCamera2(%s)\n", options.strStep.c_str());
    }
    const PtzPosition at = QueryPosition(session, t.strServer, t.nCamera);
    std::printf("GetPTZPos = %d: pan %.2f, tilt %.2f, zoom %.2f\n", at.nResult, at.dPan, at.dTilt, at.dZoom);
    return at.nResult < 0 ? kExitDriverFailed : kExitOk;
}

/* ---- xml ---- */

struct XmlOptions {
    Target target;
    std::string strFilter;
    std::string strInput;
    CLI::App* pGet = nullptr;
    CLI::App* pSet = nullptr;
};

int RunXml(const XmlOptions& options)
{
    Session session(options.target);
    const Target& t = session.Options();
    session.Add();
    if (options.pGet->parsed()) {
        int nResult = 0;
        const std::string strXml = GetXmlText(session, t.strServer, options.strFilter, nResult);
        std::printf("%s\n", strXml.c_str());
        if (nResult < 0) {
            Message(Answered("GetXml", nResult));
            return kExitDriverFailed;
        }
        return kExitOk;
    }
    const std::string strXml = !options.strInput.empty() && options.strInput[0] == '@'
                                   ? ReadFile(options.strInput.substr(1))
                                   : options.strInput;
    bool bOk = false;
    const std::string strAnswer = SetXmlText(session, t.strServer, strXml, bOk);
    std::printf("%s\n", strAnswer.c_str());
    if (!bOk) {
        Message("SetXmlParams answered false");
        return kExitDriverFailed;
    }
    return kExitOk;
}

/* ---- events ---- */

struct EventsOptions {
    Target target;
    double dSeconds = 5.0;
    int nCount = 0;
    std::vector<std::string> sources;
    std::vector<std::string> triggers;
    int nMediaType = 3;
    bool bXml = false;
    std::string strEventType = "Event";
};

int RunEvents(const EventsOptions& options)
{
    Session session(options.target);
    const Target& t = session.Options();
    Module& api = session.Api();
    session.Add();
    const char* szServer = t.strServer.c_str();
    const char* szPassword = t.strPassword.c_str();

    if (api.QueryEventsDyn != nullptr) {
        CStringArray used, open;
        const int nResult =
            session.Guard("QueryEventsDyn", [&] { return api.QueryEventsDyn(szServer, szPassword, used, open); });
        std::string strList;
        for (int i = 0; i < open.GetSize(); ++i)
            strList += (i ? ", " : "") + std::string(open[i]);
        std::printf("event sources (QueryEventsDyn = %d): %s\n", nResult, strList.empty() ? "(none)" : strList.c_str());
    }
    if (!options.sources.empty()) {
        CStringArray selected;
        for (const std::string& strSource : options.sources)
            selected.Add(strSource.c_str());
        const int nResult = session.Guard("SetEventsDyn", [&] {
            return session.Need(api.SetEventsDyn, "SetEventsDyn")(szServer, szPassword, selected);
        });
        std::printf("SetEventsDyn = %d\n", nResult);
        if (nResult < 0)
            throw Failure{kExitDriverFailed, Answered("SetEventsDyn", nResult)};
    }
    const int nOpen = session.Guard("OpenMediaStream", [&] {
        return session.Need(api.OpenMediaStream, "OpenMediaStream")(szServer, szPassword, options.nMediaType, 0, 0, "");
    });
    if (nOpen < 0)
        throw Failure{kExitDriverFailed, Answered("OpenMediaStream", nOpen)};
    short nParser = -1;
    if (options.bXml) {
        nParser = session.Guard("OpenXmlEventParserDyn", [&] {
            return session.Need(api.OpenXmlEventParserDyn, "OpenXmlEventParserDyn")(szServer, "", szPassword,
                                                                                    options.strEventType.c_str());
        });
        if (nParser <= 0)
            throw Failure{kExitDriverFailed, Answered("OpenXmlEventParserDyn", nParser)};
    }
    for (const std::string& strTrigger : options.triggers) {
        const int nResult = session.Guard("ExecuteCustomCommand(" + Quoted(strTrigger) + ")", [&] {
            return session.Need(api.ExecuteCustomCommand, "ExecuteCustomCommand")(szServer, szPassword, 0, 1, 0,
                                                                                  strTrigger.c_str());
        });
        std::printf("ExecuteCustomCommand(%s) = %d\n", Quoted(strTrigger).c_str(), nResult);
    }
    std::fflush(stdout);

    auto pGet = session.Need(api.GetMediaDataBlock, "GetMediaDataBlock");
    const Clock::time_point start = Clock::now();
    int nEvents = 0;
    while (SecondsSince(start) < options.dSeconds && (options.nCount == 0 || nEvents < options.nCount)) {
        unsigned char* pBlock = nullptr;
        const int nSize =
            session.Guard("GetMediaDataBlock", [&] { return pGet(szServer, options.nMediaType, 0, 0, &pBlock); });
        if (nSize <= 0 || pBlock == nullptr) {
            if (pBlock != nullptr && api.DeleteBuffer != nullptr)
                api.DeleteBuffer(pBlock);
            // No event waiting: ask again shortly.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        const std::string strEvent(reinterpret_cast<const char*>(pBlock), static_cast<size_t>(nSize));
        std::printf("event: %s\n", strEvent.c_str());
        if (nParser > 0 && api.ParseXmlEventDataDyn != nullptr) {
            BSTR bsXml = nullptr;
            const int nPairs = session.Guard("ParseXmlEventDataDyn", [&] {
                return api.ParseXmlEventDataDyn(szServer, "", szPassword, nParser, pBlock, nSize, &bsXml);
            });
            std::printf("  xml (%d fields): %s\n", nPairs, Utf8FromBstr(bsXml).c_str());
            SysFreeString(bsXml);
        }
        if (api.DeleteBuffer != nullptr)
            api.DeleteBuffer(pBlock);
        std::fflush(stdout);
        ++nEvents;
    }
    if (nParser > 0 && api.CloseXmlEventParserDyn != nullptr)
        session.Guard("CloseXmlEventParserDyn", [&] { api.CloseXmlEventParserDyn(szServer, "", szPassword, nParser); });
    if (api.CloseMediaStream != nullptr)
        session.Guard("CloseMediaStream", [&] { api.CloseMediaStream(szServer, options.nMediaType, 0, 0); });
    std::printf("%d events in %s\n", nEvents, FormatDuration(SecondsSince(start)).c_str());
    return options.nCount > 0 && nEvents < options.nCount ? kExitDriverFailed : kExitOk;
}

}  // namespace

Runner AddSnapshotCommand(CLI::App& app)
{
    auto options = std::make_shared<SnapshotOptions>();
    CLI::App* pCommand = app.add_subcommand(
        "snapshot", "Save one JPEG picture of a camera (OpenConnection, GetImage2) and print its size.");
    AddTargetOptions(*pCommand, options->target);
    pCommand->add_option("--out,-o", options->strOut, "JPEG file to write")->capture_default_str();
    pCommand->add_flag("--half", options->bHalf, "half-size picture");
    return [options] { return RunSnapshot(*options); };
}

Runner AddStreamCommand(CLI::App& app)
{
    auto options = std::make_shared<StreamOptions>();
    CLI::App* pCommand = app.add_subcommand(
        "stream",
        "Receive video blocks (OpenStreamConnection, GetVideoDataBlock) and write them to a file or to standard "
        "output: as Matroska with each frame's arrival time (mkv, plays at the camera's speed), one after the other "
        "(mjpeg), or as parts of a multipart stream (multipart); mkv and multipart take the blocks for JPEG "
        "frames, as the simulated camera's are. A progress line (frames, fps, MB/s) goes to standard error.");
    AddTargetOptions(*pCommand, options->target);
    pCommand->add_option("--out,-o", options->strOut, "file for the blocks, - for standard output")
        ->capture_default_str();
    CLI::Option* pSeconds =
        pCommand->add_option("--seconds", options->dSeconds, "how long to stream (with --frames: no limit)")
            ->capture_default_str()
            ->check(CLI::Range(0.0, 86400.0));
    pCommand
        ->add_option("--frames", options->nFrames,
                     "write exactly this many blocks, then stop (default: as many as --seconds allows)")
        ->check(CLI::Validator(
            [](const std::string& strValue) {
                return strValue.find_first_not_of("0123456789") == std::string::npos &&
                               strValue.find_first_not_of('0') != std::string::npos
                           ? std::string()
                           : "a count of 1 or more is needed, not " + strValue;
            },
            "N >= 1"));
    pCommand->add_flag("--half", options->bHalf, "half-size frames");
    pCommand->add_option("--format", options->strFormat, "file format: mkv, mjpeg or multipart")
        ->capture_default_str()
        ->check(CLI::IsMember({"mkv", "mjpeg", "multipart"}));
    return [options, pSeconds] {
        // A count of frames is met whatever it takes, unless a time is given too.
        if (options->nFrames > 0 && pSeconds->count() == 0)
            options->dSeconds = 86400.0 * 365;
        return RunStream(*options);
    };
}

Runner AddPtzCommand(CLI::App& app)
{
    auto options = std::make_shared<PtzOptions>();
    CLI::App* pCommand = app.add_subcommand(
        "ptz",
        "Pan, tilt and zoom: list the presets (QueryPresetPositions), move to one (MoveToPresetPosition), go home, "
        "move to an absolute position or by one step, then print the position (GetPTZPos). Without an action it "
        "lists the presets and the position.");
    AddTargetOptions(*pCommand, options->target);
    pCommand->add_flag("--list", options->bList, "list the presets");
    pCommand->add_option("--preset", options->strPreset, "move to this preset");
    pCommand->add_flag("--home", options->bHome, "move home");
    pCommand->add_option("--absolute", options->absolute, "move to PAN TILT ZOOM [FOCUS] (degrees, factor)")
        ->expected(3, 4);
    pCommand->add_option("--step", options->strStep, "one step: up, down, left, right, in or out")
        ->check(CLI::IsMember({"up", "down", "left", "right", "in", "out"}));
    return [options] { return RunPtz(*options); };
}

Runner AddXmlCommand(CLI::App& app)
{
    auto options = std::make_shared<XmlOptions>();
    CLI::App* pCommand =
        app.add_subcommand("xml", "Read (GetXml) or change (SetXmlParams) the device's XML configuration.");
    pCommand->require_subcommand(1);
    options->pGet = pCommand->add_subcommand("get", "Print the configuration, or one section of it.");
    AddTargetOptions(*options->pGet, options->target);
    options->pGet->add_option(
        "--filter", options->strFilter,
        "section to read (simulated camera: Device, Video, Cameras, IO, Events, Audio; empty: all)");
    options->pSet = pCommand->add_subcommand(
        "set",
        "Apply XML (simulated camera: <SimCam><Video><Quality>60</Quality></Video></SimCam>) and print the answer; "
        "exit code 3 when the driver refuses it.");
    AddTargetOptions(*options->pSet, options->target);
    options->pSet->add_option("XML", options->strInput, "the XML text, or @FILE to read it from a file")->required();
    return [options] { return RunXml(*options); };
}

Runner AddEventsCommand(CLI::App& app)
{
    auto options = std::make_shared<EventsOptions>();
    CLI::App* pCommand = app.add_subcommand(
        "events",
        "List the event sources (QueryEventsDyn), optionally select some (SetEventsDyn), open the event stream "
        "(OpenMediaStream) and print each event block (GetMediaDataBlock) as it arrives; --trigger runs custom "
        "commands first (simulated camera: \"input 1 1\", \"motion 1\") so that there is something to see.");
    AddTargetOptions(*pCommand, options->target);
    pCommand->add_option("--seconds", options->dSeconds, "how long to listen")->capture_default_str();
    pCommand->add_option("--count", options->nCount, "stop after this many events (exit code 3 if fewer came)");
    pCommand->add_option("--source", options->sources, "select this event source (repeatable)");
    pCommand->add_option("--trigger", options->triggers, "custom command to run after opening (repeatable)");
    pCommand->add_option("--media-type", options->nMediaType, "media type of the event stream")->capture_default_str();
    pCommand->add_flag("--xml", options->bXml, "also print each event parsed to XML (ParseXmlEventDataDyn)");
    pCommand->add_option("--event-type", options->strEventType, "event type for the XML parser")->capture_default_str();
    return [options] { return RunEvents(*options); };
}

}  // namespace kestrel_cli
