// The kestrel command, run as a process the way a user runs it, against the
// simulated camera: exit codes, what it prints, and the files it writes.
// Each test has its own socket folder and working folder.
#include <gtest/gtest.h>

#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

struct Result {
    int nExitCode = -1;
    std::string strOut;
    std::string strErr;
};

// A JPEG's length from SOI to EOI by its markers; 0 when it is not one.
size_t JpegLength(const std::string& data, size_t nFrom)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data.data()) + nFrom;
    const size_t n = data.size() - nFrom;
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8)
        return 0;
    size_t i = 2;
    while (i + 2 <= n) {
        if (p[i] != 0xFF)
            return 0;
        const unsigned char marker = p[i + 1];
        if (marker == 0xD9)
            return i + 2;
        if (marker == 0xFF) {
            ++i;
            continue;
        }
        if (i + 4 > n)
            return 0;
        const size_t nSegment = (static_cast<size_t>(p[i + 2]) << 8) | p[i + 3];
        i += 2 + nSegment;
        if (marker != 0xDA)
            continue;
        while (i + 1 < n && !(p[i] == 0xFF && p[i + 1] != 0x00 && !(p[i + 1] >= 0xD0 && p[i + 1] <= 0xD7)))
            ++i;
    }
    return 0;
}

// True when the bytes are one whole JPEG (SOI first, EOI last) whose header
// TurboJPEG reads; the picture's size goes to nWidth, nHeight.
bool IsJpeg(const std::string& data, int& nWidth, int& nHeight)
{
    if (data.size() < 4 || static_cast<unsigned char>(data[0]) != 0xFF || static_cast<unsigned char>(data[1]) != 0xD8 ||
        static_cast<unsigned char>(data[data.size() - 2]) != 0xFF || static_cast<unsigned char>(data.back()) != 0xD9)
        return false;
    tjhandle hDecoder = tjInitDecompress();
    int nSubsampling = 0, nColorspace = 0;
    const bool bOk = tjDecompressHeader3(hDecoder, reinterpret_cast<const unsigned char*>(data.data()),
                                         static_cast<unsigned long>(data.size()), &nWidth, &nHeight, &nSubsampling,
                                         &nColorspace) == 0;
    tjDestroy(hDecoder);
    return bOk;
}

bool IsJpegFile(const fs::path& path, int& nWidth, int& nHeight) { return IsJpeg(ReadFile(path), nWidth, nHeight); }

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char szTemplate[] = "/tmp/kestrel-tool-test-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        m_root = szTemplate;
        fs::create_directories(m_root / "rpc");
        fs::permissions(m_root / "rpc", fs::perms::owner_all, fs::perm_options::replace);
        fs::create_directories(m_root / "xdg");
        fs::create_directories(m_root / "work");
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    // Runs kestrel with the arguments in the test's working folder, with the
    // test's socket folder and no trace configuration.
    // prepare runs in the child before the command starts.
    Result Run(const std::vector<std::string>& args, const std::vector<std::pair<std::string, std::string>>& env = {},
               const std::function<void()>& prepare = {})
    {
        const fs::path out = m_root / "stdout.txt";
        const fs::path err = m_root / "stderr.txt";
        const pid_t nChild = fork();
        if (nChild == 0) {
            const int hOut = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int hErr = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int hIn = open("/dev/null", O_RDONLY);
            if (hOut < 0 || hErr < 0 || hIn < 0 || dup2(hOut, 1) < 0 || dup2(hErr, 2) < 0 || dup2(hIn, 0) < 0 ||
                chdir((m_root / "work").c_str()) != 0)
                _exit(127);
            setenv("KESTREL_RPC_DIR", (m_root / "rpc").c_str(), 1);
            setenv("XDG_CONFIG_DIRS", (m_root / "xdg").c_str(), 1);
            setenv("XDG_STATE_HOME", (m_root / "state").c_str(), 1);
            for (const auto& [strName, strValue] : env)
                setenv(strName.c_str(), strValue.c_str(), 1);
            if (prepare)
                prepare();
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(KESTREL_TOOL));
            for (const std::string& strArg : args)
                argv.push_back(const_cast<char*>(strArg.c_str()));
            argv.push_back(nullptr);
            execv(KESTREL_TOOL, argv.data());
            _exit(127);
        }
        Result result;
        int nStatus = 0;
        EXPECT_EQ(waitpid(nChild, &nStatus, 0), nChild);
        result.nExitCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
        result.strOut = ReadFile(out);
        result.strErr = ReadFile(err);
        return result;
    }

    fs::path Work() const { return m_root / "work"; }

    static std::string Describe(const Result& result)
    {
        return "exit " + std::to_string(result.nExitCode) + "\n--- stdout ---\n" + result.strOut + "--- stderr ---\n" +
               result.strErr;
    }

private:
    fs::path m_root;
};

bool Contains(const std::string& strText, const std::string& strPart)
{
    return strText.find(strPart) != std::string::npos;
}

std::vector<std::string> Lines(const std::string& strText)
{
    std::vector<std::string> lines;
    std::istringstream in(strText);
    for (std::string strLine; std::getline(in, strLine);)
        lines.push_back(strLine);
    return lines;
}

std::vector<std::string> Tokens(const std::string& strLine)
{
    std::vector<std::string> tokens;
    std::istringstream in(strLine);
    for (std::string strToken; in >> strToken;)
        tokens.push_back(strToken);
    return tokens;
}

// The whitespace-separated words of the first line whose first word is
// strFirst; empty when there is none.
std::vector<std::string> RowOf(const std::string& strText, const std::string& strFirst,
                               const std::string& strAfter = "")
{
    const size_t nFrom = strAfter.empty() ? 0 : strText.find(strAfter);
    if (nFrom == std::string::npos)
        return {};
    for (const std::string& strLine : Lines(strText.substr(nFrom))) {
        std::vector<std::string> tokens = Tokens(strLine);
        if (!tokens.empty() && tokens[0] == strFirst)
            return tokens;
    }
    return {};
}

// The first n words of a row.
std::vector<std::string> Head(std::vector<std::string> row, size_t n)
{
    row.resize(std::min(n, row.size()));
    return row;
}

// A demo progress line "cam-1 N | cam-2 N | cam-3 N | T frames, F fps, R MB/s"
// with every camera's count above zero.
bool IsThreeCameraProgress(const std::string& strLine)
{
    int n1 = 0, n2 = 0, n3 = 0, nTotal = 0;
    char szRest[64] = {};
    return std::sscanf(strLine.c_str(), " cam-1 %d | cam-2 %d | cam-3 %d | %d frames, %63[^\n]", &n1, &n2, &n3, &nTotal,
                       szRest) == 5 &&
           n1 > 0 && n2 > 0 && n3 > 0 && nTotal == n1 + n2 + n3 && Contains(szRest, " fps, ") &&
           Contains(szRest, " MB/s");
}

// The number right after the last strPrefix in the text, or -1.
long NumberAfter(const std::string& strText, const std::string& strPrefix)
{
    const size_t nAt = strText.rfind(strPrefix);
    if (nAt == std::string::npos)
        return -1;
    return std::strtol(strText.c_str() + nAt + strPrefix.size(), nullptr, 10);
}

TEST_F(ToolTest, HelpNamesEverySubcommandAndUsageErrorsExitWithOne)
{
    const Result result = Run({"--help"});
    ASSERT_EQ(result.nExitCode, 0) << Describe(result);
    for (const char* szCommand : {"demo", "probe", "snapshot", "stream", "ptz", "xml", "events", "bench"}) {
        EXPECT_TRUE(Contains(result.strOut, std::string("  ") + szCommand + " ")) << szCommand;
        const Result help = Run({szCommand, "--help"});  // every subcommand documents itself
        EXPECT_TRUE(help.nExitCode == 0 && Contains(help.strOut, "Usage:")) << szCommand;
    }
    EXPECT_TRUE(Contains(result.strOut, "2  a call threw an error code"));
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"snapshot", "--no-such-option"}, {"probe"}, {"ptz", "--step", "sideways"}})
        EXPECT_EQ(Run(args).nExitCode, 1) << (args.empty() ? "" : args[0]);
}

TEST_F(ToolTest, DemoShowsEverythingAndSurvivesTheCrash)
{
    const Result result = Run({"demo", "--seconds", "1", "--out", "pictures"});
    ASSERT_EQ(result.nExitCode, 0) << Describe(result);
    const std::string& out = result.strOut;

    // Three cameras on two proxy servers, each described and pictured.
    for (const char* szLine : {"cam-1 on hostA: added", "cam-2 on hostA: added", "cam-3 on hostB: added"})
        EXPECT_TRUE(Contains(out, szLine)) << szLine;
    EXPECT_TRUE(Contains(out, "cam-1: SimCam SC-4000, MAC 02:53:43:"));
    EXPECT_TRUE(Contains(out, "2 cameras, device id 4000"));
    EXPECT_TRUE(Contains(out, "capabilities of cam-1: pan-tilt-zoom head yes"));
    for (const char* szName :
         {"cam-1.jpg", "cam-2.jpg", "cam-3.jpg", "cam-1-Overview.jpg", "cam-1-recovered.jpg", "cam-2-recovered.jpg"}) {
        int nWidth = 0, nHeight = 0;
        EXPECT_TRUE(IsJpegFile(Work() / "pictures" / szName, nWidth, nHeight)) << szName;
        EXPECT_EQ(nWidth, 1280) << szName;
        EXPECT_EQ(nHeight, 720) << szName;
    }

    // Streaming: the progress line is printed as plain lines into a file.
    EXPECT_FALSE(Contains(out, "\r"));
    const std::vector<std::string> lines = Lines(out);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), IsThreeCameraProgress)) << out;

    // PTZ through the presets, read back with GetPTZPos.
    EXPECT_TRUE(Contains(out, "presets: Home, Entrance, Parking, Overview"));
    EXPECT_TRUE(Contains(out, "-> Parking    result 0, GetPTZPos: pan 60.00, tilt -20.00, zoom 1.50"));

    // XML read, changed and read back.
    EXPECT_TRUE(Contains(out, "<Quality>80</Quality>"));
    EXPECT_TRUE(Contains(out, "<Quality>60</Quality>"));
    EXPECT_TRUE(Contains(out, "camera 1 of cam-2 is now called \"Front door\""));

    // The crash: reported with the proxy-server-lost class in words; the
    // other instance of that HostProc is gone with it; hostB streams on; the
    // re-added cameras work.
    EXPECT_TRUE(Contains(out,
                         "crash: ExecuteCustomCommand(\"cam-1\") threw 0x010006BE (proxy server lost: "
                         "RPC_S_CALL_FAILED (1726))"))
        << out;
    EXPECT_TRUE(Contains(out, "cam-2 (also on hostA): QueryNumberOfCamDyn threw 0x00000000 (unknown instance)"));
    EXPECT_GE(NumberAfter(out, "contained: cam-3 on hostB kept streaming, "), 10) << out;
    EXPECT_TRUE(Contains(out, "recovered: cam-1 answers again, 1280x720 JPEG"));
    EXPECT_TRUE(Contains(out, "recovered: cam-2 answers again, 1280x720 JPEG"));
    const auto recording =
        std::find(lines.begin(), lines.end(), "8. Recording through GStreamer, with a driver crash halfway");
    ASSERT_TRUE(recording != lines.end() && recording - lines.begin() >= 2) << out;
    EXPECT_TRUE(IsThreeCameraProgress(*(recording - 2))) << "all three stream again after the re-add\n" << out;

    // The recording through kestrelsrc survives its own driver crash, and
    // GStreamer reads the file back.
    EXPECT_TRUE(Contains(out, "with 1 gap flagged DISCONT")) << out;
    EXPECT_TRUE(Contains(out, "video #1: image/jpeg, ") && Contains(out, "width=(int)1280, height=(int)720")) << out;
    EXPECT_TRUE(Contains(out, "1 driver crash contained: hostA lost (proxy server lost: RPC_S_CALL_FAILED (1726))"));
    EXPECT_TRUE(Contains(out, "demo finished: ok"));
}

TEST_F(ToolTest, SnapshotWritesAJpegThroughKestrelAndDirect)
{
    Result result = Run({"snapshot", "--server", "door", "--out", "door.jpg"});
    ASSERT_EQ(result.nExitCode, 0) << Describe(result);
    int nWidth = 0, nHeight = 0;
    EXPECT_TRUE(IsJpegFile(Work() / "door.jpg", nWidth, nHeight));
    EXPECT_EQ(nWidth, 1280);
    EXPECT_EQ(nHeight, 720);
    EXPECT_TRUE(Contains(result.strOut, "door camera 1: 1280x720 JPEG"));

    result = Run({"snapshot", "--direct", "--half", "--camera", "2", "-o", "half.jpg"});
    ASSERT_EQ(result.nExitCode, 0) << Describe(result);
    EXPECT_TRUE(IsJpegFile(Work() / "half.jpg", nWidth, nHeight));
    EXPECT_EQ(nWidth, 640);
    EXPECT_EQ(nHeight, 360);
}

// Another local user made /tmp/kestrel-<uid> first (here a file, in a
// private /tmp): the command and the HostProc it starts meet in a folder
// that only they could have made.
TEST_F(ToolTest, SnapshotWhenTheSharedSocketFolderIsTaken)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a private /tmp needs root";
    const Result result =
        Run({"snapshot", "--out", "door.jpg"},
            {{"KESTREL_RPC_DIR", ""}, {"XDG_RUNTIME_DIR", ""}, {"XDG_STATE_HOME", "/tmp/state"}}, [] {
                if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                    mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0)
                    _exit(126);
                close(open(("/tmp/kestrel-" + std::to_string(geteuid())).c_str(), O_WRONLY | O_CREAT, 0600));
            });
    EXPECT_EQ(result.nExitCode, 0) << Describe(result);
}

// Whoever captures the command's standard error reads to its end: HostProc,
// which shares it, ends with its last client instead of holding it through
// an idle grace of seconds.
TEST_F(ToolTest, CapturedStandardErrorEndsWithTheCommand)
{
    int ahPipe[2];
    ASSERT_EQ(pipe2(ahPipe, O_CLOEXEC), 0);
    const Result result = Run({"snapshot", "--out", "door.jpg"}, {}, [&] { dup2(ahPipe[1], STDERR_FILENO); });
    close(ahPipe[1]);
    EXPECT_EQ(result.nExitCode, 0) << Describe(result);
    pollfd entry{ahPipe[0], POLLIN, 0};
    char buffer[4096];
    bool bEnded = false;
    while (!bEnded && poll(&entry, 1, 5000) == 1)
        bEnded = read(ahPipe[0], buffer, sizeof buffer) <= 0;
    close(ahPipe[0]);
    EXPECT_TRUE(bEnded) << "standard error still open 5 s after the command ended";
}

TEST_F(ToolTest, FailuresHaveTheirExitCodes)
{
    // The driver refuses the password: a driver result reporting failure.
    Result result = Run({"snapshot", "--password", "wrong"});
    EXPECT_EQ(result.nExitCode, 3) << Describe(result);
    EXPECT_TRUE(Contains(result.strErr, "OpenConnection(\"cam1\", camera 1) answered -1"));
    // No such camera on the device.
    EXPECT_EQ(Run({"snapshot", "--camera", "9"}).nExitCode, 3);
    // Nothing to load.
    result = Run({"snapshot", "--library", "/nonexistent/libKestrel.so"});
    EXPECT_EQ(result.nExitCode, 4) << Describe(result);
    EXPECT_TRUE(Contains(result.strErr, "cannot load /nonexistent/libKestrel.so"));
    // A driver in a folder without HostProc: AddDeviceInstance answers 0.
    result = Run({"snapshot", "--driver", "/nonexistent/libnothing.so"});
    EXPECT_EQ(result.nExitCode, 4) << Describe(result);
    EXPECT_TRUE(Contains(result.strErr, "failed: no proxy server at /nonexistent/hostproc/HostProc (No such file"))
        << result.strErr;
    // The driver crashes in the call: HostProc is lost, the code is printed
    // in words.
    result = Run({"snapshot", "--driver", KESTREL_TEST_DRIVER, "--server", "t#crash"});
    EXPECT_EQ(result.nExitCode, 2) << Describe(result);
    EXPECT_TRUE(Contains(result.strErr,
                         "OpenConnection(\"t#crash\", camera 1) threw 0x010006BE (proxy server lost: "
                         "RPC_S_CALL_FAILED (1726))"))
        << result.strErr;
    // The picture cannot be written.
    EXPECT_EQ(Run({"snapshot", "--out", "no-such-folder/x.jpg"}).nExitCode, 5);
}

// Whole JPEG frames, one after the other, to a file or standard output, with
// progress as plain lines on standard error.
TEST_F(ToolTest, StreamWritesWholeJpegFramesAndReportsProgress)
{
    for (const bool bToFile : {true, false}) {
        std::vector<std::string> args = {"stream", "--format", "mjpeg", "--frames", "5", "--seconds", "600"};
        if (bToFile)
            args.insert(args.end(), {"--out", "video.mjpeg"});
        const Result result = Run(args);
        ASSERT_EQ(result.nExitCode, 0) << Describe(result);
        const std::string data = bToFile ? ReadFile(Work() / "video.mjpeg") : result.strOut;
        int nFrames = 0;
        for (size_t nAt = 0, nLength; nAt < data.size(); nAt += nLength, ++nFrames) {
            nLength = JpegLength(data, nAt);
            int nWidth = 0, nHeight = 0;
            ASSERT_TRUE(nLength > 0 && IsJpeg(data.substr(nAt, nLength), nWidth, nHeight)) << "offset " << nAt;
        }
        EXPECT_GE(nFrames, 5);
        EXPECT_GE(NumberAfter(result.strErr, "cam1 camera 1: "), 5) << result.strErr;
        EXPECT_TRUE(Contains(result.strErr, bToFile ? " MB/s -> video.mjpeg" : "-> standard output")) << result.strErr;
        EXPECT_FALSE(Contains(result.strErr, "\r"));
    }
}

TEST_F(ToolTest, PtzMovesToPresetsAndPositions)
{
    Result result = Run({"ptz", "--list"});
    ASSERT_EQ(result.nExitCode, 0) << Describe(result);
    EXPECT_TRUE(Contains(result.strOut, "presets: Home, Entrance, Parking, Overview"));

    result = Run({"ptz", "--preset", "Entrance"});
    ASSERT_EQ(result.nExitCode, 0) << Describe(result);
    EXPECT_TRUE(Contains(result.strOut, "GetPTZPos = 0: pan -45.00, tilt -10.00, zoom 2.00"));

    result = Run({"ptz", "--absolute", "12.5", "-3", "4"});
    ASSERT_EQ(result.nExitCode, 0) << Describe(result);
    EXPECT_TRUE(Contains(result.strOut, "GetPTZPos = 0: pan 12.50, tilt -3.00, zoom 4.00"));

    result = Run({"ptz", "--preset", "Nowhere"});
    EXPECT_EQ(result.nExitCode, 3) << Describe(result);
}

TEST_F(ToolTest, XmlGetAndSet)
{
    Result result = Run({"xml", "get", "--filter", "Video"});
    ASSERT_EQ(result.nExitCode, 0) << Describe(result);
    EXPECT_TRUE(Contains(result.strOut, "<Video><Width>1280</Width><Height>720</Height>"));

    result = Run({"xml", "set", "<SimCam><Video><Quality>55</Quality></Video></SimCam>"});
    ASSERT_EQ(result.nExitCode, 0) << Describe(result);
    EXPECT_TRUE(Contains(result.strOut, "<Quality>55</Quality>"));

    std::ofstream(Work() / "bad.xml") << "<SimCam><Video><Width>7</Width></Video></SimCam>";
    result = Run({"xml", "set", "@bad.xml"});
    EXPECT_EQ(result.nExitCode, 3) << Describe(result);
    EXPECT_TRUE(Contains(result.strOut, "<Error>Width must be an even number from 64 to 4096</Error>"));
}

TEST_F(ToolTest, EventsArriveAfterATrigger)
{
    const Result result = Run({"events", "--trigger", "input 2 1", "--count", "1", "--xml", "--seconds", "600"});
    ASSERT_EQ(result.nExitCode, 0) << Describe(result);
    EXPECT_TRUE(Contains(result.strOut, "event sources (QueryEventsDyn = 1): Input1, Input2, Motion1, Motion2"));
    EXPECT_TRUE(Contains(result.strOut, "event: source=Input2;state=1;"));
    EXPECT_TRUE(Contains(result.strOut, "<Event type=\"Event\"><source>Input2</source><state>1</state>"));
}

// A complete driver, one that lacks exports, and the driver template: which
// exports each has, what the capability queries answer, and one picture.
TEST_F(ToolTest, ProbeShowsExportsAnswersAndFindings)
{
    Result result = Run({"probe", KESTREL_SIMCAM});
    ASSERT_EQ(result.nExitCode, 0) << Describe(result);
    for (const char* szExport :
         {"BeginDefineEvent", "GetImage2", "QueryIsPTZDeviceDyn", "SetFeatureSet", "DeleteBuffer"})
        EXPECT_EQ(Head(RowOf(result.strOut, szExport), 3), (std::vector<std::string>{szExport, "yes", "1"}))
            << szExport;
    EXPECT_TRUE(Contains(result.strOut, "88 of 88 exports present"));
    EXPECT_EQ(Head(RowOf(result.strOut, "QueryNumberOfCamDyn", "\nCapabilities\n"), 3),
              (std::vector<std::string>{"QueryNumberOfCamDyn", "2", "cameras"}));
    for (const char* szText : {"type \"SimCam SC-4000\"", "1280x720 JPEG", "none: every export present"})
        EXPECT_TRUE(Contains(result.strOut, szText)) << szText;

    result = Run({"probe", KESTREL_PARTIAL_DRIVER});
    EXPECT_TRUE(result.nExitCode == 0 || result.nExitCode == 3) << Describe(result);
    EXPECT_EQ(RowOf(result.strOut, "ChangePassword").at(1), "NO");
    EXPECT_EQ(RowOf(result.strOut, "GetImage2").at(1), "yes");
    EXPECT_TRUE(Contains(result.strOut, "exports missing (HostProc answers them with 0 and empty outputs)"));
    EXPECT_TRUE(Contains(result.strOut, "FunctionSupported is missing"));

    result = Run({"probe", KESTREL_TEMPLATE_DRIVER, "--password", "template"});
    ASSERT_EQ(result.nExitCode, 0) << Describe(result);
    EXPECT_EQ(RowOf(result.strOut, "PTZCamera").at(1), "NO");
    for (const char* szText : {"32x24 JPEG", "type \"Template Camera T-1\""})
        EXPECT_TRUE(Contains(result.strOut, szText)) << szText;
}

// A driver linked badly on purpose, in a build folder without HostProc.
TEST_F(ToolTest, ProbeFindsHowADriverWasLinkedFromItsBuildFolder)
{
    const Result result = Run({"probe", KESTREL_BAD_DRIVER});
    EXPECT_EQ(result.nExitCode, 0) << Describe(result);
    for (const char* szText :
         {"has no hostproc/HostProc: probing it as /tmp/kestrel-probe-", "DeleteBuffer is missing",
          "exported symbols that are not driver API", "GNU unique symbols, which keep the driver loaded for good",
          "go through the dynamic symbol table, so that another library can interpose them"})
        EXPECT_TRUE(Contains(result.strOut, szText)) << szText << "\n" << result.strOut;
}

TEST_F(ToolTest, ProbeListsWhatTheConfinedHostProcRefusedTheDriver)
{
    const Result result = Run({"probe", KESTREL_HOSTILE_DRIVER});
    ASSERT_EQ(result.nExitCode, 0) << Describe(result);
    const std::string strConfinement = result.strOut.substr(result.strOut.find("\nConfinement"));
    EXPECT_TRUE(Contains(strConfinement, "\n  confined: Landlock ABI")) << strConfinement;
    const std::vector<std::string> lines = Lines(strConfinement);
    for (const char* szRefused : {"open '/proc/1/environ' (EACCES)", "process_vm_readv (EPERM)", "execve (EPERM)"}) {
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& strLine) {
            return Contains(strLine, szRefused) && Tokens(strLine).back() == "1x";
        })) << szRefused;
    }
    EXPECT_TRUE(Contains(result.strOut, "kinds of access refused to the confined driver"));
}

TEST_F(ToolTest, BenchWritesTheReport)
{
    // The bench unloads libKestrel.so on purpose, and the library leaves its
    // module-wide objects behind when unloaded; a leak checker would count
    // those (the other commands keep the library loaded until exit).
    const char* szAsan = std::getenv("ASAN_OPTIONS");
    const Result result = Run({"bench", "--quick", "--trials", "3", "--out", "report"},
                              {{"ASAN_OPTIONS", std::string(szAsan ? szAsan : "") + ":detect_leaks=0"}});
    ASSERT_EQ(result.nExitCode, 0) << Describe(result);
    for (const char* szRow :
         {"small call (QueryIsPTZDeviceDyn)", "small call, Confine=off", "GetVideoDataBlock 64.0 KiB",
          "GetVideoDataBlock 1.0 MiB", "GetVideoDataBlock 8.0 MiB", "cold AddDeviceInstance",
          "cold AddDeviceInstance, Confine=off", "library unload (dlclose)"})
        EXPECT_TRUE(Contains(result.strOut, szRow)) << szRow;
    const std::string md = ReadFile(Work() / "report" / "bench.md");
    EXPECT_TRUE(Contains(md, "| measure | Kestrel | direct (in-process) | raw AF_UNIX |"));
    const std::string json = ReadFile(Work() / "report" / "bench.json");
    EXPECT_TRUE(Contains(json, "\"rows\": ["));
    EXPECT_TRUE(Contains(json, "\"name\": \"cold AddDeviceInstance\""));
    if (Contains(result.strOut, "chart: " + (Work() / "report" / "bench.png").string())) {
        const std::string png = ReadFile(Work() / "report" / "bench.png");
        EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    } else {
        EXPECT_TRUE(Contains(result.strOut, "chart: skipped")) << result.strOut;
    }
}

}  // namespace
