#include "Session.h"

#include "Util.h"

#include <kestrel/kestrel_c.h>

#include <dlfcn.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace kestrel_cli {

void AddModuleOptions(CLI::App& app, Target& target)
{
    app.add_option("--library", target.strLibrary, "libKestrel.so to load (default: the one beside this program)");
    app.add_option("--driver", target.strDriver, "driver file (default: the simulated camera, libsimcam.so)");
    app.add_flag("--direct", target.bDirect,
                 "load the driver itself into this process instead of libKestrel.so (no proxy server)");
}

void AddTargetOptions(CLI::App& app, Target& target)
{
    AddModuleOptions(app, target);
    app.add_option("--server", target.strServer, "instance id (the device's address)")->capture_default_str();
    app.add_option("--host", target.strHost, "proxy-server name that hosts the instance")->capture_default_str();
    app.add_option("--password", target.strPassword, "device password")->capture_default_str();
    app.add_option("--camera", target.nCamera, "camera number (from 1)")->capture_default_str();
}

void ResolveDefaults(Target& target)
{
    const Locations where = FindLocations();
    if (target.strLibrary.empty())
        target.strLibrary = where.strLibrary;
    if (target.strDriver.empty())
        target.strDriver = where.strDriver;
    target.strLibrary = Absolute(target.strLibrary);
    // The library finds HostProc beside the driver, so it wants a full path;
    // links are kept, as HostProc is looked for beside the name given.
    std::error_code error;
    const std::filesystem::path driver = std::filesystem::absolute(target.strDriver, error);
    if (!error)
        target.strDriver = driver.lexically_normal().string();
}

Session::Session(const Target& target) : m_target(target)
{
    ResolveDefaults(m_target);
    m_module.Open(m_target.bDirect ? m_target.strDriver : m_target.strLibrary);
    if (!m_target.bDirect && m_module.AddDeviceInstance == nullptr)
        throw Failure{kExitLoad,
                      m_module.Path() + " is not libKestrel.so (no AddDeviceInstance); use --direct for a driver"};
}

Session::~Session()
{
    try {
        Close();
    } catch (...) {
    }
}

void Session::Add(const std::string& strServer, const std::string& strHost)
{
    if (m_target.bDirect)
        return;
    if (m_module.AddDeviceInstance(strServer.c_str(), m_target.strDriver.c_str(), strHost.c_str()) != 1) {
        // The library starts the HostProc in the driver's folder; a missing
        // one is the commonest reason, and one this command can see.
        const std::string strHostProc =
            (std::filesystem::path(m_target.strDriver).parent_path() / "hostproc" / "HostProc").string();
        const std::string strWhy = access(strHostProc.c_str(), X_OK) != 0
                                       ? "no proxy server at " + strHostProc + " (" + std::strerror(errno) + ")"
                                       : "the driver or its proxy server could not be loaded";
        throw Failure{kExitLoad, "AddDeviceInstance(\"" + strServer + "\", \"" + m_target.strDriver + "\", \"" +
                                     strHost + "\") failed: " + strWhy};
    }
    m_added.insert(strServer);
}

void Session::Remove(const std::string& strServer)
{
    auto it = m_added.find(strServer);
    if (it == m_added.end())
        return;
    // strServer may be the element itself: keep a copy past the erase.
    const std::string strId = *it;
    m_added.erase(it);
    m_module.RemoveDeviceInstance(strId.c_str());
}

void Session::Close()
{
    if (!m_module.IsOpen())
        return;
    while (!m_added.empty())
        Remove(*m_added.begin());
    m_module.Keep();
}

void Session::Unload()
{
    while (!m_added.empty())
        Remove(*m_added.begin());
    m_module.Close();
}

// libKestrel<variant>.so's C interface: libKestrelC<variant>.so in its folder.
void* Session::CInterface(const char* szName)
{
    if (m_hCInterface == nullptr) {
        const std::filesystem::path library(m_module.Path());
        std::string strName = library.filename().string();
        strName = strName.rfind("libKestrel", 0) == 0 ? strName.insert(10, "C") : "libKestrelC.so";
        const std::string strPath = (library.parent_path() / strName).string();
        // It binds to the libKestrel.so this process has loaded already.
        m_hCInterface = dlopen(strPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (m_hCInterface == nullptr) {
            const char* szError = dlerror();
            throw Failure{kExitLoad, "cannot load " + strPath + ": " + (szError ? szError : "unknown error")};
        }
    }
    void* pFunction = dlsym(m_hCInterface, szName);
    if (pFunction == nullptr)
        throw Failure{kExitLoad, std::string("the C interface lacks ") + szName};
    return pFunction;
}

std::vector<unsigned char> Session::Image(const std::string& strServer, int nCamera)
{
    const std::string strCall = "GetImage2(\"" + strServer + "\")";
    unsigned char* pBytes = nullptr;
    size_t nLength = 0;
    int nResult = 0;
    if (Direct()) {
        // A driver returns the block's length.
        auto pGetImage2 = Need(m_module.GetImage2, "GetImage2");
        nResult = Guard(strCall, [&] { return pGetImage2(strServer.c_str(), nCamera, &pBytes); });
        nLength = nResult > 0 ? static_cast<size_t>(nResult) : 0;
    } else {
        const auto pGetImage = reinterpret_cast<decltype(&kestrel_get_image)>(CInterface("kestrel_get_image"));
        const auto pLastCode = reinterpret_cast<decltype(&kestrel_last_code)>(CInterface("kestrel_last_code"));
        const auto pLastError = reinterpret_cast<decltype(&kestrel_last_error)>(CInterface("kestrel_last_error"));
        const kestrel_status status = pGetImage(strServer.c_str(), nCamera, &pBytes, &nLength);
        if (status == KESTREL_THREW)
            throw Failure{kExitThrown, strCall + " threw " + DescribeCode(pLastCode()), pLastCode()};
        if (status != KESTREL_RETURNED)
            throw Failure{kExitDriverFailed, pLastError()};
    }
    if (pBytes == nullptr)
        throw Failure{kExitDriverFailed, "GetImage2(\"" + strServer + "\", " + std::to_string(nCamera) +
                                             ") handed over no picture (result " + std::to_string(nResult) + ")"};
    std::vector<unsigned char> jpeg(pBytes, pBytes + nLength);
    if (m_module.DeleteBuffer != nullptr)
        m_module.DeleteBuffer(pBytes);
    if (jpeg.empty())
        throw Failure{kExitDriverFailed, "GetImage2(\"" + strServer + "\") handed over an empty block"};
    return jpeg;
}

}  // namespace kestrel_cli
