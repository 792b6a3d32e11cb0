// A process of another uid that can reach HostProc's socket (file
// permissions bypassed with CAP_DAC_OVERRIDE) is still refused by the
// peer-credential check, and the refusal does HostProc no harm; a listener
// of another uid at an endpoint is refused by our client in turn.
#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "HostProcHarness.h"
#include "../rpcrt/Raw.h"

extern char** environ;

namespace hostproc_test {
namespace {

constexpr uid_t kNobody = 65534;

using ForeignPeer = HostProcTest;

// The foreign peer, running while the test acts: its standard input is a
// pipe whose closing tells it to finish, its output a pipe we read.
class RunningPeer {
public:
    explicit RunningPeer(std::vector<std::string> arguments) {
        int inFds[2], outFds[2];
        if (pipe2(inFds, O_CLOEXEC) != 0 || pipe2(outFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, inFds[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, outFds[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (std::string& s : arguments) argv.push_back(s.data());
        argv.push_back(nullptr);
        const int nError = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(inFds[0]);
        close(outFds[1]);
        m_hInput = inFds[1];
        m_hOutput = outFds[0];
        if (nError != 0) m_pid = -1;
    }
    RunningPeer(const RunningPeer&) = delete;
    RunningPeer& operator=(const RunningPeer&) = delete;
    ~RunningPeer() {
        int nStatus;
        Finish(nStatus);
    }

    // The next line it printed, without its newline.
    std::string ReadLine() {
        std::string strLine;
        char c;
        while (read(m_hOutput, &c, 1) == 1 && c != '\n') strLine.push_back(c);
        return strLine;
    }

    // Lets it finish and returns the rest of what it printed.
    std::string Finish(int& nStatus) {
        nStatus = -1;
        if (m_hInput >= 0) close(std::exchange(m_hInput, -1));
        std::string strOutput;
        char buffer[512];
        for (ssize_t n; m_hOutput >= 0 && (n = read(m_hOutput, buffer, sizeof buffer)) > 0;) strOutput.append(buffer, size_t(n));
        if (m_hOutput >= 0) close(std::exchange(m_hOutput, -1));
        if (m_pid > 0) waitpid(std::exchange(m_pid, -1), &nStatus, 0);
        return strOutput;
    }

private:
    pid_t m_pid = -1;
    int m_hInput = -1;
    int m_hOutput = -1;
};

TEST_F(ForeignPeer, AnotherUidIsRefusedEvenWhenItCanReachTheSocket) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another uid";
    Start();
    // The probe works: our own uid gets a bind_ack.
    ASSERT_EQ(raw::probe(SocketPath()), raw::ptype::kBindAck);

    // The peer's own socket directory, whose entry leads to ours.
    const std::string strPeerDir = Root() + "/peer";
    ASSERT_EQ(mkdir(strPeerDir.c_str(), 0700), 0);
    ASSERT_EQ(chown(strPeerDir.c_str(), kNobody, kNobody), 0) << strerror(errno);
    ASSERT_EQ(symlink(SocketPath().c_str(), (strPeerDir + "/" + Endpoint()).c_str()), 0) << strerror(errno);

    int nStatus = -1;
    const std::string strOutput =
        RunningPeer({FOREIGN_PEER_PATH, std::to_string(kNobody), SocketPath(), strPeerDir, Endpoint(), TestDriver()})
            .Finish(nStatus);
    ASSERT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "status " << nStatus << "\n" << strOutput;
    EXPECT_NE(strOutput.find("uid=65534\n"), std::string::npos) << strOutput;
    // HostProc hung up without a word.
    EXPECT_NE(strOutput.find("raw=0\n"), std::string::npos) << strOutput;
    const bool bRefused = strOutput.find("load=1722\n") != std::string::npos ||
                          strOutput.find("load=1726\n") != std::string::npos;
    EXPECT_TRUE(bRefused) << strOutput;

    // Nothing happened to the HostProc or its drivers.
    RpcDriverCtx hCtx = Load(TestDriver());
    ASSERT_NE(hCtx, nullptr);
    EXPECT_EQ(StateValue(DriverState(hCtx), "calls"), 0);
    EXPECT_EQ(CountLines("opened driver"), 1) << "only our own load reached it";
    EXPECT_EQ(CountLines("fatal signal"), 0);
}

TEST_F(ForeignPeer, ListenerOfAnotherUidGetsNoBindFromOurClient) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another uid";
    // No HostProc: another user's process sits on the endpoint's socket.
    RunningPeer listener({FOREIGN_PEER_PATH, "listen", std::to_string(kNobody), SocketPath()});
    ASSERT_EQ(listener.ReadLine(), "uid=65534");
    ASSERT_EQ(listener.ReadLine(), "listening");

    handle_t hBinding = Bind();
    EXPECT_EQ(StatusOf([&] { rpc_LoadDriver(hBinding, TestDriver().c_str()); }),
              std::optional<uint32_t>(RPC_S_SERVER_UNAVAILABLE));
    int nStatus = -1;
    const std::string strOutput = listener.Finish(nStatus);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "status " << nStatus;
    // Our client connected, saw who listens and hung up without a word.
    EXPECT_EQ(strOutput, "connection bytes=0\n");
}

}  // namespace
}  // namespace hostproc_test
