// Instances and HostProcs leave the registry: withdrawn by the application,
// dropped with their HostProc after a failed call, or all at unload.
#include <kestrel/kestrel.h>

#include <cxxabi.h>
#include <new>

#include "instances/Registry.h"
#include "instances/Timer.h"
#include "instances/Timing.h"
#include "rpcrt/Transport.h"
#include "trace/Log.h"

namespace kestrel::instances {
namespace {

constexpr std::uint32_t kStatusMask = 0x00FFFFFF;
constexpr std::uint32_t kHostProcUnavailable = 0x01000000;

void DropContextHandle(RpcDriverCtx* phCtx) { RpcSsDestroyClientContext(phCtx); }

}  // namespace

std::uint32_t CurrentExceptionCode() {
    try {
        throw;
    } catch (const abi::__forced_unwind&) {
        throw;  // thread cancellation must go on unwinding
    } catch (const kestrel::rpc::RpcError& error) {
        return error.status();
    } catch (const std::bad_alloc&) {
        return RPC_S_OUT_OF_MEMORY;
    } catch (...) {
        return RPC_S_CALL_FAILED;
    }
}

bool UnloadDriver(RpcDriverCtx* phCtx, const HostProcRef* pWatch) {
    KESTREL_LOG(kProxyUtil, "UnloadDriver", 1, "cContext='%x'",
                static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(*phCtx)));
    if (*phCtx == nullptr) return false;
    const bool bWatch = pWatch != nullptr && pWatch->Handle();
    const std::uint32_t hWatch = bWatch ? g_Timer.WatchProcess(pWatch->Handle().Duplicate(), pWatch->Name(),
                                                               Timing::DeadlineMilliseconds(), "Unloading a driver")
                                        : 0;
    bool bUnloaded = true;
    try {
        rpc_UnloadDriver(phCtx);
    } catch (...) {
        const std::uint32_t nCode = CurrentExceptionCode();
        DropContextHandle(phCtx);
        KESTREL_LOG(kProxyUtil, "UnloadDriver", 1, "Proxy RPC exception %d(0x%x)", static_cast<int>(nCode), nCode);
        bUnloaded = false;
    }
    if (bWatch) g_Timer.UnwatchProcess(hWatch);
    KESTREL_LOG(kProxyUtil, "UnloadDriver", 3, "return");
    return bUnloaded;
}

}  // namespace kestrel::instances

using namespace kestrel::instances;

extern "C" KESTREL_API void RemoveDeviceInstance(const char* szServer) {
    KESTREL_LOG(kProxyUtil, "RemoveDeviceInstance", 1, "Removing instance '%s'", szServer);
    RpcDriverCtx hCtx = nullptr;
    std::string strProxyServerName;
    std::shared_ptr<const HostProcRef> pHostProc;
    {
        NmThread::CmCriticalSectionLock registry(g_csRegistry);
        const auto it = g_Devices.find(szServer);
        if (it == g_Devices.end() || it->second.bRemoving) return;
        DeviceInstance& instance = it->second;
        if (instance.nCount != 1) {
            KESTREL_LOG(kProxyUtil, "RemoveDeviceInstance", 2, "Decreasing count(%d) on instance '%s'",
                        static_cast<int>(instance.nCount), szServer);
            --instance.nCount;
            return;
        }
        // The unload waits for the instance's running calls, and for a
        // HostProc that does not answer: it runs without the registry lock,
        // so that nothing about other instances waits for it.
        instance.bRemoving = true;
        hCtx = instance.hCtx;
        strProxyServerName = instance.strProxyServerName;
        if (const auto server = g_ProxyServers.find(strProxyServerName); server != g_ProxyServers.end())
            pHostProc = server->second.pHostProc;
    }
    UnloadDriver(&hCtx, pHostProc.get());

    NmThread::CmCriticalSectionLock registry(g_csRegistry);
    KESTREL_LOG(kProxyUtil, "RemoveDeviceInstance", 2, "Removing instance '%s' on server '%s'", szServer,
                strProxyServerName.c_str());
    // Gone already only when the library was unloaded meanwhile.
    if (const auto it = g_Devices.find(szServer); it != g_Devices.end() && it->second.bRemoving) g_Devices.erase(it);
    if (CountDevicesOnProxyServer(strProxyServerName) == 0) RemoveHostProc(strProxyServerName, false);
    RemovalDone();
}

namespace kestrel::instances {

bool RemoveHostProc(std::string szProxyServer, bool bKill) {
    NmThread::CmCriticalSectionLock registry(g_csRegistry);
    KESTREL_LOG(kProxyUtil, "RemoveHostProc", 1, "szProxyServer='%s'", szProxyServer.c_str());
    const auto it = g_ProxyServers.find(szProxyServer);
    if (it == g_ProxyServers.end()) return false;
    if (it->second.pProcess) {
        if (bKill) {
            try {
                it->second.pProcess->Kill();
                it->second.pHostProc->Handle().KillGroup();
                // A killed HostProc cannot remove its socket itself.
                kestrel::rpc::removeEndpointSocket(EndpointOfArgument(it->second.strArgument));
            } catch (const NmError::CmError& error) {
                KESTREL_LOG(kProxyUtil, "RemoveHostProc", 1, "Kill on szProxyServer='%s' throwed: %s",
                            szProxyServer.c_str(), error.GetDescription().c_str());
            }
        }
        it->second.pProcess.reset();
    }
    g_ProxyServers.erase(it);
    return true;
}

bool RemoveDeviceEntry(const char* szServer, bool bUnload) {
    NmThread::CmCriticalSectionLock registry(g_csRegistry);
    const auto it = g_Devices.find(szServer);
    if (it == g_Devices.end() || it->second.bRemoving) return false;
    if (it->second.hCtx != nullptr) {
        if (bUnload) {
            const auto server = g_ProxyServers.find(it->second.strProxyServerName);
            UnloadDriver(&it->second.hCtx, server == g_ProxyServers.end() ? nullptr : server->second.pHostProc.get());
        } else {
            DropContextHandle(&it->second.hCtx);
        }
    }
    g_Devices.erase(it);
    return true;
}

void RemoveDevicesFromHostProc(std::string strHostProcName, bool bUnload) {
    NmThread::CmCriticalSectionLock registry(g_csRegistry);
    KESTREL_LOG(kProxyUtil, "RemoveDevicesFromHostProc", 1, "strHostProcName='%s'", strHostProcName.c_str());
    for (auto it = g_Devices.begin(); it != g_Devices.end();) {
        const std::string strProxyServerName = it->second.strProxyServerName;
        const std::string strServer = it->second.strServer;
        const bool bRemoving = it->second.bRemoving;
        ++it;  // step on before the record may go
        if (strProxyServerName != strHostProcName || bRemoving) continue;
        RemoveDeviceEntry(strServer.c_str(), bUnload);
        KESTREL_LOG(kProxyUtil, "RemoveDevicesFromHostProc", 2, "Deleted strId='%s', count='%d'", strServer.c_str(),
                    static_cast<int>(g_Devices.count(strServer)));
    }
}

bool RemoveHostProcAndDevices(const char* szServer, bool bUnload) {
    KESTREL_LOG(kProxyUtil, "RemoveHostProcAndDevices", 1, "szServer='%s'", szServer);
    g_csRemoval.Enter();  // left by the thrower that the caller calls next
    NmThread::CmCriticalSectionLock registry(g_csRegistry);
    const auto it = g_Devices.find(szServer);
    if (it == g_Devices.end() || it->second.bRemoving) return false;
    const std::string strProxyServerName = it->second.strProxyServerName;
    RemoveDevicesFromHostProc(strProxyServerName, bUnload);
    return RemoveHostProc(strProxyServerName, false);
}

void ThrowHostProcError(std::uint32_t nCode) {
    KESTREL_LOG(kProxyUtil, "ThrowHostProcError", 1, "Throw HOSTPROCUNAVAILABLEERROR Error: RPC exception thrown='%d'",
                static_cast<int>(nCode));
    g_csRemoval.Leave();
    throw static_cast<unsigned long>((nCode & kStatusMask) | kHostProcUnavailable);
}

void ThrowDeviceUnknownError(std::uint32_t nCode) {
    KESTREL_LOG(kProxyUtil, "ThrowDeviceUnknownError", 1,
                "Throw PROXYUNKNOWNDEVICEERROR Error: RPC exception thrown='%d'", static_cast<int>(nCode));
    g_csRemoval.Leave();
    throw static_cast<unsigned long>(nCode & kStatusMask);
}

void RemoveAllDevices() {
    NmThread::CmCriticalSectionLock registry(g_csRegistry);
    KESTREL_LOG(kProxyUtil, "RemoveAllDevices", 1, "%s", "");
    for (auto& entry : g_Devices) {
        if (entry.second.hCtx != nullptr) DropContextHandle(&entry.second.hCtx);
    }
    g_Devices.clear();
}

void RemoveAllHostProcs() {
    NmThread::CmCriticalSectionLock registry(g_csRegistry);
    KESTREL_LOG(kProxyUtil, "RemoveAllHostProcs", 1, "%s", "");
    g_ProxyServers.clear();  // releases every process object; none is killed
}

void RemoveAll() {
    g_Timer.Stop();
    RemoveAllDevices();
    RemoveAllHostProcs();
    // What has ended is reaped now; what still runs is beyond an unloaded
    // library's reach.
    g_Timer.ReleaseFollowed();
}

}  // namespace kestrel::instances
