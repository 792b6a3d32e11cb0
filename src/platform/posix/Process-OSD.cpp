// posix layer of CmProcess.
//
// Run starts a short-lived intermediate process. The intermediate starts the
// real child, opens the child's pidfd while it is still the child's parent
// (so the pid cannot have been reused yet), learns from a close-on-exec pipe
// whether the exec worked, sends the outcome and the pidfd back over a
// socketpair and exits. Run reaps the intermediate by its exact pid. The
// real child is thus never the caller's child: it belongs to init (or the
// nearest child subreaper), which reaps it, so the caller never meets a
// zombie of ours.
//
// Both children are made as posix_spawn makes its child: clone with
// CLONE_VM | CLONE_VFORK, on a stack of their own, the creating thread
// suspended until the child has exec'd or exited. No page table is copied,
// so starting HostProc costs the same in a small tool and in a recorder
// with gigabytes mapped. Until exec the children run in the caller's
// memory beside its other threads: they use only raw system calls and
// their own stacks, write nothing the caller reads (but the errno of the
// thread they suspend), run no atfork handler, and keep every signal
// blocked until their signal dispositions are reset through the kernel
// (not through a sanitizer's bookkeeping, which the caller shares).
// ThreadSanitizer builds fork instead (see StartChild).
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/Process.h"

#define THIS_FILE "posix/Process-OSD.cpp"

// Code that runs in the children until their exec stays free of sanitizer calls.
#define CHILD_CODE __attribute__((no_sanitize("address", "thread")))

extern char** environ;

namespace NmProcess {
namespace {

// The kernel's signal set is 64 bits, not glibc's 1024.
constexpr long kKernelSigsetSize = 8;
constexpr int kExecFailedStatus = 127;
// The children's stacks: a few small frames each, far below these sizes.
constexpr size_t kGrandchildStack = 64 * 1024;
constexpr size_t kIntermediateStack = kGrandchildStack + 192 * 1024;

// What the children need, prepared by the parent: they must not allocate.
struct CmSpawnPlan {
    const char* szExecutable;
    char* const* pArgv;
    char* const* pEnvironment;
    int hStdin;   // /dev/null for a new session, -1 to keep the caller's stdin
    int hReport;  // the intermediate's end of the socketpair
};

// The intermediate's message to Run; the pidfd travels beside it.
struct CmSpawnReport {
    int nError;  // 0, or the errno of the failed start, pidfd_open or exec
    pid_t nPid;
};

// The system error of a failed start, raised where it happened.
#define THROW_CREATE_ERROR(nCode)                                                                                     \
    throw NmError::CmSystemError(NMERROR_LOCATION("NmProcess::CmProcess::Run", THIS_FILE), "Error creating process!", \
                                 (nCode))

// ---- grandchild: from its start to exec -----------------------------------

[[noreturn]] CHILD_CODE void ExitChild(int nStatus)
{
    syscall(SYS_exit_group, nStatus);
    __builtin_unreachable();
}

[[noreturn]] CHILD_CODE void ReportExecErrorAndExit(int hExecReport)
{
    const int nError = errno;
    syscall(SYS_write, hExecReport, &nError, sizeof nError);
    ExitChild(kExecFailedStatus);
}

// Closes every descriptor from 3 up but hKeep (>= 3, close-on-exec).
CHILD_CODE void CloseDescriptorsAbove2Except(int hKeep)
{
    const bool bClosed = (hKeep == 3 || syscall(SYS_close_range, 3U, static_cast<unsigned>(hKeep - 1), 0U) == 0) &&
                         syscall(SYS_close_range, static_cast<unsigned>(hKeep + 1), ~0U, 0U) == 0;
    if (bClosed)
        return;
    // Kernels before 5.9 lack close_range.
    rlimit limit{};
    syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, nullptr, &limit);
    for (rlim_t nFd = 3; nFd < limit.rlim_cur; ++nFd) {
        if (static_cast<int>(nFd) != hKeep)
            syscall(SYS_close, static_cast<int>(nFd));
    }
}

// Handlers of the caller must not run in the child, and the program must
// start with no signal blocked. Ignored signals stay ignored, as with exec.
CHILD_CODE void ResetSignalsForExec()
{
    // The kernel's own layout of rt_sigaction's argument.
    struct KernelSigaction {
        void (*pHandler)(int);
        unsigned long nFlags;
        void (*pRestorer)();
        unsigned long nMask;
    };
    const KernelSigaction saDefault = {SIG_DFL, 0, nullptr, 0};
    for (int nSignal = 1; nSignal < NSIG; ++nSignal) {
        KernelSigaction saCurrent = {};
        if (syscall(SYS_rt_sigaction, nSignal, nullptr, &saCurrent, kKernelSigsetSize) == 0 &&
            saCurrent.pHandler != SIG_IGN && saCurrent.pHandler != SIG_DFL)
            syscall(SYS_rt_sigaction, nSignal, &saDefault, nullptr, kKernelSigsetSize);
    }
    const unsigned long nNoSignals = 0;
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &nNoSignals, nullptr, kKernelSigsetSize);
}

[[noreturn]] CHILD_CODE void ExecGrandchild(const CmSpawnPlan& plan, int hExecReport)
{
    if (plan.hStdin >= 0) {
        if (syscall(SYS_setsid) < 0 || syscall(SYS_dup3, plan.hStdin, 0, 0) < 0)
            ReportExecErrorAndExit(hExecReport);
    }
    CloseDescriptorsAbove2Except(hExecReport);
    ResetSignalsForExec();
    syscall(SYS_execve, plan.szExecutable, plan.pArgv, plan.pEnvironment);
    ReportExecErrorAndExit(hExecReport);
}

// Starts fn(pArg) in a child that shares our memory until it execs or
// exits, suspending the calling thread until then. ThreadSanitizer takes
// any clone without CLONE_THREAD for a fork and marks its runtime, which a
// CLONE_VM child shares with us, as forked; its builds fork instead.
CHILD_CODE pid_t StartChild(int (*fn)(void*), void* pArg, char* pStackTop)
{
#if defined(__SANITIZE_THREAD__)
    (void)pStackTop;
    const pid_t nChild = _Fork();
    if (nChild == 0)
        ExitChild(fn(pArg));
    return nChild;
#else
    return static_cast<pid_t>(clone(fn, pStackTop, CLONE_VM | CLONE_VFORK | SIGCHLD, pArg));
#endif
}

struct CmGrandchildStart {
    const CmSpawnPlan* pPlan;
    int hExecReport;
};

CHILD_CODE int GrandchildEntry(void* pStart)
{
    const auto* pGrandchild = static_cast<const CmGrandchildStart*>(pStart);
    ExecGrandchild(*pGrandchild->pPlan, pGrandchild->hExecReport);
}

// ---- intermediate: starts the grandchild and reports -----------------------

[[noreturn]] CHILD_CODE void SendReportAndExit(int hReport, int nError, pid_t nPid, int hPidFd)
{
    CmSpawnReport report = {nError, nPid};
    iovec ioReport = {&report, sizeof report};
    alignas(cmsghdr) char acControl[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg = {};
    msg.msg_iov = &ioReport;
    msg.msg_iovlen = 1;
    if (hPidFd >= 0) {
        msg.msg_control = acControl;
        msg.msg_controllen = sizeof acControl;
        cmsghdr* pHeader = CMSG_FIRSTHDR(&msg);
        pHeader->cmsg_level = SOL_SOCKET;
        pHeader->cmsg_type = SCM_RIGHTS;
        pHeader->cmsg_len = CMSG_LEN(sizeof(int));
        __builtin_memcpy(CMSG_DATA(pHeader), &hPidFd, sizeof hPidFd);
    }
    // A child that Run will never hear of must not live on unowned.
    if (syscall(SYS_sendmsg, hReport, &msg, MSG_NOSIGNAL) < 0 && hPidFd >= 0)
        syscall(SYS_pidfd_send_signal, hPidFd, SIGKILL, nullptr, 0U);
    ExitChild(0);
}

[[noreturn]] CHILD_CODE void RunIntermediate(const CmSpawnPlan& plan)
{
    int ahExecReport[2];
    if (syscall(SYS_pipe2, ahExecReport, O_CLOEXEC) != 0)
        SendReportAndExit(plan.hReport, errno, 0, -1);
    // The write end must survive the grandchild's dup onto 0 and its closing
    // of everything from 3 up but one descriptor.
    int hExecWrite = ahExecReport[1];
    if (hExecWrite < 3) {
        hExecWrite = static_cast<int>(syscall(SYS_fcntl, ahExecReport[1], F_DUPFD_CLOEXEC, 3));
        if (hExecWrite < 0)
            SendReportAndExit(plan.hReport, errno, 0, -1);
    }

    // Suspended here until the grandchild has exec'd or exited.
    alignas(16) char acStack[kGrandchildStack];
    CmGrandchildStart start = {&plan, hExecWrite};
    const pid_t nChild = StartChild(GrandchildEntry, &start, acStack + sizeof acStack);
    if (nChild < 0)
        SendReportAndExit(plan.hReport, errno, 0, -1);

    // Our copies of the write end must go, or the read below never ends.
    syscall(SYS_close, ahExecReport[1]);
    if (hExecWrite != ahExecReport[1])
        syscall(SYS_close, hExecWrite);

    // Still the child's parent: the pid cannot have been reused.
    const int hPidFd = static_cast<int>(syscall(SYS_pidfd_open, nChild, 0U));
    if (hPidFd < 0) {
        const int nError = errno;
        syscall(SYS_kill, nChild, SIGKILL);
        SendReportAndExit(plan.hReport, nError, 0, -1);
    }

    // End of file: the exec closed the pipe. An int: the exec failed.
    int nExecError = 0;
    long nRead;
    do {
        nRead = syscall(SYS_read, ahExecReport[0], &nExecError, sizeof nExecError);
    } while (nRead < 0 && errno == EINTR);
    if (nRead != static_cast<long>(sizeof nExecError))
        nExecError = 0;
    SendReportAndExit(plan.hReport, nExecError, nChild, nExecError == 0 ? hPidFd : -1);
}

// ---- Run's side ------------------------------------------------------------

// Keeps a descriptor that a child uses off 0-2, which the child may replace.
// False (errno set, the descriptor kept where it is) when it cannot be moved.
bool MoveAbove2(NmDescriptor::CmDescriptor& hFd)
{
    if (hFd.Get() >= 3)
        return true;
    NmDescriptor::CmDescriptor hMoved = hFd.Duplicate();
    if (!hMoved)
        return false;
    hFd = std::move(hMoved);
    return true;
}

// False when someone else reaped it (SIGCHLD ignored, or the application's
// own waitpid(-1)).
bool ReapIntermediate(pid_t nIntermediate)
{
    while (waitpid(nIntermediate, nullptr, 0) != nIntermediate) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

CHILD_CODE int IntermediateEntry(void* pPlan) { RunIntermediate(*static_cast<const CmSpawnPlan*>(pPlan)); }

pid_t StartIntermediate(const CmSpawnPlan& plan)
{
    // The intermediate's stack holds the grandchild's; both are done with
    // it when clone returns here.
    const std::unique_ptr<char[]> pStack(new char[kIntermediateStack]);
    // No signal handler of the caller may run in the children.
    sigset_t setAll;
    sigset_t setSaved;
    sigfillset(&setAll);
    pthread_sigmask(SIG_SETMASK, &setAll, &setSaved);
    const pid_t nIntermediate =
        StartChild(IntermediateEntry, const_cast<CmSpawnPlan*>(&plan), pStack.get() + kIntermediateStack);
    const int nStartError = errno;  // meaningful only when the start failed
    pthread_sigmask(SIG_SETMASK, &setSaved, nullptr);
    if (nIntermediate < 0)
        THROW_CREATE_ERROR(nStartError);
    return nIntermediate;
}

// Receives the intermediate's report. bIntermediateReaped: the report, if
// any, is already queued, so an empty socket means there is none.
std::pair<int, pid_t> ReceiveReport(int hSocket, bool bIntermediateReaped)
{
    CmSpawnReport report = {};
    iovec ioReport = {&report, sizeof report};
    alignas(cmsghdr) char acControl[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg = {};
    msg.msg_iov = &ioReport;
    msg.msg_iovlen = 1;
    msg.msg_control = acControl;
    msg.msg_controllen = sizeof acControl;

    const int nFlags = MSG_CMSG_CLOEXEC | (bIntermediateReaped ? MSG_DONTWAIT : 0);
    ssize_t nReceived;
    do {
        nReceived = recvmsg(hSocket, &msg, nFlags);
    } while (nReceived < 0 && errno == EINTR);
    if (nReceived < 0 && errno != EAGAIN)
        THROW_CREATE_ERROR(errno);

    NmDescriptor::CmDescriptor hPidFd;
    if (nReceived > 0) {
        for (cmsghdr* pHeader = CMSG_FIRSTHDR(&msg); pHeader != nullptr; pHeader = CMSG_NXTHDR(&msg, pHeader)) {
            if (pHeader->cmsg_level == SOL_SOCKET && pHeader->cmsg_type == SCM_RIGHTS &&
                pHeader->cmsg_len == CMSG_LEN(sizeof(int))) {
                int hReceived;
                __builtin_memcpy(&hReceived, CMSG_DATA(pHeader), sizeof hReceived);
                hPidFd.Reset(hReceived);
            }
        }
    }
    // The intermediate died without a word.
    if (nReceived != static_cast<ssize_t>(sizeof report))
        THROW_CREATE_ERROR(ECHILD);
    if (report.nError != 0)
        THROW_CREATE_ERROR(report.nError);
    if (hPidFd.Get() < 0)
        THROW_CREATE_ERROR(ECHILD);
    return {hPidFd.Release(), report.nPid};
}

// The caller's environment without the names vecAdded sets, then vecAdded;
// made before the start, as the children must not allocate.
std::vector<char*> MergedEnvironment(const std::vector<std::string>& vecAdded)
{
    std::vector<char*> vecEnvironment;
    for (char** ppEntry = environ; *ppEntry != nullptr; ++ppEntry) {
        bool bReplaced = false;
        for (const std::string& strAdded : vecAdded) {
            const size_t nName = strAdded.find('=');
            bReplaced = bReplaced || (strncmp(*ppEntry, strAdded.c_str(), nName) == 0 && (*ppEntry)[nName] == '=');
        }
        if (!bReplaced)
            vecEnvironment.push_back(*ppEntry);
    }
    for (const std::string& strAdded : vecAdded)
        vecEnvironment.push_back(const_cast<char*>(strAdded.c_str()));
    vecEnvironment.push_back(nullptr);
    return vecEnvironment;
}

std::pair<int, pid_t> StartGrandchild(const std::string& strExecutable, const std::vector<std::string>& vecArguments,
                                      bool bNoWindow, const std::vector<std::string>& vecAddedEnvironment)
{
    std::vector<char*> vecArgv;
    vecArgv.reserve(vecArguments.size() + 2);
    vecArgv.push_back(const_cast<char*>(strExecutable.c_str()));
    for (const std::string& strArgument : vecArguments)
        vecArgv.push_back(const_cast<char*>(strArgument.c_str()));
    vecArgv.push_back(nullptr);

    NmDescriptor::CmDescriptor hStdin;
    if (bNoWindow) {
        hStdin.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (hStdin.Get() < 0)
            THROW_CREATE_ERROR(errno);
        if (!MoveAbove2(hStdin))
            THROW_CREATE_ERROR(errno);
    }

    int ahSockets[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ahSockets) != 0)
        THROW_CREATE_ERROR(errno);
    NmDescriptor::CmDescriptor hReceive(ahSockets[0]);
    NmDescriptor::CmDescriptor hReport(ahSockets[1]);
    // An application without standard streams leaves 0-2 free: nothing of
    // ours may take them, or its writes to them would land in our sockets.
    if (!MoveAbove2(hReceive) || !MoveAbove2(hReport))
        THROW_CREATE_ERROR(errno);

    std::vector<char*> vecEnvironment;
    if (!vecAddedEnvironment.empty())
        vecEnvironment = MergedEnvironment(vecAddedEnvironment);
    const CmSpawnPlan plan = {strExecutable.c_str(), vecArgv.data(),
                              vecEnvironment.empty() ? environ : vecEnvironment.data(), hStdin.Get(), hReport.Get()};
    const pid_t nIntermediate = StartIntermediate(plan);
    hStdin.Reset();
    hReport.Reset();
    const bool bReaped = ReapIntermediate(nIntermediate);
    const auto [hReceived, nPid] = ReceiveReport(hReceive.Get(), bReaped);
    // The pidfd arrives on the lowest free descriptor, which may be 0-2.
    NmDescriptor::CmDescriptor hPidFd(hReceived);
    if (!MoveAbove2(hPidFd)) {
        const int nError = errno;
        // A child whose handle we cannot keep must not live on unowned.
        CmProcessHandle(std::move(hPidFd)).Kill();
        THROW_CREATE_ERROR(nError);
    }
    return {hPidFd.Release(), nPid};
}

}  // namespace

void CmProcess::Run(const std::string& strExecutable, const std::vector<std::string>& vecArguments, bool bNoWindow,
                    const std::vector<std::string>& vecEnvironment)
{
    try {
        const auto [hPidFd, nPid] = StartGrandchild(strExecutable, vecArguments, bNoWindow, vecEnvironment);
        // Run is meant for an object that is not running; a handle held
        // before is closed, never leaked.
        m_ProcessInformation.hProcess = CmProcessHandle(NmDescriptor::CmDescriptor(hPidFd), nPid);
        m_ProcessInformation.nProcessId = nPid;
    } catch (const NmError::CmError& error) {
        throw CmProcessError(NMERROR_LOCATION("NmProcess::CmProcess::Run", THIS_FILE), "Error running process!",
                             kProcessErrorRun, error);
    }
    m_bRunning = true;
}

void CmProcess::Kill()
{
    try {
        if (!m_ProcessInformation.hProcess.Kill())
            throw NmError::CmSystemError(NMERROR_LOCATION("NmProcess::CmProcess::Kill", THIS_FILE),
                                         "Error terminating process!");
        // Linux has no primary-thread handle to close. close() releases the
        // descriptor even when it reports an error, so it is never closed twice.
        if (close(m_ProcessInformation.hProcess.Release()) != 0)
            throw NmError::CmSystemError(NMERROR_LOCATION("NmProcess::CmProcess::Kill", THIS_FILE),
                                         "Error closing handle of process!");
    } catch (const NmError::CmError& error) {
        throw CmProcessError(NMERROR_LOCATION("NmProcess::CmProcess::Kill", THIS_FILE), "Error killing process!",
                             kProcessErrorKill, error);
    }
    m_bRunning = false;
}

CmProcess::~CmProcess() = default;

bool CmProcess::HasEnded() const { return m_ProcessInformation.hProcess.HasEnded(); }

}  // namespace NmProcess
