#include "Api.h"

#include <climits>
#include <cstdlib>
#include <filesystem>

#include <dlfcn.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace kestrel_cli {

const char* ExitCodeHelp()
{
    return "Exit codes:\n"
           "  0  success\n"
           "  1  usage: a bad option or argument\n"
           "  2  a call threw an error code (proxy server lost, unknown instance)\n"
           "  3  a driver result reported failure, or an answer was not as expected\n"
           "  4  the library or driver could not be loaded, or AddDeviceInstance failed\n"
           "  5  an output file or folder could not be written\n";
}

std::string Absolute(const std::string& strPath)
{
    std::error_code error;
    const fs::path canonical = fs::weakly_canonical(fs::absolute(strPath, error), error);
    return error ? strPath : canonical.string();
}

namespace {

std::string SelfFolder()
{
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string() : self.parent_path().string();
}

bool Exists(const std::string& strPath) { return !strPath.empty() && access(strPath.c_str(), R_OK) == 0; }

}  // namespace

Locations FindLocations()
{
    Locations where;
    const std::string strSelf = SelfFolder();
    if (!strSelf.empty() && Absolute(strSelf) == Absolute(KESTREL_CLI_BUILD_FOLDER)) {
        where.bBuildTree = true;
        where.strLibrary = KESTREL_CLI_BUILD_LIBRARY;
        where.strDriver = KESTREL_CLI_BUILD_DRIVER;
    } else {
        // Installed: relative to <prefix>/bin first, so that an installation
        // moved elsewhere (or made with --prefix) still finds its parts. The
        // library by its SONAME, as an application loads it (libKestrel.so
        // is the development link).
        const fs::path prefix = fs::path(strSelf).parent_path();
        const std::string strLibrary = (prefix / KESTREL_CLI_INSTALL_LIBDIR / "libKestrel.so.1").string();
        const std::string strDriver = (prefix / KESTREL_CLI_INSTALL_DRIVERSDIR / "libsimcam.so").string();
        where.strLibrary = Exists(strLibrary) ? strLibrary : KESTREL_CLI_INSTALL_FULL_LIBDIR "/libKestrel.so.1";
        where.strDriver = Exists(strDriver) ? strDriver : KESTREL_CLI_INSTALL_FULL_DRIVERSDIR "/libsimcam.so";
    }
    where.strHostProc = (fs::path(where.strDriver).parent_path() / "hostproc" / "HostProc").string();
    where.strBlockDriver = (fs::path(where.strDriver).parent_path() / "libkestrel_blocks.so").string();
    return where;
}

void Module::Open(const std::string& strPath)
{
    Close();
    m_strPath = Absolute(strPath);
    m_hModule = dlopen(m_strPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_hModule == nullptr) {
        const char* szError = dlerror();
        throw Failure{kExitLoad, "cannot load " + m_strPath + ": " + (szError ? szError : "unknown error")};
    }
#define KESTREL_CLI_RESOLVE(OP, R, NAME, PARAMS, ARGS) NAME = reinterpret_cast<R(*) PARAMS>(dlsym(m_hModule, #NAME));
    KESTREL_FORWARDING_EXPORTS(KESTREL_CLI_RESOLVE)
    KESTREL_DRIVER_SERVICE_EXPORTS(KESTREL_CLI_RESOLVE)
#undef KESTREL_CLI_RESOLVE
    AddDeviceInstance = reinterpret_cast<decltype(AddDeviceInstance)>(dlsym(m_hModule, "AddDeviceInstance"));
    RemoveDeviceInstance = reinterpret_cast<decltype(RemoveDeviceInstance)>(dlsym(m_hModule, "RemoveDeviceInstance"));
    GetRuntimeVersion = reinterpret_cast<decltype(GetRuntimeVersion)>(dlsym(m_hModule, "GetRuntimeVersion"));
}

bool Module::Close()
{
    if (m_hModule == nullptr)
        return true;
    dlclose(m_hModule);
    m_hModule = nullptr;
#define KESTREL_CLI_CLEAR(OP, R, NAME, PARAMS, ARGS) NAME = nullptr;
    KESTREL_FORWARDING_EXPORTS(KESTREL_CLI_CLEAR)
    KESTREL_DRIVER_SERVICE_EXPORTS(KESTREL_CLI_CLEAR)
#undef KESTREL_CLI_CLEAR
    AddDeviceInstance = nullptr;
    RemoveDeviceInstance = nullptr;
    GetRuntimeVersion = nullptr;
    return dlopen(m_strPath.c_str(), RTLD_NOW | RTLD_NOLOAD) == nullptr;
}

void Module::Keep() { m_hModule = nullptr; }

std::vector<std::string> Module::Missing() const
{
    std::vector<std::string> missing;
#define KESTREL_CLI_MISSING(OP, R, NAME, PARAMS, ARGS) \
    if (NAME == nullptr)                               \
        missing.push_back(#NAME);
    KESTREL_FORWARDING_EXPORTS(KESTREL_CLI_MISSING)
    KESTREL_DRIVER_SERVICE_EXPORTS(KESTREL_CLI_MISSING)
#undef KESTREL_CLI_MISSING
    return missing;
}

const std::vector<std::string>& AllExportNames()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
#define KESTREL_CLI_NAME(OP, R, NAME, PARAMS, ARGS) all.push_back(#NAME);
        KESTREL_FORWARDING_EXPORTS(KESTREL_CLI_NAME)
        KESTREL_DRIVER_SERVICE_EXPORTS(KESTREL_CLI_NAME)
#undef KESTREL_CLI_NAME
        return all;
    }();
    return names;
}

std::vector<ExportPresence> ExportsOfFile(const std::string& strPath, std::string& strError)
{
    std::vector<ExportPresence> result;
    // Lazy binding: only the symbol table is wanted, not the driver's calls.
    void* hModule = dlopen(Absolute(strPath).c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (hModule == nullptr) {
        const char* szError = dlerror();
        strError = szError ? szError : "unknown error";
        return result;
    }
    for (const std::string& strName : AllExportNames())
        result.push_back({strName, dlsym(hModule, strName.c_str()) != nullptr});
    dlclose(hModule);
    return result;
}

}  // namespace kestrel_cli
