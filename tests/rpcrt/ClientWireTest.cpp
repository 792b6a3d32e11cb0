// The client against a raw server that misbehaves on purpose: refused and
// cut binds, faults, replies cut at every boundary, fragment lengths that
// lie, counts at the edges of their range, and replies that never end.
// Each gets its defined status, never a crash or a hang. (A server that
// goes silent holds the call until the library's deadline ends it.)
//
// What a lying reply costs is measured, not assumed: this executable
// replaces the global operator new and notes the largest single request the
// calling thread makes while a call runs. A count near the stub limit in a
// reply of a few bytes once made the client allocate 268,435,440 bytes; no
// bad reply may cost more than kBound, and a large block that really
// arrives shows the measurement sees what it should. (Under
// AddressSanitizer these definitions replace the sanitizer's own; they
// allocate with malloc, which it still checks, and only its new/delete
// mismatch check is lost here. GCC sees our inlined free beside our new
// and takes them for a mismatched pair: they are a matched pair.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#include <cstdlib>
#include <new>

#include "Raw.h"
#include "TestSupport.h"
#include "rpcrt/Client.h"

namespace {
thread_local bool t_measuring = false;
thread_local size_t t_largest = 0;
void* allocate(size_t n) {
  if (t_measuring && n > t_largest) t_largest = n;
  return std::malloc(n ? n : 1);
}
}  // namespace

void* operator new(size_t n) {
  if (void* p = allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using namespace raw;
using testsupport::statusOf;
using Pdus = std::vector<Bytes>;
using Call = std::function<uint32_t(RpcDriverCtx)>;

// Far below every hostile size of the cases (256 MiB and more), above what
// a call needs for itself.
constexpr size_t kBound = 256 << 10;
constexpr uint32_t k31 = 0x80000000, kAll = 0xFFFFFFFF;

// A GetVideoDataBlock reply stub.
Bytes blockStub(uint32_t size, const Bytes& data, uint32_t maxCount, int32_t result = 7) {
  return Builder().u32(size).u32(0x20000).u32(maxCount).bytes(data).align(4).u32(uint32_t(result)).done();
}
// A GetInfo reply stub with one string, counts as given.
Bytes stringStub(uint32_t max, uint32_t off, uint32_t act, const std::string& s = std::string("ab\0", 3)) {
  return Builder().u32(0x20000).str(s, max, off, act).align(4).u32(0).u32(0).done();
}

// An [out] block the call allocates, freed with its holder.
template <class T>
struct Owned {
  T* p = nullptr;
  ~Owned() { delete[] p; }
  T** operator&() { return &p; }
};

// The calls whose replies the cases forge, one per kind of [out] value:
// each returns the status it raised (0: none).
namespace calls {
uint32_t block(RpcDriverCtx c) {
  int32_t size = 0;
  Owned<char> b;
  return statusOf([&] { rpc_GetVideoDataBlock(c, "s", 0, &size, &b); });
}
uint32_t string(RpcDriverCtx c) {
  Owned<char> mac, type;
  return statusOf([&] { rpc_GetInfo(c, "ip", "pw", &mac, &type); });
}
uint32_t wstring(RpcDriverCtx c) {
  Owned<char16_t> xml;
  return statusOf([&] { rpc_GetXml(c, "s", "u", "p", "f", &xml); });
}
uint32_t doubles(RpcDriverCtx c) {
  int32_t n = 0;
  Owned<double> a, b;
  return statusOf([&] { rpc_QueryDeviceControlledFramerates(c, "s", "p", 0, &n, &a, &b); });
}
uint32_t strings(RpcDriverCtx c) {  // QueryPtzSupportedDyn with nMaxStrLen 8
  int32_t n = 0;
  char** a = nullptr;
  uint32_t st = statusOf([&] { rpc_QueryPtzSupportedDyn(c, "s", "p", 8, &n, &a); });
  for (int32_t i = 0; a && i < n; ++i) delete[] a[i];
  delete[] a;
  return st;
}
}  // namespace calls

class ClientWire : public testsupport::RpcDirTest {
 protected:
  struct Outcome {
    uint32_t status;
    size_t largest;  // the largest single allocation of the call
  };
  // A fresh endpoint (so that a case that kills its connection leaves
  // nothing behind) that answers the bind and LoadDriver properly, then
  // lets `script` answer `calls` calls and closes. Given `ack`, it answers
  // the bind with that and closes.
  Outcome against(const std::function<void(Conn&, uint32_t callId)>& script, const Call& call, size_t calls = 1,
                  const std::function<Bytes(uint32_t)>& ack = {}) {
    const std::string path = dir_ + "/" + endpoint_ + std::to_string(++cases_);
    Outcome o{0xFFFFFFFF, 0};
    {
      Listener l(path);
      l.serve([&](Conn& c) {
        Bytes b = c.read();
        if (b.empty() || !c.send(ack ? ack(u32at(b, at::kCallId)) : bindAck(u32at(b, at::kCallId))) || ack) return;
        Bytes load = c.read();
        if (load.empty()) return;
        c.send(response(u32at(load, at::kCallId), Builder().u32(0).bytes(Bytes(16, 0x5A)).done()));
        for (Bytes r; calls-- > 0 && !(r = c.read()).empty();) script(c, u32at(r, at::kCallId));
      });
      handle_t b = bindTo(path.substr(dir_.size() + 1));
      RpcDriverCtx ctx = nullptr;
      o.status = statusOf([&] { ctx = rpc_LoadDriver(b, "drv"); });
      if (ctx) {
        t_largest = 0;
        t_measuring = true;
        o.status = call(ctx);
        t_measuring = false;
        o.largest = t_largest;
      }
      // Freeing the binding and the context closes the connection, which
      // ends the script.
      RpcSsDestroyClientContext(&ctx);
      RpcBindingFree(&b);
    }
    ::unlink(path.c_str());
    return o;
  }
  int cases_ = 0;
};

TEST_F(ClientWire, RefusedOrCutBindsMeanNoServer) {
  const std::pair<std::function<Bytes(uint32_t)>, uint32_t> cases[] = {
      {[](uint32_t id) { return pdu(ptype::kBindNak, pfc::kWhole, id, Builder().u16(0).u8(1).u8(5).u8(0).done()); },
       RPC_S_SERVER_UNAVAILABLE},
      {[](uint32_t id) { return bindAck(id, 0x1234, presult::kProviderRejection); }, RPC_S_UNKNOWN_IF},
      {[](uint32_t id) { return bindAck(id, 0x1234, presult::kAccepted, 100); }, RPC_S_PROTOCOL_ERROR},
      {[](uint32_t id) { return bindAck(id + 1); }, RPC_S_PROTOCOL_ERROR},
      {[](uint32_t id) { return bindAck(id, 0); }, RPC_S_PROTOCOL_ERROR},  // no group
      {[](uint32_t id) { return response(id, {}); }, RPC_S_PROTOCOL_ERROR},
      {[](uint32_t) { return Bytes(); }, RPC_S_SERVER_UNAVAILABLE},
      {[](uint32_t id) { return cut(bindAck(id), 30); }, RPC_S_SERVER_UNAVAILABLE},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(against([](Conn&, uint32_t) {}, calls::block, 1, cases[i].first).status, cases[i].second) << "case " << i;
}

// Each case is the whole reply to a call on a fresh connection. (What other
// malformed replies do to the client is the client fuzz corpus's job.)
TEST_F(ClientWire, BadRepliesGetTheirStatusAndCostOnlyWhatArrived) {
  struct Case {
    std::string what;
    Call call;
    std::function<Pdus(uint32_t)> reply;
    uint32_t status;
  };
  auto stub = [](Bytes s) { return [s](uint32_t id) { return Pdus{response(id, s)}; }; };
  // A block reply in two fragments: 48 stub bytes, then the rest.
  const Bytes full = blockStub(100, Bytes(100, 1), 100);
  const Bytes head(full.begin(), full.begin() + 48), rest(full.begin() + 48, full.end());
  auto two = [=](uint32_t id) { return Pdus{response(id, head, pfc::kFirstFrag), response(id, rest, pfc::kLastFrag)}; };
  auto lying = [](const Bytes& p, uint16_t len) { return with<uint16_t>(p, at::kFragLength, len); };
  auto block = [](uint32_t size, uint32_t max) {
    return Builder().u32(size).u32(0x20000).u32(max).u64(0).u32(0).done();
  };
  auto doubles = [](uint32_t n, uint32_t max) { return Builder().u32(n).u32(0x20000).u32(max).u64(0).u64(0).done(); };
  auto wstring = [](uint32_t max, uint32_t off, uint32_t act, std::u16string s = std::u16string(u"ab\0", 3)) {
    return Builder().u32(0x20000).u32(max).u32(off).u32(act).put(s.data(), s.size() * 2).align(4).u32(0).done();
  };
  // QueryPtzSupportedDyn(nMaxStrLen 8): size, the array, one string.
  auto strings = [](uint32_t size, uint32_t max, uint32_t smax, uint32_t soff, uint32_t sact) {
    return Builder()
        .u32(size)
        .u32(0x20000)
        .u32(max)
        .u32(0x20004)
        .str(std::string("ab\0", 3), smax, soff, sact)
        .align(4)
        .u32(1)
        .done();
  };
  std::vector<Case> cases = {
      {"nothing", calls::block, [](uint32_t) { return Pdus{}; }, RPC_S_CALL_FAILED},
      {"fault of 24 bytes", calls::block, [](uint32_t id) { return Pdus{fault(id, 5, 24)}; }, RPC_S_PROTOCOL_ERROR},
      {"other call id", calls::block, [=](uint32_t id) { return Pdus{response(id + 1, full)}; }, RPC_S_PROTOCOL_ERROR},
      {"authentication", calls::block,
       [=](uint32_t id) { return Pdus{with<uint16_t>(response(id, full), at::kAuthLength, 8)}; }, RPC_S_PROTOCOL_ERROR},
      {"fragment of 65532", calls::block, stub(blockStub(65492, Bytes(65492, 1), 65492)), RPC_S_PROTOCOL_ERROR},
      {"alloc_hint 4 GiB in two fragments", calls::block,
       [=](uint32_t id) {
         Pdus p = two(id);
         return Pdus{with(p[0], at::kAllocHint, kAll), with(p[1], at::kAllocHint, kAll)};
       },
       0},
      // Fragment lengths that lie: shorter than any header, or longer than
      // what is sent (then the peer closes).
      {"frag_length 23", calls::block, [=](uint32_t id) { return Pdus{lying(response(id, full), 23)}; },
       RPC_S_PROTOCOL_ERROR},
      {"second fragment of another call", calls::block,
       [=](uint32_t id) {
         return Pdus{response(id, head, pfc::kFirstFrag), response(id + 1, rest, pfc::kLastFrag)};
       },
       RPC_S_PROTOCOL_ERROR},
      {"longer than sent", calls::block,
       [=](uint32_t id) { return Pdus{lying(response(id, full), uint16_t(24 + full.size() + 100))}; },
       RPC_S_CALL_FAILED},
      // Counts of each kind of [out] value at 2^31, and just under the stub
      // limit in a reply of a few bytes (the case that once cost 256 MiB).
      {"block size 2^31", calls::block, stub(block(k31, k31)), RPC_X_BAD_STUB_DATA},
      {"block under the limit", calls::block, stub(block(0x0FFFFFF0, 0x0FFFFFF0)), RPC_X_BAD_STUB_DATA},
      {"doubles under the limit", calls::doubles, stub(doubles(0x01FFFFF0, 0x01FFFFF0)), RPC_X_BAD_STUB_DATA},
      {"string actual 2^31 over max", calls::string, stub(stringStub(3, 0, k31)), RPC_X_INVALID_BOUND},
      {"string under the limit", calls::string, stub(stringStub(0x0FFFFFF0, 0, 0x0FFFFFF0)), RPC_X_BAD_STUB_DATA},
      {"wstring under the limit", calls::wstring, stub(wstring(0x07FFFFF0, 0, 0x07FFFFF0)), RPC_X_BAD_STUB_DATA},
      {"wstring without terminator", calls::wstring, stub(wstring(3, 0, 3, u"abc")), RPC_X_BAD_STUB_DATA},
      {"strings under the limit", calls::strings, stub(strings(0x03FFFFF0, 0x03FFFFF0, 8, 0, 3)), RPC_X_BAD_STUB_DATA},
      {"element actual all ones", calls::strings, stub(strings(1, 1, 8, 0, kAll)), RPC_X_INVALID_BOUND},
      {"strings well formed", calls::strings, stub(strings(1, 1, 8, 0, 3)), 0},
  };
  // The two-fragment reply cut inside a header, inside a stub, and at the boundary.
  for (size_t at : {size_t(20), size_t(40), size_t(72)})
    cases.push_back({"cut at " + std::to_string(at), calls::block,
                     [=](uint32_t id) {
                       Pdus p = two(id);
                       p[0].insert(p[0].end(), p[1].begin(), p[1].end());
                       return Pdus{cut(p[0], at)};
                     },
                     RPC_S_CALL_FAILED});
  for (const auto& k : cases) {
    Outcome o = against(
        [&](Conn& c, uint32_t id) {
          for (const Bytes& p : k.reply(id)) c.send(p);
        },
        k.call);
    EXPECT_EQ(o.status, k.status) << k.what;
    EXPECT_LE(o.largest, kBound) << k.what;
  }
}

// Faults and bad stubs end the call, not the connection: every call of the
// test goes over the one connection the server accepts.
TEST_F(ClientWire, FaultsAndBadStubsKeepTheConnection) {
  const struct {
    Call call;
    uint32_t fault;  // 0: the stub is the reply
    Bytes stub;
    uint32_t status;
  } cases[] = {
      {calls::block, nca::kOpRangeError, {}, RPC_S_PROCNUM_OUT_OF_RANGE},
      {calls::block, nca::kContextMismatch, {}, RPC_X_SS_CONTEXT_MISMATCH},
      {calls::block, nca::kBadStubData, {}, RPC_X_BAD_STUB_DATA},
      {calls::block, nca::kInvalidBound, {}, RPC_X_INVALID_BOUND},
      {calls::block, nca::kProtoError, {}, RPC_S_PROTOCOL_ERROR},
      {calls::block, nca::kRemoteNoMemory, {}, RPC_S_OUT_OF_MEMORY},
      {calls::block, nca::kUnspecified, {}, RPC_S_CALL_FAILED},
      {calls::block, 0xDEADBEEF, {}, 0xDEADBEEF},                            // passed on as it came
      {calls::block, 0, blockStub(4, Bytes(5, 1), 5), RPC_X_BAD_STUB_DATA},  // count disagrees with size
      {calls::string, 0, stringStub(2, 0, 3), RPC_X_INVALID_BOUND},
      {calls::string, 0, Builder().u32(0xDEADBEEF).str("ab").align(4).u32(0).u32(0).done(), 0},  // any referent
  };
  size_t i = 0;
  against(
      [&](Conn& c, uint32_t id) {
        // Faults alternate between 32 and the 28 bytes some peers send.
        c.send(cases[i].fault ? fault(id, cases[i].fault, i % 2 ? 28 : 32) : response(id, cases[i].stub));
      },
      [&](RpcDriverCtx ctx) {
        for (; i < std::size(cases); ++i) EXPECT_EQ(cases[i].call(ctx), cases[i].status) << "case " << i;
        return 0u;
      },
      std::size(cases));
}

// Tiny fragments, then large uneven ones, with alloc_hint 0 (allowed).
TEST_F(ClientWire, ABlockInOddFragmentsArrivesWholeAndIsAllocated) {
  constexpr uint32_t kSize = 3 << 20;
  Bytes data(kSize);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 3 + (i >> 16));
  const Bytes stub = blockStub(kSize, data, kSize, 42);
  std::vector<size_t> cuts = {0, 3, 17, 1000, 1001, 5000};
  while (cuts.back() + 60000 < stub.size()) cuts.push_back(cuts.back() + 60000 + cuts.size() % 5);
  cuts.push_back(stub.size());
  Outcome o = against(
      [&](Conn& c, uint32_t id) {
        for (size_t k = 0; k + 1 < cuts.size(); ++k) {
          uint8_t flags = uint8_t((k == 0 ? pfc::kFirstFrag : 0) | (k + 2 == cuts.size() ? pfc::kLastFrag : 0));
          Bytes part(stub.begin() + long(cuts[k]), stub.begin() + long(cuts[k + 1]));
          c.send(with(response(id, part, flags), at::kAllocHint, 0u));
        }
      },
      [&](RpcDriverCtx ctx) {
        int32_t size = 0;
        char* block = nullptr;
        EXPECT_EQ(rpc_GetVideoDataBlock(ctx, "s", 0, &size, &block), 42);
        EXPECT_EQ(size, int32_t(kSize));
        EXPECT_TRUE(block && Bytes(block, block + kSize) == data);
        delete[] block;
        return 0u;
      });
  EXPECT_GE(o.largest, kSize);
}

// A reply that never ends: the client stops once the stub outgrows its
// limit, also when it is only skipping the rest of a bad reply (once it
// skipped for ever), and closes the connection. The server gives up after
// many limits' worth, so that a client that reads on fails the case
// instead of hanging it.
TEST_F(ClientWire, NeverEndingReplyStopsAtTheLimit) {
  constexpr uint32_t kLimit = 64 * 1024;
  kestrel::rpc::testing::setClientStubLimit(kLimit);
  const struct {
    const char* what;
    uint32_t (*call)(RpcDriverCtx);
    Bytes first;
    uint32_t status;
  } cases[] = {
      {"block being read", calls::block, Builder().u32(65000).u32(0x20000).u32(65000).done(), RPC_S_PROTOCOL_ERROR},
      {"complete reply, then more", calls::string, stringStub(3, 0, 3), RPC_X_BAD_STUB_DATA},
      {"bad stub, then more", calls::string, stringStub(3, 1, 3), RPC_X_BAD_STUB_DATA},
  };
  for (const auto& k : cases) {
    bool outlasted = false;
    Outcome o = against(
        [&](Conn& c, uint32_t id) {
          c.send(response(id, k.first, pfc::kFirstFrag));
          const Bytes more = response(id, Bytes(8000, 0), 0);
          for (uint64_t sent = 0; c.send(more); sent += 8000) {
            if (sent > 64 * kLimit) {
              outlasted = true;
              return;
            }
          }
        },
        k.call);
    EXPECT_EQ(o.status, k.status) << k.what;
    EXPECT_FALSE(outlasted) << k.what << ": the client read on past its limit";
  }
  kestrel::rpc::testing::setClientStubLimit(kestrel::rpc::kMaxStub);
}

}  // namespace
