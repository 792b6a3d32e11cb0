// Round trips through the runtime beside the raw AF_UNIX transfers they are
// built on, each server in a process of its own (forked before any thread):
//   Raw/PingPong64          64 bytes there and back
//   Rpc/SmallCall           rpc_OpenConnection with two short strings
//   Raw/Block/N             N bytes received into a fresh new[] block
//   Raw/BlockChunked/N      the same, read in fragment-sized pieces
//   Rpc/GetVideoDataBlock/N the same block through rpc_GetVideoDataBlock
//   Rpc/SmallCall/threads:T T client threads on one context
// Run with --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// for medians.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "remote/ProxyClient.h"
#include "remote/ProxyServer.h"

namespace {

using namespace kestrel::remote;

constexpr size_t kMaxBlock = 8 << 20;

const char* block() {
    static const std::vector<char> b = [] {
        std::vector<char> v(kMaxBlock);
        for (size_t i = 0; i < v.size(); ++i) v[i] = char(i);
        return v;
    }();
    return b.data();
}

class BenchHost : public ProxyInterface {
public:
    std::unique_ptr<DriverContext> LoadDriver(const kestrel::rpc::CallerInfo&, const char*) override {
        return std::make_unique<DriverContext>();
    }
    int32_t OpenConnection(DriverContext&, const char*, const char*, int32_t, int32_t nCamNo) override {
        return nCamNo;
    }
    int32_t GetVideoDataBlock(DriverContext&, const char*, int32_t nCamNo, int32_t& nSize, OutBytes& out) override {
        nSize = nCamNo;
        out.adopt(block());  // sent from where it lies, like a driver's buffer
        return nCamNo;
    }
};

// ---- raw baseline -------------------------------------------------------------------

bool readAll(int fd, void* p, size_t n) {
    auto* c = static_cast<char*>(p);
    while (n) {
        ssize_t r = ::recv(fd, c, n, MSG_WAITALL);
        if (r <= 0) return false;
        c += r;
        n -= size_t(r);
    }
    return true;
}
bool writeAll(int fd, const void* p, size_t n) {
    auto* c = static_cast<const char*>(p);
    while (n) {
        ssize_t r = ::send(fd, c, n, MSG_NOSIGNAL);
        if (r <= 0) return false;
        c += r;
        n -= size_t(r);
    }
    return true;
}

sockaddr_un address(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    return a;
}

// Requests are 8 bytes: 0 = a 64-byte ping, otherwise a block of that size.
void rawServe(int listener) {
    block();
    for (;;) {
        int c = ::accept(listener, nullptr, nullptr);
        if (c < 0) _exit(0);
        if (fork() == 0) {
            char ping[64];
            while (readAll(c, ping, 8)) {
                uint64_t req;
                std::memcpy(&req, ping, 8);
                if (req == 0) {
                    if (!readAll(c, ping + 8, 56) || !writeAll(c, ping, 64)) break;
                } else if (!writeAll(c, block(), req)) {
                    break;
                }
            }
            _exit(0);
        }
        ::close(c);
    }
}

struct Servers {
    std::string dir;
    std::string endpoint = "BENCH0000-0000-0000-0000-000000000000";
    std::string rawPath;
    std::vector<pid_t> children;
} g;

// A server outlives no bench: --help and a bad flag end main early.
void dieWithParent(pid_t parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) _exit(0);
}

void startServers() {
    const pid_t self = ::getpid();
    char tmpl[] = "/tmp/kestrel-bench-XXXXXX";
    g.dir = mkdtemp(tmpl);
    ::setenv("KESTREL_RPC_DIR", g.dir.c_str(), 1);
    g.rawPath = g.dir + "/raw";
    int l = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a = address(g.rawPath);
    if (::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) || ::listen(l, 64)) std::abort();
    int ready[2];
    if (pipe(ready)) std::abort();
    pid_t raw = fork();
    if (raw == 0) {
        dieWithParent(self);
        rawServe(l);
    }
    ::close(l);
    g.children.push_back(raw);
    pid_t rpc = fork();
    if (rpc == 0) {
        dieWithParent(self);
        block();
        BenchHost host;
        ProxyServer server(host, g.endpoint);
        server.start();
        char c = 'R';
        if (::write(ready[1], &c, 1) != 1) _exit(1);
        server.server().waitIdle(std::chrono::hours(24), std::chrono::hours(24));
        _exit(0);
    }
    g.children.push_back(rpc);
    char c;
    if (::read(ready[0], &c, 1) != 1) std::abort();
}

void stopServers() {
    for (pid_t p : g.children) {
        ::kill(p, SIGKILL);
        ::waitpid(p, nullptr, 0);
    }
    std::filesystem::remove_all(g.dir);
}

int rawConnect() {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a = address(g.rawPath);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a)) std::abort();
    return fd;
}

RpcDriverCtx context() {
    static RpcDriverCtx ctx = [] {
        std::string text = "ncalrpc:[" + g.endpoint + "]";
        handle_t b = nullptr;
        RpcBindingFromStringBindingA((RPC_CSTR)text.c_str(), &b);
        RpcDriverCtx c = rpc_LoadDriver(b, "bench");
        RpcBindingFree(&b);
        return c;
    }();
    return ctx;
}

// ---- benchmarks ---------------------------------------------------------------------

void Raw_PingPong64(benchmark::State& st) {
    int fd = rawConnect();
    char buf[64] = {};  // the first 8 bytes (0) ask for a ping and come back as sent
    for (auto _ : st) {
        if (!writeAll(fd, buf, 64) || !readAll(fd, buf, 64)) st.SkipWithError("raw server gone");
    }
    ::close(fd);
}
BENCHMARK(Raw_PingPong64)->UseRealTime();

void Rpc_SmallCall(benchmark::State& st) {
    RpcDriverCtx ctx = context();
    for (auto _ : st) benchmark::DoNotOptimize(rpc_OpenConnection(ctx, "cam1", "pw", 0, 1));
    st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(Rpc_SmallCall)->UseRealTime();
BENCHMARK(Rpc_SmallCall)->Threads(2)->Threads(4)->Threads(8)->UseRealTime();

void Raw_Block(benchmark::State& st) {
    int fd = rawConnect();
    uint64_t n = uint64_t(st.range(0));
    for (auto _ : st) {
        char* b = new char[n];  // fresh, as the stub's would be
        if (!writeAll(fd, &n, 8) || !readAll(fd, b, n)) st.SkipWithError("raw server gone");
        benchmark::DoNotOptimize(b);
        delete[] b;
    }
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(n));
    ::close(fd);
}
BENCHMARK(Raw_Block)->Arg(64 << 10)->Arg(1 << 20)->Arg(8 << 20)->UseRealTime();

// The same transfer read in 65504-byte pieces, as fragments are.
void Raw_BlockChunked(benchmark::State& st) {
    int fd = rawConnect();
    uint64_t n = uint64_t(st.range(0));
    for (auto _ : st) {
        char* b = new char[n];
        if (!writeAll(fd, &n, 8)) st.SkipWithError("raw server gone");
        for (uint64_t off = 0; off < n; off += 65504)
            if (!readAll(fd, b + off, std::min<uint64_t>(65504, n - off))) st.SkipWithError("gone");
        benchmark::DoNotOptimize(b);
        delete[] b;
    }
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(n));
    ::close(fd);
}
BENCHMARK(Raw_BlockChunked)->Arg(64 << 10)->Arg(1 << 20)->Arg(8 << 20)->UseRealTime();

void Rpc_GetVideoDataBlock(benchmark::State& st) {
    RpcDriverCtx ctx = context();
    int32_t n = int32_t(st.range(0));
    for (auto _ : st) {
        int32_t size = 0;
        char* b = nullptr;
        rpc_GetVideoDataBlock(ctx, "cam1", n, &size, &b);
        benchmark::DoNotOptimize(b);
        delete[] b;
    }
    st.SetBytesProcessed(int64_t(st.iterations()) * n);
}
BENCHMARK(Rpc_GetVideoDataBlock)->Arg(64 << 10)->Arg(1 << 20)->Arg(8 << 20)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    startServers();  // before any thread: the servers are forked
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    stopServers();
    return 0;
}
