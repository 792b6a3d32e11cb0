// kestrel-hostproc-foreign-peer UID SOCKET CLIENT_DIR ENDPOINT DRIVER
// kestrel-hostproc-foreign-peer listen UID SOCKET
//
// Becomes UID while keeping CAP_DAC_OVERRIDE, so that file permissions let
// it reach a socket of another user and only the peer-credential check can
// refuse it. Then, as a client, it knocks at SOCKET with a raw bind and
// calls rpc_LoadDriver through CLIENT_DIR (a socket directory of its own
// that holds a link to SOCKET); it prints "uid=N", "raw=PTYPE" and
// "load=STATUS" (or "load=ok"). As a listener it serves SOCKET, prints
// "listening", then "connection bytes=N" for every connection (N: what
// the peer sent before hanging up or waiting), until its standard input
// closes.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include "../rpcrt/Raw.h"
#include "remote/ProxyClient.h"

namespace {

int Fail(const char* szWhat) {
    std::perror(szWhat);
    return 2;
}

// Keeps the permitted capabilities across the change of uid, then raises
// the one that bypasses file permissions again.
int BecomeUid(const char* szUid) {
    const uid_t uid = static_cast<uid_t>(std::strtoul(szUid, nullptr, 10));
    if (prctl(PR_SET_KEEPCAPS, 1L, 0L, 0L, 0L) != 0) return Fail("PR_SET_KEEPCAPS");
    if (setgroups(0, nullptr) != 0) return Fail("setgroups");
    if (setresgid(uid, uid, uid) != 0) return Fail("setresgid");
    if (setresuid(uid, uid, uid) != 0) return Fail("setresuid");
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    data[CAP_DAC_OVERRIDE / 32].effective = 1u << (CAP_DAC_OVERRIDE % 32);
    data[CAP_DAC_OVERRIDE / 32].permitted = 1u << (CAP_DAC_OVERRIDE % 32);
    if (syscall(SYS_capset, &header, data) != 0) return Fail("capset");
    // A uid change makes the process undumpable; sanitizer runtimes need to
    // inspect it at exit.
    prctl(PR_SET_DUMPABLE, 1L, 0L, 0L, 0L);
    std::printf("uid=%u\n", static_cast<unsigned>(geteuid()));
    std::fflush(stdout);
    return 0;
}

int Listen(const std::string& strSocket) {
    sockaddr_un address{};
    if (strSocket.size() >= sizeof address.sun_path) return Fail("socket path too long");
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, strSocket.c_str(), strSocket.size() + 1);
    const int hListener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (hListener < 0) return Fail("socket");
    if (bind(hListener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return Fail("bind");
    if (listen(hListener, 16) != 0) return Fail("listen");
    std::printf("listening\n");
    std::fflush(stdout);

    // Each connection is answered at once, so a client that sends a bind
    // and waits for the reply is not left hanging: one read, whatever
    // comes first, the client's bytes or its hanging up.
    pollfd entries[2] = {{hListener, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    for (bool bInputOpen = true; bInputOpen;) {
        if (poll(entries, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return Fail("poll");
        }
        // Once the input is closed, take only what is queued already.
        bInputOpen = entries[1].revents == 0;
        if (!bInputOpen) fcntl(hListener, F_SETFL, O_NONBLOCK);
        if (bInputOpen && entries[0].revents == 0) continue;
        for (int hConnection; (hConnection = accept4(hListener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            char buffer[512];
            ssize_t n;
            while ((n = recv(hConnection, buffer, sizeof buffer, 0)) < 0 && errno == EINTR) {
            }
            std::printf("connection bytes=%zd\n", n > 0 ? n : 0);
            std::fflush(stdout);
            close(hConnection);
            if (bInputOpen) break;
        }
    }
    unlink(strSocket.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "listen") == 0) {
        if (const int nFailed = BecomeUid(argv[2])) return nFailed;
        return Listen(argv[3]);
    }
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s UID SOCKET CLIENT_DIR ENDPOINT DRIVER | listen UID SOCKET\n", argv[0]);
        return 2;
    }
    std::string strEndpoint = argv[4];
    if (const int nFailed = BecomeUid(argv[1])) return nFailed;

    std::printf("raw=%d\n", raw::probe(argv[2]));

    setenv("KESTREL_RPC_DIR", argv[3], 1);
    std::string strProtseq = "ncalrpc";
    RPC_CSTR szBinding = nullptr;
    handle_t hBinding = nullptr;
    if (RpcStringBindingComposeA(nullptr, reinterpret_cast<RPC_CSTR>(strProtseq.data()), nullptr,
                                 reinterpret_cast<RPC_CSTR>(strEndpoint.data()), nullptr, &szBinding) != RPC_S_OK ||
        RpcBindingFromStringBindingA(szBinding, &hBinding) != RPC_S_OK) {
        std::fprintf(stderr, "no binding\n");
        return 2;
    }
    RpcStringFreeA(&szBinding);
    try {
        RpcDriverCtx hCtx = rpc_LoadDriver(hBinding, argv[5]);
        std::printf("load=ok\n");
        RpcSsDestroyClientContext(&hCtx);
    } catch (const kestrel::rpc::RpcError& error) {
        std::printf("load=%u\n", error.status());
    }
    RpcBindingFree(&hBinding);
    return 0;
}
