#include "driver_api/Configuration.h"

#include <cstdlib>
#include <filesystem>
#include <string_view>

#include <dlfcn.h>
#include <ini.h>
#include <strings.h>
#include <sys/stat.h>

namespace kestrel::driver_api::Configuration {

namespace {

std::string CommonApplicationDataFolder() {
    if (const char* szDirs = std::getenv("XDG_CONFIG_DIRS")) {
        std::string_view dirs(szDirs);
        while (!dirs.empty()) {
            const size_t nColon = dirs.find(':');
            const std::string_view entry = dirs.substr(0, nColon);
            if (!entry.empty() && entry.front() == '/') return std::string(entry);
            if (nColon == std::string_view::npos) break;
            dirs.remove_prefix(nColon + 1);
        }
    }
    return "/etc/xdg";
}

bool IsFolder(const std::string& strPath) {
    struct stat st {};
    return stat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The integer at the start of a profile value, as GetPrivateProfileInt reads
// it: optional blanks and sign, then digits; anything else reads as 0.
int ProfileInt(const char* szValue) {
    char* pEnd = nullptr;
    const long nValue = std::strtol(szValue, &pEnd, 10);
    return pEnd == szValue ? 0 : static_cast<int>(nValue);
}

struct ValueSearch {
    const char* szSection;
    const char* szKey;
    std::optional<std::string> strValue;
};

int OnIniEntry(void* pUser, const char* szSection, const char* szKey, const char* szValue) {
    auto* pSearch = static_cast<ValueSearch*>(pUser);
    if (!pSearch->strValue && strcasecmp(szSection, pSearch->szSection) == 0 && strcasecmp(szKey, pSearch->szKey) == 0)
        pSearch->strValue = szValue;
    return 1;
}

}  // namespace

std::string ConfigurationFile(const std::string& strLibraryFolder) {
    namespace fs = std::filesystem;
    const std::string strCommon = CommonApplicationDataFolder();
    if (!IsFolder(strCommon)) return (fs::path(strLibraryFolder) / "Proxies.ini").lexically_normal().string();
    const std::string strRelative = strLibraryFolder.substr(strLibraryFolder.find_first_not_of('/') == std::string::npos
                                                                ? strLibraryFolder.size()
                                                                : strLibraryFolder.find_first_not_of('/'));
    return (fs::path(strCommon) / "VideoDeviceDrivers" / strRelative / ".." / "Proxies.ini")
        .lexically_normal()
        .string();
}

std::optional<std::string> ReadValue(const std::string& strFile, const char* szSection, const char* szKey) {
    ValueSearch search{szSection, szKey, std::nullopt};
    if (ini_parse(strFile.c_str(), &OnIniEntry, &search) < 0) return std::nullopt;
    return search.strValue;
}

int ReadLevel(const std::string& strFile) {
    const std::optional<std::string> strLevel = ReadValue(strFile, "ProxyLogging", "Level");
    return strLevel ? ProfileInt(strLevel->c_str()) : -1;
}

std::optional<int> DeadlineSeconds(const std::string& strValue) {
    if (strValue.empty() || strValue.size() > 5 || strValue.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int nSeconds = std::atoi(strValue.c_str());
    return nSeconds >= 1 && nSeconds <= 86400 ? std::optional<int>(nSeconds) : std::nullopt;
}

std::optional<std::string> LibraryFolder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&LibraryFolder), &info) == 0 || info.dli_fname == nullptr) return std::nullopt;
    char* szReal = realpath(info.dli_fname, nullptr);
    if (szReal == nullptr) return std::nullopt;
    std::string strPath(szReal);
    free(szReal);
    const size_t nSlash = strPath.rfind('/');
    return nSlash == 0 ? std::string("/") : strPath.substr(0, nSlash);
}

}  // namespace kestrel::driver_api::Configuration
