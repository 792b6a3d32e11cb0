// The trace log: filtering, the exact line format, cutting, path shortening,
// and output to a standard error that may be closed or a broken pipe.
#include "trace/Log.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::vector<std::string>* g_lines = nullptr;

void Capture(const char* szLine, size_t nLength) { g_lines->emplace_back(szLine, nLength); }

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_lines = &lines;
        CmLog::ClearLevels();
        CmLog::SetSink(&Capture);
    }
    void TearDown() override {
        CmLog::SetSink(nullptr);
        CmLog::ClearLevels();
        g_lines = nullptr;
    }
    static std::string ThreadTag() {
        char tag[32];
        snprintf(tag, sizeof tag, "[0x%04X]", static_cast<unsigned>(gettid()));
        return tag;
    }
    std::vector<std::string> lines;
};

TEST_F(TraceTest, WritesNothingAndKeepsTableEmptyWithoutLevel) {
    for (int level = 1; level <= 3; ++level) {
        const CmLogSite site{"ProxyUtil", "AddDeviceInstance", 1, level};
        CmLog::Write(site, kLogSource, "Adding instance '%s'", "cam1");
    }
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(CmLog::LevelCount(), 0u);
    EXPECT_EQ(CmLog::Threshold(kLogSource), 0);
}

TEST_F(TraceTest, ThresholdFiltersByLevel) {
    CmLog::SetLevel(kLogSource, 1);
    KESTREL_LOG("Proxy", "OpenConnection", 2, "szServer='%s'", "cam1");
    KESTREL_LOG("Proxy", "OpenConnection", 1, "RPC exception %d(0x%x)", 1726, 1726);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("RPC exception 1726(0x6be)"), std::string::npos);

    lines.clear();
    CmLog::SetLevel(kLogSource, 0);
    KESTREL_LOG("Proxy", "OpenConnection", 1, "x");
    CmLog::SetLevel(kLogSource, -5);
    KESTREL_LOG("Proxy", "OpenConnection", 1, "x");
    EXPECT_TRUE(lines.empty());

    CmLog::SetLevel(kLogSource, 7);
    KESTREL_LOG("Proxy", "GetInfo", 3, "rVal='%d'", -1);
    EXPECT_EQ(lines.size(), 1u);
    // Sources are compared exactly: another module's level does not leak.
    CmLog::ClearLevels();
    CmLog::SetLevel("kestrel", 3);
    KESTREL_LOG("Proxy", "GetInfo", 1, "x");
    EXPECT_EQ(lines.size(), 1u);
}

TEST_F(TraceTest, LineFormatIsExact) {
    CmLog::SetLevel(kLogSource, 3);
    const CmLogSite site{"ProxyUtil", "AddDeviceInstance", 363, 1};
    CmLog::Write(site, kLogSource, "Adding instance '%s' on server '%s'", "cam1", "srv01");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Kestrel - AddDeviceInstance()" + ThreadTag() +
                            " ProxyUtil:363 Adding instance 'cam1' on server 'srv01'\n");

    // An empty message ends after the line number and a blank.
    const CmLogSite stop{"ProxyUtil", "Timer::Stop", 42, 2};
    CmLog::Write(stop, kLogSource, "%s", "");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"  // an empty message is a valid statement
    CmLog::Write(stop, kLogSource, "");
#pragma GCC diagnostic pop
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "Kestrel - Timer::Stop()" + ThreadTag() + " ProxyUtil:42 \n");
    EXPECT_EQ(lines[2], lines[1]);
}

TEST_F(TraceTest, LongLinesAreCutAt2047WithoutLineFeed) {
    CmLog::SetLevel(kLogSource, 1);
    const std::string big(5000, 'x');
    KESTREL_LOG("Proxy", "GetXml", 1, "rVal='%s'", big.c_str());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 2047u);
    EXPECT_EQ(lines[0].back(), 'x');

    // A format that the first pass already cuts loses its later conversions.
    lines.clear();
    const std::string longFormat = std::string(3000, 'y') + "%s";
    const CmLogSite site{"Proxy", "GetXml", 1, 1};
    CmLog::Write(site, kLogSource, longFormat.c_str(), "never-expanded");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 2047u);
    EXPECT_EQ(lines[0].find("never-expanded"), std::string::npos);
}

TEST_F(TraceTest, ShortensPathsOfFiveOrMoreParts) {
    const auto shorten = [](const char* path) {
        char out[2048];
        CmLog::ShortenPath(path, out, sizeof out);
        return std::string(out);
    };
    EXPECT_EQ(shorten("ProxyUtil"), "ProxyUtil");
    EXPECT_EQ(shorten("a/b/c/d"), "a/b/c/d");
    EXPECT_EQ(shorten("/a/b/c/d/"), "/a/b/c/d/");  // four parts: unchanged, separators kept
    EXPECT_EQ(shorten("a/b/c/d/e"), "a/b/.../d/e");
    EXPECT_EQ(shorten("/x/p/q/r/s/t/u"), "x/p/.../t/u");
    EXPECT_EQ(shorten("//a//b/c//d/e//"), "a/b/.../d/e");
    EXPECT_EQ(shorten("a\\b\\c\\d\\e"), "a\\b\\c\\d\\e");  // a backslash is no separator here
    EXPECT_EQ(shorten(""), "");

    CmLog::SetLevel(kLogSource, 1);
    const CmLogSite site{"/src/kestrel/src/instances/Registry.cpp", "RpcCtx", 7, 1};
    CmLog::Write(site, kLogSource, "m");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" src/kestrel/.../instances/Registry.cpp:7 m\n"), std::string::npos);
}

// Runs body in a child whose stderr is set up by prepare; returns the wait status.
template <class Prepare>
int RunChildWriting(Prepare prepare) {
    const pid_t pid = fork();
    if (pid == 0) {
        prepare();
        CmLog::SetSink(nullptr);
        CmLog::SetLevel(kLogSource, 1);
        KESTREL_LOG("Proxy", "OpenConnection", 1, "szServer='%s'", "cam1");
        // The write's SIGPIPE must not stay pending either.
        sigset_t pending;
        sigpending(&pending);
        _exit(sigismember(&pending, SIGPIPE) ? 3 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST(TraceOutput, OneWriteToStderrPerLine) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int status = RunChildWriting([&] {
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
    });
    close(fds[1]);
    char buffer[4096];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    close(fds[0]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_GT(n, 0);
    const std::string got(buffer, static_cast<size_t>(n));
    EXPECT_EQ(got.rfind("Kestrel - OpenConnection()[0x", 0), 0u);
    EXPECT_NE(got.find("] Proxy:"), std::string::npos);
    const std::string tail = " szServer='cam1'\n";
    ASSERT_GE(got.size(), tail.size());
    EXPECT_EQ(got.substr(got.size() - tail.size()), tail);
    EXPECT_EQ(got.find('\n'), got.size() - 1);
}

TEST(TraceOutput, BrokenPipeOrClosedStderrDoesNotKill) {
    const int brokenPipe = RunChildWriting([] {
        int fds[2];
        if (pipe(fds) != 0) _exit(2);
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);  // nobody will ever read
        close(fds[1]);
    });
    EXPECT_TRUE(WIFEXITED(brokenPipe) && WEXITSTATUS(brokenPipe) == 0) << "status " << brokenPipe;

    const int closed = RunChildWriting([] { close(STDERR_FILENO); });
    EXPECT_TRUE(WIFEXITED(closed) && WEXITSTATUS(closed) == 0) << "status " << closed;
}

}  // namespace
