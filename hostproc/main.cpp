// HostProc: serves the proxy-server interface on the endpoint named by its
// argument "<proxy-server name>_<ENDPOINT>" and runs the drivers that the
// library asks it to load. It ends by itself once nobody uses it.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "Confinement.h"
#include "Descendants.h"
#include "Diagnostics.h"
#include "DriverCall.h"
#include "HostProcService.h"
#include "HostProcTiming.h"
#include "LoadError.h"
#include "confine/Settings.h"

namespace {

kestrel::rpc::Server* g_pServer = nullptr;

// SIGTERM and friends: a clean stop through the server's own wake-up.
void OnStopSignal(int) {
    if (g_pServer != nullptr) g_pServer->requestStop();
}

// A driver that crashes takes only this process down; the socket goes first
// so that nobody connects to a dead endpoint. Only async-signal-safe calls.
void OnFatalSignal(int nSignal) {
    if (g_pServer != nullptr) g_pServer->unlinkSocket();
    hostproc::EndDescendants();
    hostproc::ReportFatalSignal(nSignal);
    signal(nSignal, SIG_DFL);
    raise(nSignal);
}

// A driver that calls exit() must not leave a socket nobody answers on (a
// child it forked that calls exit() leaves HostProc's alone).
void UnlinkSocketAtExit() {
    if (!hostproc::InHostProc()) return;
    if (g_pServer != nullptr) g_pServer->unlinkSocket();
    hostproc::RemoveLoadError();
    hostproc::EndDescendants();
}

// Stops the server, but never waits for a driver call that does not return:
// after the bound the process ends without it.
void StopWithin(kestrel::remote::ProxyServer& server, std::chrono::milliseconds bound) {
    server.server().unlinkSocket();  // nobody new gets in meanwhile
    std::mutex mtxDone;
    std::condition_variable cndDone;
    bool bDone = false;
    std::thread stopper([&] {
        server.stop();
        std::lock_guard<std::mutex> lock(mtxDone);
        bDone = true;
        cndDone.notify_one();
    });
    std::unique_lock<std::mutex> lock(mtxDone);
    if (!cndDone.wait_for(lock, bound, [&] { return bDone; })) {
        hostproc::DiagnoseAs(hostproc::Severity::Warning, "a driver call does not return: exiting without it");
        hostproc::RemoveLoadError();
        hostproc::EndDescendants();
        _exit(0);
    }
    lock.unlock();
    stopper.join();
}

void InstallSignalHandlers() {
    // A driver that overflows its stack still reaches the handler.
    static char s_altStack[64 * 1024];
    stack_t altStack{};
    altStack.ss_sp = s_altStack;
    altStack.ss_size = sizeof s_altStack;
    sigaltstack(&altStack, nullptr);

    struct sigaction stop {};
    stop.sa_handler = &OnStopSignal;
    sigemptyset(&stop.sa_mask);
    for (int nSignal : {SIGTERM, SIGINT, SIGHUP}) sigaction(nSignal, &stop, nullptr);

    struct sigaction fatal {};
    fatal.sa_handler = &OnFatalSignal;
    fatal.sa_flags = SA_ONSTACK | SA_RESETHAND | SA_NODEFER;
    sigemptyset(&fatal.sa_mask);
    for (int nSignal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS, SIGTRAP}) sigaction(nSignal, &fatal, nullptr);

    signal(SIGPIPE, SIG_IGN);
}

// A daemon application gives us no standard streams: /dev/null goes where
// one is missing, so that no socket or file opened later (ours or a
// driver's) becomes descriptor 0-2 and receives diagnostics or prints.
void OpenMissingStandardStreams() {
    for (int nFd = STDIN_FILENO; nFd <= STDERR_FILENO; ++nFd) {
        if (fcntl(nFd, F_GETFD) >= 0 || errno != EBADF) continue;
        const int hNull = open("/dev/null", O_RDWR);  // the lowest free descriptor: nFd
        if (hNull > nFd) {
            dup2(hNull, nFd);
            close(hNull);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    OpenMissingStandardStreams();
    hostproc::SetDiagnosticsTarget(std::getenv(confine::kLogVariable));
    hostproc::SetHostProcPid();
    hostproc::AdoptDescendants();
    // A chatty driver must not write into the application's standard output
    // (nor into it when we were given no standard error: that is /dev/null now);
    // line buffering keeps its lines in order with ours and loses none on a crash.
    dup2(STDERR_FILENO, STDOUT_FILENO);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    const std::string strArgument = argc == 2 ? argv[1] : "";
    const size_t nUnderscore = strArgument.rfind('_');
    if (nUnderscore == std::string::npos || nUnderscore + 1 == strArgument.size()) {
        hostproc::DiagnoseAs(hostproc::Severity::Error, "usage: HostProc <proxy-server name>_<ENDPOINT>");
        return 2;
    }
    const std::string strName = strArgument.substr(0, nUnderscore);
    const std::string strEndpoint = strArgument.substr(nUnderscore + 1);
    hostproc::SetDiagnosticsName(strName);

#ifdef KESTREL_TEST_TIMING
    // Tests of the library's load retries need a HostProc that never listens.
    if (const char* szMute = std::getenv("KESTREL_TEST_HOSTPROC_MUTE"); szMute != nullptr && *szMute == '1') {
        hostproc::Diagnose("muted: never listening on %s", strEndpoint.c_str());
        for (;;) pause();
    }
#endif

    hostproc::HostProcService service;
    try {
#ifdef KESTREL_TEST_TIMING
        // Tests of the library's load retries need a HostProc that turns the
        // first connections away: it accepts and closes them, then the real
        // server takes over the endpoint.
        std::optional<kestrel::rpc::Listener> refusing;
        if (const char* szRefuse = std::getenv("KESTREL_TEST_HOSTPROC_REFUSE"); szRefuse != nullptr) {
            refusing = kestrel::rpc::listenEndpoint(strEndpoint, 16);
            for (int nRefused = 0; nRefused < std::atoi(szRefuse);) {
                const int hConnection = accept4(refusing->fd.Get(), nullptr, nullptr, SOCK_CLOEXEC);
                if (hConnection >= 0) {
                    close(hConnection);
                    ++nRefused;
                }
            }
            unlinkat(refusing->dir.fd.Get(), strEndpoint.c_str(), 0);
        }
#endif
        kestrel::rpc::ServerOptions options;
        options.endpoint = strEndpoint;
        options.stallLimitMs = static_cast<unsigned>(hostproc::StallLimit().count());
        kestrel::remote::ProxyServer server(service, std::move(options));
#ifdef KESTREL_TEST_TIMING
        refusing.reset();
#endif
        g_pServer = &server.server();
        InstallSignalHandlers();
        atexit(&UnlinkSocketAtExit);
        hostproc::SetLoadErrorFile(server.server().socketPath());
        hostproc::Confine(strName, server.server().socketPath());
        server.start();
        hostproc::Diagnose("serving endpoint %s", server.server().socketPath().c_str());

        const bool bIdle = server.server().waitIdle(hostproc::IdleGrace(), hostproc::InitialGrace());
        hostproc::Diagnose("exiting: %s", bIdle ? "no client left" : "asked to stop");
        StopWithin(server, hostproc::StopBound());
        hostproc::RemoveLoadError();
        hostproc::EndDescendants();
        g_pServer = nullptr;
    } catch (const std::exception& error) {
        hostproc::DiagnoseAs(hostproc::Severity::Error, "cannot serve endpoint %s: %s", strEndpoint.c_str(),
                             error.what());
        return 1;
    }
    return 0;
}
