// The client against a raw server: refused binds, faults and their status
// mapping, malformed replies (a defined status, never a crash or a hang),
// and replies cut into odd fragments.
#include <array>

#include "RawServer.h"

namespace {

using raw::Builder;
using raw::Bytes;
using testsupport::statusOf;

using rawserver::bindAck;
using rawserver::blockStub;
using rawserver::kCtxUuid;

class ClientWire : public testsupport::RpcDirTest {
 protected:
  void SetUp() override {
    RpcDirTest::SetUp();
    listener_ = std::make_unique<raw::Listener>(dir_ + "/" + endpoint_);
    binding_ = bindTo(endpoint_);
  }
  void TearDown() override {
    if (ctx_) RpcSsDestroyClientContext(&ctx_);
    RpcBindingFree(&binding_);
    listener_.reset();
    RpcDirTest::TearDown();
  }

  // Serves the bind and LoadDriver, then lets `script` answer the next call.
  void serve(std::function<void(raw::Conn&, uint32_t callId)> script) {
    listener_->serve([script](raw::Conn& c) {
      Bytes bind = c.read();
      c.send(bindAck(raw::u32at(bind, 12)));
      Bytes load = c.read();
      c.send(raw::response(raw::u32at(load, 12), Builder().u32(0).bytes(kCtxUuid).done()));
      Bytes call = c.read();
      if (!call.empty()) script(c, raw::u32at(call, 12));
    });
    ctx_ = rpc_LoadDriver(binding_, "drv");
    ASSERT_NE(ctx_, nullptr);
  }
  uint32_t getBlock(int32_t* size = nullptr, char** block = nullptr) {
    int32_t s = 0;
    char* b = nullptr;
    uint32_t st = statusOf([&] { rpc_GetVideoDataBlock(ctx_, "s", 0, size ? size : &s, block ? block : &b); });
    if (!block) delete[] b;
    return st;
  }
  uint32_t replyWith(std::function<void(raw::Conn&, uint32_t)> script) {
    serve(std::move(script));
    uint32_t st = getBlock();
    listener_->join();
    return st;
  }

  std::unique_ptr<raw::Listener> listener_;
  handle_t binding_ = nullptr;
  RpcDriverCtx ctx_ = nullptr;
};

TEST_F(ClientWire, RefusedBinds) {
  struct Case {
    const char* what;
    std::function<Bytes(uint32_t)> answer;
    uint32_t status;
  } cases[] = {
      {"bind_nak", [](uint32_t id) { return raw::pdu(13, 3, id, Builder().u16(0).u8(1).u8(5).u8(0).done()); },
       RPC_S_SERVER_UNAVAILABLE},
      {"interface rejected", [](uint32_t id) { return bindAck(id, 0x1234, 2); }, RPC_S_UNKNOWN_IF},
      {"tiny fragments", [](uint32_t id) { return bindAck(id, 0x1234, 0, 100); }, RPC_S_PROTOCOL_ERROR},
      {"other call id", [](uint32_t id) { return bindAck(id + 1); }, RPC_S_PROTOCOL_ERROR},
      {"no group", [](uint32_t id) { return bindAck(id, 0); }, RPC_S_PROTOCOL_ERROR},
      {"a response", [](uint32_t id) { return raw::response(id, {}); }, RPC_S_PROTOCOL_ERROR},
      {"nothing", [](uint32_t) { return Bytes(); }, RPC_S_SERVER_UNAVAILABLE},
  };
  for (const auto& k : cases) {
    raw::Listener l(dir_ + "/" + endpoint_ + "x");
    l.serve([&](raw::Conn& c) {
      Bytes bind = c.read();
      c.send(k.answer(raw::u32at(bind, 12)));
    });
    handle_t b = bindTo(endpoint_ + "x");
    EXPECT_EQ(statusOf([&] { rpc_LoadDriver(b, "drv"); }), k.status) << k.what;
    l.join();
    RpcBindingFree(&b);
    ::unlink((dir_ + "/" + endpoint_ + "x").c_str());
  }
}

TEST_F(ClientWire, ConnectionLostDuringTheCall) {
  EXPECT_EQ(replyWith([](raw::Conn&, uint32_t) {}), uint32_t(RPC_S_CALL_FAILED));
}

TEST_F(ClientWire, ReplyCutShort) {
  EXPECT_EQ(replyWith([](raw::Conn& c, uint32_t id) {
              Bytes r = raw::response(id, blockStub(100, Bytes(100, 1), 100));
              r.resize(60);
              c.send(r);
            }),
            uint32_t(RPC_S_CALL_FAILED));
}

TEST_F(ClientWire, FaultStatusesAreMapped) {
  const std::pair<uint32_t, uint32_t> table[] = {
      {0x1C010002, RPC_S_PROCNUM_OUT_OF_RANGE}, {0x1C00001A, RPC_X_SS_CONTEXT_MISMATCH},
      {0x000006F7, RPC_X_BAD_STUB_DATA},        {0x1C000007, RPC_X_INVALID_BOUND},
      {0x1C01000B, RPC_S_PROTOCOL_ERROR},       {0x1C00001B, RPC_S_OUT_OF_MEMORY},
      {0x1C000012, RPC_S_CALL_FAILED},          {0xDEADBEEF, 0xDEADBEEF},
  };
  // One connection: a fault leaves it usable.
  serve([&](raw::Conn& c, uint32_t id) {
    for (size_t i = 0;; ++i) {
      c.send(raw::fault(id, table[i].first, i % 2 ? 28 : 32));  // some peers send 28 bytes
      if (i + 1 == std::size(table)) break;
      Bytes next = c.read();
      id = raw::u32at(next, 12);
    }
  });
  for (const auto& [fault, status] : table) EXPECT_EQ(getBlock(), status) << std::hex << fault;
  listener_->join();
}

TEST_F(ClientWire, MalformedReplies) {
  struct Case {
    const char* what;
    std::function<Bytes(uint32_t)> reply;
    uint32_t status;
  } cases[] = {
      {"other call id", [](uint32_t id) { return raw::response(id + 1, blockStub(1, {1}, 1)); },
       RPC_S_PROTOCOL_ERROR},
      {"short fault", [](uint32_t id) { return raw::fault(id, 5, 24); }, RPC_S_PROTOCOL_ERROR},
      {"not first", [](uint32_t id) { return raw::response(id, blockStub(1, {1}, 1), 2); },
       RPC_S_PROTOCOL_ERROR},
      {"a bind_ack", [](uint32_t id) { return bindAck(id); }, RPC_S_PROTOCOL_ERROR},
      {"authentication", [](uint32_t id) {
         Bytes r = raw::response(id, blockStub(1, {1}, 1));
         r[10] = 8;
         return r;
       }, RPC_S_PROTOCOL_ERROR},
      {"fragment too long", [](uint32_t id) {
         return raw::response(id, blockStub(65492, Bytes(65492, 1), 65492));  // 65532 bytes
       }, RPC_S_PROTOCOL_ERROR},
      {"huge count", [](uint32_t id) {
         return raw::response(id, Builder().u32(0x10000010).u32(1).u32(0x10000010).done());
       }, RPC_S_PROTOCOL_ERROR},
  };
  for (const auto& k : cases) {
    raw::Listener l(dir_ + "/" + endpoint_ + "m");
    l.serve([&](raw::Conn& c) {
      Bytes bind = c.read();
      c.send(bindAck(raw::u32at(bind, 12)));
      Bytes load = c.read();
      c.send(raw::response(raw::u32at(load, 12), Builder().u32(0).bytes(kCtxUuid).done()));
      Bytes call = c.read();
      c.send(k.reply(raw::u32at(call, 12)));
    });
    handle_t b = bindTo(endpoint_ + "m");
    RpcDriverCtx c = rpc_LoadDriver(b, "drv");
    int32_t size = 0;
    char* block = nullptr;
    EXPECT_EQ(statusOf([&] { rpc_GetVideoDataBlock(c, "s", 0, &size, &block); }), k.status)
        << k.what;
    EXPECT_EQ(block, nullptr) << k.what;
    l.join();
    RpcSsDestroyClientContext(&c);
    RpcBindingFree(&b);
    ::unlink((dir_ + "/" + endpoint_ + "m").c_str());
  }
}

TEST_F(ClientWire, BadStubsAreRefusedAndTheConnectionIsKept) {
  struct Case {
    const char* what;
    Bytes stub;
    uint32_t status;
  } cases[] = {
      {"count disagrees with size", blockStub(4, Bytes(5, 1), 5), RPC_X_BAD_STUB_DATA},
      {"negative size", blockStub(uint32_t(-1), Bytes(0), 0xFFFFFFFF), RPC_X_BAD_STUB_DATA},
      {"truncated", Builder().u32(4).u32(0x20000).u32(4).u32(0).done(), RPC_X_BAD_STUB_DATA},
      {"trailing", Builder().bytes(blockStub(1, {1}, 1)).u64(0).done(), RPC_X_BAD_STUB_DATA},
  };
  size_t i = 0;
  int calls = 0;
  serve([&](raw::Conn& c, uint32_t id) {
    for (;;) {
      ++calls;
      c.send(raw::response(id, i < std::size(cases) ? cases[i].stub : blockStub(1, {9}, 1, 3)));
      Bytes next = c.read();  // the next call arrives on the same connection
      if (next.empty()) return;
      id = raw::u32at(next, 12);
    }
  });
  for (; i < std::size(cases); ++i) EXPECT_EQ(getBlock(), cases[i].status) << cases[i].what;
  int32_t size = 0;
  char* block = nullptr;
  EXPECT_EQ(rpc_GetVideoDataBlock(ctx_, "s", 0, &size, &block), 3);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block[0], 9);
  delete[] block;
  RpcSsDestroyClientContext(&ctx_);
  RpcBindingFree(&binding_);  // closes the connection: the script ends
  listener_->join();
  EXPECT_EQ(calls, int(std::size(cases)) + 1);
}

TEST_F(ClientWire, OutStringChecks) {
  const std::pair<Bytes, uint32_t> cases[] = {
      {Builder().u32(0x20000).str(std::string("ab\0", 3), 2, 0, 3).align(4).u32(0).u32(0).done(),
       RPC_X_INVALID_BOUND},
      {Builder().u32(0x20000).str("ab", 2, 0, 2).align(4).u32(0).u32(0).done(), RPC_X_BAD_STUB_DATA},
      {Builder().u32(0x20000).str("ab", 3, 1, 2).align(4).u32(0).u32(0).done(), RPC_X_BAD_STUB_DATA},
      {Builder().u32(0xDEADBEEF).str("ab").align(4).u32(0).u32(0).done(), 0},  // any non-zero referent
  };
  size_t i = 0;
  serve([&](raw::Conn& c, uint32_t id) {
    for (;;) {
      c.send(raw::response(id, cases[i].first));
      Bytes next = c.read();
      if (next.empty()) return;
      id = raw::u32at(next, 12);
    }
  });
  for (; i < std::size(cases); ++i) {
    char* mac = nullptr;
    char* type = nullptr;
    EXPECT_EQ(statusOf([&] { rpc_GetInfo(ctx_, "ip", "pw", &mac, &type); }), cases[i].second) << i;
    if (cases[i].second == 0) {
      EXPECT_STREQ(mac, "ab");
    }
    delete[] mac;
    delete[] type;
  }
  RpcSsDestroyClientContext(&ctx_);
  RpcBindingFree(&binding_);
  listener_->join();
}

TEST_F(ClientWire, OddFragmentsAreReassembled) {
  Bytes data(30000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 3);
  Bytes stub = blockStub(30000, data, 30000, 42);
  serve([&](raw::Conn& c, uint32_t id) {
    // Tiny fragments, then large uneven ones.
    size_t cuts[] = {0, 3, 17, 1000, 1001, 5000, 9000, 15000, 16000, 24000, stub.size()};
    for (size_t k = 0; k + 1 < std::size(cuts); ++k) {
      uint8_t flags = uint8_t((k == 0 ? 1 : 0) | (k + 2 == std::size(cuts) ? 2 : 0));
      c.send(raw::response(id, Bytes(stub.begin() + long(cuts[k]), stub.begin() + long(cuts[k + 1])),
                           flags, 0));  // alloc_hint 0 is allowed
    }
  });
  int32_t size = 0;
  char* block = nullptr;
  EXPECT_EQ(rpc_GetVideoDataBlock(ctx_, "s", 0, &size, &block), 42);
  ASSERT_EQ(size, 30000);
  EXPECT_EQ(Bytes(block, block + 30000), data);
  delete[] block;
  listener_->join();
}

}  // namespace
