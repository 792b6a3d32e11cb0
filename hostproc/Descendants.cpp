#include "Descendants.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace hostproc {

namespace {

// A child that a driver forks and that does not exec runs HostProc's code:
// it must not run HostProc's signal handlers (a SIGTERM would reach the
// server's stop request instead of ending it).
void CleanSignalsInChild() {
    struct sigaction saDefault = {};
    saDefault.sa_handler = SIG_DFL;
    for (int nSignal = 1; nSignal < NSIG; ++nSignal) sigaction(nSignal, &saDefault, nullptr);
    sigset_t setNone;
    sigemptyset(&setNone);
    pthread_sigmask(SIG_SETMASK, &setNone, nullptr);
}

// Sends SIGKILL to every child listed in /proc/self/task/*/children; returns
// how many there were.
int KillChildren() noexcept {
    const int hTasks =
        static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (hTasks < 0) return 0;
    int nKilled = 0;
    alignas(8) char acEntries[2048];
    for (long nRead; (nRead = syscall(SYS_getdents64, hTasks, acEntries, sizeof acEntries)) > 0;) {
        for (long nAt = 0; nAt < nRead;) {
            const auto* pEntry = reinterpret_cast<const char*>(acEntries + nAt);
            const std::uint16_t nLength = *reinterpret_cast<const std::uint16_t*>(pEntry + 16);
            const char* szName = pEntry + 19;
            nAt += nLength;
            if (szName[0] < '0' || szName[0] > '9') continue;
            char szPath[64] = "/proc/self/task/";
            size_t n = 16;
            for (const char* p = szName; *p != '\0' && n < 40; ++p) szPath[n++] = *p;
            for (const char* p = "/children"; *p != '\0'; ++p) szPath[n++] = *p;
            szPath[n] = '\0';
            const int hChildren = static_cast<int>(syscall(SYS_openat, AT_FDCWD, szPath, O_RDONLY | O_CLOEXEC));
            if (hChildren < 0) continue;
            char acPids[1024];
            const long nPids = syscall(SYS_read, hChildren, acPids, sizeof acPids - 1);
            syscall(SYS_close, hChildren);
            long nPid = 0;
            for (long i = 0; i <= nPids; ++i) {
                if (i < nPids && acPids[i] >= '0' && acPids[i] <= '9') {
                    nPid = nPid * 10 + (acPids[i] - '0');
                } else if (nPid > 0) {
                    syscall(SYS_kill, static_cast<pid_t>(nPid), SIGKILL);
                    ++nKilled;
                    nPid = 0;
                }
            }
        }
    }
    syscall(SYS_close, hTasks);
    return nKilled;
}

}  // namespace

void AdoptDescendants() {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    pthread_atfork(nullptr, nullptr, &CleanSignalsInChild);
}

void EndDescendants() noexcept {
    // The grandchildren of a killed child come to us (we adopt orphans), so
    // a few passes reach every generation.
    for (int nPass = 0; nPass < 16; ++nPass) {
        const bool bAny = KillChildren() > 0;
        while (syscall(SYS_wait4, -1, nullptr, __WALL, nullptr) > 0) {
        }
        if (!bAny) return;
    }
}

}  // namespace hostproc
