#include "confine/Settings.h"

#include <cerrno>

#include <ini.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <strings.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace confine {

namespace {

int OnIniEntry(void* pUser, const char* szSection, const char* szKey, const char* szValue) {
    auto& settings = *static_cast<Settings*>(pUser);
    if (strcasecmp(szSection, "HostProc") != 0) return 1;
    if (strcasecmp(szKey, "Confine") == 0) {
        const std::optional<Mode> mode = ParseMode(szValue);
        settings.mode = mode.value_or(Mode::On);
        settings.strUnknownMode = mode ? "" : szValue;
    } else if (strcasecmp(szKey, "AllowRead") == 0) {
        settings.strAllowRead = szValue;
    } else if (strcasecmp(szKey, "AllowWrite") == 0) {
        settings.strAllowWrite = szValue;
    } else if (strcasecmp(szKey, "Log") == 0) {
        const std::optional<LogTarget> log = ParseLogTarget(szValue);
        settings.log = log.value_or(LogTarget::Stderr);
        settings.strUnknownLog = log ? "" : szValue;
    }
    return 1;
}

}  // namespace

std::optional<Mode> ParseMode(const char* szText) {
    if (szText == nullptr) return std::nullopt;
    if (strcasecmp(szText, "on") == 0) return Mode::On;
    if (strcasecmp(szText, "off") == 0) return Mode::Off;
    if (strcasecmp(szText, "required") == 0) return Mode::Required;
    return std::nullopt;
}

const char* ModeName(Mode mode) {
    switch (mode) {
        case Mode::Off:
            return "off";
        case Mode::Required:
            return "required";
        default:
            return "on";
    }
}

std::optional<LogTarget> ParseLogTarget(const char* szText) {
    if (szText == nullptr) return std::nullopt;
    if (strcasecmp(szText, "stderr") == 0) return LogTarget::Stderr;
    if (strcasecmp(szText, "syslog") == 0) return LogTarget::Syslog;
    if (strcasecmp(szText, "none") == 0) return LogTarget::None;
    return std::nullopt;
}

Settings ReadSettings(const std::string& strFile) {
    Settings settings;
    ini_parse(strFile.c_str(), &OnIniEntry, &settings);
    return settings;
}

std::vector<std::string> Environment(const Settings& settings) {
    // Always all of them, so that nothing inherited from the application's
    // own environment can change what Proxies.ini says.
    constexpr const char* kLogNames[] = {"stderr", "syslog", "none"};
    return {std::string(kModeVariable) + "=" + ModeName(settings.mode),
            std::string(kAllowReadVariable) + "=" + settings.strAllowRead,
            std::string(kAllowWriteVariable) + "=" + settings.strAllowWrite,
            std::string(kLogVariable) + "=" + kLogNames[static_cast<int>(settings.log)]};
}

std::string KernelSupport::Missing() const {
    if (nLandlockAbi > 0 && bSeccomp) return "";
    if (nLandlockAbi > 0) return "this kernel has no seccomp filters";
    if (bSeccomp) return "this kernel has no Landlock";
    return "this kernel has neither Landlock nor seccomp filters";
}

KernelSupport ProbeKernel() {
    KernelSupport support;
    const long nAbi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    support.nLandlockAbi = nAbi > 0 ? static_cast<int>(nAbi) : 0;
    unsigned nAction = SECCOMP_RET_ERRNO;
    support.bSeccomp = syscall(SYS_seccomp, SECCOMP_GET_ACTION_AVAIL, 0, &nAction) == 0;
    return support;
}

}  // namespace confine
