// The client against a server that misbehaves on purpose: replies cut at
// every boundary, fragment lengths that lie, counts at the edges of their
// range in every count field, replies that never end and servers that go
// silent. Each gets its defined status or a closed connection; the call
// never hangs on a peer that stops.
#include <future>

#include "RawServer.h"
#include "rpcrt/Client.h"

namespace {

using raw::Builder;
using raw::Bytes;
using rawserver::Calls;
using rawserver::blockStub;
using rawserver::lyingFragment;
using Pdus = std::vector<Bytes>;

class HostileServer : public rawserver::RawServerTest {};

// A two-fragment reply: 48 stub bytes, then the rest.
Pdus twoFragments(uint32_t id) {
  Bytes stub = blockStub(100, Bytes(100, 1), 100);
  return {raw::response(id, Bytes(stub.begin(), stub.begin() + 48), 1),
          raw::response(id, Bytes(stub.begin() + 48, stub.end()), 2)};
}

TEST_F(HostileServer, RepliesCutAnywhereFailTheCall) {
  std::vector<Bytes> frags = twoFragments(2);
  Bytes stream = frags[0];
  stream.insert(stream.end(), frags[1].begin(), frags[1].end());
  const size_t second = frags[0].size();
  // Inside the common header, the response header and the stub of each
  // fragment, and exactly at each boundary.
  for (size_t cut : {size_t(1), size_t(8), size_t(15), size_t(16), size_t(20), size_t(23),
                     size_t(24), size_t(40), second, second + 1, second + 15, second + 16,
                     second + 23, second + 24, stream.size() - 1}) {
    EXPECT_EQ(replyWith([&](uint32_t id) {
                Bytes s = stream;
                std::memcpy(s.data() + 12, &id, 4);
                std::memcpy(s.data() + second + 12, &id, 4);
                s.resize(cut);
                return Pdus{s};
              }),
              uint32_t(RPC_S_CALL_FAILED))
        << "cut at " << cut;
  }
  // A fault cut short.
  EXPECT_EQ(replyWith([](uint32_t id) {
              Bytes f = raw::fault(id, 5);
              f.resize(20);
              return Pdus{f};
            }),
            uint32_t(RPC_S_CALL_FAILED));
}

TEST_F(HostileServer, BindAckCutAnywhereMeansNoServer) {
  for (size_t cut : {1, 15, 16, 30, 55}) {
    const std::string endpoint = endpoint_ + "b" + std::to_string(cut);
    {
      raw::Listener l(dir_ + "/" + endpoint);
      l.serve([&](raw::Conn& c) {
        Bytes ack = rawserver::bindAck(raw::u32at(c.read(), 12));
        ack.resize(cut);
        c.send(ack);
      });
      handle_t b = bindTo(endpoint);
      EXPECT_EQ(testsupport::statusOf([&] { rpc_LoadDriver(b, "drv"); }),
                uint32_t(RPC_S_SERVER_UNAVAILABLE))
          << "cut at " << cut;
      RpcBindingFree(&b);
    }
    ::unlink((dir_ + "/" + endpoint).c_str());
  }
}

TEST_F(HostileServer, FragmentLengthsThatLie) {
  const Bytes stub = blockStub(100, Bytes(100, 1), 100);
  const Bytes head(stub.begin(), stub.begin() + 48);
  const Bytes rest(stub.begin() + 48, stub.end());
  struct Case {
    const char* what;
    std::function<Pdus(uint32_t)> pdus;
    uint32_t status;
  } cases[] = {
      // Shorter than any header.
      {"0", [&](uint32_t id) { return Pdus{lyingFragment(id, stub, 3, 0)}; }, RPC_S_PROTOCOL_ERROR},
      {"15", [&](uint32_t id) { return Pdus{lyingFragment(id, stub, 3, 15)}; }, RPC_S_PROTOCOL_ERROR},
      {"16", [&](uint32_t id) { return Pdus{lyingFragment(id, stub, 3, 16)}; }, RPC_S_PROTOCOL_ERROR},
      {"23", [&](uint32_t id) { return Pdus{lyingFragment(id, stub, 3, 23)}; }, RPC_S_PROTOCOL_ERROR},
      {"fault 27", [](uint32_t id) {
         Bytes f = raw::fault(id, 5);
         f[8] = 27;
         return Pdus{f};
       }, RPC_S_PROTOCOL_ERROR},
      {"second 16", [&](uint32_t id) {
         return Pdus{raw::response(id, head, 1), lyingFragment(id, rest, 2, 16)};
       }, RPC_S_PROTOCOL_ERROR},
      {"second 23", [&](uint32_t id) {
         return Pdus{raw::response(id, head, 1), lyingFragment(id, rest, 2, 23)};
       }, RPC_S_PROTOCOL_ERROR},
      // Longer than what is sent, then the peer closes.
      {"first longer", [&](uint32_t id) {
         return Pdus{lyingFragment(id, stub, 3, uint16_t(24 + stub.size() + 100))};
       }, RPC_S_CALL_FAILED},
      {"second longer", [&](uint32_t id) {
         return Pdus{raw::response(id, head, 1),
                            lyingFragment(id, rest, 2, uint16_t(24 + rest.size() + 1))};
       }, RPC_S_CALL_FAILED},
      {"first 65535", [&](uint32_t id) {
         return Pdus{lyingFragment(id, stub, 3, 65535)};
       }, RPC_S_PROTOCOL_ERROR},
      // Larger than the 65528 bytes negotiated, and all of it sent.
      {"second 65529", [&](uint32_t id) {
         Bytes big = blockStub(65600, Bytes(65600, 1), 65600);
         return Pdus{raw::response(id, Bytes(big.begin(), big.begin() + 64), 1),
                            raw::response(id, Bytes(big.begin() + 64, big.begin() + 64 + 65505), 2)};
       }, RPC_S_PROTOCOL_ERROR},
  };
  for (const auto& k : cases) EXPECT_EQ(replyWith(k.pdus), k.status) << k.what;
}

// Each count field of each kind of [out] value at 2^31, 0xFFFFFFFF, beyond
// the stub limit, and just under it in a reply that holds a few bytes.
TEST_F(HostileServer, CountsAtTheEdgesOfTheirRange) {
  constexpr uint32_t k31 = 0x80000000, kAll = 0xFFFFFFFF;
  auto block = [](uint32_t size, uint32_t max) {
    return Builder().u32(size).u32(0x20000).u32(max).u64(0).u32(0).done();
  };
  auto doubles = [](uint32_t n, uint32_t max) {
    return Builder().u32(n).u32(0x20000).u32(max).u64(0).u64(0).done();
  };
  auto string = [](uint32_t max, uint32_t off, uint32_t act, const std::string& s = std::string("ab\0", 3)) {
    return Builder().u32(0x20000).str(s, max, off, act).align(4).u32(0).u32(0).done();
  };
  auto wstring = [](uint32_t max, uint32_t off, uint32_t act, std::u16string s = std::u16string(u"ab\0", 3)) {
    return Builder().u32(0x20000).align(4).u32(max).u32(off).u32(act).put(s.data(), s.size() * 2)
        .align(4).u32(0).done();
  };
  // QueryPtzSupportedDyn(nMaxStrLen 8): size, the array, one string.
  auto strings = [](uint32_t size, uint32_t max, uint32_t smax, uint32_t soff, uint32_t sact,
                    const std::string& s = std::string("ab\0", 3)) {
    return Builder().u32(size).u32(0x20000).u32(max).u32(0x20004).str(s, smax, soff, sact)
        .align(4).u32(1).done();
  };
  struct Case {
    const char* what;
    uint32_t (*call)(RpcDriverCtx);
    Bytes stub;
    uint32_t status;
  } cases[] = {
      {"block size 2^31", Calls::block, block(k31, k31), RPC_X_BAD_STUB_DATA},
      {"block max 2^31", Calls::block, block(1, k31), RPC_X_BAD_STUB_DATA},
      {"block max all ones", Calls::block, block(1, kAll), RPC_X_BAD_STUB_DATA},
      {"block 2^31-1", Calls::block, block(0x7FFFFFFF, 0x7FFFFFFF), RPC_S_PROTOCOL_ERROR},
      {"block under the limit", Calls::block, block(0x0FFFFFF0, 0x0FFFFFF0), RPC_X_BAD_STUB_DATA},
      {"block referent all ones", Calls::block,
       Builder().u32(1).u32(kAll).u32(1).u8(9).align(4).u32(0).done(), 0},
      {"doubles 2^31", Calls::doubles, doubles(k31, k31), RPC_X_BAD_STUB_DATA},
      {"doubles max all ones", Calls::doubles, doubles(1, kAll), RPC_X_BAD_STUB_DATA},
      {"doubles 2^31-1", Calls::doubles, doubles(0x7FFFFFFF, 0x7FFFFFFF), RPC_S_PROTOCOL_ERROR},
      {"doubles under the limit", Calls::doubles, doubles(0x01FFFFF0, 0x01FFFFF0), RPC_X_BAD_STUB_DATA},
      {"string 2^31", Calls::string, string(k31, 0, k31), RPC_S_PROTOCOL_ERROR},
      {"string all ones", Calls::string, string(kAll, 0, kAll), RPC_S_PROTOCOL_ERROR},
      {"string offset 2^31", Calls::string, string(3, k31, 3), RPC_X_BAD_STUB_DATA},
      {"string offset all ones", Calls::string, string(3, kAll, 3), RPC_X_BAD_STUB_DATA},
      {"string actual 2^31 over max", Calls::string, string(3, 0, k31), RPC_X_INVALID_BOUND},
      {"string max all ones", Calls::string, string(kAll, 0, 3), 0},
      {"string under the limit", Calls::string, string(0x0FFFFFF0, 0, 0x0FFFFFF0), RPC_X_BAD_STUB_DATA},
      {"string without terminator", Calls::string, string(3, 0, 3, "abc"), RPC_X_BAD_STUB_DATA},
      {"wstring 2^31", Calls::wstring, wstring(k31, 0, k31), RPC_S_PROTOCOL_ERROR},
      {"wstring 2^31-8", Calls::wstring, wstring(0x7FFFFFF8, 0, 0x7FFFFFF8), RPC_S_PROTOCOL_ERROR},
      {"wstring offset all ones", Calls::wstring, wstring(3, kAll, 3), RPC_X_BAD_STUB_DATA},
      {"wstring under the limit", Calls::wstring, wstring(0x07FFFFF0, 0, 0x07FFFFF0), RPC_X_BAD_STUB_DATA},
      {"wstring without terminator", Calls::wstring, wstring(3, 0, 3, u"abc"), RPC_X_BAD_STUB_DATA},
      {"wstring early terminator", Calls::wstring, wstring(3, 0, 3, std::u16string(u"a\0\0", 3)),
       RPC_X_BAD_STUB_DATA},
      {"strings 2^31", Calls::strings, strings(k31, k31, 8, 0, 3), RPC_X_BAD_STUB_DATA},
      {"strings 2^31-1", Calls::strings, strings(0x7FFFFFFF, 0x7FFFFFFF, 8, 0, 3), RPC_S_PROTOCOL_ERROR},
      {"strings under the limit", Calls::strings, strings(0x03FFFFF0, 0x03FFFFF0, 8, 0, 3),
       RPC_X_BAD_STUB_DATA},
      {"strings max all ones", Calls::strings, strings(1, kAll, 8, 0, 3), RPC_X_BAD_STUB_DATA},
      {"element max 2^31", Calls::strings, strings(1, 1, k31, 0, 3), RPC_X_INVALID_BOUND},
      {"element actual 2^31", Calls::strings, strings(1, 1, 8, 0, k31), RPC_X_INVALID_BOUND},
      {"element actual all ones", Calls::strings, strings(1, 1, 8, 0, kAll), RPC_X_INVALID_BOUND},
      {"element offset 2^31", Calls::strings, strings(1, 1, 8, k31, 3), RPC_X_BAD_STUB_DATA},
      {"element without terminator", Calls::strings, strings(1, 1, 8, 0, 3, "abc"), RPC_X_BAD_STUB_DATA},
      {"strings well formed", Calls::strings, strings(1, 1, 8, 0, 3), 0},
  };
  for (const auto& k : cases) {
    EXPECT_EQ(replyWith([&](uint32_t id) { return Pdus{raw::response(id, k.stub)}; }, k.call),
              k.status)
        << k.what;
  }
}

TEST_F(HostileServer, AllocHintIsOnlyAHint) {
  auto withHint = [](Bytes pdu, uint32_t hint) {
    std::memcpy(pdu.data() + 16, &hint, 4);
    return pdu;
  };
  // 4 GiB announced by a one-fragment reply and by each of two fragments.
  EXPECT_EQ(replyWith([&](uint32_t id) {
              return Pdus{withHint(raw::response(id, blockStub(3, {1, 2, 3}, 3)), 0xFFFFFFFF)};
            }),
            0u);
  EXPECT_EQ(replyWith([&](uint32_t id) {
              std::vector<Bytes> f = twoFragments(id);
              return Pdus{withHint(f[0], 0xFFFFFFFF), withHint(f[1], 0xFFFFFFFF)};
            }),
            0u);
}

// A reply that never ends: the client stops once the stub outgrows its
// limit, also when it is only skipping the rest of a bad reply, and closes
// the connection. The server gives up after many limits' worth, so that a
// client that reads on forever fails the case instead of hanging it.
TEST_F(HostileServer, NeverEndingReplyStopsAtTheLimit) {
  constexpr uint32_t kLimit = 64 * 1024;
  kestrel::rpc::testing::setClientStubLimit(kLimit);
  struct Case {
    const char* what;
    uint32_t (*call)(RpcDriverCtx);
    Bytes first;
    uint32_t status;
  } cases[] = {
      {"block being read", Calls::block, Builder().u32(65000).u32(0x20000).u32(65000).done(),
       RPC_S_PROTOCOL_ERROR},
      {"complete reply, then more", Calls::string,
       Builder().u32(0x20000).str("ab").align(4).u32(0).u32(0).done(), RPC_X_BAD_STUB_DATA},
      {"bad stub, then more", Calls::string,
       Builder().u32(0x20000).str("ab", 3, 1, 3).align(4).u32(0).u32(0).done(), RPC_X_BAD_STUB_DATA},
  };
  for (const auto& k : cases) {
    bool outlasted = false;
    uint32_t st = against(
        [&](raw::Conn& c, uint32_t id) {
          c.send(raw::response(id, k.first, 1));
          const Bytes more = raw::response(id, Bytes(8000, 0), 0);
          for (uint64_t sent = 0; c.send(more); sent += 8000) {
            if (sent > 64 * kLimit) {
              outlasted = true;
              return;
            }
          }
        },
        k.call);
    EXPECT_EQ(st, k.status) << k.what;
    EXPECT_FALSE(outlasted) << k.what << ": the client read on past its limit";
  }
  kestrel::rpc::testing::setClientStubLimit(kestrel::rpc::kMaxStub);
}

// A server that stops answering holds the call only until it closes; the
// test closes it, no clock involved.
TEST_F(HostileServer, SilentServerHoldsTheCallUntilItCloses) {
  const Bytes reply = raw::response(2, blockStub(100, Bytes(100, 1), 100));
  for (size_t sent : {size_t(0), size_t(10), size_t(50)}) {
    std::promise<void> asked, release;
    std::future<uint32_t> status;
    EXPECT_EQ(against(
                  [&](raw::Conn& c, uint32_t id) {
                    Bytes part(reply.begin(), reply.begin() + long(sent));
                    if (sent > 12) std::memcpy(part.data() + 12, &id, 4);
                    c.send(part);
                    asked.set_value();
                    release.get_future().wait();
                  },
                  [&](RpcDriverCtx ctx) {
                    status = std::async(std::launch::async, [ctx] { return Calls::block(ctx); });
                    asked.get_future().wait();
                    // Nothing more came: the call cannot have ended well.
                    EXPECT_NE(status.wait_for(std::chrono::seconds(0)), std::future_status::ready);
                    release.set_value();  // the script returns: the server closes
                    return status.get();
                  }),
              uint32_t(RPC_S_CALL_FAILED))
        << sent << " bytes before the silence";
  }
}

}  // namespace
