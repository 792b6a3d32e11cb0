// What only the interface layer shows, through the client functions against
// the test host in this process: its limits (refused handles and arguments,
// string-array bounds), the reserved procedures, data blocks across fragment
// boundaries, and host failures as faults. Concurrent calls, unload, fork,
// rundown and server death are seen through a real HostProc
// (tests/hostproc, tests/library).
#include <vector>

#include "TestSupport.h"
#include "rpcrt/Client.h"

namespace {

using testsupport::statusOf;

// A test host in this process, a binding and a driver context on it.
class Behaviour : public testsupport::RpcDirTest {
 protected:
  void SetUp() override {
    RpcDirTest::SetUp();
    server_ = std::make_unique<testsupport::LocalServer>(endpoint_);
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
  int32_t open(RpcDriverCallCtx c, const char* cmd) { return rpc_OpenConnection(c, cmd, "pw", 0, 0); }

  std::unique_ptr<testsupport::LocalServer> server_;
  handle_t binding_ = nullptr;
  RpcDriverCtx ctx_ = nullptr;
};

// Refused before a byte goes out, or by the server, never reaching the host;
// what unload and destroy leave behind among them (the unload itself is
// HostProc's case).
TEST_F(Behaviour, RefusedHandlesAndArgumentsSendNothing) {
  RpcDriverCtx unloaded = rpc_LoadDriver(binding_, "echo"), copy = unloaded;
  rpc_UnloadDriver(&unloaded);
  EXPECT_EQ(unloaded, nullptr);
  EXPECT_EQ(server_->server.server().counts().contexts, 1u);
  RpcDriverCtx destroyed = rpc_LoadDriver(binding_, "echo"), stale = destroyed;
  RpcSsDestroyClientContext(&destroyed);
  EXPECT_EQ(destroyed, nullptr);
  char* mac = nullptr;
  RpcDriverCtx none = nullptr;
  int32_t n = 1;
  // The context of another association (a group of its own) on the same server.
  auto other = kestrel::rpc::testing::associationWithConnector(endpoint_, {});
  RpcDriverCtx forged = kestrel::rpc::newContextHandle(other, kestrel::rpc::testing::contextWire(ctx_));
  const std::pair<std::function<void()>, uint32_t> cases[] = {
      {[&] { open(nullptr, "echo"); }, RPC_X_SS_IN_NULL_CONTEXT},
      {[&] { rpc_OpenConnection(ctx_, nullptr, "pw", 0, 0); }, RPC_X_NULL_REF_POINTER},
      {[&] { rpc_GetInfo(ctx_, "ip", "pw", &mac, nullptr); }, RPC_X_NULL_REF_POINTER},
      {[&] { rpc_UnloadDriver(nullptr); }, RPC_X_NULL_REF_POINTER},
      {[&] { rpc_UnloadDriver(&none); }, RPC_X_SS_IN_NULL_CONTEXT},
      {[&] { rpc_LoadDriver(nullptr, "x"); }, RPC_S_INVALID_BINDING},
      {[&] { rpc_LoadDriver(ctx_, "x"); }, RPC_S_INVALID_BINDING},
      {[&] { open(binding_, "echo"); }, RPC_X_SS_CONTEXT_MISMATCH},
      {[&] { rpc_SetPanTiltDriver(ctx_, "s", "u", "p", -1, &n, &n, &n); }, RPC_X_INVALID_BOUND},
      {[&] { open(forged, "echo"); }, RPC_X_SS_CONTEXT_MISMATCH},  // refused by the server
      {[&] { open(stale, "echo"); }, RPC_X_SS_CONTEXT_MISMATCH},
      {[&] { rpc_UnloadDriver(&copy); }, RPC_X_SS_CONTEXT_MISMATCH},  // and leaves its variable alone
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(statusOf(cases[i].first), cases[i].second) << i;
  EXPECT_EQ(host().seen().calls, 0);
  EXPECT_NE(copy, nullptr);
  EXPECT_EQ(open(ctx_, "echo"), 1);                                        // the owner still uses it
  for (RpcDriverCtx* h : {&forged, &stale}) RpcSsDestroyClientContext(h);  // a second destroy is harmless
}

TEST_F(Behaviour, ReservedProceduresAnswerNeutrally) {
  auto ctx = kestrel::rpc::resolveContext(ctx_);
  // opnum, [in] longs after one string (none: a second string), [out] longs.
  const struct {
    uint16_t op;
    int longs, outs;
  } cases[] = {{42, 0, 0}, {49, 5, 0}, {52, 0, 1}, {63, 0, 1}};
  for (const auto& k : cases) {
    kestrel::rpc::ClientCall c(k.op);
    c.setAssociation(ctx->association);
    auto& w = c.request();
    w.append(ctx->wire.data(), ctx->wire.size());
    for (int i = 0; i < (k.longs ? 1 : 2); ++i) {
      w.align(4);
      w.putString("a", 2);
    }
    for (int i = 0; i < k.longs; ++i) w.put<int32_t>(i + 1);
    c.transact();
    std::vector<int32_t> reply;
    c.decode([&] {
      for (int i = 0; i <= k.outs; ++i) reply.push_back(c.reply().get<int32_t>());
    });
    c.finish();
    EXPECT_EQ(reply, std::vector<int32_t>(size_t(k.outs) + 1, 0)) << k.op;
  }
}

// Reply stub = 16 + n (+ padding): 65504 bytes fit one fragment exactly.
// Request stub = 56 + n: n = 65447, 65448, 65449 make 65503..65505 bytes.
TEST_F(Behaviour, BlocksCrossFragmentBoundariesBothWays) {
  std::vector<char> data(size_t(8) << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 13);
  const int32_t sizes[] = {0, 1, 65447, 65448, 65449, 65484, 65487, 65488, 65489, 131000, 8 << 20};
  for (int32_t n : sizes) {
    int32_t size = -1;
    char* block = nullptr;
    ASSERT_EQ(rpc_GetVideoDataBlock(ctx_, "size", n, &size, &block), n);
    ASSERT_EQ(size, n);
    ASSERT_NE(block, nullptr) << n;  // an empty block is still a block
    for (int32_t i = 0; i < n; ++i) ASSERT_EQ(block[i], testhost::patternByte(size_t(i))) << i;
    delete[] block;
    int32_t code = 0;
    EXPECT_EQ(rpc_PutMediaDataBlock(ctx_, "s", 1, 2, 3, n, data.data(), &code),
              testhost::hashOf(data.data(), size_t(n)))
        << n;
    EXPECT_EQ(code, n);
  }
  EXPECT_EQ(host().seen().released, int(std::size(sizes)));  // the host's blocks, released once sent
  char* block = reinterpret_cast<char*>(1);
  int32_t size = -1;
  EXPECT_EQ(rpc_GetVideoDataBlock(ctx_, "null", 7, &size, &block), 7);  // a null block may carry a size
  EXPECT_EQ(block, nullptr);
}

TEST_F(Behaviour, StringArraysAtAndOverTheirBound) {
  char** names = nullptr;
  EXPECT_EQ(rpc_QueryPresetPositions(ctx_, "fill", 1, 0, 5, &names), 0);
  EXPECT_NE(names, nullptr);  // an empty array
  delete[] names;
  ASSERT_EQ(rpc_QueryPresetPositions(ctx_, "fill", 1, 3, 5, &names), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_STREQ(names[i], "pppp");  // m - 1 characters
    delete[] names[i];
  }
  delete[] names;
  names = nullptr;
  for (const char* cmd : {"over", "short"})
    EXPECT_EQ(statusOf([&] { rpc_QueryPresetPositions(ctx_, cmd, 1, 3, 5, &names); }), uint32_t(RPC_X_INVALID_BOUND));
  EXPECT_EQ(names, nullptr);

  // [in] strings[n](m): strlen + 1 == m is the most that goes.
  const char* used[] = {"abcd", nullptr};
  int32_t open = -1;
  char** events = nullptr;
  EXPECT_EQ(rpc_QueryEventsDyn(ctx_, "s", "p", 5, 2, used, &open, &events), 0);
  const char* over[] = {"abcde"};
  EXPECT_EQ(statusOf([&] { rpc_QueryEventsDyn(ctx_, "s", "p", 5, 1, over, &open, &events); }),
            uint32_t(RPC_X_INVALID_BOUND));
}

TEST_F(Behaviour, HostFailuresBecomeFaultsAndTheConnectionStaysUsable) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"throw", RPC_S_CALL_FAILED},        {"badalloc", RPC_S_OUT_OF_MEMORY}, {"fault:1734", RPC_X_INVALID_BOUND},
      {"fault:1783", RPC_X_BAD_STUB_DATA}, {"fault:305419896", 305419896u},  // passed on as sent
  };
  for (const auto& [cmd, status] : cases) EXPECT_EQ(statusOf([&] { open(ctx_, cmd); }), status) << cmd;
  int32_t size = 0;
  char* block = nullptr;
  EXPECT_EQ(statusOf([&] { rpc_GetVideoDataBlock(ctx_, "negative", 0, &size, &block); }),
            uint32_t(RPC_X_INVALID_BOUND));
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(open(ctx_, "echo"), 1);
  EXPECT_EQ(host().seen().released, 1);  // released although it could not be sent
}

}  // namespace
