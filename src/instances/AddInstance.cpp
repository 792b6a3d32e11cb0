// AddDeviceInstance: register an instance, starting and binding its HostProc
// and loading its driver when the instance is new.
#include <kestrel/kestrel.h>

#include "c_api/Notes.h"
#include "instances/Registry.h"
#include "instances/Timer.h"
#include "instances/Timing.h"
#include "platform/GUID.h"
#include "rpcrt/Transport.h"
#include "trace/Log.h"

namespace kestrel::instances {
namespace {

constexpr int kLoadAttempts = 10;

// "<driver folder>/hostproc/HostProc"; a name without a folder is taken whole.
std::string ExecutablePath(const std::string& strDriverName) {
    const size_t nSlash = strDriverName.rfind('/');
    const std::string strFolder = nSlash == std::string::npos ? strDriverName : strDriverName.substr(0, nSlash);
    return strFolder + "/hostproc/HostProc";
}

std::string NewEndpointName() {
    NmGUID::CmGUID guid;
    guid.GenerateNew();
    return guid.ToString();
}

// Keeps a HostProc under watch while a call that the registry lock covers
// runs: every instance of every HostProc waits for it, so it gets the span
// of a driver load, not the deadline of a call.
class LoadWatchScope {
public:
    LoadWatchScope(const NmProcess::CmProcess* pProcess, const std::string& strName)
        : m_bActive(pProcess != nullptr && pProcess->IsRunning()) {
        if (m_bActive)
            m_hWatch = g_Timer.WatchProcess(pProcess->DuplicateHandle(), strName, Timing::LoadBoundMilliseconds(),
                                            "Loading a driver");
    }
    ~LoadWatchScope() {
        if (m_bActive) g_Timer.UnwatchProcess(m_hWatch);
    }
    LoadWatchScope(const LoadWatchScope&) = delete;
    LoadWatchScope& operator=(const LoadWatchScope&) = delete;

private:
    bool m_bActive;
    std::uint32_t m_hWatch = 0;
};

// What a new HostProc is told: its confinement, and the socket folder this
// process connects in. By name HostProc would find the same folder, but not
// the private one this process uses when /tmp/kestrel-<uid> is taken.
std::vector<std::string> ServerEnvironment(const char* szProxyServerName) {
    std::vector<std::string> vecEnvironment = HostProcEnvironment(szProxyServerName);
    try {
        vecEnvironment.push_back("KESTREL_RPC_DIR=" + kestrel::rpc::openSocketDir(true).path);
    } catch (const std::runtime_error&) {
        // The failed add reports it, with the folder's name.
    }
    return vecEnvironment;
}

}  // namespace

NmProcess::CmProcess* SpawnServer(const char* szExePath, const char* szArgument,
                                  const std::vector<std::string>& vecEnvironment) {
    auto pProcess = std::make_unique<NmProcess::CmProcess>();
    try {
        pProcess->Run(szExePath, {szArgument}, true, vecEnvironment);
    } catch (const NmProcess::CmProcessError& error) {
        KESTREL_LOG(kProxyUtil, "SpawnServer", 1, "Exception: %s", error.what());
        return nullptr;
    }
    return pProcess.release();
}

bool LoadDrv(RPC_BINDING_HANDLE* pBinding, const char* szDriverName, RpcDriverCtx* phCtx) {
    try {
        *phCtx = rpc_LoadDriver(*pBinding, szDriverName);
        return true;
    } catch (...) {
        const std::uint32_t nCode = CurrentExceptionCode();
        KESTREL_LOG(kProxyUtil, "LoadDrv", 1, "Proxy RPC exception %d(0x%x), szDriverName='%s'",
                    static_cast<int>(nCode), nCode, szDriverName);
        return false;
    }
}

void SetFeatureSetRemote(RpcDriverCtx hCtx, const char* szFeatureSet) {
    try {
        rpc_SetFeatureSet(hCtx, szFeatureSet);
    } catch (...) {
        const std::uint32_t nCode = CurrentExceptionCode();
        KESTREL_LOG(kProxyUtil, "SetFeatureSetRemote", 1, "Proxy RPC exception %d(0x%x)", static_cast<int>(nCode),
                    nCode);
    }
}

}  // namespace kestrel::instances

using namespace kestrel::instances;

extern "C" KESTREL_API int AddDeviceInstance(const char* szServer, const char* szDriverName,
                                             const char* szProxyServerName) {
    KESTREL_LOG(kProxyUtil, "AddDeviceInstance", 2, "szServer='%s', szDriverName='%s', szProxyServerName='%s'",
                szServer, szDriverName, szProxyServerName);
    kestrel_c_notes::AddFailure failure;  // reported after the lock is released
    NmThread::CmCriticalSectionLock registry(g_csRegistry);
    // An id whose removal is under way is added afresh once it is gone.
    AwaitRemoval(szServer);

    if (GetInstanceCtx(szServer) != nullptr) {
        // Found by its id or only through a driver-name match: only a record
        // under the id itself can be counted; a driver-name match is a new id.
        const auto it = g_Devices.find(szServer);
        if (it != g_Devices.end()) {
            DeviceInstance& instance = it->second;
            if (instance.strProxyServerName == szProxyServerName) {
                KESTREL_LOG(kProxyUtil, "AddDeviceInstance", 1, "Increasing count(%d) on instance '%s'",
                            static_cast<int>(instance.nCount), szServer);
                ++instance.nCount;
                return 1;
            }
            KESTREL_LOG(kProxyUtil, "AddDeviceInstance", 1,
                        "AddDeviceInstance called on instance already added on another server %s %s %s",
                        szProxyServerName, instance.strProxyServerName.c_str(), szServer);
            failure.Because(std::string("instance '") + szServer + "' was already added on proxy server '" +
                            instance.strProxyServerName + "'");
            return 0;
        }
    }

    const bool bNewServer = g_ProxyServers.find(szProxyServerName) == g_ProxyServers.end();
    if (bNewServer) {
        const std::string strArgument = std::string(szProxyServerName) + "_" + NewEndpointName();
        NmProcess::CmProcess* pProcess = SpawnServer(ExecutablePath(szDriverName).c_str(), strArgument.c_str(),
                                                     ServerEnvironment(szProxyServerName));
        if (pProcess == nullptr) {
            failure.Because(kestrel_c_notes::StartFailure(ExecutablePath(szDriverName)));
            KESTREL_LOG(kProxyUtil, "AddDeviceInstance", 1, "SpawnServer failed, szProxyServerName=%s",
                        szProxyServerName);
            return 0;
        }
        ProxyServerInfo& info = g_ProxyServers[szProxyServerName];
        info.strArgument = strArgument;
        info.pProcess.reset(pProcess);
        // Not make_shared: its type tag is a unique symbol, which would keep
        // the library from ever being unloaded.
        info.pHostProc.reset(
            new HostProcRef(pProcess->DuplicateHandle(), szProxyServerName, EndpointOfArgument(strArgument)));
        g_Timer.Follow(info.pHostProc);
        info.tsStarted.SetTo(NmTimeStamp::CmTimeStamp::CurrentTime);
    }

    ProxyServerInfo& server = g_ProxyServers[szProxyServerName];
    const size_t nUnderscore = server.strArgument.rfind('_');
    if (nUnderscore == std::string::npos || nUnderscore + 1 == server.strArgument.size()) {
        KESTREL_LOG(kProxyUtil, "AddDeviceInstance", 1, "Proxy server exe format error.");
        return 0;
    }
    const std::string strEndpoint = server.strArgument.substr(nUnderscore + 1);

    RPC_CSTR szStringBinding = nullptr;
    RPC_STATUS nStatus = RpcStringBindingComposeA(
        nullptr, reinterpret_cast<RPC_CSTR>(const_cast<char*>("ncalrpc")), nullptr,
        reinterpret_cast<RPC_CSTR>(const_cast<char*>(strEndpoint.c_str())), nullptr, &szStringBinding);
    if (nStatus != RPC_S_OK) {
        KESTREL_LOG(kProxyUtil, "AddDeviceInstance", 1, "RpcStringBindingCompose returned 0x%x",
                    static_cast<unsigned>(nStatus));
        return 0;
    }
    RPC_BINDING_HANDLE hBinding = nullptr;
    nStatus = RpcBindingFromStringBindingA(szStringBinding, &hBinding);
    RpcStringFreeA(&szStringBinding);
    if (nStatus != RPC_S_OK) {
        KESTREL_LOG(kProxyUtil, "AddDeviceInstance", 1, "RpcBindingFromStringBinding returned 0x%x",
                    static_cast<unsigned>(nStatus));
        return 0;
    }

    RpcDriverCtx hCtx = nullptr;
    bool bLoaded = false;
    {
        LoadWatchScope watch(server.pProcess.get(), szProxyServerName);
        bLoaded = LoadDrv(&hBinding, szDriverName, &hCtx);
        std::uint32_t nSleep = Timing::FirstRetryMilliseconds();
        for (int nAttempt = 1; !bLoaded && bNewServer && nAttempt < kLoadAttempts; ++nAttempt) {
            NmThread::CmThread::Sleep(nSleep);
            nSleep *= 2;
            bLoaded = LoadDrv(&hBinding, szDriverName, &hCtx);
        }
    }
    RpcBindingFree(&hBinding);

    if (hCtx == nullptr) {
        KESTREL_LOG(kProxyUtil, "AddDeviceInstance", 1, "rpc_LoadDriver returned NULL handle on strServer='%s'",
                    szServer);
        failure.Because(bLoaded ? kestrel_c_notes::LoadFailure(strEndpoint, szDriverName)
                                : kestrel_c_notes::NoAnswer(szProxyServerName, strEndpoint, server.pProcess.get()));
        if (CountDevicesOnProxyServer(szProxyServerName) == 0) RemoveHostProc(szProxyServerName, true);
        return 0;
    }

    KESTREL_LOG(kProxyUtil, "AddDeviceInstance", 1, "Adding instance '%s' on server '%s'", szServer, szProxyServerName);
    DeviceInstance& instance = g_Devices[szServer];
    instance.hCtx = hCtx;
    instance.nCount = 1;
    instance.strServer = szServer;
    instance.strDriverName = szDriverName;
    instance.strProxyServerName = szProxyServerName;
    {
        LoadWatchScope watch(server.pProcess.get(), szProxyServerName);
        SetFeatureSetRemote(hCtx, g_strFeatureSet.c_str());
    }
    return 1;
}
