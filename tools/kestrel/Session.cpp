#include "Session.h"

#include "Util.h"

#include <CLI/CLI.hpp>

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
    // The library finds HostProc beside the driver, so it wants a full path.
    target.strDriver = Absolute(target.strDriver);
}

Session::Session(const Target& target) : m_target(target)
{
    ResolveDefaults(m_target);
    m_module.Open(m_target.bDirect ? m_target.strDriver : m_target.strLibrary);
    if (!m_target.bDirect && m_module.AddDeviceInstance == nullptr)
        throw Failure{kExitLoad, m_module.Path() + " is not libKestrel.so (no AddDeviceInstance); use --direct for a driver"};
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
    if (m_module.AddDeviceInstance(strServer.c_str(), m_target.strDriver.c_str(), strHost.c_str()) != 1)
        throw Failure{kExitLoad, "AddDeviceInstance(\"" + strServer + "\", \"" + m_target.strDriver + "\", \"" +
                                     strHost + "\") failed: the driver or its proxy server could not be loaded"};
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

std::vector<unsigned char> Session::Image(const std::string& strServer, int nCamera)
{
    auto pGetImage2 = Need(m_module.GetImage2, "GetImage2");
    unsigned char* pBytes = nullptr;
    const int nResult =
        Guard("GetImage2(\"" + strServer + "\")", [&] { return pGetImage2(strServer.c_str(), nCamera, &pBytes); });
    if (pBytes == nullptr)
        throw Failure{kExitDriverFailed, "GetImage2(\"" + strServer + "\", " + std::to_string(nCamera) +
                                             ") handed over no picture (result " + std::to_string(nResult) + ")"};
    // A driver reports the length; through libKestrel.so the result is 0 and
    // the JPEG's own markers tell where it ends.
    const size_t nLength = nResult > 0 ? static_cast<size_t>(nResult) : JpegLength(pBytes, size_t(1) << 30);
    std::vector<unsigned char> jpeg(pBytes, pBytes + nLength);
    if (m_module.DeleteBuffer != nullptr)
        m_module.DeleteBuffer(pBytes);
    if (jpeg.empty())
        throw Failure{kExitDriverFailed, "GetImage2(\"" + strServer + "\") handed over bytes that are not a JPEG"};
    return jpeg;
}

}  // namespace kestrel_cli
