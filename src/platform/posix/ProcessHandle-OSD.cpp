// posix layer of CmProcessHandle: pidfd_send_signal, poll and waitid on the
// pidfd (raw system calls: glibc 2.36's <sys/pidfd.h> is not usable from C++).
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/Process.h"

#ifndef P_PIDFD
#define P_PIDFD 3  // linux/wait.h; glibc's own name for it is newer than some headers
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

void CmProcessHandle::KillGroup() const noexcept
{
    if (m_nPid > 0)
        syscall(SYS_kill, -m_nPid, SIGKILL);
}

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

CmEndWatch::CmEndWatch() : m_hWake(NmDescriptor::RaiseAbove2(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))) {}

int CmEndWatch::Wait(const std::vector<const CmProcessHandle*>& vecProcesses, std::uint32_t nMilliseconds)
{
    // On the stack for the usual few processes: a process forked during the
    // wait finds nothing of it left on the heap.
    constexpr size_t kOnStack = 64;
    const size_t nEntries = vecProcesses.size() + 1;
    pollfd aEntries[kOnStack];
    std::vector<pollfd> vecMore(nEntries > kOnStack ? nEntries : 0);
    pollfd* const pEntries = nEntries > kOnStack ? vecMore.data() : aEntries;
    for (size_t i = 0; i < vecProcesses.size(); ++i)
        pEntries[i] = {vecProcesses[i]->Get(), POLLIN, 0};
    pEntries[nEntries - 1] = {m_hWake.Get(), POLLIN, 0};
    // An interrupted wait ends early, which every caller takes as a pass.
    if (poll(pEntries, nEntries, static_cast<int>(nMilliseconds)) <= 0)
        return -1;
    std::uint64_t nCount = 0;
    if (pEntries[nEntries - 1].revents != 0 && read(m_hWake.Get(), &nCount, sizeof nCount) < 0)
        nCount = 0;  // EAGAIN: another wait took the wake-up; nothing to undo
    for (size_t i = 0; i + 1 < nEntries; ++i) {
        if ((pEntries[i].revents & POLLIN) != 0)
            return static_cast<int>(i);
    }
    return -1;
}

void CmEndWatch::Wake() noexcept
{
    const std::uint64_t nOne = 1;
    // EAGAIN only when the counter is full: a wake-up is pending anyway.
    if (write(m_hWake.Get(), &nOne, sizeof nOne) < 0)
        return;
}

}  // namespace NmProcess
