// The deadline timer: every forwarded call arms a deadline; a background
// thread kills the HostProc of a call that overruns it, so the blocked call
// fails and the export's failure path removes that HostProc's instances.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "platform/Thread.h"
#include "platform/TimeStamp.h"

namespace kestrel::instances {

// A HostProc as the calls in flight on it know it: its own duplicate of the
// process handle, shared by the registry entry and the deadlines of those
// calls. A call can outlive the entry (another call's failure removed it, or
// the call found its instance through the driver's name); its deadline can
// still end the process that the call is really waiting for.
class HostProcRef {
public:
    HostProcRef(NmProcess::CmProcessHandle hProcess, std::string strName, std::string strEndpoint)
        : m_hProcess(std::move(hProcess)), m_strName(std::move(strName)), m_strEndpoint(std::move(strEndpoint)) {}
    HostProcRef(const HostProcRef&) = delete;
    HostProcRef& operator=(const HostProcRef&) = delete;

    const std::string& Name() const { return m_strName; }
    const std::string& Endpoint() const { return m_strEndpoint; }
    const NmProcess::CmProcessHandle& Handle() const { return m_hProcess; }

private:
    NmProcess::CmProcessHandle m_hProcess;
    std::string m_strName;
    std::string m_strEndpoint;
};

struct Deadline {
    NmTimeStamp::CmTimeStamp tsDeadline;  // wall-clock moment, as logged and kept for diagnosis
    std::string strServer;                // the instance id the call was made for
    // The span is judged on the monotonic clock, so a step of the system
    // clock neither kills calls nor stretches deadlines.
    std::chrono::steady_clock::time_point tpExpiry;
    // The HostProc the call went to (null when not known), and whether the
    // timer already killed it directly.
    std::shared_ptr<const HostProcRef> pHostProc;
    bool bKilledDirectly = false;
};

class Timer : public NmThread::CmThread {
public:
    Timer();
    ~Timer() noexcept override;

    bool ThreadFunction(void* pArgument) override;

    // Arms a deadline for szServer one deadline span ahead; returns its
    // handle. pHostProc is the process the call goes to, when known.
    std::uint32_t SetDeadline(const char* szServer, std::shared_ptr<const HostProcRef> pHostProc = nullptr);
    void ClrDeadline(std::uint32_t hDeadline);
    // Asks the thread to stop and waits for its end, at most 22 steps, then
    // gives up the thread handle.
    void Stop();

    // Calls that no registry deadline covers (loading a driver and setting
    // its feature set under the registry lock, unloading it) watch their
    // process directly: when nMilliseconds pass first, the timer kills it
    // through the watch's own handle and says so, naming szWhat.
    std::uint32_t WatchProcess(NmProcess::CmProcessHandle hProcess, const std::string& strProxyServerName,
                               std::int64_t nMilliseconds, const char* szWhat);
    void UnwatchProcess(std::uint32_t hWatch);

    // Follows a HostProc from its start to its end, which the thread sees
    // at once: then the connections to it are cut, so the calls in flight on
    // them fail whoever else holds their sockets (a helper the driver
    // forked), and the process is reaped when it is our child (in an
    // application that adopts orphans it becomes one once the registry
    // released it).
    void Follow(std::shared_ptr<const HostProcRef> pHostProc);
    // At unload: gives up the HostProcs that still run.
    void ReleaseFollowed();

    // Gives back the descriptor that wakes the thread; for a timer whose
    // thread has ended, and for the parent's timer in a forked child.
    void CloseWake() noexcept { m_endWatch.Close(); }

    // True when the thread has returned, or was never started.
    bool HasEnded() const { return m_bStopped.load() || GetThreadId() == 0; }

    // Test seams: how many deadlines are armed, and a pass run right now.
    std::size_t ArmedDeadlines();
    void CheckNow();

private:
    struct ProcessWatch {
        NmProcess::CmProcessHandle hProcess;  // the watch's own, empty once killed
        std::string strProxyServerName;
        std::chrono::steady_clock::time_point tpExpiry;
        std::int64_t nMilliseconds;
        const char* szWhat;
    };

    void CheckDeadlines();
    void CheckProcessWatches();
    // Waits one period for a HostProc's end or a wake-up, and acts on an end.
    void WaitForEnds();

    NmThread::CmCriticalSection m_csDeadlines;
    std::map<std::uint32_t, Deadline> m_mapDeadlines;
    std::uint32_t m_nNextHandle = 0;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bStopped{false};

    // Wakes the thread at once when Stop is called or a HostProc is followed.
    NmProcess::CmEndWatch m_endWatch;

    // Never held together with the registry lock by the timer thread.
    NmThread::CmCriticalSection m_csWatches;
    std::map<std::uint32_t, ProcessWatch> m_mapWatches;
    std::uint32_t m_nNextWatch = 0;
    std::vector<std::shared_ptr<const HostProcRef>> m_vecFollowed;  // under m_csWatches
    // WaitForEnds' own, on the timer thread only.
    std::vector<std::shared_ptr<const HostProcRef>> m_vecWaiting;
    std::vector<const NmProcess::CmProcessHandle*> m_vecWaitHandles;
};

// Starts g_Timer's thread; throws NmThread::CmThreadError on failure.
void StartTimer();

}  // namespace kestrel::instances
