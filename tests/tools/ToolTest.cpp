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
#include <iterator>
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
        // Files of their own: a HostProc of an earlier run may still write
        // its last line into that run's standard error.
        const std::string strRun = std::to_string(++m_nRuns);
        const fs::path out = m_root / ("stdout-" + strRun + ".txt");
        const fs::path err = m_root / ("stderr-" + strRun + ".txt");
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
    int m_nRuns = 0;
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

// Whether a line's whitespace-separated words begin with those of strRow.
bool HasRow(const std::string& strText, const std::string& strRow)
{
    std::istringstream want(strRow);
    const std::vector<std::string> row{std::istream_iterator<std::string>(want), {}};
    for (const std::string& strLine : Lines(strText)) {
        std::istringstream in(strLine);
        const std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
        if (words.size() >= row.size() && std::equal(row.begin(), row.end(), words.begin()))
            return true;
    }
    return false;
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

// What the demo does not check itself: the pictures it writes, its progress
// as plain lines (all three cameras again after the re-add), the crash and
// the instance it took along in words, and the gap in the recording.
TEST_F(ToolTest, DemoWritesItsPicturesAndProgressAndSurvivesTheCrash)
{
    const Result result = Run({"demo", "--seconds", "1", "--out", "pictures"});
    ASSERT_EQ(result.nExitCode, 0) << Describe(result);
    const std::string& out = result.strOut;
    for (const char* szName :
         {"cam-1.jpg", "cam-2.jpg", "cam-3.jpg", "cam-1-Overview.jpg", "cam-1-recovered.jpg", "cam-2-recovered.jpg"}) {
        int nWidth = 0, nHeight = 0;
        EXPECT_TRUE(IsJpeg(ReadFile(Work() / "pictures" / szName), nWidth, nHeight)) << szName;
        EXPECT_EQ(std::pair(nWidth, nHeight), std::pair(1280, 720)) << szName;
    }
    EXPECT_FALSE(Contains(out, "\r"));
    const std::vector<std::string> lines = Lines(out);
    const auto recording =
        std::find(lines.begin(), lines.end(), "8. Recording through GStreamer, with a driver crash halfway");
    ASSERT_TRUE(recording != lines.end() && recording - lines.begin() >= 2) << out;
    EXPECT_TRUE(IsThreeCameraProgress(*(recording - 2))) << "all three stream again after the re-add\n" << out;
    for (const char* szText :
         {"crash: ExecuteCustomCommand(\"cam-1\") threw 0x010006BE (proxy server lost: RPC_S_CALL_FAILED (1726))",
          "cam-2 (also on hostA): QueryNumberOfCamDyn threw 0x00000000 (unknown instance)",
          "with 1 gap flagged DISCONT", "width=(int)1280, height=(int)720", "demo finished: ok"})
        EXPECT_TRUE(Contains(out, szText)) << szText << "\n" << out;
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
        // Split before each SOI followed by a marker, which the coded data of
        // a picture never holds: each piece must be one whole JPEG.
        const std::string strSoi = "\xFF\xD8\xFF";
        ASSERT_EQ(data.rfind(strSoi, 0), 0u);
        int nFrames = 0;
        for (size_t nAt = 0, nNext; nAt != std::string::npos; nAt = nNext, ++nFrames) {
            nNext = data.find(strSoi, nAt + 1);
            int nWidth = 0, nHeight = 0;
            ASSERT_TRUE(IsJpeg(data.substr(nAt, nNext - nAt), nWidth, nHeight)) << "offset " << nAt;
        }
        EXPECT_GE(nFrames, 5);
        EXPECT_GE(NumberAfter(result.strErr, "cam1 camera 1: "), 5) << result.strErr;
        EXPECT_TRUE(Contains(result.strErr, bToFile ? " MB/s -> video.mjpeg" : "-> standard output")) << result.strErr;
        EXPECT_FALSE(Contains(result.strErr, "\r"));
    }
}

// Each command against the simulated camera: its exit code, what it prints
// and the picture it wrote.
TEST_F(ToolTest, CommandsPrintWhatTheCameraAnsweredAndFailWithTheirExitCodes)
{
    std::ofstream(Work() / "bad.xml") << "<SimCam><Video><Width>7</Width></Video></SimCam>";
    const struct {
        std::vector<std::string> args;
        int nExitCode;
        std::vector<std::string> texts;
    } cases[] = {
        {{"snapshot", "--server", "door", "--out", "door.jpg"}, 0, {"door camera 1: 1280x720 JPEG"}},
        {{"snapshot", "--direct", "--half", "--camera", "2", "-o", "half.jpg"}, 0, {}},
        {{"ptz", "--list"}, 0, {"presets: Home, Entrance, Parking, Overview"}},
        {{"ptz", "--preset", "Entrance"}, 0, {"GetPTZPos = 0: pan -45.00, tilt -10.00, zoom 2.00"}},
        {{"ptz", "--absolute", "12.5", "-3", "4"}, 0, {"GetPTZPos = 0: pan 12.50, tilt -3.00, zoom 4.00"}},
        {{"xml", "get", "--filter", "Video"}, 0, {"<Video><Width>1280</Width><Height>720</Height>"}},
        {{"xml", "set", "<SimCam><Video><Quality>55</Quality></Video></SimCam>"}, 0, {"<Quality>55</Quality>"}},
        {{"events", "--trigger", "input 2 1", "--count", "1", "--xml", "--seconds", "600"},
         0,
         {"event sources (QueryEventsDyn = 1): Input1, Input2, Motion1, Motion2", "event: source=Input2;state=1;",
          "<Event type=\"Event\"><source>Input2</source><state>1</state>"}},
        // A driver result reporting failure.
        {{"snapshot", "--password", "wrong"}, 3, {"OpenConnection(\"cam1\", camera 1) answered -1"}},
        {{"xml", "set", "@bad.xml"}, 3, {"<Error>Width must be an even number from 64 to 4096</Error>"}},
        // Nothing to load; a driver in a folder without HostProc.
        {{"snapshot", "--library", "/nonexistent/libKestrel.so"}, 4, {"cannot load /nonexistent/libKestrel.so"}},
        {{"snapshot", "--driver", "/nonexistent/libnothing.so"},
         4,
         {"failed: no proxy server at /nonexistent/hostproc/HostProc (No such file"}},
        // The driver crashes in the call: HostProc is lost, the code in words.
        {{"snapshot", "--driver", KESTREL_TEST_DRIVER, "--server", "t#crash"},
         2,
         {"OpenConnection(\"t#crash\", camera 1) threw 0x010006BE (proxy server lost: RPC_S_CALL_FAILED (1726))"}},
        {{"snapshot", "--out", "no-such-folder/x.jpg"}, 5, {}},
    };
    for (const auto& c : cases) {
        const Result result = Run(c.args);
        EXPECT_EQ(result.nExitCode, c.nExitCode) << c.args[0] << " " << c.args[1] << "\n" << Describe(result);
        for (const std::string& strText : c.texts)
            EXPECT_TRUE(Contains(result.strOut + result.strErr, strText)) << strText << "\n" << Describe(result);
    }
    for (const auto& [szFile, size] : {std::pair{"door.jpg", std::pair{1280, 720}}, {"half.jpg", {640, 360}}}) {
        int nWidth = 0, nHeight = 0;
        EXPECT_TRUE(IsJpeg(ReadFile(Work() / szFile), nWidth, nHeight)) << szFile;
        EXPECT_EQ(std::pair(nWidth, nHeight), size) << szFile;
    }
}

// A complete driver, one that lacks exports, one linked badly on purpose in a
// build folder without HostProc, and one the confined HostProc refuses:
// which exports each has, what the capability queries answer, the findings.
TEST_F(ToolTest, ProbeShowsExportsAnswersAndFindings)
{
    const struct {
        const char* szDriver;
        std::vector<std::string> rows;  // a line whose words begin with these
        std::vector<std::string> texts;
    } cases[] = {
        {KESTREL_SIMCAM,
         {"BeginDefineEvent yes 1", "GetImage2 yes 1", "QueryIsPTZDeviceDyn yes 1", "SetFeatureSet yes 1",
          "DeleteBuffer yes 1", "QueryNumberOfCamDyn 2 cameras"},
         {"88 of 88 exports present", "type \"SimCam SC-4000\"", "1280x720 JPEG", "none: every export present"}},
        {KESTREL_PARTIAL_DRIVER,
         {"ChangePassword NO", "GetImage2 yes"},
         {"exports missing (HostProc answers them with 0 and empty outputs)", "FunctionSupported is missing"}},
        {KESTREL_BAD_DRIVER,
         {},
         {"has no hostproc/HostProc: probing it as /tmp/kestrel-probe-", "DeleteBuffer is missing",
          "exported symbols that are not driver API", "GNU unique symbols, which keep the driver loaded for good",
          "go through the dynamic symbol table, so that another library can interpose them"}},
        {KESTREL_HOSTILE_DRIVER,
         {"open '/proc/1/environ' (EACCES) 1x", "process_vm_readv (EPERM) 1x", "execve (EPERM) 1x"},
         {"\n  confined: Landlock ABI", "kinds of access refused to the confined driver"}},
    };
    for (const auto& c : cases) {
        const Result result = Run({"probe", c.szDriver});
        EXPECT_TRUE(result.nExitCode == 0 ||
                    (c.szDriver == std::string(KESTREL_PARTIAL_DRIVER) && result.nExitCode == 3))
            << Describe(result);
        for (const std::string& strRow : c.rows)
            EXPECT_TRUE(HasRow(result.strOut, strRow)) << strRow << "\n" << result.strOut;
        for (const std::string& strText : c.texts)
            EXPECT_TRUE(Contains(result.strOut, strText)) << strText << "\n" << result.strOut;
    }
}

TEST_F(ToolTest, BenchWritesTheReport)
{
    // The bench unloads libKestrel.so on purpose, and the library leaves its
    // module-wide objects behind when unloaded; a leak checker would count
    // those (the other commands keep the library loaded until exit).
    const char* szAsan = std::getenv("ASAN_OPTIONS");
    const Result result = Run({"bench", "--quick", "--trials", "3", "--pin", "0", "--out", "report"},
                              {{"ASAN_OPTIONS", std::string(szAsan ? szAsan : "") + ":detect_leaks=0"}});
    ASSERT_EQ(result.nExitCode, 0) << Describe(result);
    for (const char* szRow : {"small call, Confine=off", "GetVideoDataBlock 8.0 MiB",
                              "cold AddDeviceInstance, Confine=off", "library unload (dlclose)"})
        EXPECT_TRUE(Contains(result.strOut, szRow)) << szRow;
    const std::string md = ReadFile(Work() / "report" / "bench.md");
    for (const char* szText :
         {"| measure | Kestrel | direct (in-process) |", "pinned to CPU 0", "| CPU time | instructions | syscalls |"})
        EXPECT_TRUE(Contains(md, szText)) << szText;
    const std::string json = ReadFile(Work() / "report" / "bench.json");
    for (const char* szText : {"\"name\": \"cold AddDeviceInstance\"", "\"raw_driver_block\": {\"median_s\""})
        EXPECT_TRUE(Contains(json, szText)) << szText;
    if (Contains(result.strOut, "chart: " + (Work() / "report" / "bench.png").string())) {
        const std::string png = ReadFile(Work() / "report" / "bench.png");
        EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    } else {
        EXPECT_TRUE(Contains(result.strOut, "chart: skipped")) << result.strOut;
    }
}

}  // namespace
