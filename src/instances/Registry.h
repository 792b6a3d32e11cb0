// The registry of device instances and of the HostProc processes this
// library started, with the per-call context of the forwarding exports.
// Every log line of instance management names the file "ProxyUtil".
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "instances/Timer.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include "platform/TimeStamp.h"
#include "remote/ProxyClient.h"

namespace kestrel::instances {

inline constexpr const char* kProxyUtil = "ProxyUtil";

struct DeviceInstance {
    RpcDriverCtx hCtx = nullptr;  // from rpc_LoadDriver; never null while registered
    std::uint32_t nCount = 0;     // additions not yet removed
    std::string strServer;
    std::string strDriverName;
    std::string strProxyServerName;
    // Its driver is being unloaded outside the registry lock: lookups and the
    // failure path treat the record as gone, an add of its id waits for it,
    // and it still counts as an instance of its HostProc.
    bool bRemoving = false;
};

struct ProxyServerInfo {
    std::string strArgument;                         // "<proxy-server name>_<ENDPOINT>"
    std::unique_ptr<NmProcess::CmProcess> pProcess;  // null once the timer killed it
    std::shared_ptr<const HostProcRef> pHostProc;    // what calls in flight keep of it
    NmTimeStamp::CmTimeStamp tsStarted;
};

// The context of one forwarded call: a copy of the instance's handle and the
// call's deadline.
class RpcContext {
public:
    virtual ~RpcContext();  // clears the deadline, if one was armed

    RpcDriverCallCtx m_hCtx = nullptr;
    std::uint32_t m_hDeadline = 0;
    // Deadline handle 0 is a real handle, so "none armed" needs its own flag.
    bool m_bDeadlineArmed = false;
};

// Byte-wise ordered maps, keys case-sensitive.
using ProxyServerMap = std::map<std::string, ProxyServerInfo>;
using DeviceMap = std::map<std::string, DeviceInstance>;

// The module-wide objects, constructed at load in this order. They are never
// destroyed, so a thread still inside an export at exit never meets a
// destroyed object; unloading empties them instead.
extern std::string& g_strFeatureSet;
extern NmThread::CmCriticalSection& g_csRegistry;
extern NmThread::CmCriticalSection& g_csRemoval;
extern ProxyServerMap& g_ProxyServers;
extern DeviceMap& g_Devices;
extern Timer& g_Timer;

// The handle serving szServer (by id, else by driver file name), or null.
RpcDriverCtx GetInstanceCtx(const char* szServer);
// A new call context with an armed deadline; throws (unsigned long)0 when
// szServer cannot be resolved.
RpcContext* RpcCtx(const char* szServer);
void ReleaseRpcCtx(RpcContext* pContext);

// A call's context until it goes back: released by the destructor on every
// path, or moved on (the failure path releases it after its log line).
class RpcContextLease {
public:
    explicit RpcContextLease(RpcContext* pContext) noexcept : m_pContext(pContext) {}
    RpcContextLease(RpcContextLease&& other) noexcept : m_pContext(std::exchange(other.m_pContext, nullptr)) {}
    RpcContextLease& operator=(RpcContextLease&&) = delete;
    ~RpcContextLease() { Release(); }
    RpcContext* operator->() const noexcept { return m_pContext; }
    void Release() noexcept { ReleaseRpcCtx(std::exchange(m_pContext, nullptr)); }

private:
    RpcContext* m_pContext;
};
// Instances on that HostProc; the caller holds the registry lock.
int CountDevicesOnProxyServer(std::string strProxyServerName);
// Waits, with the registry lock held once by the caller (and left while
// waiting), until no removal of szServer is in progress.
void AwaitRemoval(const char* szServer);
// Wakes the adds that wait for a removal; the caller holds the registry lock.
void RemovalDone();

// Adding (see AddInstance.cpp).
NmProcess::CmProcess* SpawnServer(const char* szExePath, const char* szArgument,
                                  const std::vector<std::string>& vecEnvironment = {});
// The environment entries that tell a new HostProc its confinement
// (Proxies.ini [HostProc]); logs at level 1 what the kernel cannot give it.
std::vector<std::string> HostProcEnvironment(const char* szProxyServerName);
bool LoadDrv(RPC_BINDING_HANDLE* pBinding, const char* szDriverName, RpcDriverCtx* phCtx);
void SetFeatureSetRemote(RpcDriverCtx hCtx, const char* szFeatureSet);

// Removal (see Removal.cpp).
bool RemoveHostProc(std::string szProxyServer, bool bKill);
void RemoveDevicesFromHostProc(std::string strHostProcName, bool bUnload);
// Returns with g_csRemoval held: the thrower called next leaves it.
bool RemoveHostProcAndDevices(const char* szServer, bool bUnload);
[[noreturn]] void ThrowHostProcError(std::uint32_t nCode);
[[noreturn]] void ThrowDeviceUnknownError(std::uint32_t nCode);
bool RemoveDeviceEntry(const char* szServer, bool bUnload);
// rpc_UnloadDriver under a guard; pWatch, when given, is the HostProc that
// serves the handle, killed if the call hangs past the deadline.
bool UnloadDriver(RpcDriverCtx* phCtx, const HostProcRef* pWatch = nullptr);
void RemoveAll();
void RemoveAllDevices();
void RemoveAllHostProcs();

// How the HostProc of szServer ended, when that is known (it was killed by
// the deadline timer); empty otherwise.
std::string DescribeHostProcEnd(const char* szServer);
// The endpoint part of a stored argument (after its last '_'), empty when
// there is none.
std::string EndpointOfArgument(const std::string& strArgument);
// The u32 status of the exception being handled: the runtime's status, 14
// for an allocation failure, 1726 for anything else. Call only inside a
// catch block. A thread-cancellation unwind is rethrown.
std::uint32_t CurrentExceptionCode();

}  // namespace kestrel::instances
