// The library's module-wide objects and its application object, in one
// translation unit so that their construction order is the order written
// here (C++ orders nothing across units).
#include <dlfcn.h>
#include <pthread.h>

#include <new>
#include <utility>

#include "driver_api/Configuration.h"
#include "instances/Registry.h"
#include "instances/Timer.h"
#include "instances/Timing.h"
#include "rpcrt/Client.h"
#include "trace/Log.h"

using namespace kestrel::instances;
namespace Configuration = kestrel::driver_api::Configuration;

namespace {

// Storage for an object that is constructed at load and never destroyed, so
// that a thread still inside an export while the process exits never meets a
// destroyed object. Unloading empties the objects instead (RemoveAll).
template <typename T>
class Immortal {
public:
    template <typename... TArgs>
    explicit Immortal(TArgs&&... args) {
        new (m_storage) T(std::forward<TArgs>(args)...);
    }
    T& operator*() { return *std::launder(reinterpret_cast<T*>(m_storage)); }
    // A fresh object in place of the old one, which is abandoned, not
    // destroyed (used in a forked child, where its locks may be held by
    // threads that do not exist there).
    template <typename... TArgs>
    void Renew(TArgs&&... args) {
        new (m_storage) T(std::forward<TArgs>(args)...);
    }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

Immortal<std::string> s_strFeatureSet;
Immortal<NmThread::CmCriticalSection> s_csRegistry;
Immortal<NmThread::CmCriticalSection> s_csRemoval;
Immortal<ProxyServerMap> s_ProxyServers;
Immortal<DeviceMap> s_Devices;
Immortal<Timer> s_Timer;

}  // namespace

namespace kestrel::instances {
std::string& g_strFeatureSet = *s_strFeatureSet;
NmThread::CmCriticalSection& g_csRegistry = *s_csRegistry;
NmThread::CmCriticalSection& g_csRemoval = *s_csRemoval;
ProxyServerMap& g_ProxyServers = *s_ProxyServers;
DeviceMap& g_Devices = *s_Devices;
Timer& g_Timer = *s_Timer;
}  // namespace kestrel::instances

namespace {

// A child of a forking application starts with an empty registry and a
// timer of its own; the parent's HostProcs and connections are not touched
// (the runtime closes its descriptors in the child).
void AfterForkInChild() {
    std::string strFeatureSet = g_strFeatureSet;
    s_strFeatureSet.Renew(std::move(strFeatureSet));
    s_csRegistry.Renew();
    s_csRemoval.Renew();
    s_ProxyServers.Renew();
    s_Devices.Renew();
    g_Timer.CloseWake();
    s_Timer.Renew();
    try {
        StartTimer();
    } catch (const NmError::CmError& error) {
        KESTREL_LOG(kProxyUtil, "CmProxy::InitInstance", 1, "Exception: %s", error.what());
    }
}

// The application object: started when the library is loaded, ended when it
// is unloaded (dlclose or process exit).
class CmProxy {
public:
    explicit CmProxy(const char* szAppName) : m_szAppName(szAppName) { InitInstance(); }
    virtual ~CmProxy() { ExitInstance(); }
    CmProxy(const CmProxy&) = delete;
    CmProxy& operator=(const CmProxy&) = delete;

    virtual bool InitInstance() {
        try {
            StartTimer();
        } catch (const NmError::CmError& error) {
            KESTREL_LOG(kProxyUtil, "CmProxy::InitInstance", 1, "Exception: %s", error.what());
        }
        // Unregistered by the C library when this library is unloaded.
        pthread_atfork(nullptr, nullptr, &AfterForkInChild);
        if (const auto strFolder = Configuration::LibraryFolder()) {
            const std::string strFile = Configuration::ConfigurationFile(*strFolder);
            const int nLevel = Configuration::ReadLevel(strFile);
            if (nLevel >= 0) CmLog::SetLevel(kLogSource, nLevel);
            if (const auto strSeconds = Configuration::ReadValue(strFile, "ProxyDeadline", "Seconds")) {
                if (const auto nSeconds = Configuration::DeadlineSeconds(*strSeconds)) {
                    Timing::SetDeadlineSeconds(*nSeconds);
                } else {
                    KESTREL_LOG(kProxyUtil, "CmProxy::InitInstance", 1,
                                "[ProxyDeadline] Seconds='%s' is not a whole number of seconds from 1 to 86400: the "
                                "deadline stays 600 s",
                                strSeconds->c_str());
                }
            }
        }
        return true;
    }

    virtual int ExitInstance() {
        RemoveAll();
        g_strFeatureSet.clear();
        g_strFeatureSet.shrink_to_fit();
        // The trace table and the runtime's tables go with the module.
        CmLog::ClearLevels();
        kestrel::rpc::releaseUnusedClientState();
        // A timer thread that did not stop in time still runs this library's
        // code: keep the library mapped for the rest of the process.
        if (!g_Timer.HasEnded()) PinLibrary();
        return 0;
    }

private:
    static void PinLibrary() {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(&PinLibrary), &info) != 0 && info.dli_fname != nullptr) {
            dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
        }
    }

    const char* m_szAppName;
};

CmProxy theApp("Device driver proxy");

}  // namespace
