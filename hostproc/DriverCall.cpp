#include "DriverCall.h"

#include <cstring>

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Diagnostics.h"

namespace hostproc {

namespace {

// Initial-exec: the executable's own static TLS, which a signal handler may
// read (no lazy allocation as for a dlopen'ed module's).
thread_local const DriverCallSite* t_pSite __attribute__((tls_model("initial-exec"))) = nullptr;
pid_t g_pidHostProc = 0;

using ExitFunction = void (*)(int);
ExitFunction g_pExit = nullptr, g_pUnderscoreExit = nullptr, g_pUnderscoreCapitalExit = nullptr;

// A driver ends the process: say so, then let it end as it asked.
[[noreturn]] void Exit(ExitFunction pReal, const char* szCall, int nStatus) {
    // Only HostProc's own threads inside an export: not HostProc's own
    // exits, and not a child a driver forked (it inherits the thread's site).
    if (const DriverCallSite* pSite = t_pSite; pSite != nullptr && InHostProc()) {
        DiagnoseAs(Severity::Error, "driver '%s' called %s(%d) during %s, exiting", pSite->szPath, szCall, nStatus,
                   pSite->szExport);
    }
    if (pReal == nullptr) pReal = reinterpret_cast<ExitFunction>(dlsym(RTLD_NEXT, szCall));  // before main
    if (pReal != nullptr) pReal(nStatus);
    for (;;) syscall(SYS_exit_group, nStatus);
}

}  // namespace

DriverCallScope::DriverCallScope(const DriverCallSite& site) : m_site(site), m_pOuter(t_pSite) { t_pSite = &m_site; }

DriverCallScope::~DriverCallScope() { t_pSite = m_pOuter; }

void ReportDriverException(const DriverCallSite& site, const char* szWhat) {
    DiagnoseAs(Severity::Error, "C++ exception from driver '%s' during %s: %s", site.szPath, site.szExport,
               szWhat != nullptr ? szWhat : "(not a std::exception)");
}

void ReportFatalSignal(int nSignal) noexcept {
    char szSignal[16] = "SIG";
    if (const char* szAbbreviation = sigabbrev_np(nSignal)) {
        strncat(szSignal, szAbbreviation, sizeof szSignal - 4);
    } else {
        szSignal[0] = static_cast<char>('0' + nSignal / 10 % 10);
        szSignal[1] = static_cast<char>('0' + nSignal % 10);
        szSignal[2] = '\0';
    }
    if (const DriverCallSite* pSite = t_pSite) {
        DiagnoseFatal(
            {"fatal signal ", szSignal, " in driver '", pSite->szShownPath, "' during ", pSite->szExport, ", exiting"});
    } else {
        DiagnoseFatal({"fatal signal ", szSignal, ", exiting"});
    }
}

void SetHostProcPid() {
    g_pidHostProc = getpid();
    // Now: a driver may call _exit in a signal handler, where dlsym may not run.
    g_pExit = reinterpret_cast<ExitFunction>(dlsym(RTLD_NEXT, "exit"));
    g_pUnderscoreExit = reinterpret_cast<ExitFunction>(dlsym(RTLD_NEXT, "_exit"));
    g_pUnderscoreCapitalExit = reinterpret_cast<ExitFunction>(dlsym(RTLD_NEXT, "_Exit"));
}

bool InHostProc() noexcept { return getpid() == g_pidHostProc; }

}  // namespace hostproc

// A driver's exit(), _exit() and _Exit() come here: the executable exports
// them (Interposed.list) and comes first in every driver's symbol lookup.
// Interposing rather than an atexit handler, because atexit runs for exit()
// only, never learns the status, and cannot tell a driver's exit from
// HostProc's own end; here all three are seen, with the status and the
// thread's export, before anything is torn down. (A driver that makes the
// exit_group system call itself is not seen; its client's call fails as for
// a crash.) The atexit handler in main.cpp still cleans up after exit().
#define HOSTPROC_INTERPOSED extern "C" __attribute__((visibility("default")))

HOSTPROC_INTERPOSED void exit(int nStatus) noexcept { hostproc::Exit(hostproc::g_pExit, "exit", nStatus); }
HOSTPROC_INTERPOSED void _exit(int nStatus) { hostproc::Exit(hostproc::g_pUnderscoreExit, "_exit", nStatus); }
HOSTPROC_INTERPOSED void _Exit(int nStatus) noexcept {
    hostproc::Exit(hostproc::g_pUnderscoreCapitalExit, "_Exit", nStatus);
}
