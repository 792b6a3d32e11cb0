// kestrel-hostproc-foreign-peer UID SOCKET CLIENT_DIR ENDPOINT DRIVER
// kestrel-hostproc-foreign-peer listen UID SOCKET
//
// Becomes UID while keeping CAP_DAC_OVERRIDE, so that file permissions let
// it reach a socket of another user and only the peer-credential check can
// refuse it. Then, as a client, it knocks at SOCKET with a raw bind and
// calls rpc_LoadDriver through CLIENT_DIR (a socket directory of its own
// that holds a link to SOCKET); it prints "uid=N", "raw=PTYPE" and
// "load=STATUS" (or "load=ok"). As a listener it serves SOCKET, prints
// "listening", then, for its one connection, whether the peer hung up
// without a word.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
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

}  // namespace

int main(int argc, char** argv) {
    const bool bListen = argc == 4 && std::strcmp(argv[1], "listen") == 0;
    if (!bListen && argc != 6) {
        std::fprintf(stderr, "usage: %s UID SOCKET CLIENT_DIR ENDPOINT DRIVER | listen UID SOCKET\n", argv[0]);
        return 2;
    }
    if (const int nFailed = BecomeUid(argv[bListen ? 2 : 1])) return nFailed;
    if (bListen) {
        raw::Listener listener(argv[3]);
        std::printf("listening\n");
        std::fflush(stdout);
        listener.serve([](raw::Conn& conn) { std::printf("connection %s\n", conn.ended() ? "silent" : "spoke"); });
        return 0;
    }
    std::printf("raw=%d\n", raw::probe(argv[2]));

    setenv("KESTREL_RPC_DIR", argv[3], 1);
    const std::string strBinding = std::string("ncalrpc:[") + argv[4] + "]";
    handle_t hBinding = nullptr;
    if (RpcBindingFromStringBindingA(reinterpret_cast<RPC_CSTR>(const_cast<char*>(strBinding.c_str())), &hBinding) !=
        RPC_S_OK)
        return Fail("binding");
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
