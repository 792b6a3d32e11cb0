// posix layer of CmProcessHandle: pidfd_send_signal, poll and waitid on the
// pidfd (raw system calls: glibc 2.36's <sys/pidfd.h> is not usable from C++).
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Process.h"

#ifndef P_PIDFD
#define P_PIDFD 3 // linux/wait.h; glibc's own name for it is newer than some headers
#endif

namespace NmProcess {

bool CmProcessHandle::Signal(int nSignal) const noexcept
{
    if (!m_hPidFd) {
        errno = EBADF;
        return false;
    }
    return syscall(SYS_pidfd_send_signal, m_hPidFd.Get(), nSignal, nullptr, 0U) == 0;
}

bool CmProcessHandle::Kill() const noexcept { return Signal(SIGKILL); }

bool CmProcessHandle::HasEnded() const noexcept
{
    if (!m_hPidFd)
        return true;
    // A pidfd turns readable when its process has ended.
    pollfd entry = {m_hPidFd.Get(), POLLIN, 0};
    int nReady;
    do {
        nReady = poll(&entry, 1, 0);
    } while (nReady < 0 && errno == EINTR);
    return nReady > 0 && (entry.revents & POLLIN) != 0;
}

void CmProcessHandle::TryReap() const noexcept
{
    if (!m_hPidFd)
        return;
    // ECHILD when the process is not ours: its parent collects it then.
    siginfo_t info = {};
    const int nSaved = errno;
    waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(m_hPidFd.Get()), &info, WEXITED | WNOHANG);
    errno = nSaved;
}

} // namespace NmProcess
