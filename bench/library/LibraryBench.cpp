// What the library itself costs, measured through libKestrel.so as shipped
// (real retry schedule) in front of the simulated camera:
//   - a cold AddDeviceInstance: start HostProc, bind, load the driver;
//   - a forwarded small call against the same call made with the raw RPC
//     client, so the difference is the frame's own cost;
//   - unloading the library.
#include <kestrel/kestrel.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "remote/ProxyClient.h"

namespace {

const std::string kDriver = KESTREL_DRIVERS_DIR "/libsimcam.so";

struct Exports {
    int (*AddDeviceInstance)(const char*, const char*, const char*);
    void (*RemoveDeviceInstance)(const char*);
    int (*QueryIsPTZDeviceDyn)(const char*, const char*);
};

// A private socket directory and a trace level of 1, so that failed load
// attempts are counted from the library's own lines.
class World {
public:
    World() {
        char szRoot[] = "/tmp/kestrel-bench-XXXXXX";
        m_strRoot = mkdtemp(szRoot);
        const std::string strRpc = m_strRoot + "/rpc";
        mkdir(strRpc.c_str(), 0700);
        setenv("KESTREL_RPC_DIR", strRpc.c_str(), 1);
        setenv("SIMCAM_DETERMINISTIC", "1", 1);
        const std::string strXdg = m_strRoot + "/xdg";
        setenv("XDG_CONFIG_DIRS", strXdg.c_str(), 1);
        char* szLibrary = realpath(KESTREL_LIBRARY, nullptr);
        std::string strFolder(szLibrary);
        free(szLibrary);
        strFolder.erase(strFolder.rfind('/'));
        const std::string strIniFolder = strXdg + "/VideoDeviceDrivers" + strFolder + "/..";
        std::system(("mkdir -p '" + strIniFolder + "'").c_str());
        std::ofstream(strIniFolder + "/Proxies.ini") << "[ProxyLogging]\nLevel=1\n";
        m_strLog = m_strRoot + "/stderr.log";
        m_hSavedStderr = dup(STDERR_FILENO);
        const int hLog = open(m_strLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        dup2(hLog, STDERR_FILENO);
        close(hLog);
    }
    ~World() {
        dup2(m_hSavedStderr, STDERR_FILENO);
        close(m_hSavedStderr);
        std::system(("rm -rf '" + m_strRoot + "'").c_str());
    }
    int CountLines(const char* szText) const {
        std::ifstream in(m_strLog);
        int nCount = 0;
        for (std::string strLine; std::getline(in, strLine);) nCount += strLine.find(szText) != std::string::npos;
        return nCount;
    }

private:
    std::string m_strRoot;
    std::string m_strLog;
    int m_hSavedStderr;
};

void* LoadLibrary(Exports& exports) {
    void* hLibrary = dlopen(KESTREL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    exports.AddDeviceInstance =
        reinterpret_cast<decltype(exports.AddDeviceInstance)>(dlsym(hLibrary, "AddDeviceInstance"));
    exports.RemoveDeviceInstance =
        reinterpret_cast<decltype(exports.RemoveDeviceInstance)>(dlsym(hLibrary, "RemoveDeviceInstance"));
    exports.QueryIsPTZDeviceDyn =
        reinterpret_cast<decltype(exports.QueryIsPTZDeviceDyn)>(dlsym(hLibrary, "QueryIsPTZDeviceDyn"));
    return hLibrary;
}

void BM_ColdAddDeviceInstance(benchmark::State& state) {
    World world;
    Exports k{};
    void* hLibrary = LoadLibrary(k);
    int nServer = 0;
    for (auto _ : state) {
        const std::string strServer = "cold" + std::to_string(nServer++);
        if (k.AddDeviceInstance("cam", kDriver.c_str(), strServer.c_str()) != 1) state.SkipWithError("add failed");
        state.PauseTiming();
        k.RemoveDeviceInstance("cam");
        state.ResumeTiming();
    }
    dlclose(hLibrary);
    const double nAdds = static_cast<double>(state.iterations());
    state.counters["load_attempts_per_add"] = (nAdds + world.CountLines("Proxy RPC exception")) / nAdds;
}
BENCHMARK(BM_ColdAddDeviceInstance)->Unit(benchmark::kMillisecond)->Iterations(30);

void BM_ForwardedSmallCall(benchmark::State& state) {
    World world;
    Exports k{};
    void* hLibrary = LoadLibrary(k);
    k.AddDeviceInstance("cam", kDriver.c_str(), "small");
    for (auto _ : state) benchmark::DoNotOptimize(k.QueryIsPTZDeviceDyn("cam", "simcam"));
    k.RemoveDeviceInstance("cam");
    dlclose(hLibrary);
}
BENCHMARK(BM_ForwardedSmallCall)->Unit(benchmark::kMicrosecond);

// The same call through the RPC client alone, on a context that the
// library's HostProc serves: the library is used only to start it.
void BM_RawRpcSmallCall(benchmark::State& state) {
    World world;
    Exports k{};
    void* hLibrary = LoadLibrary(k);
    k.AddDeviceInstance("warm", kDriver.c_str(), "raw");  // starts a HostProc named "raw"
    // Find its endpoint: the only socket in the private directory.
    std::string strEndpoint;
    {
        FILE* pList = popen(("ls '" + std::string(getenv("KESTREL_RPC_DIR")) + "'").c_str(), "r");
        char szName[128] = {};
        if (pList != nullptr && fgets(szName, sizeof szName, pList) != nullptr) strEndpoint = szName;
        if (pList != nullptr) pclose(pList);
        while (!strEndpoint.empty() && strEndpoint.back() == '\n') strEndpoint.pop_back();
    }
    RPC_CSTR szBinding = nullptr;
    RpcStringBindingComposeA(nullptr, reinterpret_cast<RPC_CSTR>(const_cast<char*>("ncalrpc")), nullptr,
                             reinterpret_cast<RPC_CSTR>(strEndpoint.data()), nullptr, &szBinding);
    RPC_BINDING_HANDLE hBinding = nullptr;
    RpcBindingFromStringBindingA(szBinding, &hBinding);
    RpcStringFreeA(&szBinding);
    RpcDriverCtx hCtx = rpc_LoadDriver(hBinding, kDriver.c_str());
    RpcBindingFree(&hBinding);
    for (auto _ : state) benchmark::DoNotOptimize(rpc_QueryIsPTZDeviceDyn(hCtx, "cam", "simcam"));
    rpc_UnloadDriver(&hCtx);
    k.RemoveDeviceInstance("warm");
    dlclose(hLibrary);
}
BENCHMARK(BM_RawRpcSmallCall)->Unit(benchmark::kMicrosecond);

// dlclose of a library with one instance: stopping the timer and emptying
// the registry (no remote call).
void BM_LibraryUnload(benchmark::State& state) {
    World world;
    for (auto _ : state) {
        state.PauseTiming();
        Exports k{};
        void* hLibrary = LoadLibrary(k);
        k.AddDeviceInstance("cam", kDriver.c_str(), "unload");
        state.ResumeTiming();
        dlclose(hLibrary);
    }
}
BENCHMARK(BM_LibraryUnload)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
