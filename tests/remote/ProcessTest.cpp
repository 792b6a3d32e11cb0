// What only a real process boundary shows: a server that dies between or
// during calls, a client that dies holding contexts, nothing listening.
#include <sys/socket.h>
#include <sys/un.h>

#include <thread>

#include "TestSupport.h"

namespace {

using testsupport::Peer;
using testsupport::statusOf;

class Process : public testsupport::RpcDirTest {
 protected:
  int32_t open(RpcDriverCallCtx c, const char* cmd) {
    return rpc_OpenConnection(c, cmd, "pw", 0, 0);
  }
};

TEST_F(Process, RoundTripAcrossProcesses) {
  Peer server({"server", endpoint_});
  ASSERT_EQ(server.next(), 'R');
  handle_t b = bindTo(endpoint_);
  RpcDriverCtx c = rpc_LoadDriver(b, "echo");
  ASSERT_NE(c, nullptr);
  RpcBindingFree(&b);  // the context keeps the association
  int32_t size = 0;
  char* block = nullptr;
  ASSERT_EQ(rpc_GetVideoDataBlock(c, "size", 8 << 20, &size, &block), 8 << 20);
  for (size_t i = 0; i < size_t(size); i += 4093) ASSERT_EQ(block[i], testhost::patternByte(i));
  delete[] block;
  rpc_UnloadDriver(&c);
  EXPECT_EQ(c, nullptr);
}

TEST_F(Process, NothingListeningIsServerUnavailable) {
  handle_t b = bindTo(endpoint_);
  EXPECT_EQ(statusOf([&] { rpc_LoadDriver(b, "x"); }), uint32_t(RPC_S_SERVER_UNAVAILABLE));
  // A socket file that nobody listens on any more.
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::string path = dir_ + "/" + endpoint_;
  std::strcpy(a.sun_path, path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ::close(fd);
  EXPECT_EQ(statusOf([&] { rpc_LoadDriver(b, "x"); }), uint32_t(RPC_S_SERVER_UNAVAILABLE));
  RpcBindingFree(&b);
}

TEST_F(Process, ServerDeadBetweenCallsIsServerUnavailable) {
  Peer server({"server", endpoint_});
  ASSERT_EQ(server.next(), 'R');
  handle_t b = bindTo(endpoint_);
  RpcDriverCtx c = rpc_LoadDriver(b, "echo");
  ASSERT_NO_THROW(open(c, "echo"));  // leaves an idle pooled connection
  server.kill();
  EXPECT_EQ(statusOf([&] { open(c, "echo"); }), uint32_t(RPC_S_SERVER_UNAVAILABLE));
  RpcSsDestroyClientContext(&c);
  RpcBindingFree(&b);
}

TEST_F(Process, ServerDeadDuringACallIsCallFailed) {
  Peer server({"server", endpoint_});
  ASSERT_EQ(server.next(), 'R');
  handle_t b = bindTo(endpoint_);
  RpcDriverCtx c = rpc_LoadDriver(b, "echo");
  uint32_t status = 0;
  std::thread call([&] { status = statusOf([&] { open(c, "block"); }); });
  ASSERT_EQ(server.next(), 'B');  // the call is inside the server
  server.kill();
  call.join();
  EXPECT_EQ(status, uint32_t(RPC_S_CALL_FAILED));
  EXPECT_EQ(statusOf([&] { open(c, "echo"); }), uint32_t(RPC_S_SERVER_UNAVAILABLE));
  RpcSsDestroyClientContext(&c);
  RpcBindingFree(&b);
}

TEST_F(Process, DeadClientsContextsAreRunDown) {
  testsupport::LocalServer server(endpoint_);
  {
    Peer client({"client", endpoint_});
    ASSERT_EQ(client.next(), 'R');
    EXPECT_EQ(server.server.server().counts().contexts, 1u);
  }  // killed
  server.host.waitRundowns(1);
  EXPECT_EQ(server.host.rundowns(), 1);
  EXPECT_EQ(server.server.server().counts().contexts, 0u);
}

}  // namespace
