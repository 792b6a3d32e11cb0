// kestrel-hostproc-foreign-peer probe|listen UID SOCKET
//
// Becomes UID while keeping CAP_DAC_OVERRIDE, so that file permissions let
// it reach a socket of another user and only the peer-credential check can
// refuse it, and prints "uid=N". Then it knocks at SOCKET with a raw bind
// and prints "raw=PTYPE" (0: hung up without a word), or serves SOCKET,
// prints "listening" and, for its one connection, whether the peer hung up
// without a word.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "../rpcrt/Raw.h"

namespace {
int Fail(const char* szWhat) {
    std::perror(szWhat);
    return 2;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s probe|listen UID SOCKET\n", argv[0]);
        return 2;
    }
    // Keeps the permitted capabilities across the change of uid, then
    // raises the one that bypasses file permissions again.
    const uid_t uid = static_cast<uid_t>(std::strtoul(argv[2], nullptr, 10));
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
    if (std::strcmp(argv[1], "probe") == 0) {
        std::printf("raw=%d\n", raw::probe(argv[3]));
        return 0;
    }
    raw::Listener listener(argv[3]);
    std::printf("listening\n");
    std::fflush(stdout);
    listener.serve([](raw::Conn& conn) { std::printf("connection %s\n", conn.ended() ? "silent" : "spoke"); });
    return 0;
}
