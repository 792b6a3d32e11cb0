#include "SyscallFilter.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <system_error>
#include <thread>

#include <linux/seccomp.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "Refusals.h"

namespace hostproc {

namespace {

// Reading or writing another process, replacing the kernel or what it runs,
// the mount table, kernel programs and keys, faults handled in user space,
// and starting programs.
constexpr const char* kRefused[] = {
#ifndef KESTREL_SANITIZER_BUILD
    // LeakSanitizer's tracer attaches to HostProc's own threads at exit.
    // Landlock still keeps every process outside HostProc out of ptrace's
    // reach, so only HostProc itself becomes traceable.
    "ptrace",
#endif
    "process_vm_readv", "process_vm_writev", "kexec_load", "kexec_file_load", "mount", "umount2", "pivot_root",
    "move_mount", "open_tree", "fsopen", "fsconfig", "fsmount", "fspick", "mount_setattr", "bpf",
    "perf_event_open", "add_key", "request_key", "keyctl", "init_module", "finit_module", "delete_module",
    "userfaultfd", "execve", "execveat"};

// personality(0xffffffff) only reads the current persona.
constexpr scmp_datum_t kPersonalityQuery = 0xffffffff;

scmp_filter_ctx BuildFilter(uint32_t nAction) {
    scmp_filter_ctx pFilter = seccomp_init(SCMP_ACT_ALLOW);
    if (pFilter == nullptr) return nullptr;
#if defined(__x86_64__)
    // The same rules for the 32-bit entry points, which a driver could
    // otherwise use to get round them.
    seccomp_arch_add(pFilter, SCMP_ARCH_X86);
    seccomp_arch_add(pFilter, SCMP_ARCH_X32);
#endif
    bool bBuilt = true;
    for (const char* szName : kRefused) {
        const int nSyscall = seccomp_syscall_resolve_name(szName);
        if (nSyscall != __NR_SCMP_ERROR) bBuilt = bBuilt && seccomp_rule_add(pFilter, nAction, nSyscall, 0) == 0;
    }
    bBuilt = bBuilt && seccomp_rule_add(pFilter, nAction, SCMP_SYS(personality), 1,
                                        SCMP_A0(SCMP_CMP_NE, kPersonalityQuery)) == 0;
    if (!bBuilt) {
        seccomp_release(pFilter);
        return nullptr;
    }
    return pFilter;
}

// Answers every notification with EPERM and reports it. Runs for the life of
// the process; it ends only if the listener is closed (a driver may do that:
// the kernel then fails the refused calls with ENOSYS, still refused).
void AnswerNotifications(int hListener) {
    for (;;) {
        seccomp_notif request;
        memset(&request, 0, sizeof request);
        if (ioctl(hListener, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) {
            if (errno == EINTR || errno == ENOENT) continue;  // ENOENT: the caller went away meanwhile
            return;
        }
        char* szName = seccomp_syscall_resolve_num_arch(request.data.arch, request.data.nr);
        Refused("%s (EPERM)", szName != nullptr ? szName : std::to_string(request.data.nr).c_str());
        free(szName);
        seccomp_notif_resp response;
        memset(&response, 0, sizeof response);
        response.id = request.id;
        response.error = -EPERM;
        ioctl(hListener, SECCOMP_IOCTL_NOTIF_SEND, &response);
    }
}

}  // namespace

bool InstallSyscallFilter(bool& bCounted, std::string& strError) {
    // Kept for the life of the process: it owns the listener.
    static scmp_filter_ctx s_pFilter = nullptr;
    s_pFilter = BuildFilter(SCMP_ACT_NOTIFY);
    if (s_pFilter != nullptr && seccomp_load(s_pFilter) == 0 && seccomp_notify_fd(s_pFilter) >= 0) {
        const int hListener = seccomp_notify_fd(s_pFilter);
        // Signals for HostProc go to its other threads.
        sigset_t all, saved;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved);
        try {
            std::thread(AnswerNotifications, hListener).detach();
            bCounted = true;
        } catch (const std::system_error&) {
            // Nobody would answer: without a listener the kernel fails the
            // refused calls with ENOSYS instead.
            close(hListener);
            bCounted = false;
        }
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        return true;
    }
    if (s_pFilter != nullptr) seccomp_release(s_pFilter);
    bCounted = false;
    s_pFilter = BuildFilter(SCMP_ACT_ERRNO(EPERM));
    const int nLoaded = s_pFilter != nullptr ? seccomp_load(s_pFilter) : -ENOMEM;
    if (nLoaded == 0) return true;
    strError = std::string("seccomp filter: ") + strerror(-nLoaded);
    return false;
}

}  // namespace hostproc
