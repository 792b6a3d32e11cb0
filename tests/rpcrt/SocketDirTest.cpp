// The socket directory and socket rules: who may own it, its mode, the
// environment fallbacks, long paths, the socket's own mode and removal, and
// descriptors that stay out of the standard streams.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <filesystem>

#include "TestSupport.h"

namespace {

using testsupport::statusOf;

class SocketDir : public testsupport::RpcDirTest {
 protected:
  uint32_t loadStatus() {
    handle_t b = bindTo(endpoint_);
    uint32_t st = statusOf([&] {
      RpcDriverCtx c = rpc_LoadDriver(b, "echo");
      RpcSsDestroyClientContext(&c);
    });
    RpcBindingFree(&b);
    return st;
  }
  // Sets a variable for the rest of the test.
  void env(const char* name, const char* value) {
    saved_.emplace_back(name, std::getenv(name) ? std::optional<std::string>(std::getenv(name))
                                                 : std::nullopt);
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  void TearDown() override {
    for (auto& [name, value] : saved_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
    RpcDirTest::TearDown();
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(SocketDir, GroupOrWorldAccessibleDirectoryIsRefused) {
  testsupport::LocalServer server(endpoint_);
  ASSERT_EQ(loadStatus(), 0u);
  ::chmod(dir_.c_str(), 0750);
  EXPECT_EQ(loadStatus(), uint32_t(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_THROW(testsupport::LocalServer{endpoint_ + "2"}, std::runtime_error);
  ::chmod(dir_.c_str(), 0700);
}

TEST_F(SocketDir, DirectoryOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the directory to someone else";
  testsupport::LocalServer server(endpoint_);
  ASSERT_EQ(::chown(dir_.c_str(), 12345, 12345), 0);
  EXPECT_EQ(loadStatus(), uint32_t(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_THROW(testsupport::LocalServer{endpoint_ + "2"}, std::runtime_error);
  ASSERT_EQ(::chown(dir_.c_str(), 0, 0), 0);
}

TEST_F(SocketDir, RuntimeDirFallbackIsCreatedPrivate) {
  std::string xdg = dir_ + "/xdg";
  ASSERT_EQ(::mkdir(xdg.c_str(), 0700), 0);
  env("KESTREL_RPC_DIR", "");  // empty counts as unset
  env("XDG_RUNTIME_DIR", xdg.c_str());
  std::string socket = xdg + "/kestrel/" + endpoint_;
  {
    mode_t old = ::umask(0);  // the directory's mode must not depend on it
    testsupport::LocalServer server(endpoint_);
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat((xdg + "/kestrel").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(socket.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(server.server.server().socketPath(), socket);
    EXPECT_EQ(loadStatus(), 0u);
  }
  EXPECT_FALSE(std::filesystem::exists(socket));  // removed when the server stops
}

TEST_F(SocketDir, TmpFallbackWhenNothingIsSet) {
  env("KESTREL_RPC_DIR", nullptr);
  env("XDG_RUNTIME_DIR", "");
  testsupport::LocalServer server(endpoint_);
  EXPECT_EQ(server.server.server().socketPath(),
            "/tmp/kestrel-" + std::to_string(::geteuid()) + "/" + endpoint_);
  EXPECT_EQ(loadStatus(), 0u);
}

TEST_F(SocketDir, LongPathsGoThroughTheDirectoryDescriptor) {
  std::string deep = dir_ + "/" + std::string(100, 'd');
  ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
  env("KESTREL_RPC_DIR", deep.c_str());
  testsupport::LocalServer server(endpoint_);
  EXPECT_GT(server.server.server().socketPath().size(), 108u);
  EXPECT_EQ(loadStatus(), 0u);
}

TEST_F(SocketDir, StaleSocketIsReplacedLiveOneIsNot) {
  { testsupport::LocalServer first(endpoint_); }
  // Leave a socket file behind as a killed server would.
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::string path = dir_ + "/" + endpoint_;
  std::strcpy(a.sun_path, path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ::close(fd);
  testsupport::LocalServer second(endpoint_);
  EXPECT_EQ(loadStatus(), 0u);
  EXPECT_THROW(testsupport::LocalServer{endpoint_}, std::runtime_error);
}

TEST_F(SocketDir, DescriptorsStayAboveTheStandardStreamsAndCloseOnExec) {
  testsupport::LocalServer server(endpoint_);
  int saved = ::dup(0);
  ::close(0);  // an application without stdin
  handle_t b = bindTo(endpoint_);
  RpcDriverCtx c = rpc_LoadDriver(b, "echo");
  EXPECT_EQ(::fcntl(0, F_GETFD), -1);  // nothing of ours landed on 0
  int sockets = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    int fd = std::stoi(e.path().filename());
    std::error_code ec;
    auto target = std::filesystem::read_symlink(e.path(), ec).string();
    if (target.rfind("socket:", 0) != 0) continue;
    ++sockets;
    EXPECT_GE(fd, 3);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
  }
  EXPECT_GE(sockets, 3);  // listener, server side, client side
  ::dup2(saved, 0);
  ::close(saved);
  RpcSsDestroyClientContext(&c);
  RpcBindingFree(&b);
}

}  // namespace
