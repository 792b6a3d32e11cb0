// kestrel bench's kernel counters: what a call costs the machine, counted
// over every thread of the processes taking part (the application and its
// HostProc), beside the time it takes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace kestrel_cli {

// Per call; a measure the kernel does not offer here is left unset (< 0).
struct Counts {
    double dCpu = -1;  // seconds of CPU, every thread, user and kernel
    double dInstructions = -1;
    double dSyscalls = -1;
    double dPageFaults = -1;
    double dContextSwitches = -1;
};

// Runs the operation for about dSeconds with the counters open on every
// thread the given processes have once it has run a few times, and divides.
// Without perf_event_open (a container's policy, perf_event_paranoid) every
// figure stays unset.
template <typename F>
Counts CountPerCall(const std::vector<pid_t>& processes, double dSeconds, F&& operation);

class PerfCounters {
public:
    explicit PerfCounters(const std::vector<pid_t>& processes);
    ~PerfCounters();
    PerfCounters(const PerfCounters&) = delete;
    PerfCounters& operator=(const PerfCounters&) = delete;
    void Start();
    Counts Stop(double dCalls);
    // What the counts leave out here, and why ("instructions: no hardware
    // counters"), for the report.
    static std::string Limits();

private:
    struct Counter {
        int nKind;
        int hFd;
    };
    std::vector<Counter> m_counters;
};

// The HostProc started for proxy server strName by this process, or -1.
pid_t FindHostProc(const std::string& strName);

template <typename F>
Counts CountPerCall(const std::vector<pid_t>& processes, double dSeconds, F&& operation)
{
    for (int i = 0; i < 3; ++i)
        operation();
    PerfCounters counters(processes);
    long nCalls = 0;
    const auto start = std::chrono::steady_clock::now();
    counters.Start();
    do {
        for (int i = 0; i < 16; ++i, ++nCalls)
            operation();
    } while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < dSeconds);
    return counters.Stop(static_cast<double>(nCalls));
}

}  // namespace kestrel_cli
