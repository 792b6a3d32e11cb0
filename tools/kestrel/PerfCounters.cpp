#include "PerfCounters.h"

#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace kestrel_cli {

namespace {

enum Kind { kCpu, kInstructions, kSyscalls, kPageFaults, kContextSwitches, kKinds };

// The tracepoint every system call passes on entry, if tracefs is mounted.
long SyscallTracepoint()
{
    for (const char* szPath : {"/sys/kernel/tracing/events/raw_syscalls/sys_enter/id",
                               "/sys/kernel/debug/tracing/events/raw_syscalls/sys_enter/id"}) {
        long nId = -1;
        if (std::ifstream(szPath) >> nId)
            return nId;
    }
    return -1;
}

bool Describe(int nKind, perf_event_attr& attr)
{
    std::memset(&attr, 0, sizeof attr);
    attr.size = sizeof attr;
    attr.disabled = 1;
    attr.exclude_hv = 1;
    switch (nKind) {
        case kCpu:
            attr.type = PERF_TYPE_SOFTWARE;
            attr.config = PERF_COUNT_SW_TASK_CLOCK;
            return true;
        case kInstructions:
            attr.type = PERF_TYPE_HARDWARE;
            attr.config = PERF_COUNT_HW_INSTRUCTIONS;
            return true;
        case kSyscalls: {
            const long nId = SyscallTracepoint();
            attr.type = PERF_TYPE_TRACEPOINT;
            attr.config = static_cast<std::uint64_t>(nId);
            return nId >= 0;
        }
        case kPageFaults:
            attr.type = PERF_TYPE_SOFTWARE;
            attr.config = PERF_COUNT_SW_PAGE_FAULTS;
            return true;
        default:
            attr.type = PERF_TYPE_SOFTWARE;
            attr.config = PERF_COUNT_SW_CONTEXT_SWITCHES;
            return true;
    }
}

int Open(int nKind, pid_t nThread)
{
    perf_event_attr attr;
    if (!Describe(nKind, attr))
        return -1;
    return static_cast<int>(syscall(SYS_perf_event_open, &attr, nThread, -1, -1, PERF_FLAG_FD_CLOEXEC));
}

}  // namespace

PerfCounters::PerfCounters(const std::vector<pid_t>& processes)
{
    for (const pid_t nProcess : processes) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(nProcess) + "/task", error)) {
            const pid_t nThread = static_cast<pid_t>(std::stol(entry.path().filename().string()));
            for (int nKind = 0; nKind < kKinds; ++nKind) {
                const int hFd = Open(nKind, nThread);
                if (hFd >= 0)
                    m_counters.push_back({nKind, hFd});
            }
        }
    }
}

PerfCounters::~PerfCounters()
{
    for (const Counter& counter : m_counters)
        close(counter.hFd);
}

void PerfCounters::Start()
{
    for (const Counter& counter : m_counters) {
        ioctl(counter.hFd, PERF_EVENT_IOC_RESET, 0);
        ioctl(counter.hFd, PERF_EVENT_IOC_ENABLE, 0);
    }
}

Counts PerfCounters::Stop(double dCalls)
{
    double totals[kKinds] = {};
    bool bSeen[kKinds] = {};
    for (const Counter& counter : m_counters) {
        ioctl(counter.hFd, PERF_EVENT_IOC_DISABLE, 0);
        std::uint64_t nValue = 0;
        if (read(counter.hFd, &nValue, sizeof nValue) == sizeof nValue) {
            totals[counter.nKind] += static_cast<double>(nValue);
            bSeen[counter.nKind] = true;
        }
    }
    auto per = [&](int nKind, double dScale = 1) { return bSeen[nKind] ? totals[nKind] * dScale / dCalls : -1; };
    Counts counts;
    counts.dCpu = per(kCpu, 1e-9);
    counts.dInstructions = per(kInstructions);
    counts.dSyscalls = per(kSyscalls);
    counts.dPageFaults = per(kPageFaults);
    counts.dContextSwitches = per(kContextSwitches);
    return counts;
}

std::string PerfCounters::Limits()
{
    std::vector<std::string> limits;
    const int hCpu = Open(kCpu, 0);
    if (hCpu < 0)
        return "no counters: perf_event_open is refused here (" + std::string(std::strerror(errno)) + ")";
    close(hCpu);
    const int hInstructions = Open(kInstructions, 0);
    if (hInstructions < 0)
        limits.push_back("instructions: no hardware counters (a virtual machine without a PMU)");
    else
        close(hInstructions);
    if (SyscallTracepoint() < 0)
        limits.push_back("syscalls: tracefs is not mounted (mount -t tracefs nodev /sys/kernel/tracing)");
    std::ostringstream text;
    for (size_t i = 0; i < limits.size(); ++i)
        text << (i ? "; " : "") << limits[i];
    return text.str();
}

pid_t FindHostProc(const std::string& strName)
{
    // HostProc is started as a grandchild, so it is found as the peer of one
    // of this process's connections.
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", error)) {
        const int hFd = std::atoi(entry.path().filename().c_str());
        ucred peer{};
        socklen_t nSize = sizeof peer;
        if (getsockopt(hFd, SOL_SOCKET, SO_PEERCRED, &peer, &nSize) != 0 || peer.pid <= 0)
            continue;
        std::ifstream cmdline("/proc/" + std::to_string(peer.pid) + "/cmdline");
        std::string strProgram, strArgument;
        std::getline(cmdline, strProgram, '\0');
        std::getline(cmdline, strArgument, '\0');
        // Its argument is the endpoint, "<name>_<UUID>".
        if (strArgument.rfind(strName + "_", 0) == 0 && fs::path(strProgram).filename() == "HostProc")
            return peer.pid;
    }
    return -1;
}

}  // namespace kestrel_cli
