// libKestrel.so in hostile applications: a daemon without standard streams,
// a standard error whose reader is gone, an application that ignores
// SIGCHLD or reaps every child itself, descriptors left open across exec,
// and the endpoints HostProcs are started on.
#include <cctype>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "LibraryHarness.h"

namespace kestrel_test {
namespace {

constexpr unsigned long kCallFailed = 0x6BE;  // RPC_S_CALL_FAILED
constexpr unsigned long kHostProcLost = 0x01000000;
constexpr unsigned long kNothingThrown = 0xDEADBEEFUL;

// What went wrong, as text: a forked child cannot report through gtest.
struct Failures {
    std::string strText;
    void Expect(bool bOk, const std::string& strWhat) {
        if (!bOk) strText += strWhat + "\n";
    }
};

// Where a descriptor of a process leads; empty when it is not open.
std::string FdTarget(int nPid, int nFd) {
    char szTarget[512];
    const std::string strLink = "/proc/" + std::to_string(nPid) + "/fd/" + std::to_string(nFd);
    const ssize_t n = readlink(strLink.c_str(), szTarget, sizeof szTarget - 1);
    return n < 0 ? std::string() : std::string(szTarget, static_cast<size_t>(n));
}

std::vector<int> OpenFds(int nPid) {
    std::vector<int> fds;
    const std::string strFolder = "/proc/" + std::to_string(nPid) + "/fd";
    if (DIR* pDir = opendir(strFolder.c_str())) {
        while (dirent* pEntry = readdir(pDir)) {
            if (pEntry->d_name[0] != '.') fds.push_back(std::atoi(pEntry->d_name));
        }
        closedir(pDir);
    }
    return fds;
}

// Children of this process that have ended and wait to be reaped.
std::vector<int> ZombieChildren() {
    std::vector<int> zombies;
    DIR* pProc = opendir("/proc");
    if (pProc == nullptr) return zombies;
    while (dirent* pEntry = readdir(pProc)) {
        if (pEntry->d_name[0] < '0' || pEntry->d_name[0] > '9') continue;
        std::ifstream stat(std::string("/proc/") + pEntry->d_name + "/stat");
        std::string strStat;
        std::getline(stat, strStat);
        // "pid (comm) S ppid ...": comm may hold anything, so parse after its last ')'.
        const size_t nClose = strStat.rfind(')');
        if (nClose == std::string::npos || nClose + 4 >= strStat.size()) continue;
        const char cState = strStat[nClose + 2];
        const int nParent = std::atoi(strStat.c_str() + nClose + 4);
        if (nParent == getpid() && cState == 'Z') zombies.push_back(std::atoi(pEntry->d_name));
    }
    closedir(pProc);
    return zombies;
}

int ParentOf(int nPid) {
    std::ifstream stat("/proc/" + std::to_string(nPid) + "/stat");
    std::string strStat;
    std::getline(stat, strStat);
    const size_t nClose = strStat.rfind(')');
    return nClose == std::string::npos || nClose + 4 >= strStat.size() ? 0 : std::atoi(strStat.c_str() + nClose + 4);
}

std::string Join(const std::vector<int>& values) {
    std::string strText;
    for (int n : values) strText += std::to_string(n) + " ";
    return strText;
}

// A version-4 UUID in upper case: 122 random bits, nothing derived from a
// pid, a time or a count.
bool IsRandomUuid(const std::string& strText) {
    if (strText.size() != 36) return false;
    for (size_t i = 0; i < strText.size(); ++i) {
        const bool bDash = i == 8 || i == 13 || i == 18 || i == 23;
        const char c = strText[i];
        const unsigned char u = static_cast<unsigned char>(c);
        if (bDash != (c == '-') || (!bDash && !std::isxdigit(u)) || std::islower(u)) return false;
    }
    return strText[14] == '4' && std::strchr("89AB", strText[19]) != nullptr;
}

// Runs fnBody in a forked child and returns the failures it reported. The
// child never returns into gtest.
std::string RunInChild(const std::function<void(Failures&)>& fnBody) {
    int ahReport[2];
    if (pipe2(ahReport, O_CLOEXEC) != 0) return "pipe failed";
    const pid_t nChild = fork();
    if (nChild == 0) {
        close(ahReport[0]);
        Failures failures;
        try {
            fnBody(failures);
        } catch (...) {
            failures.Expect(false, "exception in the child");
        }
        failures.Expect(!::testing::Test::HasFailure(), "a harness check failed in the child");
        const char* p = failures.strText.data();
        size_t nLeft = failures.strText.size();
        while (nLeft > 0) {
            const ssize_t n = write(ahReport[1], p, nLeft);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            p += n;
            nLeft -= static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(ahReport[1]);
    std::string strReport;
    char buffer[512];
    ssize_t n;
    while ((n = read(ahReport[0], buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        strReport.append(buffer, static_cast<size_t>(n));
    }
    close(ahReport[0]);
    int nStatus = 0;
    while (waitpid(nChild, &nStatus, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0)
        strReport += "child ended with status " + std::to_string(nStatus) + "\n";
    return strReport;
}

class EnvironmentTest : public LibraryTest {
protected:
    // An instance's life with a HostProc crash in it: add, call, crash, add
    // again, call, remove. fnAfterStep runs after each step with the pid of
    // the HostProc that serves the instance then (0 when none). Returns the
    // pids of both HostProcs.
    std::pair<int, int> LiveThroughACrash(Failures& f, const std::function<void(const char*, int)>& fnAfterStep) {
        const std::string strDriver = TestDriver();
        f.Expect(k.AddDeviceInstance("cam", strDriver.c_str(), "srv") == 1, "first add failed");
        const int nFirst = HostProcPid("cam");
        f.Expect(nFirst > 0, "no HostProc answered");
        fnAfterStep("add", nFirst);

        f.Expect(Thrown([&] { k.QueryNumberOfCamDyn("cam", ""); }) == kNothingThrown, "call failed");
        Control("cam", "td:next crash");
        f.Expect(Thrown([&] { k.QueryNumberOfCamDyn("cam", ""); }) == (kHostProcLost | kCallFailed),
                 "the crash was not reported as a lost HostProc");
        f.Expect(ProcessHasEnded(nFirst, 10000), "the crashed HostProc is still there");
        fnAfterStep("crash", 0);

        f.Expect(k.AddDeviceInstance("cam", strDriver.c_str(), "srv") == 1, "second add failed");
        const int nSecond = HostProcPid("cam");
        f.Expect(nSecond > 0 && nSecond != nFirst, "no new HostProc after the crash");
        f.Expect(Thrown([&] { k.QueryNumberOfCamDyn("cam", ""); }) == kNothingThrown, "call after re-add failed");
        fnAfterStep("re-add", nSecond);

        k.RemoveDeviceInstance("cam");
        f.Expect(ProcessHasEnded(nSecond, 10000), "the HostProc did not end after the removal");
        fnAfterStep("removal", 0);
        return {nFirst, nSecond};
    }

    // LiveThroughACrash with no zombie child of ours after any step.
    std::pair<int, int> LiveThroughACrashWithoutZombies() {
        Failures f;
        const auto pids = LiveThroughACrash(f, [&](const char* szStep, int) {
            const std::vector<int> vecZombies = ZombieChildren();
            f.Expect(vecZombies.empty(), std::string("zombie after ") + szStep + ": " + Join(vecZombies));
        });
        EXPECT_EQ(f.strText, "");
        return pids;
    }

    // A descriptor of ours at nFd (>= 3), to be put back with Restore.
    static int Save(int nFd) { return fcntl(nFd, F_DUPFD_CLOEXEC, 3); }
    static void Restore(int nFd, int hSaved) {
        dup2(hSaved, nFd);
        close(hSaved);
    }
};

TEST_F(EnvironmentTest, DaemonWithoutStandardStreamsKeepsThemFree) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer cannot start threads in the child of a threaded process";
#endif
    const std::string strReport = RunInChild([&](Failures& f) {
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
        close(STDERR_FILENO);
        // Anything the library or the runtime opens must stay off 0-2, or
        // its trace lines would land in it; HostProc gets /dev/null there, so
        // no file of a driver can become its standard output or error.
        const auto streamsStayFree = [&](const char* szStep, int nHostProc) {
            for (int nFd = 0; nFd <= 2; ++nFd) {
                f.Expect(fcntl(nFd, F_GETFD) < 0, std::string("after ") + szStep + ": descriptor " +
                                                      std::to_string(nFd) + " of the application is in use");
                if (nHostProc > 0)
                    f.Expect(FdTarget(nHostProc, nFd) == "/dev/null",
                             std::string("after ") + szStep + ": HostProc's descriptor " + std::to_string(nFd) +
                                 " is '" + FdTarget(nHostProc, nFd) + "'");
            }
        };
        Load();
        f.Expect(k.AddDeviceInstance != nullptr, "the library was not loaded");
        if (k.AddDeviceInstance == nullptr) return;
        LiveThroughACrash(f, streamsStayFree);
        Unload();
        streamsStayFree("unload", 0);
    });
    EXPECT_EQ(strReport, "");
}

TEST_F(EnvironmentTest, StandardErrorWithoutReaderKillsNothing) {
    Load();
    const std::string strDriver = TestDriver();
    int ahPipe[2];
    ASSERT_EQ(pipe2(ahPipe, O_CLOEXEC), 0);
    close(ahPipe[0]);
    const int hLog = Save(STDERR_FILENO);
    dup2(ahPipe[1], STDERR_FILENO);
    close(ahPipe[1]);
    // Default disposition, not blocked: a SIGPIPE would end this process.
    const auto previous = signal(SIGPIPE, SIG_DFL);
    sigset_t setPipe, setSaved;
    sigemptyset(&setPipe);
    sigaddset(&setPipe, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &setPipe, &setSaved);

    // Trace lines (level 3) and the HostProc's own diagnostics all go into
    // the broken pipe; the driver prints every call's echo there as well.
    const int nAdded = k.AddDeviceInstance("cam", strDriver.c_str(), "srv");
    const int nPid = HostProcPid("cam");
    Control("cam", "td:mode print");
    int nFailedCalls = 0;
    for (int i = 0; i < 3; ++i) nFailedCalls += Thrown([&] { k.QueryNumberOfCamDyn("cam", ""); }) != kNothingThrown;
    const int nPidAfterPrints = HostProcPid("cam");
    const bool bHostProcEnded = ProcessHasEnded(nPid);
    k.RemoveDeviceInstance("cam");
    sigset_t setPending;
    sigpending(&setPending);

    pthread_sigmask(SIG_SETMASK, &setSaved, nullptr);
    signal(SIGPIPE, previous);
    Restore(STDERR_FILENO, hLog);
    EXPECT_EQ(nAdded, 1);
    EXPECT_GT(nPid, 0);
    EXPECT_EQ(nFailedCalls, 0);
    EXPECT_EQ(nPidAfterPrints, nPid) << "the HostProc that wrote into the broken pipe is gone";
    EXPECT_FALSE(bHostProcEnded);
    EXPECT_EQ(sigismember(&setPending, SIGPIPE), 0);
    EXPECT_FALSE(HasLine("Adding instance 'cam'")) << "the trace went elsewhere than standard error";
    EXPECT_TRUE(ProcessHasEnded(nPid, 10000));
}

TEST_F(EnvironmentTest, HostProcWithoutStandardErrorLeavesStandardOutputAlone) {
    Load();
    const std::string strDriver = TestDriver();
    int ahOut[2];
    ASSERT_EQ(pipe2(ahOut, O_CLOEXEC | O_NONBLOCK), 0);
    const int hStdout = Save(STDOUT_FILENO);
    const int hLog = Save(STDERR_FILENO);
    dup2(ahOut[1], STDOUT_FILENO);
    close(ahOut[1]);
    close(STDERR_FILENO);

    // HostProc's standard output is its standard error, which it did not
    // get: a driver's prints must not reach our standard output instead.
    const int nAdded = k.AddDeviceInstance("cam", strDriver.c_str(), "srv");
    const bool bStderrFree = fcntl(STDERR_FILENO, F_GETFD) < 0;
    const int nPid = HostProcPid("cam");
    Control("cam", "td:mode print");
    const unsigned long nThrown = Thrown([&] { k.QueryNumberOfCamDyn("cam", ""); });
    const bool bStillFree = fcntl(STDERR_FILENO, F_GETFD) < 0;
    const std::string strOnStderr = FdTarget(getpid(), STDERR_FILENO);

    Restore(STDOUT_FILENO, hStdout);
    Restore(STDERR_FILENO, hLog);
    EXPECT_EQ(nAdded, 1);
    EXPECT_TRUE(bStderrFree && bStillFree) << "the library put a descriptor on 2: " << strOnStderr;
    EXPECT_EQ(nThrown, kNothingThrown);
    k.RemoveDeviceInstance("cam");
    ASSERT_GT(nPid, 0);
    ASSERT_TRUE(ProcessHasEnded(nPid, 10000));
    // The HostProc has ended: whatever it wrote is in the pipe now.
    char buffer[4096];
    const ssize_t nRead = read(ahOut[0], buffer, sizeof buffer);
    EXPECT_EQ(nRead, 0) << "HostProc wrote to the application's standard output: "
                        << std::string(buffer, nRead > 0 ? static_cast<size_t>(nRead) : 0);
    close(ahOut[0]);
}

TEST_F(EnvironmentTest, ApplicationIgnoringSigchldSeesNoZombie) {
    Load();
    const auto previous = signal(SIGCHLD, SIG_IGN);
    LiveThroughACrashWithoutZombies();
    signal(SIGCHLD, previous);
}

void ReapEveryChild(int) {
    const int nSaved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = nSaved;
}

TEST_F(EnvironmentTest, ApplicationReapingInItsSigchldHandlerSeesNoZombie) {
    Load();
    // Without SA_RESTART: the library's waits and reads see EINTR.
    struct sigaction reaper {}, previous {};
    reaper.sa_handler = &ReapEveryChild;
    sigemptyset(&reaper.sa_mask);
    sigaction(SIGCHLD, &reaper, &previous);
    LiveThroughACrashWithoutZombies();
    sigaction(SIGCHLD, &previous, nullptr);
}

TEST_F(EnvironmentTest, ApplicationReapingEveryChildSeesNoZombieAndNoHostProc) {
    Load();
    // A child of the application's own keeps the reaper's waitpid(-1)
    // blocking until the test lets it end.
    int ahHold[2];
    ASSERT_EQ(pipe2(ahHold, O_CLOEXEC), 0);
    const pid_t nSentinel = fork();
    if (nSentinel == 0) {
        close(ahHold[1]);
        char c;
        while (read(ahHold[0], &c, 1) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    close(ahHold[0]);
    ASSERT_GT(nSentinel, 0);
    std::mutex mtxReaped;
    std::vector<int> vecReaped;
    std::thread reaper([&] {
        for (;;) {
            const pid_t nPid = waitpid(-1, nullptr, 0);
            if (nPid < 0 && errno == EINTR) continue;
            if (nPid < 0 || nPid == nSentinel) return;
            std::lock_guard<std::mutex> lock(mtxReaped);
            vecReaped.push_back(nPid);
        }
    });

    const auto [nFirst, nSecond] = LiveThroughACrashWithoutZombies();
    close(ahHold[1]);
    reaper.join();
    // Whatever the reaper took, it was never a HostProc.
    for (int nPid : vecReaped) {
        EXPECT_NE(nPid, nFirst);
        EXPECT_NE(nPid, nSecond);
    }
}

TEST_F(EnvironmentTest, HostProcInheritsOnlyTheStandardStreams) {
    Load();
    // Descriptors an application left open across exec: a file, a pipe and
    // a socket.
    char szFile[] = "/tmp/kestrel-environment-XXXXXX";
    const int hFile = mkstemp(szFile);
    ASSERT_GE(hFile, 0);
    unlink(szFile);
    int ahPipe[2];
    int ahSocket[2];
    ASSERT_EQ(pipe(ahPipe), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ahSocket), 0);
    // Reads below must report a holder elsewhere, not wait for it.
    fcntl(ahPipe[0], F_SETFL, O_NONBLOCK);
    fcntl(ahSocket[0], F_SETFL, O_NONBLOCK);
    const std::vector<int> vecPlanted = {hFile, ahPipe[0], ahPipe[1], ahSocket[0], ahSocket[1]};
    std::set<std::pair<dev_t, ino_t>> setPlanted;
    for (int hFd : vecPlanted) {
        struct stat st {};
        ASSERT_EQ(fstat(hFd, &st), 0);
        setPlanted.insert({st.st_dev, st.st_ino});
    }

    const std::string strDriver = TestDriver();
    ASSERT_EQ(k.AddDeviceInstance("cam", strDriver.c_str(), "srv"), 1);
    const int nPid = HostProcPid("cam");
    ASSERT_GT(nPid, 0);
    for (int nFd = 0; nFd <= 2; ++nFd) EXPECT_NE(FdTarget(nPid, nFd), "") << "HostProc lacks descriptor " << nFd;
    EXPECT_EQ(FdTarget(nPid, 0), "/dev/null");
    for (int nFd : OpenFds(nPid)) {
        struct stat st {};
        const std::string strLink = "/proc/" + std::to_string(nPid) + "/fd/" + std::to_string(nFd);
        if (stat(strLink.c_str(), &st) != 0) continue;
        EXPECT_EQ(setPlanted.count({st.st_dev, st.st_ino}), 0U)
            << "HostProc's descriptor " << nFd << " is the application's " << FdTarget(nPid, nFd);
    }
    // Ends that only we hold: closing ours is the end for the other side.
    close(ahPipe[1]);
    close(ahSocket[1]);
    char c;
    EXPECT_EQ(read(ahPipe[0], &c, 1), 0) << "someone else still holds the pipe's write end";
    EXPECT_EQ(read(ahSocket[0], &c, 1), 0) << "someone else still holds the socket";
    EXPECT_NO_THROW(k.QueryNumberOfCamDyn("cam", ""));
    close(ahPipe[0]);
    close(ahSocket[0]);
    close(hFile);
}

// An application that adopts orphans (a child subreaper, as service
// managers and container inits are) becomes HostProc's parent once the
// starter in between exits; the library reaps what it released, so no
// zombie stays with the application.
TEST_F(EnvironmentTest, SubreaperApplicationCollectsNoHostProcZombie) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    Load();
    Failures f;
    LiveThroughACrash(f, [&](const char* szStep, int nHostProc) {
        if (nHostProc != 0) f.Expect(getppid() != nHostProc && ParentOf(nHostProc) == getpid(),
                                     std::string("HostProc is not our child after ") + szStep);
        // An ended HostProc is reaped by the timer's next pass.
        const auto tGiveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        bool bClean = false;
        while (!(bClean = ZombieChildren().empty()) && std::chrono::steady_clock::now() < tGiveUp)
            std::this_thread::yield();
        f.Expect(bClean, std::string("zombie after ") + szStep + ": " + Join(ZombieChildren()));
    });
    EXPECT_EQ(f.strText, "");
    Unload();
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST_F(EnvironmentTest, EveryHostProcGetsAFreshRandomEndpoint) {
    Load();
    const std::string strDriver = TestDriver();
    const std::string strRpcDir = getenv("KESTREL_RPC_DIR");
    // The endpoint of a HostProc, from its argument "<name>_<ENDPOINT>".
    const auto endpointOf = [&](const char* szInstance, const std::string& strName) {
        const int nPid = HostProcPid(szInstance);
        std::ifstream cmdline("/proc/" + std::to_string(nPid) + "/cmdline", std::ios::binary);
        std::string strExecutable, strArgument;
        std::getline(cmdline, strExecutable, '\0');
        std::getline(cmdline, strArgument, '\0');
        EXPECT_EQ(strArgument.rfind(strName + "_", 0), 0U) << strArgument;
        return std::make_pair(nPid, strArgument.substr(strName.size() + 1));
    };

    ASSERT_EQ(k.AddDeviceInstance("a", strDriver.c_str(), "srvA"), 1);
    ASSERT_EQ(k.AddDeviceInstance("b", strDriver.c_str(), "srvB"), 1);
    const auto [nPidA, strFirstA] = endpointOf("a", "srvA");
    const std::string strB = endpointOf("b", "srvB").second;
    k.RemoveDeviceInstance("a");
    ASSERT_TRUE(ProcessHasEnded(nPidA, 10000));
    ASSERT_EQ(k.AddDeviceInstance("a", strDriver.c_str(), "srvA"), 1);
    const auto [nPidA2, strSecondA] = endpointOf("a", "srvA");

    EXPECT_NE(nPidA2, nPidA);
    const std::set<std::string> setEndpoints = {strFirstA, strB, strSecondA};
    EXPECT_EQ(setEndpoints.size(), 3U) << "an endpoint was used twice";
    for (const std::string& strEndpoint : setEndpoints) EXPECT_TRUE(IsRandomUuid(strEndpoint)) << strEndpoint;
    struct stat st {};
    ASSERT_EQ(stat((strRpcDir + "/" + strSecondA).c_str(), &st), 0) << "no socket named by the endpoint";
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
}

}  // namespace
}  // namespace kestrel_test
