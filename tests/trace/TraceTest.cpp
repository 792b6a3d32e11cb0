// The trace log: which statements write, the exact line they write (cut,
// path shortened), and output to a standard error that may be closed or a
// broken pipe.
#include "trace/Log.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

std::vector<std::string> g_lines;

void Capture(const char* szLine, size_t nLength) { g_lines.emplace_back(szLine, nLength); }

TEST(Trace, WritesWhatItsLevelAllowsAsOneExactLineCutAt2047) {
    char szTag[32];
    snprintf(szTag, sizeof szTag, "[0x%04X] ", static_cast<unsigned>(gettid()));
    const std::string big(5000, 'x'), longFormat = std::string(3000, 'y') + "%s";
    const struct {
        const char* szLevelSource;  // whose level is set (nullptr: none)
        int nThreshold, nLevel;
        const char* szFile;
        const char* szFormat;
        const char* szArgument;
        std::string strWritten;  // after "Kestrel - F()[0xTID] ", cut at 2047; "" for nothing
    } cases[] = {
        {nullptr, 0, 1, "Proxy", "%s", "x", ""},
        {kLogSource, 1, 2, "Proxy", "%s", "x", ""},
        {kLogSource, 0, 1, "Proxy", "%s", "x", ""},
        {kLogSource, -5, 1, "Proxy", "%s", "x", ""},
        {"kestrel", 3, 1, "Proxy", "%s", "x", ""},  // sources are compared exactly
        {kLogSource, 1, 1, "Proxy", "RPC exception %s", "1726(0x6be)", "Proxy:7 RPC exception 1726(0x6be)\n"},
        {kLogSource, 7, 3, "ProxyUtil", "Adding instance '%s' on server 'srv01'", "cam1",
         "ProxyUtil:7 Adding instance 'cam1' on server 'srv01'\n"},
        {kLogSource, 2, 2, "ProxyUtil", "%s", "", "ProxyUtil:7 \n"},  // an empty message ends after a blank
        {kLogSource, 1, 1, "/src/kestrel/src/instances/Registry.cpp", "m%s", "",
         "src/kestrel/.../instances/Registry.cpp:7 m\n"},
        {kLogSource, 1, 1, "Proxy", "rVal='%s'", big.c_str(), "Proxy:7 rVal='" + big},
        // A format that the first pass already cuts loses its later conversions.
        {kLogSource, 1, 1, "Proxy", longFormat.c_str(), "never-expanded", "Proxy:7 " + std::string(3000, 'y')},
    };
    CmLog::SetSink(&Capture);
    for (const auto& c : cases) {
        CmLog::ClearLevels();
        if (c.szLevelSource != nullptr) CmLog::SetLevel(c.szLevelSource, c.nThreshold);
        g_lines.clear();
        CmLog::Write(CmLogSite{c.szFile, "F", 7, c.nLevel}, kLogSource, c.szFormat, c.szArgument);
        if (c.strWritten.empty()) {
            EXPECT_TRUE(g_lines.empty()) << c.szFormat;
        } else {
            ASSERT_EQ(g_lines.size(), 1u) << c.szFormat;
            EXPECT_EQ(g_lines[0], ("Kestrel - F()" + std::string(szTag) + c.strWritten).substr(0, 2047));
        }
    }
    CmLog::SetSink(nullptr);
    CmLog::ClearLevels();
}

TEST(Trace, ShortensPathsOfFiveOrMorePartsToTheFirstTwoAndLastTwo) {
    const std::pair<const char*, const char*> cases[] = {
        {"ProxyUtil", "ProxyUtil"},
        {"a/b/c/d", "a/b/c/d"},
        {"/a/b/c/d/", "/a/b/c/d/"},  // four parts: unchanged, separators kept
        {"a/b/c/d/e", "a/b/.../d/e"},
        {"/x/p/q/r/s/t/u", "x/p/.../t/u"},
        {"//a//b/c//d/e//", "a/b/.../d/e"},
        {"a\\b\\c\\d\\e", "a\\b\\c\\d\\e"},  // a backslash is no separator here
        {"", ""},
    };
    for (const auto& [szPath, szShort] : cases) {
        char szOut[2048];
        CmLog::ShortenPath(szPath, szOut, sizeof szOut);
        EXPECT_STREQ(szOut, szShort) << szPath;
    }
}

// Writes one line in a child whose stderr `prepare` set up; returns the
// wait status (exit 3: a SIGPIPE stayed pending).
template <class Prepare>
int StatusOfChildWriting(Prepare prepare) {
    const pid_t pid = fork();
    if (pid == 0) {
        prepare();
        CmLog::SetLevel(kLogSource, 1);
        KESTREL_LOG("Proxy", "OpenConnection", 1, "szServer='%s'", "cam1");
        sigset_t pending;
        sigpending(&pending);
        _exit(sigismember(&pending, SIGPIPE) ? 3 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST(TraceOutput, OneWriteToStderrPerLineAndABrokenPipeOrClosedStderrDoesNotKill) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int statuses[] = {
        StatusOfChildWriting([&] { dup2(fds[1], STDERR_FILENO); }),
        StatusOfChildWriting([] {
            int broken[2];
            if (pipe(broken) != 0) _exit(2);
            dup2(broken[1], STDERR_FILENO);
            close(broken[0]);  // nobody will ever read
        }),
        StatusOfChildWriting([] { close(STDERR_FILENO); }),
    };
    close(fds[1]);
    char buffer[4096];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    close(fds[0]);
    for (const int status : statuses) EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    ASSERT_GT(n, 0);
    const std::string got(buffer, static_cast<size_t>(n));
    EXPECT_EQ(got.rfind("Kestrel - OpenConnection()[0x", 0), 0u) << got;
    EXPECT_EQ(got.find('\n'), got.size() - 1) << "the whole line in the first read";
    EXPECT_NE(got.find("] Proxy:"), std::string::npos);
    EXPECT_EQ(got.substr(got.size() - 17), " szServer='cam1'\n");
}

}  // namespace
