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
#include <vector>

#include "platform/Error.h"

namespace NmProcess {

// Operation codes of CmProcessError.
constexpr std::uint32_t kProcessErrorRun = 0;
constexpr std::uint32_t kProcessErrorKill = 1;

class CmProcessError final : public NmError::CmOperationError<CmProcessError>
{
public:
    using CmOperationError::CmOperationError;
};

class CmProcessOS
{
public:
    virtual ~CmProcessOS() = default;
};

class CmProcess : public CmProcessOS
{
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
    static std::string BuildCommandLine(const std::string& strExecutable,
                                        const std::vector<std::string>& vecArguments);

    bool IsRunning() const noexcept { return m_bRunning; }
    // The pidfd (close-on-exec, owned by this object), -1 when none.
    int GetProcessHandle() const noexcept { return m_ProcessInformation.hProcess; }
    // The child's pid, for logs only (signal through the handle); 0 before Run.
    pid_t GetProcessId() const noexcept { return m_ProcessInformation.nProcessId; }
    // True once the child has ended, or when no handle is held. How it ended
    // cannot be known: the child is not ours to wait for (a killed one ended
    // by SIGKILL, which its real parent sees as WIFSIGNALED).
    bool HasEnded() const;

private:
    struct CmProcessInformation
    {
        int hProcess = -1;
        pid_t nProcessId = 0;
    };

    CmProcessInformation m_ProcessInformation;
    bool m_bRunning = false;
};

} // namespace NmProcess
