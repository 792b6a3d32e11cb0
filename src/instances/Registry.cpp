#include "instances/Registry.h"

#include <condition_variable>

#include "instances/Timer.h"
#include "trace/Log.h"

namespace kestrel::instances {

RpcContext::~RpcContext() {
    if (m_bDeadlineArmed) g_Timer.ClrDeadline(m_hDeadline);
}

namespace {

bool HasProxyServer(const std::string& strName) { return g_ProxyServers.find(strName) != g_ProxyServers.end(); }

}  // namespace

namespace {

// The handle serving szServer and, when ppHostProc is given, the HostProc
// behind it.
RpcDriverCtx LookUpInstance(const char* szServer, std::shared_ptr<const HostProcRef>* ppHostProc) {
    const std::string strKey(szServer);
    NmThread::CmCriticalSectionLock lock(g_csRegistry);
    const auto found = [&](const DeviceInstance& instance) {
        if (ppHostProc != nullptr) *ppHostProc = g_ProxyServers.find(instance.strProxyServerName)->second.pHostProc;
        return instance.hCtx;
    };

    const auto it = g_Devices.find(strKey);
    if (it != g_Devices.end() && !it->second.bRemoving) {
        return HasProxyServer(it->second.strProxyServerName) ? found(it->second) : nullptr;
    }
    // An address (host:port, URL) is never taken for a driver name.
    if (strKey.find(':') != std::string::npos) return nullptr;

    // A driver may be named instead of an instance: the first instance in key
    // order whose driver path contains "/<key>" serves it.
    const std::string strProbe = "/" + strKey;
    for (const auto& [strId, instance] : g_Devices) {
        if (!instance.bRemoving && instance.strDriverName.find(strProbe) != std::string::npos &&
            HasProxyServer(instance.strProxyServerName)) {
            return found(instance);
        }
    }
    return nullptr;
}

}  // namespace

RpcDriverCtx GetInstanceCtx(const char* szServer) { return LookUpInstance(szServer, nullptr); }

RpcContext* RpcCtx(const char* szServer) {
    auto pContext = std::make_unique<RpcContext>();
    std::shared_ptr<const HostProcRef> pHostProc;
    pContext->m_hCtx = LookUpInstance(szServer, &pHostProc);
    if (pContext->m_hCtx != nullptr) {
        // The registry lock is free again here: the deadline lock comes first.
        pContext->m_hDeadline = g_Timer.SetDeadline(szServer, std::move(pHostProc));
        pContext->m_bDeadlineArmed = true;
        return pContext.release();
    }
    pContext.reset();
    KESTREL_LOG(kProxyUtil, "RpcCtx", 1, "Throw PROXYUNKNOWNDEVICEERROR Error: szServer='%s'", szServer);
    throw static_cast<unsigned long>(0);
}

void ReleaseRpcCtx(RpcContext* pContext) { delete pContext; }

namespace {

// The registry lock as the standard library's waits want it.
struct RegistryLockable {
    void lock() { g_csRegistry.Enter(); }
    void unlock() { g_csRegistry.Leave(); }
};

std::condition_variable_any& Removals() {
    static std::condition_variable_any s_cvRemovals;
    return s_cvRemovals;
}

bool IsBeingRemoved(const char* szServer) {
    const auto it = g_Devices.find(szServer);
    return it != g_Devices.end() && it->second.bRemoving;
}

}  // namespace

void AwaitRemoval(const char* szServer) {
    RegistryLockable registry;
    Removals().wait(registry, [&] { return !IsBeingRemoved(szServer); });
}

void RemovalDone() { Removals().notify_all(); }

int CountDevicesOnProxyServer(std::string strProxyServerName) {
    int nCount = 0;
    for (const auto& entry : g_Devices) {
        if (entry.second.strProxyServerName == strProxyServerName) ++nCount;
    }
    return nCount;
}

std::string EndpointOfArgument(const std::string& strArgument) {
    const size_t nUnderscore = strArgument.rfind('_');
    if (nUnderscore == std::string::npos) return std::string();
    return strArgument.substr(nUnderscore + 1);
}

std::string DescribeHostProcEnd(const char* szServer) {
    NmThread::CmCriticalSectionLock lock(g_csRegistry);
    const auto device = g_Devices.find(szServer);
    if (device == g_Devices.end()) return std::string();
    const auto server = g_ProxyServers.find(device->second.strProxyServerName);
    // A HostProc is not this process's child, so its exit status cannot be
    // read; what is known is whether the deadline timer killed it.
    if (server == g_ProxyServers.end() || server->second.pProcess) return std::string();
    return "hostproc '" + server->first + "' ended by signal 9 (SIGKILL) from the deadline timer";
}

}  // namespace kestrel::instances
