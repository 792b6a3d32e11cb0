// NmProcess: starts one child program and can terminate it.
//
// The child is started as a grandchild of the calling process: a short-lived
// intermediate process forks it, so it is never the application's child and
// can never become the application's zombie (unless the application made
// itself a child subreaper, PR_SET_CHILD_SUBREAPER, and so adopts orphans).
// The handle is a pidfd, so no signal ever reaches a pid that was reused.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/Descriptor.h"
#include "platform/Error.h"

namespace NmProcess {

// A pidfd: whatever it does reaches the process it was opened for, never one
// that reused its pid. Move-only; every holder of the process keeps its own
// Duplicate.
class CmProcessHandle {
public:
    CmProcessHandle() = default;
    // nPid (0: not known) is used only for the process group it leads.
    explicit CmProcessHandle(NmDescriptor::CmDescriptor hPidFd, pid_t nPid = 0) noexcept
        : m_hPidFd(std::move(hPidFd)), m_nPid(nPid)
    {
    }

    explicit operator bool() const noexcept { return static_cast<bool>(m_hPidFd); }
    int Get() const noexcept { return m_hPidFd.Get(); }
    // Gives the pidfd up to the caller, who closes it.
    int Release() noexcept { return m_hPidFd.Release(); }
    CmProcessHandle Duplicate() const noexcept { return CmProcessHandle(m_hPidFd.Duplicate(), m_nPid); }

    // Sends nSignal; false (errno set) without a handle or when that fails.
    bool Signal(int nSignal) const noexcept;
    bool Kill() const noexcept;
    // SIGKILL to every process of the group this process leads (a child
    // started in a new session leads one), the leader included. A group id
    // is not reused while any member lives, so after the leader has ended
    // this reaches its remaining members; with none left it reaches nobody.
    void KillGroup() const noexcept;
    // True once the process has ended, and without a handle.
    bool HasEnded() const noexcept;
    // Collects the exit status of an ended process that is our child (an
    // application that adopts orphans becomes HostProc's parent); a process
    // that is not ours is left to its parent, which collects it.
    void TryReap() const noexcept;

private:
    NmDescriptor::CmDescriptor m_hPidFd;
    pid_t m_nPid = 0;
};

// Operation codes of CmProcessError.
constexpr std::uint32_t kProcessErrorRun = 0;
constexpr std::uint32_t kProcessErrorKill = 1;

class CmProcessError final : public NmError::CmOperationError<CmProcessError> {
public:
    using CmOperationError::CmOperationError;
};

// Waits for the end of any of a set of processes, a span, or a wake-up from
// another thread, whichever comes first.
class CmEndWatch {
public:
    CmEndWatch();  // without an eventfd it still waits, but is woken late
    CmEndWatch(const CmEndWatch&) = delete;
    CmEndWatch& operator=(const CmEndWatch&) = delete;

    // The index of a process that has ended, or -1 after nMilliseconds or a
    // Wake. A wake-up that came before the wait ends it at once.
    int Wait(const std::vector<const CmProcessHandle*>& vecProcesses, std::uint32_t nMilliseconds);
    void Wake() noexcept;
    // Gives the eventfd back (nothing waits any more); later waits are not woken.
    void Close() noexcept { m_hWake.Reset(); }

private:
    NmDescriptor::CmDescriptor m_hWake;
};

class CmProcessOS {
public:
    virtual ~CmProcessOS() = default;
};

class CmProcess : public CmProcessOS {
public:
    CmProcess() = default;
    // Closes the handle; never terminates the child.
    ~CmProcess() override;
    CmProcess(const CmProcess&) = delete;
    CmProcess& operator=(const CmProcess&) = delete;

    // Starts strExecutable with argv [strExecutable, vecArguments...], the
    // caller's environment and directory, and no descriptor of the caller but
    // 0-2. bNoWindow: a new session and stdin from /dev/null. vecEnvironment:
    // "NAME=value" entries added to that environment, replacing the caller's
    // entries of the same names. Returns once the program has been executed;
    // an exec failure raises CmProcessError "Error running process!" caused
    // by "Error creating process!".
    void Run(const std::string& strExecutable, const std::vector<std::string>& vecArguments, bool bNoWindow,
             const std::vector<std::string>& vecEnvironment = {});
    // SIGKILL through the pidfd, then closes it. Does not wait for the end.
    // Without a handle (never run, already killed) it raises CmProcessError
    // "Error killing process!" caused by "Error terminating process!".
    void Kill();

    // The quoted command-line text of a start, for logs: "exe" "arg1" ...
    static std::string BuildCommandLine(const std::string& strExecutable, const std::vector<std::string>& vecArguments);

    bool IsRunning() const noexcept { return m_bRunning; }
    // The pidfd (close-on-exec, owned by this object), -1 when none.
    int GetProcessHandle() const noexcept { return m_ProcessInformation.hProcess.Get(); }
    // A handle of the holder's own, empty when there is none.
    CmProcessHandle DuplicateHandle() const noexcept { return m_ProcessInformation.hProcess.Duplicate(); }
    // The child's pid, for logs only (signal through the handle); 0 before Run.
    pid_t GetProcessId() const noexcept { return m_ProcessInformation.nProcessId; }
    // True once the child has ended, or when no handle is held. How it ended
    // cannot be known: the child is not ours to wait for (a killed one ended
    // by SIGKILL, which its real parent sees as WIFSIGNALED).
    bool HasEnded() const;

private:
    struct CmProcessInformation {
        CmProcessHandle hProcess;  // the pidfd
        pid_t nProcessId = 0;
    };

    CmProcessInformation m_ProcessInformation;
    bool m_bRunning = false;
};

}  // namespace NmProcess
