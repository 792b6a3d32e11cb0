// Child processes, started for real through the child probe program.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <glob.h>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/Process.h"

namespace {

using NmPlatformTest::CmTempDir;
using NmProcess::CmProcess;
using NmProcess::CmProcessError;

const std::string kChildProbe = KESTREL_CHILD_PROBE;

// A private duplicate of the process's pidfd, so the child can be watched
// after the object released or closed its own.
class CmWatchedEnd
{
public:
    explicit CmWatchedEnd(const CmProcess& process) : m_hPidFd(fcntl(process.GetProcessHandle(), F_DUPFD_CLOEXEC, 0))
    {
    }
    ~CmWatchedEnd()
    {
        if (m_hPidFd >= 0)
            close(m_hPidFd);
    }
    CmWatchedEnd(const CmWatchedEnd&) = delete;
    CmWatchedEnd& operator=(const CmWatchedEnd&) = delete;

    bool IsValid() const { return m_hPidFd >= 0; }
    bool HasEnded(int nTimeoutMs) const
    {
        pollfd pfd = {m_hPidFd, POLLIN, 0};
        return poll(&pfd, 1, nTimeoutMs) == 1 && (pfd.revents & POLLIN) != 0;
    }
    void AwaitEnd() const { ASSERT_TRUE(HasEnded(-1)); }

private:
    int m_hPidFd;
};

// What the probe saw, parsed from its report.
struct ProbeReport
{
    std::vector<std::string> vecArgv;
    std::string strFds;
    pid_t nPid = 0;
    pid_t nSid = 0;
    bool bStdinDevNull = false;
};

ProbeReport ParseReport(const std::string& strText)
{
    ProbeReport report;
    std::size_t nStart = 0;
    while (nStart < strText.size()) {
        const std::size_t nEnd = strText.find('\n', nStart);
        const std::string strLine = strText.substr(nStart, nEnd - nStart);
        nStart = nEnd == std::string::npos ? strText.size() : nEnd + 1;
        const std::size_t nColon = strLine.find(':');
        const std::string strKey = strLine.substr(0, nColon);
        const std::string strValue = strLine.substr(nColon + 1);
        if (strKey == "arg")
            report.vecArgv.push_back(strValue);
        else if (strKey == "fds")
            report.strFds = strValue;
        else if (strKey == "pid")
            report.nPid = std::stoi(strValue);
        else if (strKey == "sid")
            report.nSid = std::stoi(strValue);
        else if (strKey == "stdin-devnull")
            report.bStdinDevNull = strValue == " 1";
    }
    return report;
}

// No child of this process is left, alive or zombie.
void ExpectNoChildren()
{
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    glob_t found = {};
    ASSERT_EQ(glob("/proc/self/task/*/children", 0, nullptr, &found), 0);
    for (std::size_t i = 0; i < found.gl_pathc; ++i)
        EXPECT_EQ(NmPlatformTest::ReadFile(found.gl_pathv[i]), "") << found.gl_pathv[i];
    globfree(&found);
}

// Runs the probe in report mode and returns what it saw.
ProbeReport RunReport(const std::string& strExecutable, const std::filesystem::path& reportPath,
                      const std::vector<std::string>& vecExtraArguments, bool bNoWindow)
{
    std::vector<std::string> vecArguments = {"report", reportPath.string()};
    vecArguments.insert(vecArguments.end(), vecExtraArguments.begin(), vecExtraArguments.end());
    CmProcess process;
    process.Run(strExecutable, vecArguments, bNoWindow);
    EXPECT_TRUE(process.IsRunning());
    EXPECT_GT(process.GetProcessId(), 0);
    CmWatchedEnd end(process);
    EXPECT_TRUE(end.IsValid());
    end.AwaitEnd();
    EXPECT_TRUE(process.HasEnded());
    return ParseReport(NmPlatformTest::ReadFile(reportPath));
}

TEST(ProcessRun, ExecutableAndArgumentsArriveIntact)
{
    CmTempDir dir;
    const auto blankDir = dir.Path() / "dir with blanks";
    std::filesystem::create_directory(blankDir);
    const std::string strExecutable = (blankDir / "child probe").string();
    std::filesystem::create_symlink(kChildProbe, strExecutable);

    const std::vector<std::string> vecArguments = {"srv01_6F9619FF-8B86-D011-B42D-00C04FC964FF", "two words",
                                                   "say \"hi\"", "", "trailing\\"};
    const ProbeReport report = RunReport(strExecutable, dir.Path() / "report", vecArguments, true);

    std::vector<std::string> vecExpected = {strExecutable, "report", (dir.Path() / "report").string()};
    vecExpected.insert(vecExpected.end(), vecArguments.begin(), vecArguments.end());
    EXPECT_EQ(report.vecArgv, vecExpected);
    ExpectNoChildren();
}

TEST(ProcessRun, NoWindowGivesANewSessionWithStdinFromDevNullAndOnlyStandardDescriptors)
{
    // A descriptor the application forgot to mark close-on-exec.
    int ahLeaky[2];
    ASSERT_EQ(pipe(ahLeaky), 0);

    CmTempDir dir;
    const ProbeReport report = RunReport(kChildProbe, dir.Path() / "report", {}, true);
    close(ahLeaky[0]);
    close(ahLeaky[1]);

    EXPECT_EQ(report.strFds, " 0 1 2");
    EXPECT_EQ(report.nSid, report.nPid) << "session leader";
    EXPECT_NE(report.nSid, getsid(0));
    EXPECT_TRUE(report.bStdinDevNull);
    ExpectNoChildren();
}

TEST(ProcessRun, HandleStaysOffStandardStreamsTheCallerClosed)
{
    // A daemon-like caller without stdin and stdout: a handle on 0 or 1
    // would receive whatever the caller later writes there.
    const int hSavedIn = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    const int hSavedOut = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    CmTempDir dir;
    CmProcess process;
    process.Run(kChildProbe, {"report", (dir.Path() / "report").string()}, true);
    const int hProcess = process.GetProcessHandle();
    const bool bStandardStreamsFree = fcntl(STDIN_FILENO, F_GETFD) < 0 && fcntl(STDOUT_FILENO, F_GETFD) < 0;
    dup2(hSavedIn, STDIN_FILENO);
    dup2(hSavedOut, STDOUT_FILENO);
    close(hSavedIn);
    close(hSavedOut);

    EXPECT_GE(hProcess, 3);
    EXPECT_TRUE(bStandardStreamsFree);
    CmWatchedEnd end(process);
    end.AwaitEnd();
    ExpectNoChildren();
}

TEST(ProcessRun, WithWindowStaysInTheCallersSession)
{
    CmTempDir dir;
    const ProbeReport report = RunReport(kChildProbe, dir.Path() / "report", {}, false);
    EXPECT_EQ(report.nSid, getsid(0));
    EXPECT_EQ(report.strFds, " 0 1 2");
    ExpectNoChildren();
}

TEST(ProcessRun, CommandLineTextQuotesWithoutEscaping)
{
    EXPECT_EQ(CmProcess::BuildCommandLine("/opt/a b/HostProc", {}), "\"/opt/a b/HostProc\"");
    EXPECT_EQ(CmProcess::BuildCommandLine("x", {"a b", "say \"hi\"", "end\\"}),
              "\"x\" \"a b\" \"say \"hi\"\" \"end\\\"");
}

void ExpectRunFailure(const std::string& strExecutable, int nExpectedErrno)
{
    CmProcess process;
    try {
        process.Run(strExecutable, {"x"}, true);
        ADD_FAILURE() << strExecutable << " must not start";
    } catch (const CmProcessError& error) {
        EXPECT_EQ(error.GetCode(), NmProcess::kProcessErrorRun);
        EXPECT_STREQ(error.what(), "Error running process!");
        EXPECT_EQ(error.GetLocation().rfind("NmProcess::CmProcess::Run (line posix/Process-OSD.cpp, ", 0), 0u);
        const auto* pCause = dynamic_cast<const NmError::CmSystemError*>(error.GetCause());
        ASSERT_NE(pCause, nullptr);
        EXPECT_EQ(pCause->GetCode(), static_cast<std::uint32_t>(nExpectedErrno));
        EXPECT_EQ(std::string(pCause->what()),
                  std::string("Error creating process! : ") + strerrordesc_np(nExpectedErrno));
    }
    EXPECT_FALSE(process.IsRunning());
    EXPECT_EQ(process.GetProcessHandle(), -1);
    ExpectNoChildren();
}

TEST(ProcessRun, ExecFailuresRaiseTheErrnoOfTheExec)
{
    ExpectRunFailure("/nonexistent/kestrel-no-such-program", ENOENT);

    CmTempDir dir;
    const auto notExecutable = dir.Path() / "plain-file";
    std::ofstream(notExecutable) << "#!/bin/sh\n";
    chmod(notExecutable.c_str(), 0600);
    // Root may execute anything with an execute bit; this file has none.
    ExpectRunFailure(notExecutable.string(), EACCES);
}

TEST(ProcessKill, KilledChildIsGoneAndASecondKillFails)
{
    CmProcess process;
    process.Run(kChildProbe, {"pause"}, true);
    CmWatchedEnd end(process);
    ASSERT_TRUE(end.IsValid());
    EXPECT_FALSE(process.HasEnded());

    process.Kill();
    EXPECT_FALSE(process.IsRunning());
    EXPECT_EQ(process.GetProcessHandle(), -1);
    end.AwaitEnd();

    try {
        process.Kill();
        FAIL() << "a second Kill must fail";
    } catch (const CmProcessError& error) {
        EXPECT_EQ(error.GetCode(), NmProcess::kProcessErrorKill);
        EXPECT_STREQ(error.what(), "Error killing process!");
        ASSERT_NE(error.GetCause(), nullptr);
        EXPECT_EQ(std::string(error.GetCause()->what()), "Error terminating process! : Bad file descriptor");
        EXPECT_EQ(error.GetCause()->GetLocation().rfind("NmProcess::CmProcess::Kill (line posix/Process-OSD.cpp, ", 0),
                  0u);
    }
    ExpectNoChildren();
}

TEST(ProcessKill, NeverRunFailsWithTheSameChain)
{
    CmProcess process;
    EXPECT_THROW(process.Kill(), CmProcessError);
    try {
        process.Kill();
    } catch (const CmProcessError& error) {
        EXPECT_EQ(error.GetDescription().find("Error killing process!\n"), error.GetLocation().size() + 2);
        EXPECT_NE(error.GetDescription().find(": Error terminating process! : "), std::string::npos);
    }
}

TEST(ProcessRelease, DestroyingLeavesTheChildRunningAndItsEndLeavesNoZombie)
{
    CmTempDir dir;
    const auto fifo = dir.Path() / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    auto pProcess = std::make_unique<CmProcess>();
    pProcess->Run(kChildProbe, {"wait-fifo", fifo.string()}, true);
    CmWatchedEnd end(*pProcess);
    ASSERT_TRUE(end.IsValid());
    pProcess.reset();

    // Blocks until the child opens the pipe: it is alive after the release.
    const int hWriter = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(hWriter, 0);
    EXPECT_FALSE(end.HasEnded(0));
    close(hWriter); // end of file: the child exits
    end.AwaitEnd();
    ExpectNoChildren();
}

} // namespace
