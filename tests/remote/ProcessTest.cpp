// What only a real process boundary shows: a server that dies between or
// during calls, and a client that dies holding a context.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <utility>

#include "TestSupport.h"

extern char** environ;

namespace {

using testsupport::statusOf;

// A child process running the test peer; what it tells comes through a pipe.
class Peer {
 public:
  Peer(const char* mode, std::string endpoint) {
    int tell[2];
    if (pipe2(tell, O_CLOEXEC)) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, tell[1], 1);
    std::string path = KESTREL_TESTPEER_PATH, m = mode;
    char* argv[] = {path.data(), m.data(), endpoint.data(), nullptr};
    int rc = posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(tell[1]);
    fromChild_ = tell[0];
    if (rc != 0) throw std::runtime_error("spawn test peer");
  }
  ~Peer() {
    kill();
    ::close(fromChild_);
  }
  // Next character the child told us; 0 at end of file.
  char next() {
    char c = 0;
    return ::read(fromChild_, &c, 1) == 1 ? c : 0;
  }
  void kill() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    if (pid_ > 0) ::waitpid(std::exchange(pid_, -1), nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
  int fromChild_ = -1;
};

class Process : public testsupport::RpcDirTest {
 protected:
  // A call of OpenConnection(cmd) on a context loaded from a server peer.
  uint32_t open(RpcDriverCallCtx c, const char* cmd) {
    return statusOf([&] { rpc_OpenConnection(c, cmd, "pw", 0, 0); });
  }
};

TEST_F(Process, ServerDeadBetweenCallsIsServerUnavailable) {
  handle_t b = bindTo(endpoint_);
  EXPECT_EQ(statusOf([&] { rpc_LoadDriver(b, "x"); }), uint32_t(RPC_S_SERVER_UNAVAILABLE));  // none yet
  Peer server("server", endpoint_);
  ASSERT_EQ(server.next(), 'R');
  RpcDriverCtx c = rpc_LoadDriver(b, "echo");
  ASSERT_EQ(open(c, "echo"), 0u);  // leaves an idle pooled connection
  server.kill();
  EXPECT_EQ(open(c, "echo"), uint32_t(RPC_S_SERVER_UNAVAILABLE));
  // Its socket file is left behind, and nobody listens on it.
  EXPECT_EQ(statusOf([&] { rpc_LoadDriver(b, "x"); }), uint32_t(RPC_S_SERVER_UNAVAILABLE));
  RpcSsDestroyClientContext(&c);
  RpcBindingFree(&b);
}

TEST_F(Process, ServerDeadDuringACallIsCallFailed) {
  Peer server("server", endpoint_);
  ASSERT_EQ(server.next(), 'R');
  handle_t b = bindTo(endpoint_);
  RpcDriverCtx c = rpc_LoadDriver(b, "echo");
  uint32_t status = 0;
  std::thread call([&] { status = open(c, "block"); });
  ASSERT_EQ(server.next(), 'B');  // the call is inside the server
  server.kill();
  call.join();
  EXPECT_EQ(status, uint32_t(RPC_S_CALL_FAILED));
  EXPECT_EQ(open(c, "echo"), uint32_t(RPC_S_SERVER_UNAVAILABLE));
  RpcSsDestroyClientContext(&c);
  RpcBindingFree(&b);
}

TEST_F(Process, DeadClientsContextsAreRunDown) {
  testsupport::LocalServer server(endpoint_);
  {
    Peer client("client", endpoint_);
    ASSERT_EQ(client.next(), 'R');
    EXPECT_EQ(server.server.server().counts().contexts, 1u);
  }  // killed
  server.host.waitRundowns(1);
  EXPECT_EQ(server.server.server().counts().contexts, 0u);
}

}  // namespace
