#include "instances/Timer.h"

#include <algorithm>

#include "instances/Registry.h"
#include "instances/Timing.h"
#include "rpcrt/Client.h"
#include "trace/Log.h"

namespace kestrel::instances {

namespace {

constexpr int kStopSteps = 22;

std::chrono::steady_clock::time_point ExpiryFromNow() {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(Timing::DeadlineMilliseconds());
}

}  // namespace

Timer::Timer() = default;

Timer::~Timer() noexcept = default;

void Timer::Follow(std::shared_ptr<const HostProcRef> pHostProc) {
    {
        NmThread::CmCriticalSectionLock lock(m_csWatches);
        m_vecFollowed.push_back(std::move(pHostProc));
    }
    m_endWatch.Wake();  // to wait for this one too
}

void Timer::ReleaseFollowed() {
    NmThread::CmCriticalSectionLock lock(m_csWatches);
    for (const auto& pHostProc : m_vecFollowed) {
        if (pHostProc->Handle().HasEnded()) pHostProc->Handle().TryReap();
    }
    // The timer outlives unloading (its storage is never destroyed), so the
    // list's own storage goes now, or it would be lost with the library.
    std::vector<std::shared_ptr<const HostProcRef>>().swap(m_vecFollowed);
    std::vector<std::shared_ptr<const HostProcRef>>().swap(m_vecWaiting);
    std::vector<const NmProcess::CmProcessHandle*>().swap(m_vecWaitHandles);
}

void Timer::WaitForEnds() {
    // The lists are members, reused from period to period: a process forked
    // while this thread waits must not find them only on a stack it lacks.
    {
        NmThread::CmCriticalSectionLock lock(m_csWatches);
        m_vecWaiting = m_vecFollowed;
    }
    m_vecWaitHandles.clear();
    for (const auto& pHostProc : m_vecWaiting) m_vecWaitHandles.push_back(&pHostProc->Handle());
    const int nEnded = m_endWatch.Wait(m_vecWaitHandles, Timing::TimerPeriodMilliseconds());
    if (nEnded >= 0) {
        const std::shared_ptr<const HostProcRef> pEnded = m_vecWaiting[static_cast<size_t>(nEnded)];
        // Whatever its driver started goes with it, and whoever else still
        // holds its sockets cannot keep a call waiting.
        pEnded->Handle().KillGroup();
        kestrel::rpc::abortAssociation(pEnded->Endpoint());
        pEnded->Handle().TryReap();
        NmThread::CmCriticalSectionLock lock(m_csWatches);
        std::erase(m_vecFollowed, pEnded);
    }
    m_vecWaiting.clear();
}

void StartTimer() { g_Timer.Run(nullptr); }

std::uint32_t Timer::SetDeadline(const char* szServer, std::shared_ptr<const HostProcRef> pHostProc) {
    NmTimeStamp::CmTimeStamp tsNow;
    tsNow.SetTo(NmTimeStamp::CmTimeStamp::CurrentTime);
    Deadline deadline{tsNow + Timing::Deadline(), szServer, ExpiryFromNow(), std::move(pHostProc)};

    NmThread::CmCriticalSectionLock lock(m_csDeadlines);
    // After a wrap-around, skip handles that calls still hold.
    while (m_mapDeadlines.count(m_nNextHandle) != 0) ++m_nNextHandle;
    const std::uint32_t hDeadline = m_nNextHandle++;
    m_mapDeadlines.insert_or_assign(hDeadline, std::move(deadline));
    return hDeadline;
}

void Timer::ClrDeadline(std::uint32_t hDeadline) {
    NmThread::CmCriticalSectionLock lock(m_csDeadlines);
    if (m_mapDeadlines.erase(hDeadline) == 0) {
        KESTREL_LOG(kProxyUtil, "Timer::ClrDeadline", 1, "Clearing dead deadline handle '%d'",
                    static_cast<int>(hDeadline));
    }
}

std::size_t Timer::ArmedDeadlines() {
    NmThread::CmCriticalSectionLock lock(m_csDeadlines);
    return m_mapDeadlines.size();
}

std::uint32_t Timer::WatchProcess(NmProcess::CmProcessHandle hProcess, const std::string& strProxyServerName,
                                  std::int64_t nMilliseconds, const char* szWhat) {
    const auto tpExpiry = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMilliseconds);
    NmThread::CmCriticalSectionLock lock(m_csWatches);
    while (m_mapWatches.count(m_nNextWatch) != 0) ++m_nNextWatch;
    const std::uint32_t hWatch = m_nNextWatch++;
    m_mapWatches.insert_or_assign(
        hWatch, ProcessWatch{std::move(hProcess), strProxyServerName, tpExpiry, nMilliseconds, szWhat});
    return hWatch;
}

void Timer::UnwatchProcess(std::uint32_t hWatch) {
    NmThread::CmCriticalSectionLock lock(m_csWatches);
    m_mapWatches.erase(hWatch);
}

void Timer::CheckProcessWatches() {
    const auto tpNow = std::chrono::steady_clock::now();
    NmThread::CmCriticalSectionLock lock(m_csWatches);
    for (auto& [hWatch, watch] : m_mapWatches) {
        if (!watch.hProcess || watch.tpExpiry >= tpNow) continue;
        KESTREL_LOG(kProxyUtil, "Timer::ThreadFunction", 1, "%s on hostproc '%s' took longer than %lld ms: kill",
                    watch.szWhat, watch.strProxyServerName.c_str(), static_cast<long long>(watch.nMilliseconds));
        watch.hProcess.Kill();  // a process that ended meanwhile needs no kill
        watch.hProcess.KillGroup();
        watch.hProcess = {};
    }
}

void Timer::CheckDeadlines() {
    NmThread::CmCriticalSectionLock deadlines(m_csDeadlines);
    const auto tpNow = std::chrono::steady_clock::now();
    for (auto& [hDeadline, deadline] : m_mapDeadlines) {
        if (!(deadline.tpExpiry < tpNow)) continue;
        const std::string strServer = deadline.strServer;
        // The registry lock can be held by a thread whose call hangs under
        // it (loading or unloading a driver); that call is bounded by a
        // process watch, which this thread has to go on checking. So it
        // never waits long here: the deadline is looked at again next pass.
        const NmThread::CmCriticalSectionTryLock registry(g_csRegistry, Timing::TimerPeriodMilliseconds());
        if (!registry) return;
        auto server = g_ProxyServers.end();
        const auto device = g_Devices.find(strServer);
        if (device != g_Devices.end()) server = g_ProxyServers.find(device->second.strProxyServerName);
        if (deadline.pHostProc && (server == g_ProxyServers.end() || server->second.pHostProc != deadline.pHostProc)) {
            // The id does not lead to the process the call waits for: find
            // that process's entry, if it still has one.
            server = std::find_if(g_ProxyServers.begin(), g_ProxyServers.end(),
                                  [&](const auto& entry) { return entry.second.pHostProc == deadline.pHostProc; });
            if (server == g_ProxyServers.end()) {
                // Its entry is gone (the HostProc was dropped without a kill
                // on another call's failure); left alone, the call would wait
                // for ever. Killed once, the call fails like any other.
                if (!deadline.bKilledDirectly) {
                    deadline.bKilledDirectly = true;
                    KESTREL_LOG(kProxyUtil, "Timer::ThreadFunction", 1,
                                "server='%s' overran its deadline on hostproc '%s', no longer registered: kill %s",
                                strServer.c_str(), deadline.pHostProc->Name().c_str(),
                                deadline.pHostProc->Handle().Kill() ? "sent" : "failed");
                    deadline.pHostProc->Handle().KillGroup();
                }
                continue;
            }
        }
        if (server == g_ProxyServers.end()) continue;

        KESTREL_LOG(kProxyUtil, "Timer::ThreadFunction", 1, "server='%s' triggers removal of hostproc '%s'",
                    strServer.c_str(), server->first.c_str());
        if (server->second.pProcess) {
            try {
                server->second.pProcess->Kill();
            } catch (const NmError::CmError& error) {
                KESTREL_LOG(kProxyUtil, "Timer::ThreadFunction", 1, "Kill on szProxyServer='%s' throwed: %s",
                            server->first.c_str(), error.GetDescription().c_str());
            }
            server->second.pHostProc->Handle().KillGroup();
            server->second.pProcess.reset();
        }
    }
}

void Timer::CheckNow() {
    CheckProcessWatches();
    CheckDeadlines();
}

bool Timer::ThreadFunction(void*) {
    for (;;) {
        if (m_bStop.load()) {
            m_bStopped.store(true);
            return true;
        }
        CheckProcessWatches();
        CheckDeadlines();
        if (!m_bStop.load()) WaitForEnds();
    }
}

void Timer::Stop() {
    m_bStop.store(true);
    m_endWatch.Wake();
    // A thread that has ended is joined rather than detached: its last
    // instructions run in this library's code, which unloading unmaps.
    if (m_bStopped.load()) {
        GetEndCondition().Wait(NmThread::CmCondition::kInfinite);
        Join();
        CloseWake();
        return;
    }
    // Wait on the thread's end signal rather than sleeping, so a prompt stop
    // costs milliseconds; after 22 steps give up and detach.
    NmThread::CmCondition& cndEnd = GetEndCondition();
    for (int nStep = 1;; ++nStep) {
        const bool bEnded = cndEnd.Wait(Timing::StopStepMilliseconds());
        if (nStep == kStopSteps && !bEnded) {
            KESTREL_LOG(kProxyUtil, "Timer::Stop", 1, "Force detach thread id '%d' handle '%d'",
                        static_cast<int>(GetThreadId()), static_cast<int>(GetThreadHandleValue()));
            Detach();
            return;
        }
        if (bEnded) {
            Join();
            CloseWake();
            return;
        }
    }
}

}  // namespace kestrel::instances
