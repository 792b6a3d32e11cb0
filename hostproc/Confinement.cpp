#include "Confinement.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Refusals.h"
#include "SyscallFilter.h"
#include "confine/Settings.h"

namespace hostproc {

namespace {

// Rights and fields of newer Landlock ABIs than the build's header knows.
constexpr __u64 kTruncate = 1ULL << 14;                                          // ABI 3
constexpr __u64 kIoctlDev = 1ULL << 15;                                          // ABI 5
constexpr __u64 kScopeAbstractUnixSocket = 1ULL << 0, kScopeSignal = 1ULL << 1;  // ABI 6
struct RulesetAttr {
    __u64 handledAccessFs;
    __u64 handledAccessNet;  // ABI 4
    __u64 scoped;            // ABI 6
};

constexpr __u64 kRead = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
constexpr __u64 kReadExecute = kRead | LANDLOCK_ACCESS_FS_EXECUTE;
// Everything but executing and making device nodes.
constexpr __u64 kReadWrite = kRead | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                             LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_DIR |
                             LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
                             LANDLOCK_ACCESS_FS_MAKE_SYM | LANDLOCK_ACCESS_FS_REFER | kTruncate;
constexpr __u64 kDevice = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE | kIoctlDev;
// The rights a rule on a file (not a folder) may carry.
constexpr __u64 kFileRights =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE | kTruncate | kIoctlDev;

// What a camera driver may use besides its own folder tree, its state
// folder and the AllowRead/AllowWrite folders. Paths a system lacks are
// skipped.
struct Grant {
    const char* szPath;
    __u64 nRights;
};
constexpr Grant kProfile[] = {
    // The system's programs, libraries and shared data (locales, time zones,
    // certificates under /usr/share).
    {"/usr", kReadExecute},
    {"/lib", kReadExecute},
    {"/lib64", kReadExecute},
    {"/lib32", kReadExecute},
    {"/libx32", kReadExecute},
    {"/bin", kReadExecute},
    {"/sbin", kReadExecute},
    {"/etc/ld.so.cache", kRead},
    {"/etc/ld.so.conf", kRead},
    {"/etc/ld.so.conf.d", kRead},
    {"/etc/localtime", kRead},
    // Name resolution and TLS.
    {"/etc/hosts", kRead},
    {"/etc/resolv.conf", kRead},
    {"/etc/nsswitch.conf", kRead},
    {"/etc/host.conf", kRead},
    {"/etc/gai.conf", kRead},
    {"/etc/services", kRead},
    {"/etc/protocols", kRead},
    {"/etc/passwd", kRead},
    {"/etc/group", kRead},
    {"/etc/ssl", kRead},
    {"/etc/ca-certificates", kRead},
    {"/etc/pki", kRead},
    // Device information and the device nodes a camera driver uses; /dev
    // may be listed, not opened.
    {"/sys", kRead},
    {"/run/udev", kRead},
    {"/dev", LANDLOCK_ACCESS_FS_READ_DIR},
    {"/dev/null", kDevice},
    {"/dev/zero", kDevice},
    {"/dev/full", kDevice},
    {"/dev/random", kDevice},
    {"/dev/urandom", kDevice},
    {"/dev/bus/usb", kDevice | LANDLOCK_ACCESS_FS_READ_DIR}};
// Device nodes of cameras present at the start: /dev/<prefix><anything>.
constexpr const char* kCameraDevices[] = {"video", "media"};

// Set before HostProc serves, read-only afterwards.
bool g_bLandlock = false;
std::string g_strRefuseAll;  // Confine=required, not met: why
std::string g_strDriverTree;

__u64 HandledRights(int nAbi) {
    __u64 nRights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;
    if (nAbi >= 2) nRights |= LANDLOCK_ACCESS_FS_REFER;
    if (nAbi >= 3) nRights |= kTruncate;
    if (nAbi >= 5) nRights |= kIoctlDev;
    return nRights;
}

class Ruleset {
public:
    explicit Ruleset(int nAbi) : m_nHandled(HandledRights(nAbi)) {
        RulesetAttr attr{m_nHandled, 0, nAbi >= 6 ? kScopeAbstractUnixSocket | kScopeSignal : 0};
        const size_t nSize = nAbi >= 6 ? sizeof attr : nAbi >= 4 ? 2 * sizeof(__u64) : sizeof(__u64);
        m_hRuleset = static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, nSize, 0U));
    }
    ~Ruleset() {
        if (m_hRuleset >= 0) close(m_hRuleset);
    }
    Ruleset(const Ruleset&) = delete;
    Ruleset& operator=(const Ruleset&) = delete;

    bool IsValid() const { return m_hRuleset >= 0; }

    // Allows nRights beneath szPath; false (errno) when it cannot be opened.
    // bPin keeps the folder open: procfs makes a new inode for a path whose
    // entry was dropped from the cache, and the rule holds the old one.
    bool Allow(const char* szPath, __u64 nRights, bool bPin = false) {
        const int hPath = open(szPath, O_PATH | O_CLOEXEC);
        if (hPath < 0) return false;
        struct stat st {};
        if (fstat(hPath, &st) == 0 && !S_ISDIR(st.st_mode)) nRights &= kFileRights;
        landlock_path_beneath_attr rule{nRights & m_nHandled, hPath};
        const bool bAdded = syscall(SYS_landlock_add_rule, m_hRuleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0U) == 0;
        const int nError = errno;
        if (!bPin || !bAdded) close(hPath);
        errno = nError;
        return bAdded;
    }

    bool Restrict() { return syscall(SYS_landlock_restrict_self, m_hRuleset, 0U) == 0; }

private:
    __u64 m_nHandled;
    int m_hRuleset = -1;
};

std::vector<std::string> Folders(const char* szVariable) {
    std::vector<std::string> folders;
    std::string_view list = std::getenv(szVariable) != nullptr ? std::getenv(szVariable) : "";
    while (!list.empty()) {
        const size_t nColon = list.find(':');
        if (nColon != 0) folders.emplace_back(list.substr(0, nColon));
        list.remove_prefix(nColon == std::string_view::npos ? list.size() : nColon + 1);
    }
    return folders;
}

std::string Parent(const std::string& strPath) {
    const size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? "." : nSlash == 0 ? "/" : strPath.substr(0, nSlash);
}

// The folder tree that holds this HostProc's drivers: the folder above
// its own hostproc/.
std::string DriverTree() {
    char szExe[4096];
    const ssize_t nLength = readlink("/proc/self/exe", szExe, sizeof szExe - 1);
    if (nLength <= 0) return "";
    return Parent(Parent(std::string(szExe, static_cast<size_t>(nLength))));
}

// A proxy-server name as one safe folder name: bytes other than letters,
// digits, '-', '_' and a '.' that does not lead become %XX.
std::string FolderName(const std::string& strName) {
    std::string strFolder;
    for (size_t i = 0; i < strName.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(strName[i]);
        if (isalnum(c) || c == '-' || c == '_' || (c == '.' && i > 0)) {
            strFolder.push_back(static_cast<char>(c));
        } else {
            char szEscape[4];
            snprintf(szEscape, sizeof szEscape, "%%%02X", c);
            strFolder += szEscape;
        }
    }
    return strFolder;
}

// $XDG_STATE_HOME/kestrel/<name>/ (default ~/.local/state), created 0700
// with what is missing above it, and named to drivers in KESTREL_STATE_DIR.
// Empty, and the variable unset, when there is none.
std::string MakeStateFolder(const std::string& strName) {
    unsetenv(confine::kStateDirVariable);
    std::string strBase;
    if (const char* szState = std::getenv("XDG_STATE_HOME"); szState != nullptr && szState[0] == '/') {
        strBase = szState;
    } else {
        const char* szHome = std::getenv("HOME");
        if (szHome == nullptr || szHome[0] != '/') {
            const passwd* pUser = getpwuid(getuid());
            szHome = pUser != nullptr ? pUser->pw_dir : nullptr;
        }
        if (szHome == nullptr || szHome[0] != '/' || strName.empty()) return "";
        strBase = std::string(szHome) + "/.local/state";
    }
    const std::string strFolder = strBase + "/kestrel/" + FolderName(strName);
    for (size_t nSlash = strFolder.find('/', 1); nSlash != std::string::npos;
         nSlash = strFolder.find('/', nSlash + 1)) {
        mkdir(strFolder.substr(0, nSlash).c_str(), 0700);
    }
    mkdir(strFolder.c_str(), 0700);
    struct stat st {};
    if (lstat(strFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        ((st.st_mode & 077) != 0 && chmod(strFolder.c_str(), 0700) != 0)) {
        Announce("no state folder: %s is not a folder of this user", strFolder.c_str());
        return "";
    }
    setenv(confine::kStateDirVariable, strFolder.c_str(), 1);
    return strFolder;
}

// Landlock: the profile above. Empty on success, else why not.
std::string ApplyLandlock(int nAbi, const std::string& strStateFolder, const std::string& strSocketPath) {
    Ruleset ruleset(nAbi);
    if (!ruleset.IsValid()) return std::string("landlock_create_ruleset: ") + strerror(errno);
    for (const Grant& grant : kProfile) ruleset.Allow(grant.szPath, grant.nRights);
    if (DIR* pDev = opendir("/dev")) {
        while (const dirent* pEntry = readdir(pDev)) {
            for (const char* szPrefix : kCameraDevices) {
                if (strncmp(pEntry->d_name, szPrefix, strlen(szPrefix)) == 0) {
                    ruleset.Allow(("/dev/" + std::string(pEntry->d_name)).c_str(), kDevice);
                }
            }
        }
        closedir(pDev);
    }
    // Sanitizer runtimes and the C library read /proc/self; no other
    // process's entries.
    if (!ruleset.Allow("/proc/self", kRead, true)) return std::string("/proc/self: ") + strerror(errno);
    if (!g_strDriverTree.empty() && !ruleset.Allow(g_strDriverTree.c_str(), kReadExecute)) {
        return "driver folder " + g_strDriverTree + ": " + strerror(errno);
    }
    if (!strStateFolder.empty()) ruleset.Allow(strStateFolder.c_str(), kReadWrite);
    // Only to leave why a driver did not load beside its socket, and to
    // remove both at the end.
    ruleset.Allow(Parent(strSocketPath).c_str(), LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_REG |
                                                     LANDLOCK_ACCESS_FS_WRITE_FILE | kTruncate);
    for (const auto& [szVariable, nRights] :
         {std::pair{confine::kAllowReadVariable, kReadExecute}, std::pair{confine::kAllowWriteVariable, kReadWrite}}) {
        for (const std::string& strFolder : Folders(szVariable)) {
            if (strFolder[0] != '/' || !ruleset.Allow(strFolder.c_str(), nRights)) {
                Announce("%s: '%s' ignored (%s)", szVariable, strFolder.c_str(),
                         strFolder[0] != '/' ? "not an absolute path" : strerror(errno));
            }
        }
    }
    if (!ruleset.Restrict()) return std::string("landlock_restrict_self: ") + strerror(errno);
    return "";
}

}  // namespace

void Confine(const std::string& strName, const std::string& strSocketPath) {
    OpenReport();
    const std::string strStateFolder = MakeStateFolder(strName);
    const std::string strState = strStateFolder.empty() ? "none" : strStateFolder;
    const confine::Mode mode = confine::ParseMode(std::getenv(confine::kModeVariable)).value_or(confine::Mode::On);
    if (mode == confine::Mode::Off) {
        Announce("unconfined: Confine=off; state folder %s", strState.c_str());
        return;
    }
    const confine::KernelSupport kernel = confine::ProbeKernel();
    if (mode == confine::Mode::Required && !kernel.Missing().empty()) {
        g_strRefuseAll = "Confine=required, but " + kernel.Missing();
        Announce("not confined: %s; every driver is refused", g_strRefuseAll.c_str());
        return;
    }
    g_strDriverTree = DriverTree();
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);

    std::string strMissing = kernel.Missing();
    if (kernel.nLandlockAbi > 0) {
        const std::string strError = ApplyLandlock(kernel.nLandlockAbi, strStateFolder, strSocketPath);
        g_bLandlock = strError.empty();
        if (!g_bLandlock) strMissing = strError;
    }
    if (g_bLandlock) WatchFileRefusals();
    bool bFilter = false, bCounted = false;
    if (kernel.bSeccomp) {
        std::string strError;
        bFilter = InstallSyscallFilter(bCounted, strError);
        if (!bFilter) strMissing += (strMissing.empty() ? "" : "; ") + strError;
    }
#ifndef KESTREL_SANITIZER_BUILD
    // No other process of the user may attach to it or read its memory. (A
    // sanitizer's leak checker attaches to HostProc's threads from a helper
    // task, which needs it dumpable unless it runs as root.)
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif

    std::string strWhat = g_bLandlock ? "Landlock ABI " + std::to_string(kernel.nLandlockAbi) : "";
    if (bFilter)
        strWhat += std::string(g_bLandlock ? " and " : "") + "a seccomp filter" + (bCounted ? "" : " (uncounted)");
    if (g_bLandlock && bFilter) {
        Announce("confined: %s; drivers from %s; state folder %s", strWhat.c_str(), g_strDriverTree.c_str(),
                 strState.c_str());
    } else if (mode == confine::Mode::Required) {
        g_strRefuseAll = "Confine=required, but " + strMissing;
        Announce("not confined: %s; every driver is refused", g_strRefuseAll.c_str());
    } else if (g_bLandlock || bFilter) {
        Announce("partly confined: %s only (%s); state folder %s", strWhat.c_str(), strMissing.c_str(),
                 strState.c_str());
    } else {
        Announce("unconfined: %s; state folder %s", strMissing.c_str(), strState.c_str());
    }
}

std::string LoadRefusal(const char* szPath) {
    if (!g_strRefuseAll.empty()) return g_strRefuseAll;
    if (!g_bLandlock) return "";
    // The system call itself: HostProc's own look is no refused access.
    const int hFile = static_cast<int>(syscall(SYS_openat, AT_FDCWD, szPath, O_RDONLY | O_CLOEXEC));
    if (hFile >= 0) close(hFile);
    if (hFile >= 0 || errno != EACCES) return "";
    return "it lies outside what this confined HostProc may read (its driver folder " + g_strDriverTree +
           " and AllowRead=); give it a proxy server of its own, or add its folder to AllowRead=";
}

}  // namespace hostproc
