// Fixtures shared by the runtime and interface tests: a private socket
// directory per test, bindings, an in-process server and child processes
// (the test peer) with pipe handshakes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestHost.h"
#include "remote/ProxyClient.h"
#include "remote/ProxyServer.h"
#include "rpcrt/Status.h"

extern char** environ;

namespace testsupport {

// The status of the RpcError that `f` raises (0 if none).
template <class F>
uint32_t statusOf(F&& f) {
  try {
    f();
  } catch (const kestrel::rpc::RpcError& e) {
    return e.status();
  }
  return 0;
}

class RpcDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kestrel-rpc-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ::setenv("KESTREL_RPC_DIR", dir_.c_str(), 1);
    endpoint_ = kestrel::rpc::Uuid::random().text();
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  handle_t bindTo(const std::string& endpoint) {
    RPC_CSTR text = nullptr;
    EXPECT_EQ(RpcStringBindingComposeA(nullptr, (RPC_CSTR) "ncalrpc", nullptr,
                                       (RPC_CSTR)endpoint.c_str(), nullptr, &text),
              RPC_S_OK);
    handle_t h = nullptr;
    EXPECT_EQ(RpcBindingFromStringBindingA(text, &h), RPC_S_OK);
    RpcStringFreeA(&text);
    return h;
  }

  std::string dir_;
  std::string endpoint_;
};

// A TestHost served in this process.
struct LocalServer {
  explicit LocalServer(const std::string& endpoint, kestrel::rpc::ServerOptions o = {})
      : server(host, withEndpoint(std::move(o), endpoint)) {
    server.start();
  }
  ~LocalServer() {
    host.openGate();
    server.stop();
  }
  static kestrel::rpc::ServerOptions withEndpoint(kestrel::rpc::ServerOptions o,
                                                  const std::string& e) {
    o.endpoint = e;
    return o;
  }
  testhost::TestHost host;
  kestrel::remote::ProxyServer server;
};

// A bound binding and a loaded driver context on it.
class ServedTest : public RpcDirTest {
 protected:
  void SetUp() override {
    RpcDirTest::SetUp();
    server_ = std::make_unique<LocalServer>(endpoint_);
    binding_ = bindTo(endpoint_);
    ctx_ = rpc_LoadDriver(binding_, "echo");
    ASSERT_NE(ctx_, nullptr);
  }
  void TearDown() override {
    if (ctx_) RpcSsDestroyClientContext(&ctx_);
    if (binding_) RpcBindingFree(&binding_);
    server_.reset();
    RpcDirTest::TearDown();
  }
  testhost::TestHost& host() { return server_->host; }

  std::unique_ptr<LocalServer> server_;
  handle_t binding_ = nullptr;
  RpcDriverCtx ctx_ = nullptr;
};

// A child process running the test peer, with two pipes: the child writes
// to its fd 3 ("tell") and reads from its fd 4 ("hear").
class Peer {
 public:
  Peer(const std::vector<std::string>& args) {
    int tell[2], hear[2];
    if (pipe2(tell, O_CLOEXEC) || pipe2(hear, O_CLOEXEC)) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, tell[1], 3);
    posix_spawn_file_actions_adddup2(&fa, hear[0], 4);
    std::vector<char*> argv;
    std::string path = KESTREL_TESTPEER_PATH;
    argv.push_back(path.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(tell[1]);
    ::close(hear[0]);
    fromChild_ = tell[0];
    toChild_ = hear[1];
    if (rc != 0) throw std::runtime_error("spawn test peer");
  }
  ~Peer() {
    kill();
    ::close(fromChild_);
    ::close(toChild_);
  }
  // Next byte the child told us; 0 at end of file.
  char next() {
    char c = 0;
    while (::read(fromChild_, &c, 1) < 0 && errno == EINTR) {
    }
    return c;
  }
  void send(char c) {
    while (::write(toChild_, &c, 1) < 0 && errno == EINTR) {
    }
  }
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int st;
    while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int fromChild_ = -1;
  int toChild_ = -1;
};

}  // namespace testsupport
