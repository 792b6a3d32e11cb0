// A process of another uid that can reach HostProc's socket (file
// permissions bypassed with CAP_DAC_OVERRIDE) is still refused by the
// peer-credential check, and the refusal does HostProc no harm.
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "HostProcHarness.h"
#include "RawBind.h"

extern char** environ;

namespace hostproc_test {
namespace {

constexpr uid_t kNobody = 65534;

using ForeignPeer = HostProcTest;

// Runs the foreign peer and returns what it printed (its exit status in
// nStatus).
std::string RunForeignPeer(const std::vector<std::string>& arguments, int& nStatus) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return "pipe failed";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<std::string> strings = arguments;
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int nError = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    std::string strOutput;
    if (nError == 0) {
        char buffer[512];
        ssize_t n;
        while ((n = read(pipeFds[0], buffer, sizeof buffer)) != 0) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            strOutput.append(buffer, static_cast<size_t>(n));
        }
        while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
        }
    } else {
        strOutput = std::string("spawn failed: ") + strerror(nError);
    }
    close(pipeFds[0]);
    return strOutput;
}

TEST_F(ForeignPeer, AnotherUidIsRefusedEvenWhenItCanReachTheSocket) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another uid";
    Start();
    // The probe works: our own uid gets a bind_ack.
    ASSERT_EQ(RawBindProbe(SocketPath(), 30000), 12);

    // The peer's own socket directory, whose entry leads to ours.
    const std::string strPeerDir = Root() + "/peer";
    ASSERT_EQ(mkdir(strPeerDir.c_str(), 0700), 0);
    ASSERT_EQ(chown(strPeerDir.c_str(), kNobody, kNobody), 0) << strerror(errno);
    ASSERT_EQ(symlink(SocketPath().c_str(), (strPeerDir + "/" + Endpoint()).c_str()), 0) << strerror(errno);

    int nStatus = -1;
    const std::string strOutput = RunForeignPeer(
        {FOREIGN_PEER_PATH, std::to_string(kNobody), SocketPath(), strPeerDir, Endpoint(), TestDriver()}, nStatus);
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

}  // namespace
}  // namespace hostproc_test
