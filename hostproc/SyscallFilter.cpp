#include "SyscallFilter.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include <linux/seccomp.h>
#include <poll.h>
#include <seccomp.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "Refusals.h"

namespace hostproc {

namespace {

// Reading or writing another process, replacing the kernel or what it runs,
// the mount table, kernel programs and keys, faults handled in user space,
// and starting programs.
constexpr int kRefused[] = {
#ifndef KESTREL_SANITIZER_BUILD
    // LeakSanitizer's tracer attaches to HostProc's own threads at exit.
    // Landlock still keeps every process outside HostProc out of ptrace's
    // reach, so only HostProc itself becomes traceable.
    SCMP_SYS(ptrace),
#endif
    SCMP_SYS(process_vm_readv),
    SCMP_SYS(process_vm_writev),
    SCMP_SYS(kexec_load),
    SCMP_SYS(kexec_file_load),
    SCMP_SYS(mount),
    SCMP_SYS(umount2),
    SCMP_SYS(pivot_root),
    SCMP_SYS(move_mount),
    SCMP_SYS(open_tree),
    SCMP_SYS(fsopen),
    SCMP_SYS(fsconfig),
    SCMP_SYS(fsmount),
    SCMP_SYS(fspick),
    SCMP_SYS(mount_setattr),
    SCMP_SYS(bpf),
    SCMP_SYS(perf_event_open),
    SCMP_SYS(add_key),
    SCMP_SYS(request_key),
    SCMP_SYS(keyctl),
    SCMP_SYS(init_module),
    SCMP_SYS(finit_module),
    SCMP_SYS(delete_module),
    SCMP_SYS(userfaultfd),
    SCMP_SYS(execve),
    SCMP_SYS(execveat)};

// personality(0xffffffff) only reads the current persona.
constexpr scmp_datum_t kPersonalityQuery = 0xffffffff;

scmp_filter_ctx BuildFilter(uint32_t nAction) {
    scmp_filter_ctx pFilter = seccomp_init(SCMP_ACT_ALLOW);
    if (pFilter == nullptr) return nullptr;
    // Only the native entry points: a system call through another (int 0x80,
    // the x32 numbers) answers EPERM, whatever it is. Rules for those
    // architectures would double the time the filter takes to build.
    bool bBuilt = seccomp_attr_set(pFilter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(EPERM)) == 0;
    for (const int nSyscall : kRefused) bBuilt = bBuilt && seccomp_rule_add(pFilter, nAction, nSyscall, 0) == 0;
    bBuilt = bBuilt &&
             seccomp_rule_add(pFilter, nAction, SCMP_SYS(personality), 1, SCMP_A0(SCMP_CMP_NE, kPersonalityQuery)) == 0;
    if (!bBuilt) {
        seccomp_release(pFilter);
        return nullptr;
    }
    return pFilter;
}

// Answers every notification with EPERM and reports it, until the process
// ends (hStop) or the listener is closed (a driver may do that: the kernel
// then fails the refused calls with ENOSYS, still refused).
void AnswerNotifications(int hListener, int hStop) {
    for (;;) {
        pollfd events[2] = {{hListener, POLLIN, 0}, {hStop, POLLIN, 0}};
        if (poll(events, 2, -1) < 0 && errno == EINTR) continue;
        if (events[1].revents != 0 || (events[0].revents & POLLIN) == 0) return;
        seccomp_notif request;
        memset(&request, 0, sizeof request);
        if (ioctl(hListener, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) continue;  // ENOENT: the caller went away
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

int g_hStop = -1;
std::thread* g_pAnswering = nullptr;

// At exit the answering thread ends first: a thread still running there
// makes ThreadSanitizer's exit wait a second. A driver thread refused after
// this waits for the end of the process, which comes right after.
void StopAnswering() {
    const std::uint64_t nOne = 1;
    if (write(g_hStop, &nOne, sizeof nOne) == sizeof nOne) g_pAnswering->join();
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
            g_hStop = eventfd(0, EFD_CLOEXEC);
            if (g_hStop < 0) throw std::system_error(errno, std::generic_category());
            g_pAnswering = new std::thread(AnswerNotifications, hListener, g_hStop);
            atexit(&StopAnswering);
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
