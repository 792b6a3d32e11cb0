// The socket directory and socket rules: who may own it, its mode, the
// environment fallbacks, long paths, the socket's own mode and removal, and
// descriptors that stay out of the standard streams.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstdio>
#include <filesystem>

#include "TestSupport.h"

namespace {

using testsupport::LocalServer;

class SocketDir : public testsupport::RpcDirTest {
 protected:
  uint32_t loadStatus() {
    handle_t b = bindTo(endpoint_);
    uint32_t st = testsupport::statusOf([&] {
      RpcDriverCtx c = rpc_LoadDriver(b, "echo");
      RpcSsDestroyClientContext(&c);
    });
    RpcBindingFree(&b);
    return st;
  }
};

TEST_F(SocketDir, DirectoryOthersCanReachOrOwnIsRefusedBothWays) {
  LocalServer server(endpoint_);
  ASSERT_EQ(loadStatus(), 0u);
  std::vector<std::pair<std::function<int()>, std::function<int()>>> cases = {
      {[&] { return ::chmod(dir_.c_str(), 0750); }, [&] { return ::chmod(dir_.c_str(), 0700); }},
      {[&] { return ::chmod(dir_.c_str(), 0701); }, [&] { return ::chmod(dir_.c_str(), 0700); }},
  };
  if (::geteuid() == 0)  // giving it to someone else needs root
    cases.push_back({[&] { return ::chown(dir_.c_str(), 12345, 12345); }, [&] { return ::chown(dir_.c_str(), 0, 0); }});
  for (const auto& [spoil, restore] : cases) {
    ASSERT_EQ(spoil(), 0);
    EXPECT_EQ(loadStatus(), uint32_t(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_THROW(LocalServer{endpoint_ + "2"}, std::runtime_error);
    ASSERT_EQ(restore(), 0);
  }
}

TEST_F(SocketDir, FallbacksWhenTheVariableIsUnset) {
  const std::string xdg = dir_ + "/xdg";
  ASSERT_EQ(::mkdir(xdg.c_str(), 0700), 0);
  const std::pair<const char*, std::string> cases[] = {
      {xdg.c_str(), xdg + "/kestrel"}, {"", "/tmp/kestrel-" + std::to_string(::geteuid())},  // empty counts as unset
  };
  for (const auto& [runtimeDir, expected] : cases) {
    ::setenv("KESTREL_RPC_DIR", "", 1);  // each test's set-up sets it again
    ::setenv("XDG_RUNTIME_DIR", runtimeDir, 1);
    std::string socket = expected + "/" + endpoint_;
    {
      mode_t old = ::umask(0);  // the directory's mode must not depend on it
      LocalServer server(endpoint_);
      ::umask(old);
      struct stat st {};
      ASSERT_EQ(::stat(expected.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0700u);
      ASSERT_EQ(::stat(socket.c_str(), &st), 0);
      EXPECT_TRUE(S_ISSOCK(st.st_mode));
      EXPECT_EQ(st.st_mode & 0777, 0600u);
      EXPECT_EQ(server.server.server().socketPath(), socket);
      EXPECT_EQ(loadStatus(), 0u);
    }
    EXPECT_FALSE(std::filesystem::exists(socket));  // removed when the server stops
  }
}

TEST_F(SocketDir, LongPathsGoThroughTheDirectoryDescriptor) {
  std::string deep = dir_ + "/" + std::string(100, 'd');
  ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
  ::setenv("KESTREL_RPC_DIR", deep.c_str(), 1);
  LocalServer server(endpoint_);
  EXPECT_GT(server.server.server().socketPath().size(), 108u);
  EXPECT_EQ(loadStatus(), 0u);
}

TEST_F(SocketDir, StaleSocketIsReplacedLiveOneIsNot) {
  // Leave a socket file behind as a killed server would.
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::string path = dir_ + "/" + endpoint_;
  std::strcpy(a.sun_path, path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ::close(fd);
  LocalServer second(endpoint_);
  EXPECT_EQ(loadStatus(), 0u);
  EXPECT_THROW(LocalServer{endpoint_}, std::runtime_error);
}

TEST_F(SocketDir, DescriptorsStayAboveTheStandardStreamsAndCloseOnExec) {
  LocalServer server(endpoint_);
  int saved = ::dup(0);
  ::close(0);  // an application without stdin
  handle_t b = bindTo(endpoint_);
  RpcDriverCtx c = rpc_LoadDriver(b, "echo");
  EXPECT_EQ(::fcntl(0, F_GETFD), -1);  // nothing of ours landed on 0
  int sockets = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    int fd = std::stoi(e.path().filename());
    std::error_code ec;
    if (std::filesystem::read_symlink(e.path(), ec).string().rfind("socket:", 0) != 0) continue;
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

// Anyone may make /tmp/kestrel-<uid> first. Each way of taking it runs in a
// child with a /tmp of its own (a mount namespace, so root only), where the
// server and the client must agree on a fresh private folder and leave the
// taken path, and whatever a symlink points to, alone.
TEST_F(SocketDir, TakenFallbackGivesWayToAPrivateFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "a private /tmp needs root";
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the child starts afresh, without our threads
  const std::string shared = "/tmp/kestrel-0";
  const std::pair<const char*, std::function<int()>> takes[] = {
      {"symlink to a folder of ours", [&] { return ::symlink("/tmp/ours", shared.c_str()); }},
      {"dangling symlink", [&] { return ::symlink("/tmp/nowhere", shared.c_str()); }},
      {"folder open to all", [&] { return ::mkdir(shared.c_str(), 0777) | ::chmod(shared.c_str(), 01777); }},
      {"someone else's folder", [&] { return ::mkdir(shared.c_str(), 0700) | ::chown(shared.c_str(), 12345, 12345); }},
      {"file", [&] { return ::close(::open(shared.c_str(), O_CREAT | O_WRONLY, 0600)); }},
  };
  for (const auto& [what, take] : takes) {
    SCOPED_TRACE(what);
    EXPECT_EXIT(
        {
          auto check = [](bool ok, const char* failed) {
            if (!ok) {
              std::fprintf(stderr, "failed: %s\n", failed);
              std::_Exit(1);
            }
          };
          check(::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                    ::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") == 0,
                "private /tmp");
          ::unsetenv("KESTREL_RPC_DIR");
          ::unsetenv("XDG_RUNTIME_DIR");
          check(::mkdir("/tmp/ours", 0700) == 0 && take() == 0, "taking the fallback");
          struct stat before {};
          ::lstat(shared.c_str(), &before);
          {
            LocalServer server(endpoint_);
            const std::string path = server.server.server().socketPath();
            check(path.rfind(shared + "-", 0) == 0, path.c_str());
            struct stat st {};
            check(::stat(path.substr(0, path.rfind('/')).c_str(), &st) == 0 && (st.st_mode & 0777) == 0700,
                  "private folder mode");
            check(loadStatus() == 0, "client reaches the server");
          }
          struct stat after {};
          check(
              ::lstat(shared.c_str(), &after) == 0 && after.st_mode == before.st_mode && after.st_uid == before.st_uid,
              "taken path left alone");
          check(std::filesystem::is_empty("/tmp/ours"), "symlink not followed");
          std::_Exit(0);
        },
        testing::ExitedWithCode(0), "");
  }
}

}  // namespace

// Out of descriptors while connecting is resource exhaustion, not a server
// that is gone.
TEST_F(SocketDir, ConnectingWithoutDescriptorsIsOutOfResources) {
#if defined(__SANITIZE_ADDRESS__)
  // The undefined-behaviour checks built in beside it test memory through a
  // pipe, which they cannot open now.
  GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
  LocalServer server(endpoint_);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit none = saved;
  none.rlim_cur = 3;  // every descriptor from 3 up is taken or refused
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  const uint32_t status = loadStatus();
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(status, uint32_t(RPC_S_OUT_OF_RESOURCES));
  EXPECT_EQ(loadStatus(), 0u);
}
