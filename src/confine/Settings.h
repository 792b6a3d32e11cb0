// HostProc's confinement settings, section [HostProc] of Proxies.ini:
//   Confine=on|off|required   (default on)
//   AllowRead=/a:/b           extra folders a driver may read
//   AllowWrite=/c             extra folders a driver may write
//   Log=stderr|syslog|none    where HostProc's own lines go (default stderr)
// The library reads them when it starts a HostProc and hands them over in
// HostProc's environment; HostProc applies them to itself.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace confine {

enum class Mode { On, Off, Required };
enum class LogTarget { Stderr, Syslog, None };

// The environment between the library, HostProc and drivers.
inline constexpr const char* kModeVariable = "KESTREL_CONFINE";
inline constexpr const char* kAllowReadVariable = "KESTREL_ALLOW_READ";
inline constexpr const char* kAllowWriteVariable = "KESTREL_ALLOW_WRITE";
inline constexpr const char* kLogVariable = "KESTREL_HOSTPROC_LOG";
// Set by HostProc for its drivers: their private state folder.
inline constexpr const char* kStateDirVariable = "KESTREL_STATE_DIR";
// Set by an application that wants HostProc's account of its confinement
// and of every access it refused, appended to the file it names.
inline constexpr const char* kReportVariable = "KESTREL_CONFINE_REPORT";

struct Settings {
    Mode mode = Mode::On;
    std::string strAllowRead;
    std::string strAllowWrite;
    std::string strUnknownMode;  // a Confine= value that is none of the three (read as on)
    LogTarget log = LogTarget::Stderr;
    std::string strUnknownLog;  // a Log= value that is none of the three (read as stderr)
};

// "on", "off", "required" in any case; nullopt for anything else.
std::optional<Mode> ParseMode(const char* szText);
const char* ModeName(Mode mode);
// "stderr", "syslog", "none" in any case; nullopt for anything else.
std::optional<LogTarget> ParseLogTarget(const char* szText);

// Section [HostProc] of strFile (names case-insensitive); the defaults when
// the file, the section or a key is missing.
Settings ReadSettings(const std::string& strFile);

// The settings as "NAME=value" entries of HostProc's environment.
std::vector<std::string> Environment(const Settings& settings);

// What this kernel offers an unprivileged process for confinement.
struct KernelSupport {
    int nLandlockAbi = 0;   // 0: no Landlock (not built, or not enabled at boot)
    bool bSeccomp = false;  // seccomp filters that return an errno
    // Empty when both are there, else what is missing, in words.
    std::string Missing() const;
};
KernelSupport ProbeKernel();

}  // namespace confine
