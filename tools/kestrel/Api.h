// The driver API as an application sees it: one loaded module (libKestrel.so,
// or a driver loaded directly) and its exports resolved by name.
#pragma once

#include <kestrel/driver_exports.h>

#include <string>
#include <vector>

namespace kestrel_cli {

// The process exit codes of every subcommand.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,         // bad option or argument
    kExitThrown = 2,        // a call threw an error code (proxy server lost, unknown instance)
    kExitDriverFailed = 3,  // a driver result reported failure, or an answer was not as expected
    kExitLoad = 4,          // the library or driver could not be loaded, or AddDeviceInstance failed
    kExitIo = 5,            // an output file or folder could not be written
};

// Text for --help and for the README.
const char* ExitCodeHelp();

// A failure that ends the command with an exit code and a message.
struct Failure {
    int nExitCode;
    std::string strMessage;
    unsigned long nThrownCode = 0;  // the code, for kExitThrown
};

// Where the library and the shipped drivers are, relative to this executable:
// the build tree's own targets when run from the build tree, otherwise the
// installed layout (<prefix>/bin/kestrel, <prefix>/<libdir>/libKestrel.so.1,
// <prefix>/<libdir>/kestrel/drivers/libsimcam.so, hostproc/HostProc and
// libkestrel_blocks.so beside it).
struct Locations {
    std::string strLibrary;
    std::string strDriver;
    std::string strHostProc;     // the HostProc beside the shipped drivers
    std::string strBlockDriver;  // blocks of a chosen size, for bench
    bool bBuildTree = false;
};
Locations FindLocations();

// The absolute, canonical form of a path (unchanged when it does not exist).
std::string Absolute(const std::string& strPath);

class Module {
public:
#define KESTREL_CLI_POINTER(OP, R, NAME, PARAMS, ARGS) R(*NAME) PARAMS = nullptr;
    KESTREL_FORWARDING_EXPORTS(KESTREL_CLI_POINTER)
    KESTREL_DRIVER_SERVICE_EXPORTS(KESTREL_CLI_POINTER)
#undef KESTREL_CLI_POINTER
    // libKestrel.so only.
    int (*AddDeviceInstance)(const char*, const char*, const char*) = nullptr;
    void (*RemoveDeviceInstance)(const char*) = nullptr;
    int (*GetRuntimeVersion)() = nullptr;

    Module() = default;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    ~Module() { Close(); }

    // dlopen (RTLD_NOW | RTLD_LOCAL) and resolve every export; throws Failure.
    void Open(const std::string& strPath);
    // dlclose; true when the module really went away.
    bool Close();
    // Forgets the module without unloading it: it stays until the process
    // ends, as it does in an application that never unloads its driver.
    void Keep();
    bool IsOpen() const { return m_hModule != nullptr; }
    const std::string& Path() const { return m_strPath; }
    // Names of the exports this module lacks (of the forwarding and service lists).
    std::vector<std::string> Missing() const;

private:
    void* m_hModule = nullptr;
    std::string m_strPath;
};

// The exported names of a driver file, found with dlsym on the file itself.
struct ExportPresence {
    std::string strName;
    bool bPresent;
};
std::vector<ExportPresence> ExportsOfFile(const std::string& strPath, std::string& strError);

// Every export name of the two lists, in list order.
const std::vector<std::string>& AllExportNames();

}  // namespace kestrel_cli
