// Child processes started for real (a shell that writes down what it sees,
// cat on a named pipe): arguments, session, descriptors, exec
// failures, kill, release, and never a child of ours left behind.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/regex.hpp>

#include "platform/Process.h"

namespace {

using NmProcess::CmProcess;
using NmProcess::CmProcessError;
namespace fs = std::filesystem;

struct TempDir {
    fs::path path;
    TempDir()
    {
        char szTemplate[] = "/tmp/kestrel-process-XXXXXX";
        path = mkdtemp(szTemplate);
    }
    ~TempDir()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

std::string ReadFile(const fs::path& path)
{
    std::ostringstream content;
    content << std::ifstream(path).rdbuf();
    return content.str();
}

// A private duplicate of the pidfd: the child can be watched after the
// object released its own.
int DupHandle(const CmProcess& process) { return fcntl(process.GetProcessHandle(), F_DUPFD_CLOEXEC, 3); }

bool HasEnded(int hPidFd, int nTimeoutMs)
{
    pollfd pfd = {hPidFd, POLLIN, 0};
    return poll(&pfd, 1, nTimeoutMs) == 1 && (pfd.revents & POLLIN) != 0;
}

void AwaitEndAndClose(int hPidFd)
{
    EXPECT_TRUE(HasEnded(hPidFd, -1));
    close(hPidFd);
}

// The child is init's, never ours: no child, alive or zombie, is left.
void ExpectNoChildren()
{
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(ProcessRun, ChildSeesItsArgumentsOnlyTheStandardDescriptorsAndTheSessionAsked)
{
    TempDir dir;
    const fs::path blankDir = dir.path / "dir with blanks";
    fs::create_directory(blankDir);
    const std::string strShell = (blankDir / "child probe").string();
    fs::create_symlink("/bin/sh", strShell);
    // A descriptor the application forgot to mark close-on-exec.
    int ahLeaky[2];
    ASSERT_EQ(pipe(ahLeaky), 0);

    // The child runs in our memory until its exec: it must start with no
    // signal blocked and keep what we ignore, while our own handler and mask
    // stay as they are.
    sigset_t setUsr1, setSaved;
    sigemptyset(&setUsr1);
    sigaddset(&setUsr1, SIGUSR1);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &setUsr1, &setSaved), 0);
    const auto pSavedUsr2 = signal(SIGUSR2, SIG_IGN);
    void (*const pOurs)(int) = [](int) {};
    const auto pSavedWinch = signal(SIGWINCH, pOurs);

    // A subshell lists the descriptors: a redirection of the shell's own
    // command would save stdout on a descriptor of its own first. The shell
    // reads its signal state with builtins: a program it started would read
    // it while the shell blocks every signal around its vfork.
    const std::string strScript =
        "cd \"$0\" && (ls /proc/$$/fd) >fds && cat /proc/$$/cmdline >argv && "
        "cat /proc/$$/stat >stat && readlink /proc/$$/fd/0 >stdin && { while read -r k v; do case $k in "
        "SigBlk:|SigIgn:) echo \"$k $v\";; esac; done </proc/$$/status >sig; }";
    for (const bool bNoWindow : {true, false}) {
        const std::vector<std::string> vecArguments = {
            "-c",         strScript, dir.path.string(), "srv01_6F9619FF-8B86-D011-B42D-00C04FC964FF", "two words",
            "say \"hi\"", "",        "trailing\\"};
        CmProcess process;
        process.Run(strShell, vecArguments, bNoWindow);
        EXPECT_TRUE(process.IsRunning());
        EXPECT_GT(process.GetProcessId(), 0);
        AwaitEndAndClose(DupHandle(process));
        EXPECT_TRUE(process.HasEnded());

        std::string strArgv = strShell + '\0';
        for (const std::string& strArgument : vecArguments)
            strArgv += strArgument + '\0';
        EXPECT_EQ(ReadFile(dir.path / "argv"), strArgv);
        EXPECT_EQ(ReadFile(dir.path / "fds"), "0\n1\n2\n");
        const std::string strSignals = ReadFile(dir.path / "sig");
        EXPECT_NE(strSignals.find("SigBlk: 0000000000000000"), std::string::npos) << strSignals;
        const size_t nIgnored = strSignals.find("SigIgn: ");
        ASSERT_NE(nIgnored, std::string::npos) << strSignals;
        EXPECT_TRUE(std::stoull(strSignals.substr(nIgnored + 8, 16), nullptr, 16) & (1ULL << (SIGUSR2 - 1)))
            << strSignals;
        // pid (comm) state ppid pgrp session ...; comm is "child probe"
        const std::string strStat = ReadFile(dir.path / "stat");
        std::istringstream stat(strStat.substr(strStat.rfind(')') + 1));
        pid_t nPid = std::stoi(strStat), nSession = 0;
        std::string strSkip;
        stat >> strSkip >> strSkip >> strSkip >> nSession;
        EXPECT_EQ(nPid, process.GetProcessId());
        if (bNoWindow) {
            EXPECT_EQ(nSession, nPid) << "a session of its own";
            EXPECT_EQ(ReadFile(dir.path / "stdin"), "/dev/null\n");
        } else {
            EXPECT_EQ(nSession, getsid(0));
        }
        ExpectNoChildren();
    }
    sigset_t setNow;
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &setSaved, &setNow), 0);
    EXPECT_TRUE(sigismember(&setNow, SIGUSR1));
    EXPECT_EQ(signal(SIGWINCH, pSavedWinch), pOurs);
    signal(SIGUSR2, pSavedUsr2);
    close(ahLeaky[0]);
    close(ahLeaky[1]);
    EXPECT_EQ(CmProcess::BuildCommandLine("x", {"a b", "say \"hi\"", "end\\"}),
              "\"x\" \"a b\" \"say \"hi\"\" \"end\\\"");
}

// Found in the field: a daemon-like caller without stdin and stdout got the
// process handle on descriptor 1, where its later writes would land.
TEST(ProcessRun, HandleStaysOffStandardStreamsTheCallerClosed)
{
    const int hSavedIn = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    const int hSavedOut = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    CmProcess process;
    process.Run("/bin/true", {}, true);
    const int hProcess = process.GetProcessHandle();
    const bool bStandardStreamsFree = fcntl(STDIN_FILENO, F_GETFD) < 0 && fcntl(STDOUT_FILENO, F_GETFD) < 0;
    dup2(hSavedIn, STDIN_FILENO);
    dup2(hSavedOut, STDOUT_FILENO);
    close(hSavedIn);
    close(hSavedOut);

    EXPECT_GE(hProcess, 3);
    EXPECT_TRUE(bStandardStreamsFree);
    AwaitEndAndClose(DupHandle(process));
    ExpectNoChildren();
}

TEST(ProcessRun, ExecFailuresRaiseTheErrnoOfTheExec)
{
    TempDir dir;
    const fs::path notExecutable = dir.path / "plain-file";
    std::ofstream(notExecutable) << "#!/bin/sh\n";
    chmod(notExecutable.c_str(), 0600);  // root may execute anything with an execute bit; this has none
    for (const auto& [strExecutable, nErrno] :
         {std::pair<std::string, int>{"/nonexistent/kestrel-no-such-program", ENOENT}, {notExecutable, EACCES}}) {
        CmProcess process;
        try {
            process.Run(strExecutable, {"x"}, true);
            ADD_FAILURE() << strExecutable << " must not start";
        } catch (const CmProcessError& error) {
            EXPECT_EQ(error.GetCode(), NmProcess::kProcessErrorRun);
            const auto* pCause = dynamic_cast<const NmError::CmSystemError*>(error.GetCause());
            ASSERT_NE(pCause, nullptr);
            EXPECT_EQ(pCause->GetCode(), static_cast<std::uint32_t>(nErrno));
        }
        EXPECT_FALSE(process.IsRunning());
        EXPECT_EQ(process.GetProcessHandle(), -1);
        ExpectNoChildren();
    }
}

// A cat blocked opening a named pipe nobody writes to (yet).
class BlockedChild : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(mkfifo(m_Fifo.c_str(), 0600), 0);
        m_pProcess->Run("/bin/cat", {m_Fifo.string()}, true);
        m_hWatch = DupHandle(*m_pProcess);
    }
    TempDir m_Dir;
    const fs::path m_Fifo = m_Dir.path / "fifo";
    std::unique_ptr<CmProcess> m_pProcess = std::make_unique<CmProcess>();
    int m_hWatch = -1;
};

TEST_F(BlockedChild, KilledChildEndsAndKillWithoutAHandleRaisesTheChainWithItsLocation)
{
    EXPECT_FALSE(m_pProcess->HasEnded());
    m_pProcess->Kill();
    EXPECT_FALSE(m_pProcess->IsRunning());
    EXPECT_EQ(m_pProcess->GetProcessHandle(), -1);
    AwaitEndAndClose(m_hWatch);
    ExpectNoChildren();

    try {
        m_pProcess->Kill();
        FAIL() << "a second Kill must fail";
    } catch (const CmProcessError& error) {
        EXPECT_EQ(error.GetCode(), NmProcess::kProcessErrorKill);
        ASSERT_NE(error.GetCause(), nullptr);
        EXPECT_STREQ(error.GetCause()->what(), "Error terminating process! : Bad file descriptor");
        // "<function> (line <file>, <line>)", the file as the source names itself.
        const boost::regex rxLocation(R"(NmProcess::CmProcess::Kill \(line posix/Process-OSD\.cpp, [0-9]+\))");
        EXPECT_TRUE(boost::regex_match(error.GetLocation(), rxLocation)) << error.GetLocation();
        EXPECT_TRUE(boost::regex_match(error.GetCause()->GetLocation(), rxLocation)) << error.GetCause()->GetLocation();
    }
}

TEST_F(BlockedChild, DestroyingLeavesTheChildRunningAndItsEndLeavesNoZombie)
{
    m_pProcess.reset();
    // Blocks until the child opens the pipe: it is alive after the release.
    const int hWriter = open(m_Fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(hWriter, 0);
    EXPECT_FALSE(HasEnded(m_hWatch, 0));
    close(hWriter);  // end of file: the child exits
    AwaitEndAndClose(m_hWatch);
    ExpectNoChildren();
}

}  // namespace
