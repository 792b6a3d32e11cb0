// The options every device command shares, and a loaded module with the
// instances it announced: what an application does before its first call.
#pragma once

#include "Api.h"
#include "Codes.h"

#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace CLI {
class App;
}

namespace kestrel_cli {

struct Target {
    std::string strLibrary;  // libKestrel.so
    std::string strDriver;   // the driver file
    std::string strServer = "cam1";
    std::string strHost = "kestrel-cli";
    std::string strPassword = "simcam";
    int nCamera = 1;
    bool bDirect = false;
};

// Adds --library, --driver and --direct to a subcommand.
void AddModuleOptions(CLI::App& app, Target& target);
// Adds --server, --host, --password and --camera as well.
void AddTargetOptions(CLI::App& app, Target& target);
// Fills in the default paths where no option named them.
void ResolveDefaults(Target& target);

class Session {
public:
    // Loads libKestrel.so, or the driver itself with bDirect.
    explicit Session(const Target& target);
    ~Session();

    Module& Api() { return m_module; }
    const Target& Options() const { return m_target; }
    bool Direct() const { return m_target.bDirect; }

    // Announces an instance (nothing to do when the driver is loaded
    // directly); throws Failure (kExitLoad) when AddDeviceInstance answers 0.
    void Add(const std::string& strServer, const std::string& strHost);
    void Add() { Add(m_target.strServer, m_target.strHost); }
    void Remove(const std::string& strServer);
    // Removes what this session added. The module stays loaded until the
    // process ends, as in an application that exits without unloading (the
    // library keeps some module-wide objects for good; bench measures the
    // unload on its own).
    void Close();
    // Removes what this session added and unloads the module.
    void Unload();

    // Runs a call; a thrown error code becomes a Failure (kExitThrown) that
    // names the call and the code in words.
    template <typename F>
    auto Guard(const std::string& strCall, F&& call) -> decltype(call())
    {
        try {
            return call();
        } catch (unsigned long nCode) {
            throw Failure{kExitThrown, strCall + " threw " + DescribeCode(nCode), nCode};
        }
    }

    // Requires a function the module may lack (a driver loaded directly).
    template <typename P>
    P Need(P pFunction, const char* szName)
    {
        if (pFunction == nullptr)
            throw Failure{kExitDriverFailed, std::string(m_module.Path()) + " does not export " + szName};
        return pFunction;
    }

    // One JPEG picture of nCamera through GetImage2; throws Failure. Through
    // libKestrel.so, whose GetImage2 returns 0, the length comes from the C
    // interface beside it (libKestrelC.so), which shares its registry.
    std::vector<unsigned char> Image(const std::string& strServer, int nCamera);

private:
    void* CInterface(const char* szName);

    void* m_hCInterface = nullptr;
    Target m_target;
    Module m_module;
    std::multiset<std::string> m_added;
};

}  // namespace kestrel_cli
