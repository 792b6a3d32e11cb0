// What a new HostProc is told about its confinement: Proxies.ini's [HostProc]
// section, read when the HostProc starts, so that an edited file counts from
// the next HostProc on.
#include "confine/Settings.h"
#include "driver_api/Configuration.h"
#include "instances/Registry.h"
#include "trace/Log.h"

namespace kestrel::instances {

namespace Configuration = kestrel::driver_api::Configuration;

std::vector<std::string> HostProcEnvironment(const char* szProxyServerName) {
    confine::Settings settings;
    if (const auto strFolder = Configuration::LibraryFolder()) {
        settings = confine::ReadSettings(Configuration::ConfigurationFile(*strFolder));
    }
    if (!settings.strUnknownMode.empty()) {
        KESTREL_LOG(kProxyUtil, "AddDeviceInstance", 1, "[HostProc] Confine=%s is not on, off or required: using on",
                    settings.strUnknownMode.c_str());
    }
    if (!settings.strUnknownLog.empty()) {
        KESTREL_LOG(kProxyUtil, "AddDeviceInstance", 1, "[HostProc] Log=%s is not stderr, syslog or none: using stderr",
                    settings.strUnknownLog.c_str());
    }
    // HostProc finds the same kernel (and inherits this thread's seccomp
    // filters), so it will find what is missing too.
    if (settings.mode != confine::Mode::Off) {
        const std::string strMissing = confine::ProbeKernel().Missing();
        if (!strMissing.empty() && settings.mode == confine::Mode::Required) {
            KESTREL_LOG(kProxyUtil, "AddDeviceInstance", 1,
                        "HostProc '%s' will refuse every driver: Confine=required, but %s", szProxyServerName,
                        strMissing.c_str());
        } else if (!strMissing.empty()) {
            KESTREL_LOG(kProxyUtil, "AddDeviceInstance", 1, "HostProc '%s' runs without full confinement: %s",
                        szProxyServerName, strMissing.c_str());
        }
    }
    return confine::Environment(settings);
}

}  // namespace kestrel::instances
