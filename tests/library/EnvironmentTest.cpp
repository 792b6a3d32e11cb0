// libKestrel.so in hostile applications: a daemon without standard streams,
// applications that ignore SIGCHLD, reap every child themselves or adopt
// orphans. (Descriptors left open across exec: the platform's ProcessTest.) Each runs an instance through a HostProc
// crash and back.
#include <cerrno>
#include <csignal>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "LibraryHarness.h"

namespace kestrel_test {
namespace {

constexpr unsigned long kLostCallFailed = 0x010006BEUL;
constexpr unsigned long kNothingThrown = 0xDEADBEEFUL;

// Where a descriptor of a process leads; empty when it is not open.
std::string FdTarget(int nPid, int nFd) {
    char szTarget[512];
    const std::string strLink = "/proc/" + std::to_string(nPid) + "/fd/" + std::to_string(nFd);
    const ssize_t n = readlink(strLink.c_str(), szTarget, sizeof szTarget - 1);
    return n < 0 ? std::string() : std::string(szTarget, static_cast<size_t>(n));
}

// A process's parent, from "pid (comm) S ppid ...": comm may hold anything,
// so the field is read after its last ')'.
int ParentOf(int nPid) {
    std::ifstream stat("/proc/" + std::to_string(nPid) + "/stat");
    const std::string strStat((std::istreambuf_iterator<char>(stat)), {});
    const size_t nClose = strStat.rfind(')');
    return nClose == std::string::npos || nClose + 4 >= strStat.size() ? 0 : std::atoi(strStat.c_str() + nClose + 4);
}

// A child of this process that has ended and waits to be reaped (left
// unreaped); 0 when there is none.
int ZombieChild() {
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 ? info.si_pid : 0;
}

class EnvironmentTest : public LibraryTest {
protected:
    // What went wrong, as text: a forked child cannot report through gtest.
    std::string m_strFailures;
    void Expect(bool bOk, const std::string& strWhat) {
        if (!bOk) m_strFailures += strWhat + "\n";
    }

    // An instance's life with a HostProc crash in it: add, crash, add again,
    // remove. fnAfterStep runs after each step with the pid of the HostProc
    // that serves the instance then (0 when none).
    void LiveThroughACrash(const std::function<void(const char*, int)>& fnAfterStep) {
        const std::string strDriver = TestDriver();
        Expect(k.AddDeviceInstance("cam", strDriver.c_str(), "srv") == 1, "first add failed");
        const int nFirst = HostProcPid("cam");
        fnAfterStep("add", nFirst);
        Control("cam", "td:next crash");
        Expect(Thrown([&] { k.QueryNumberOfCamDyn("cam", ""); }) == kLostCallFailed, "the crash was not reported");
        Expect(ProcessHasEnded(nFirst, 10000), "the crashed HostProc is still there");
        fnAfterStep("crash", 0);
        Expect(k.AddDeviceInstance("cam", strDriver.c_str(), "srv") == 1, "second add failed");
        const int nSecond = HostProcPid("cam");
        Expect(nSecond > 0 && nSecond != nFirst, "no new HostProc after the crash");
        Expect(Thrown([&] { k.QueryNumberOfCamDyn("cam", ""); }) == kNothingThrown, "call after re-add failed");
        fnAfterStep("re-add", nSecond);
        k.RemoveDeviceInstance("cam");
        Expect(ProcessHasEnded(nSecond, 10000), "the HostProc did not end after the removal");
        fnAfterStep("removal", 0);
    }
};

// Found and fixed: HostProc's process handle landed on descriptor 1, and
// HostProc itself ran with no standard streams (a driver's print could reach
// a socket). The test runs in a forked child, which closes 0-2 first.
TEST_F(EnvironmentTest, DaemonWithoutStandardStreamsKeepsThemFree) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer cannot start threads in the child of a threaded process";
#endif
    const std::string strReport = Root() + "/report";
    const pid_t nChild = fork();
    if (nChild == 0) {
        for (int nFd = 0; nFd <= 2; ++nFd) close(nFd);
        // Nothing of the library's may take 0-2, or trace lines would land in
        // it; HostProc gets /dev/null there.
        const auto streamsStayFree = [&](const char* szStep, int nHostProc) {
            for (int nFd = 0; nFd <= 2; ++nFd) {
                Expect(fcntl(nFd, F_GETFD) < 0,
                       std::string("after ") + szStep + ": our descriptor " + std::to_string(nFd) + " is in use");
                if (nHostProc > 0)
                    Expect(FdTarget(nHostProc, nFd) == "/dev/null",
                           std::string("after ") + szStep + ": HostProc's descriptor " + std::to_string(nFd) + " is '" +
                               FdTarget(nHostProc, nFd) + "'");
            }
        };
        Load();
        LiveThroughACrash(streamsStayFree);
        Unload();
        streamsStayFree("unload", 0);
        Expect(!HasFailure(), "a harness check failed in the child");
        std::ofstream(strReport) << m_strFailures;
        _exit(0);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(nChild, &nStatus, 0), nChild);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;
    std::ifstream report(strReport);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(report), {}), "");
}

void ReapEveryChild(int) {
    const int nSaved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = nSaved;
}

// Applications that reap children their own way: SIGCHLD ignored, a SIGCHLD
// handler without SA_RESTART (the library's waits see EINTR), a thread
// blocked in waitpid(-1), and an application that adopts orphans (a child
// subreaper, as service managers are: found and fixed, released HostProcs
// became its zombies; the timer thread reaps them now). None sees a zombie,
// and the reaper never collects a HostProc.
TEST_F(EnvironmentTest, ApplicationsThatReapSeeNoZombieAndNoHostProc) {
    Load();
    for (const char* szWay : {"ignore", "handler", "waitpid", "subreaper"}) {
        SCOPED_TRACE(szWay);
        const std::string strWay = szWay;
        struct sigaction reaper {
        }, previous{};
        reaper.sa_handler = strWay == "ignore" ? SIG_IGN : &ReapEveryChild;
        if (strWay == "ignore" || strWay == "handler") sigaction(SIGCHLD, &reaper, &previous);
        if (strWay == "subreaper") {
            ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        }

        // A child of our own keeps the reaper thread's waitpid(-1) blocking
        // until the test lets it end.
        int ahHold[2];
        ASSERT_EQ(pipe2(ahHold, O_CLOEXEC), 0);
        pid_t nSentinel = 0;
        std::mutex mtxReaped;
        std::set<int> setReaped;
        std::thread thread;
        if (strWay == "waitpid") {
            if ((nSentinel = fork()) == 0) {
                char c;
                close(ahHold[1]);
                while (read(ahHold[0], &c, 1) < 0 && errno == EINTR) {
                }
                _exit(0);
            }
            thread = std::thread([&] {
                for (pid_t nPid; (nPid = waitpid(-1, nullptr, 0)) != nSentinel;) {
                    if (nPid < 0 && errno != EINTR) return;
                    std::lock_guard<std::mutex> lock(mtxReaped);
                    setReaped.insert(nPid);
                }
            });
        }
        close(ahHold[0]);
        std::set<int> setHostProcs;
        LiveThroughACrash([&](const char* szStep, int nHostProc) {
            setHostProcs.insert(nHostProc);
            if (strWay == "subreaper" && nHostProc != 0)
                Expect(ParentOf(nHostProc) == getpid(), std::string("HostProc is not our child after ") + szStep);
            // An ended HostProc that we adopted is reaped by the timer's next pass.
            int nZombie = ZombieChild();
            const auto tGiveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (strWay == "subreaper" && nZombie != 0 && std::chrono::steady_clock::now() < tGiveUp) {
                std::this_thread::yield();
                nZombie = ZombieChild();
            }
            Expect(nZombie == 0, std::string("zombie after ") + szStep + ": " + std::to_string(nZombie));
        });
        close(ahHold[1]);
        if (thread.joinable()) thread.join();
        for (int nPid : setReaped) Expect(setHostProcs.count(nPid) == 0, "the application reaped a HostProc");
        if (strWay == "ignore" || strWay == "handler") sigaction(SIGCHLD, &previous, nullptr);
        if (strWay == "subreaper") prctl(PR_SET_CHILD_SUBREAPER, 0);
        EXPECT_EQ(m_strFailures, "");
        m_strFailures.clear();
    }
}

}  // namespace
}  // namespace kestrel_test
