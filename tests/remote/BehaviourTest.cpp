// Context-handle life, argument checks, data blocks across fragment
// boundaries, bounds, faults and concurrency, through the client functions
// against the test host in this process.
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "rpcrt/Client.h"

namespace {

using kestrel::rpc::RpcError;
using testsupport::statusOf;

class Behaviour : public testsupport::ServedTest {
 protected:
  int32_t open(RpcDriverCallCtx c, const char* cmd, int32_t n = 0) {
    return rpc_OpenConnection(c, cmd, "pw", 0, n);
  }
};

// ---- context handles -----------------------------------------------------------

TEST_F(Behaviour, LoadDriverMayReturnTheNullHandle) {
  EXPECT_EQ(rpc_LoadDriver(binding_, "null"), nullptr);
  EXPECT_EQ(server_->server.server().counts().contexts, 1u);  // only the fixture's
}

TEST_F(Behaviour, UnloadNullsTheVariableAndCopiesFailWithoutSending) {
  RpcDriverCtx copy = ctx_;
  rpc_UnloadDriver(&ctx_);
  EXPECT_EQ(ctx_, nullptr);
  EXPECT_EQ(host().unloads(), 1);
  EXPECT_EQ(server_->server.server().counts().contexts, 0u);

  int before = host().calls();
  EXPECT_EQ(statusOf([&] { open(copy, "echo"); }), uint32_t(RPC_X_SS_CONTEXT_MISMATCH));
  EXPECT_EQ(statusOf([&] { rpc_UnloadDriver(&copy); }), uint32_t(RPC_X_SS_CONTEXT_MISMATCH));
  EXPECT_EQ(host().calls(), before);
  EXPECT_NE(copy, nullptr);  // a failed unload leaves the variable alone
}

TEST_F(Behaviour, DestroyedClientContextFailsWithoutSending) {
  RpcDriverCtx copy = ctx_;
  RpcSsDestroyClientContext(&ctx_);
  EXPECT_EQ(ctx_, nullptr);
  EXPECT_EQ(statusOf([&] { open(copy, "echo"); }), uint32_t(RPC_X_SS_CONTEXT_MISMATCH));
  RpcSsDestroyClientContext(&copy);  // a second destroy is harmless
  EXPECT_EQ(copy, nullptr);
  EXPECT_EQ(host().calls(), 0);
}

TEST_F(Behaviour, RefusedArgumentsSendNothing) {
  char* mac = nullptr;
  RpcDriverCtx none = nullptr;
  EXPECT_EQ(statusOf([&] { open(nullptr, "echo"); }), uint32_t(RPC_X_SS_IN_NULL_CONTEXT));
  EXPECT_EQ(statusOf([&] { rpc_OpenConnection(ctx_, nullptr, "pw", 0, 0); }),
            uint32_t(RPC_X_NULL_REF_POINTER));
  EXPECT_EQ(statusOf([&] { rpc_GetInfo(ctx_, "ip", "pw", &mac, nullptr); }),
            uint32_t(RPC_X_NULL_REF_POINTER));
  EXPECT_EQ(statusOf([&] { rpc_UnloadDriver(nullptr); }), uint32_t(RPC_X_NULL_REF_POINTER));
  EXPECT_EQ(statusOf([&] { rpc_UnloadDriver(&none); }), uint32_t(RPC_X_SS_IN_NULL_CONTEXT));
  EXPECT_EQ(statusOf([&] { rpc_LoadDriver(nullptr, "x"); }), uint32_t(RPC_S_INVALID_BINDING));
  EXPECT_EQ(statusOf([&] { rpc_LoadDriver(ctx_, "x"); }), uint32_t(RPC_S_INVALID_BINDING));
  EXPECT_EQ(statusOf([&] { open(binding_, "echo"); }), uint32_t(RPC_X_SS_CONTEXT_MISMATCH));
  int32_t n = 1;
  EXPECT_EQ(statusOf([&] { rpc_SetPanTiltDriver(ctx_, "s", "u", "p", -1, &n, &n, &n); }),
            uint32_t(RPC_X_INVALID_BOUND));
  EXPECT_EQ(host().calls(), 0);
}

TEST_F(Behaviour, HandleOfAnotherAssociationIsRefused) {
  // A second association to the same server: a group of its own.
  auto other = kestrel::rpc::testing::associationWithConnector(endpoint_, {});
  RpcDriverCtx forged =
      kestrel::rpc::newContextHandle(other, kestrel::rpc::testing::contextWire(ctx_));
  EXPECT_EQ(statusOf([&] { open(forged, "echo"); }), uint32_t(RPC_X_SS_CONTEXT_MISMATCH));
  EXPECT_NO_THROW(open(ctx_, "echo"));  // the owner still uses it
  RpcSsDestroyClientContext(&forged);
}

// ---- data blocks -------------------------------------------------------------

TEST_F(Behaviour, ResponseBlocksCrossFragmentBoundaries) {
  // Reply stub = 16 + n (+ padding): 65504 bytes fit one fragment exactly.
  const int32_t sizes[] = {0, 1, 65484, 65487, 65488, 65489, 65492, 131000, 8 << 20};
  for (int32_t n : sizes) {
    int32_t size = -1;
    char* block = nullptr;
    ASSERT_EQ(rpc_GetVideoDataBlock(ctx_, "size", n, &size, &block), n);
    ASSERT_EQ(size, n);
    ASSERT_NE(block, nullptr) << n;  // an empty block is still a block
    for (int32_t i = 0; i < n; ++i) ASSERT_EQ(block[i], testhost::patternByte(size_t(i))) << i;
    delete[] block;
  }
  open(ctx_, "echo");  // the host releases each block after sending it
  EXPECT_EQ(host().released(), int(std::size(sizes)));
}

TEST_F(Behaviour, RequestBlocksCrossFragmentBoundaries) {
  // Request stub = 56 + n: n = 65447, 65448, 65449 make 65503..65505 bytes.
  std::vector<char> data(size_t(8) << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 13);
  for (int32_t n : {0, 65446, 65447, 65448, 65449, 65450, 200000, 8 << 20}) {
    echo::Hasher h(46);
    h.mixValue(echo::idOfDriver("echo"));
    echo::hashText(h, "s");
    for (int32_t v : {1, 2, 3, n}) h.mixValue(v);
    h.mixValue(n);
    h.mix(data.data(), size_t(n));
    int32_t code = 0;
    EXPECT_EQ(rpc_PutMediaDataBlock(ctx_, "s", 1, 2, 3, n, data.data(), &code), int32_t(h.value()))
        << n;
  }
}

TEST_F(Behaviour, NullAndEmptyResults) {
  int32_t size = -1;
  char* block = reinterpret_cast<char*>(1);
  EXPECT_EQ(rpc_GetVideoDataBlock(ctx_, "null", 0, &size, &block), 0);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(block, nullptr);
  block = reinterpret_cast<char*>(1);
  rpc_GetVideoDataBlock(ctx_, "null", 7, &size, &block);  // a null block may carry a size
  EXPECT_EQ(block, nullptr);

  char** names = reinterpret_cast<char**>(1);
  EXPECT_EQ(rpc_QueryPresetPositions(ctx_, "fill", 1, 0, 5, &names), 0);
  ASSERT_NE(names, nullptr);  // an empty array
  delete[] names;
}

// ---- bounds -------------------------------------------------------------------

TEST_F(Behaviour, StringArraysAtAndOverTheirBound) {
  char** names = nullptr;
  ASSERT_EQ(rpc_QueryPresetPositions(ctx_, "fill", 1, 3, 5, &names), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_STREQ(names[i], "pppp");  // m - 1 characters
    delete[] names[i];
  }
  delete[] names;
  names = nullptr;
  EXPECT_EQ(statusOf([&] { rpc_QueryPresetPositions(ctx_, "over", 1, 3, 5, &names); }),
            uint32_t(RPC_X_INVALID_BOUND));
  EXPECT_EQ(statusOf([&] { rpc_QueryPresetPositions(ctx_, "short", 1, 3, 5, &names); }),
            uint32_t(RPC_X_INVALID_BOUND));
  EXPECT_EQ(names, nullptr);

  // [in] strings[n](m): strlen + 1 == m is the most that goes.
  const char* used[] = {"abcd", nullptr};
  int32_t open = -1;
  char** events = nullptr;
  rpc_QueryEventsDyn(ctx_, "s", "p", 5, 2, used, &open, &events);
  if (events)
    for (int32_t i = 0; i < open; ++i) delete[] events[i];
  delete[] events;
  const char* over[] = {"abcde"};
  EXPECT_EQ(statusOf([&] { rpc_QueryEventsDyn(ctx_, "s", "p", 5, 1, over, &open, &events); }),
            uint32_t(RPC_X_INVALID_BOUND));
}

// ---- faults -------------------------------------------------------------------

TEST_F(Behaviour, HostFailuresBecomeFaultsAndTheConnectionStaysUsable) {
  EXPECT_EQ(statusOf([&] { open(ctx_, "throw"); }), uint32_t(RPC_S_CALL_FAILED));
  EXPECT_EQ(statusOf([&] { open(ctx_, "badalloc"); }), uint32_t(RPC_S_OUT_OF_MEMORY));
  EXPECT_EQ(statusOf([&] { open(ctx_, "fault:1734"); }), uint32_t(RPC_X_INVALID_BOUND));
  EXPECT_EQ(statusOf([&] { open(ctx_, "fault:1783"); }), uint32_t(RPC_X_BAD_STUB_DATA));
  EXPECT_EQ(statusOf([&] { open(ctx_, "fault:305419896"); }), 305419896u);  // as sent

  int32_t size = 0;
  char* block = nullptr;
  EXPECT_EQ(statusOf([&] { rpc_GetVideoDataBlock(ctx_, "negative", 0, &size, &block); }),
            uint32_t(RPC_X_INVALID_BOUND));
  EXPECT_EQ(block, nullptr);
  open(ctx_, "echo");
  EXPECT_EQ(host().released(), 1);  // released although it could not be sent
  EXPECT_EQ(host().calls(), 1);
}

TEST_F(Behaviour, ReservedAndMissingProcedureNumbers) {
  auto ctx = kestrel::rpc::resolveContext(ctx_);
  auto call = [&](uint16_t opnum) {
    kestrel::rpc::ClientCall c(opnum);
    c.setAssociation(ctx->association);
    auto& w = c.request();
    w.append(ctx->wire.data(), ctx->wire.size());
    for (const char* s : {"a", "b"}) {
      w.align(4);
      w.putString(s, 2);
    }
    int32_t result = -1, out = -1;
    c.transact();
    c.decode([&] {
      if (opnum == 52) out = c.reply().get<int32_t>();
      result = c.reply().get<int32_t>();
    });
    c.finish();
    EXPECT_EQ(out, opnum == 52 ? 0 : -1);
    return result;
  };
  EXPECT_EQ(call(42), 0);  // neutral answers
  EXPECT_EQ(call(52), 0);
  for (uint16_t missing : {4, 90, 95, 65535})
    EXPECT_EQ(statusOf([&] { call(missing); }), uint32_t(RPC_S_PROCNUM_OUT_OF_RANGE)) << missing;
  EXPECT_NO_THROW(open(ctx_, "echo"));
}

// ---- concurrency -----------------------------------------------------------------

TEST_F(Behaviour, SixteenThreadsCallOneContextAtOnce) {
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int i = 0; i < 16; ++i)
    threads.emplace_back([&] {
      if (open(ctx_, "block") == 1) ok.fetch_add(1);
    });
  host().waitEntered(16);  // all sixteen are inside the host at once
  host().openGate();
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), 16);
}

TEST_F(Behaviour, ManyThreadsShareThePool) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  int32_t expected = open(ctx_, "same");
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      for (int k = 0; k < 200; ++k)
        if (open(ctx_, "same") != expected) failures.fetch_add(1);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(Behaviour, UnloadWaitsForRunningCallsAndRefusesNewOnes) {
  RpcDriverCtx copy = ctx_;
  std::thread blocked([&] { EXPECT_EQ(open(copy, "block"), 1); });
  host().waitEntered(1);
  std::thread unloader([&] { rpc_UnloadDriver(&ctx_); });
  auto& server = server_->server.server();
  while (server.counts().closing == 0) std::this_thread::yield();  // the unload is waiting
  // Meanwhile no new call starts on the context.
  EXPECT_EQ(statusOf([&] { open(copy, "echo"); }), uint32_t(RPC_X_SS_CONTEXT_MISMATCH));
  EXPECT_EQ(host().unloads(), 0);
  host().openGate();
  blocked.join();
  unloader.join();
  EXPECT_EQ(ctx_, nullptr);
  EXPECT_EQ(host().unloads(), 1);
  EXPECT_FALSE(host().unloadOverlapped());
  EXPECT_EQ(statusOf([&] { open(copy, "echo"); }), uint32_t(RPC_X_SS_CONTEXT_MISMATCH));
}

TEST_F(Behaviour, DestroyWhileCallsRunKeepsTheirContextAlive) {
  RpcDriverCtx copy = ctx_;
  std::thread blocked([&] { EXPECT_EQ(open(copy, "block"), 1); });
  host().waitEntered(1);
  RpcSsDestroyClientContext(&ctx_);
  RpcBindingFree(&binding_);  // the running call still holds its association
  host().openGate();
  blocked.join();
  EXPECT_EQ(statusOf([&] { open(copy, "echo"); }), uint32_t(RPC_X_SS_CONTEXT_MISMATCH));
  // Its last holder gone, the association closed: the server ran it down.
  host().waitRundowns(1);
}

TEST_F(Behaviour, ForkedChildNeverUsesItsParentsConnections) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not follow a child of a threaded process";
#else
  ASSERT_NO_THROW(open(ctx_, "echo"));  // a pooled connection exists now
  pid_t pid = fork();
  if (pid == 0) {
    // The parent's handles mean nothing here, and nothing is sent on its
    // connection (whose copy the child no longer holds).
    uint32_t st = statusOf([&] { open(ctx_, "echo"); });
    _exit(st == uint32_t(RPC_X_SS_CONTEXT_MISMATCH) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NO_THROW(open(ctx_, "echo"));  // the parent's connection is intact
  EXPECT_EQ(host().calls(), 2);
  EXPECT_EQ(host().rundowns(), 0);
#endif
}

// ---- limits ------------------------------------------------------------------------

class Limits : public testsupport::RpcDirTest {};

TEST_F(Limits, OversizedStubsAreRefusedAndTheConnectionSurvives) {
  kestrel::rpc::ServerOptions o;
  o.maxStub = 100000;
  testsupport::LocalServer server(endpoint_, o);
  handle_t b = bindTo(endpoint_);
  RpcDriverCtx c = rpc_LoadDriver(b, "echo");
  std::vector<char> data(200000, 'x');
  int32_t code = 0;
  EXPECT_EQ(statusOf([&] { rpc_PutMediaDataBlock(c, "s", 1, 2, 3, 200000, data.data(), &code); }),
            uint32_t(RPC_S_OUT_OF_MEMORY));
  EXPECT_NO_THROW(rpc_PutMediaDataBlock(c, "s", 1, 2, 3, 1000, data.data(), &code));

  kestrel::rpc::testing::setClientStubLimit(100000);
  int32_t size = 0;
  char* block = nullptr;
  EXPECT_EQ(statusOf([&] { rpc_GetVideoDataBlock(c, "size", 200000, &size, &block); }),
            uint32_t(RPC_S_PROTOCOL_ERROR));
  kestrel::rpc::testing::setClientStubLimit(kestrel::rpc::kMaxStub);
  EXPECT_EQ(block, nullptr);
  // That connection was closed, and with it the association's group on the
  // server: the group's contexts are gone.
  server.host.waitRundowns(1);
  EXPECT_EQ(statusOf([&] { rpc_UnloadDriver(&c); }), uint32_t(RPC_S_SERVER_UNAVAILABLE));
  RpcSsDestroyClientContext(&c);
  RpcBindingFree(&b);
}

// ---- idle watch --------------------------------------------------------------------

TEST_F(Limits, IdleWatchSeesConnectionsAndContexts) {
  testsupport::LocalServer server(endpoint_);
  auto& s = server.server.server();
  EXPECT_TRUE(s.waitIdle(std::chrono::milliseconds(0), std::chrono::milliseconds(0)));
  handle_t b = bindTo(endpoint_);
  RpcDriverCtx c = rpc_LoadDriver(b, "echo");
  EXPECT_EQ(s.counts().contexts, 1u);
  EXPECT_EQ(s.counts().connections, 1u);
  std::thread stopper([&] { s.requestStop(); });
  EXPECT_FALSE(s.waitIdle(std::chrono::hours(1), std::chrono::hours(1)));
  stopper.join();
  RpcSsDestroyClientContext(&c);
  RpcBindingFree(&b);
}

TEST_F(Limits, IdleAfterTheLastClientLeaves) {
  testsupport::LocalServer server(endpoint_);
  handle_t b = bindTo(endpoint_);
  RpcDriverCtx c = rpc_LoadDriver(b, "echo");
  rpc_UnloadDriver(&c);
  RpcBindingFree(&b);  // last reference: the association closes its connection
  EXPECT_TRUE(server.server.server().waitIdle(std::chrono::milliseconds(0),
                                              std::chrono::hours(1)));
  EXPECT_EQ(server.server.server().counts().contextsCreated, 1u);
}

}  // namespace
