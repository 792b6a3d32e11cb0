// kestrel-hostproc-foreign-peer UID SOCKET CLIENT_DIR ENDPOINT DRIVER
//
// Becomes UID while keeping CAP_DAC_OVERRIDE, so that file permissions let
// it reach a socket of another user and only the peer-credential check can
// refuse it; then knocks at SOCKET with a raw bind and calls rpc_LoadDriver
// through CLIENT_DIR (a socket directory of its own that holds a link to
// SOCKET). Prints "uid=N", "raw=PTYPE" and "load=STATUS" (or "load=ok").
#include <cstdio>
#include <cstdlib>
#include <string>

#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "RawBind.h"
#include "remote/ProxyClient.h"

namespace {

int Fail(const char* szWhat) {
    std::perror(szWhat);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s UID SOCKET CLIENT_DIR ENDPOINT DRIVER\n", argv[0]);
        return 2;
    }
    const uid_t uid = static_cast<uid_t>(std::strtoul(argv[1], nullptr, 10));
    std::string strEndpoint = argv[4];

    // Keep the permitted capabilities across the change of uid, then raise
    // the one that bypasses file permissions again.
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

    std::printf("raw=%d\n", hostproc_test::RawBindProbe(argv[2], 30000));

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
