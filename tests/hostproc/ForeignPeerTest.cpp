// A process of another uid that can reach HostProc's socket (file
// permissions bypassed with CAP_DAC_OVERRIDE) is still refused by the
// peer-credential check, and the refusal does HostProc no harm; a listener
// of another uid at an endpoint is refused by our client in turn.
#include <cstdio>
#include <utility>

#include <sys/wait.h>
#include <unistd.h>

#include "../rpcrt/Raw.h"
#include "HostProcHarness.h"

namespace hostproc_test {
namespace {

constexpr uid_t kNobody = 65534;

using ForeignPeer = HostProcTest;

// The foreign peer with these arguments, its output read as it comes.
struct RunningPeer {
    FILE* pOutput;
    explicit RunningPeer(const std::string& strArguments)
        : pOutput(popen((std::string(FOREIGN_PEER_PATH) + " " + strArguments).c_str(), "r")) {}
    ~RunningPeer() { Finish(); }
    // The next line it printed, with its newline ("" at the end).
    std::string ReadLine() {
        char line[256];
        return pOutput != nullptr && fgets(line, sizeof line, pOutput) != nullptr ? line : "";
    }
    // Waits for its end: the rest of what it printed, then its wait status.
    std::string Finish(int* pStatus = nullptr) {
        std::string strOutput;
        for (std::string strLine; !(strLine = ReadLine()).empty();) strOutput += strLine;
        const int nStatus = pOutput != nullptr ? pclose(std::exchange(pOutput, nullptr)) : -1;
        if (pStatus != nullptr) *pStatus = nStatus;
        return strOutput;
    }
};

TEST_F(ForeignPeer, AnotherUidIsRefusedEvenWhenItCanReachTheSocket) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another uid";
    Start();
    // The probe works: our own uid gets a bind_ack.
    ASSERT_EQ(raw::probe(SocketPath()), raw::ptype::kBindAck);

    int nStatus = -1;
    const std::string strOutput = RunningPeer("probe " + std::to_string(kNobody) + " " + SocketPath()).Finish(&nStatus);
    ASSERT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "status " << nStatus << "\n" << strOutput;
    // HostProc hung up without a word.
    EXPECT_EQ(strOutput, "uid=65534\nraw=0\n");

    // Nothing happened to the HostProc (and its teardown sees it end cleanly).
    EXPECT_NE(Load(TestDriver()), nullptr);
}

TEST_F(ForeignPeer, ListenerOfAnotherUidGetsNoBindFromOurClient) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another uid";
    // No HostProc: another user's process sits on the endpoint's socket.
    RunningPeer listener("listen " + std::to_string(kNobody) + " " + SocketPath());
    ASSERT_EQ(listener.ReadLine(), "uid=65534\n");
    ASSERT_EQ(listener.ReadLine(), "listening\n");

    handle_t hBinding = Bind();
    EXPECT_EQ(StatusOf([&] { rpc_LoadDriver(hBinding, TestDriver().c_str()); }),
              std::optional<uint32_t>(RPC_S_SERVER_UNAVAILABLE));
    int nStatus = -1;
    const std::string strOutput = listener.Finish(&nStatus);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "status " << nStatus;
    // Our client connected, saw who listens and hung up without a word.
    EXPECT_EQ(strOutput, "connection silent\n");
}

}  // namespace
}  // namespace hostproc_test
