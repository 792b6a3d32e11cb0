// Frames of the simulated camera fetched with GetVideoDataBlock through a
// real HostProc (the shipped one, driven by the RPC client functions) and
// from the same driver loaded in-process, at 640x480 and 1920x1080; a cold
// start of HostProc, confined and not; and the resident memory of a
// HostProc that idles with one instance loaded.
//
// simcam runs deterministic (no pacing), so the figures are the cost of
// rendering, encoding and, through HostProc, the transfer.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <kestrel/kestrel.h>

#include "remote/ProxyClient.h"

extern char** environ;

namespace {

struct Size {
    const char* szInstance;
    const char* szLabel;
};
constexpr Size kSizes[] = {{"vga", "640x480"}, {"hd", "1920x1080"}};

std::string g_strRoot;

// One HostProc child of this program, bound and with simcam loaded.
class HostProcChild {
public:
    HostProcChild() {
        uuid_t uuid;
        uuid_generate_random(uuid);
        char szEndpoint[37];
        uuid_unparse_upper(uuid, szEndpoint);
        m_strEndpoint = szEndpoint;

        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
        std::string strPath = KESTREL_BENCH_HOSTPROC;
        std::string strArgument = "bench_" + m_strEndpoint;
        char* argv[] = {strPath.data(), strArgument.data(), nullptr};
        const int nError = posix_spawn(&m_pid, strPath.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(pipeFds[1]);
        if (nError != 0) {
            close(pipeFds[0]);
            throw std::runtime_error(std::string("posix_spawn HostProc: ") + strerror(nError));
        }
        // Its diagnostics are drained (a full pipe would block it); the
        // first line says that it listens.
        m_drain = std::thread([this, nFd = pipeFds[0]] { Drain(nFd); });
        {
            std::unique_lock lock(m_mtx);
            if (!m_cv.wait_for(lock, std::chrono::seconds(30), [this] { return m_bListening || m_bClosed; }) ||
                !m_bListening) {
                throw std::runtime_error("HostProc did not start listening");
            }
        }
        std::string strProtseq = "ncalrpc";
        RPC_CSTR szBinding = nullptr;
        RpcStringBindingComposeA(nullptr, reinterpret_cast<RPC_CSTR>(strProtseq.data()), nullptr,
                                 reinterpret_cast<RPC_CSTR>(m_strEndpoint.data()), nullptr, &szBinding);
        RpcBindingFromStringBindingA(szBinding, &m_hBinding);
        RpcStringFreeA(&szBinding);
        m_hCtx = rpc_LoadDriver(m_hBinding, KESTREL_BENCH_SIMCAM);
        if (m_hCtx == nullptr) throw std::runtime_error("HostProc could not load simcam");
    }

    ~HostProcChild() {
        if (m_hCtx != nullptr) rpc_UnloadDriver(&m_hCtx);
        RpcBindingFree(&m_hBinding);
        kill(m_pid, SIGTERM);
        int nStatus = 0;
        rusage usage{};
        while (wait4(m_pid, &nStatus, 0, &usage) < 0 && errno == EINTR) {
        }
        s_dCpuSeconds += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        m_drain.join();
    }

    RpcDriverCallCtx Context() const { return m_hCtx; }
    // The processor time of every HostProc this program has reaped, whole
    // lives: a measure that other work on the machine hardly changes.
    static inline double s_dCpuSeconds = 0;

    long ResidentKiB() const {
        std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
        for (std::string strLine; std::getline(status, strLine);) {
            if (strLine.rfind("VmRSS:", 0) == 0) return std::strtol(strLine.c_str() + 6, nullptr, 10);
        }
        return -1;
    }

private:
    void Drain(int nFd) {
        std::string strSeen;
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(nFd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            std::lock_guard lock(m_mtx);
            if (n <= 0) {
                m_bClosed = true;
                m_cv.notify_all();
                break;
            }
            if (!m_bListening) {
                strSeen.append(buffer, static_cast<size_t>(n));
                m_bListening = strSeen.find("serving endpoint") != std::string::npos;
                m_cv.notify_all();
            }
        }
        close(nFd);
    }

    std::string m_strEndpoint;
    pid_t m_pid = -1;
    std::thread m_drain;
    std::mutex m_mtx;
    std::condition_variable m_cv;
    bool m_bListening = false;
    bool m_bClosed = false;
    handle_t m_hBinding = nullptr;
    RpcDriverCtx m_hCtx = nullptr;
};

// The HostProc of the frame benchmarks, started by the first of them.
std::unique_ptr<HostProcChild> g_pShared;

// simcam loaded into this process.
struct InProcessSimcam {
    void* hLibrary = nullptr;
    int (*OpenStreamConnection)(const char*, const char*, int, int) = nullptr;
    int (*GetVideoDataBlock)(const char*, int, unsigned char**) = nullptr;
    void (*DeleteBuffer)(unsigned char*) = nullptr;

    InProcessSimcam() {
        hLibrary = dlopen(KESTREL_BENCH_SIMCAM, RTLD_NOW | RTLD_LOCAL);
        if (hLibrary == nullptr) throw std::runtime_error(dlerror());
        OpenStreamConnection =
            reinterpret_cast<decltype(OpenStreamConnection)>(dlsym(hLibrary, "OpenStreamConnection"));
        GetVideoDataBlock = reinterpret_cast<decltype(GetVideoDataBlock)>(dlsym(hLibrary, "GetVideoDataBlock"));
        DeleteBuffer = reinterpret_cast<decltype(DeleteBuffer)>(dlsym(hLibrary, "DeleteBuffer"));
    }
};

InProcessSimcam& Local() {
    static InProcessSimcam* s_pLocal = new InProcessSimcam();
    return *s_pLocal;
}

void ReportFrames(benchmark::State& state, int64_t nBytes) {
    state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["frame_bytes"] = benchmark::Counter(
        state.iterations() > 0 ? static_cast<double>(nBytes) / static_cast<double>(state.iterations()) : 0);
    state.SetBytesProcessed(nBytes);
}

void BM_InProcess(benchmark::State& state, const Size& size) {
    InProcessSimcam& simcam = Local();
    if (simcam.OpenStreamConnection(size.szInstance, "simcam", 0, 1) != 0) {
        state.SkipWithError("OpenStreamConnection failed");
        return;
    }
    int64_t nBytes = 0;
    for (auto _ : state) {
        unsigned char* pBlock = nullptr;
        const int nSize = simcam.GetVideoDataBlock(size.szInstance, 1, &pBlock);
        if (nSize <= 0 || pBlock == nullptr) {
            state.SkipWithError("no frame");
            break;
        }
        nBytes += nSize;
        benchmark::DoNotOptimize(pBlock);
        simcam.DeleteBuffer(pBlock);
    }
    ReportFrames(state, nBytes);
}

void BM_HostProc(benchmark::State& state, const Size& size) {
    RpcDriverCallCtx hCtx = nullptr;
    try {
        if (!g_pShared) g_pShared = std::make_unique<HostProcChild>();
        hCtx = g_pShared->Context();
        if (rpc_OpenStreamConnection(hCtx, size.szInstance, "simcam", 0, 1) != 0) {
            state.SkipWithError("OpenStreamConnection failed");
            return;
        }
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return;
    }
    int64_t nBytes = 0;
    for (auto _ : state) {
        int32_t nSize = 0;
        char* pBlock = nullptr;
        const int32_t nResult = rpc_GetVideoDataBlock(hCtx, size.szInstance, 1, &nSize, &pBlock);
        if (nResult <= 0 || pBlock == nullptr) {
            state.SkipWithError("no frame");
            break;
        }
        nBytes += nSize;
        benchmark::DoNotOptimize(pBlock);
        delete[] pBlock;
    }
    ReportFrames(state, nBytes);
    // What the HostProc holds once it has streamed frames of this size.
    state.counters["hostproc_VmRSS_MiB"] = benchmark::Counter(static_cast<double>(g_pShared->ResidentKiB()) / 1024.0);
}

// A HostProc of its own: started, simcam loaded and one instance brought
// to life, then left idle.
void BM_HostProcIdleResidentMemory(benchmark::State& state) {
    long nKiB = -1;
    for (auto _ : state) {
        try {
            HostProcChild child;
            rpc_QueryNumberOfCamDyn(child.Context(), "idle", "simcam");
            nKiB = child.ResidentKiB();
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            return;
        }
    }
    state.counters["VmRSS_MiB"] = benchmark::Counter(static_cast<double>(nKiB) / 1024.0);
    state.counters["goal_MiB"] = benchmark::Counter(10);
}

// A cold start, as the library makes one but without its retry sleeps:
// HostProc started, listening, bound and simcam loaded; confined (the
// default) or with Confine=off.
void BM_HostProcColdStart(benchmark::State& state, const char* szConfine) {
    setenv("KESTREL_CONFINE", szConfine, 1);
    const double dCpuBefore = HostProcChild::s_dCpuSeconds;
    for (auto _ : state) {
        try {
            std::optional<HostProcChild> child(std::in_place);
            state.PauseTiming();
            child.reset();
            state.ResumeTiming();
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            break;
        }
    }
    unsetenv("KESTREL_CONFINE");
    state.counters["hostproc_cpu_ms"] =
        benchmark::Counter((HostProcChild::s_dCpuSeconds - dCpuBefore) * 1e3 /
                           static_cast<double>(std::max<int64_t>(state.iterations(), 1)));
}

void WriteConfiguration() {
    char szTemplate[] = "/tmp/kestrel-bench-hostproc-XXXXXX";
    if (mkdtemp(szTemplate) == nullptr) throw std::runtime_error("mkdtemp");
    g_strRoot = szTemplate;
    const std::string strRpcDir = g_strRoot + "/rpc";
    mkdir(strRpcDir.c_str(), 0700);
    chmod(strRpcDir.c_str(), 0700);
    const std::string strIni = g_strRoot + "/simcam.ini";
    std::ofstream(strIni) << "[simcam]\ndeterministic=1\n"
                          << "[vga]\nwidth=640\nheight=480\n"
                          << "[hd]\nwidth=1920\nheight=1080\n";
    // Both simcams (here and in HostProc, which inherits this environment)
    // read the same file; no SIMCAM_* variable may override it.
    std::vector<std::string> names;
    for (char** p = environ; *p != nullptr; ++p) {
        const std::string strEntry = *p;
        if (strEntry.rfind("SIMCAM_", 0) == 0) names.push_back(strEntry.substr(0, strEntry.find('=')));
    }
    for (const std::string& strName : names) unsetenv(strName.c_str());
    setenv("SIMCAM_CONFIG", strIni.c_str(), 1);
    setenv("KESTREL_RPC_DIR", strRpcDir.c_str(), 1);
    // A confined HostProc reads outside its driver folder only what it is allowed.
    setenv("KESTREL_ALLOW_READ", g_strRoot.c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
    WriteConfiguration();
    for (const Size& size : kSizes) {
        benchmark::RegisterBenchmark((std::string("GetVideoDataBlock/") + size.szLabel + "/in-process").c_str(),
                                     [&size](benchmark::State& state) { BM_InProcess(state, size); })
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark((std::string("GetVideoDataBlock/") + size.szLabel + "/HostProc").c_str(),
                                     [&size](benchmark::State& state) { BM_HostProc(state, size); })
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    }
    for (const char* szConfine : {"on", "off"}) {
        benchmark::RegisterBenchmark((std::string("HostProc/ColdStart/Confine=") + szConfine).c_str(),
                                     [szConfine](benchmark::State& state) { BM_HostProcColdStart(state, szConfine); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    benchmark::RegisterBenchmark("HostProc/IdleResidentMemory", BM_HostProcIdleResidentMemory)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The shared HostProc stops cleanly (it is our child: reaped here).
    g_pShared.reset();
    const std::string strRpcDir = g_strRoot + "/rpc";
    rmdir(strRpcDir.c_str());
    unlink((g_strRoot + "/simcam.ini").c_str());
    rmdir(g_strRoot.c_str());
    return 0;
}
