// The server against a raw peer: what it answers to well-formed PDUs of
// other DCE clients, and what it does with malformed PDUs and stubs (a
// defined fault or a closed connection, and the next client still served).
#include <array>

#include "Raw.h"
#include "TestSupport.h"

namespace {

using raw::Builder;
using raw::Bytes;
using raw::u16at;
using raw::u32at;

using namespace raw::faults;

struct Result {
  uint16_t result, reason;
  Bytes syntax;
};

// Decodes a bind_ack / alter_context_resp.
struct Ack {
  uint8_t type = 0;
  uint16_t maxXmit = 0, maxRecv = 0;
  uint32_t group = 0;
  std::string address;
  std::vector<Result> results;
};
Ack parseAck(const Bytes& p) {
  Ack a;
  a.type = p.at(2);
  a.maxXmit = u16at(p, 16);
  a.maxRecv = u16at(p, 18);
  a.group = u32at(p, 20);
  uint16_t len = u16at(p, 24);
  if (len) a.address.assign(reinterpret_cast<const char*>(p.data() + 26), len - 1);
  size_t off = (26 + len + 3) & ~size_t(3);
  uint8_t n = p.at(off);
  off += 4;
  for (uint8_t i = 0; i < n; ++i, off += 24)
    a.results.push_back({u16at(p, off), u16at(p, off + 2), Bytes(p.begin() + long(off) + 4,
                                                                  p.begin() + long(off) + 20)});
  return a;
}

class ServerWire : public testsupport::RpcDirTest {
 protected:
  void SetUp() override {
    RpcDirTest::SetUp();
    server_ = std::make_unique<testsupport::LocalServer>(endpoint_, options());
  }
  void TearDown() override {
    server_.reset();
    RpcDirTest::TearDown();
  }
  virtual kestrel::rpc::ServerOptions options() { return {}; }

  raw::Conn connect() { return raw::Conn::to(dir_ + "/" + endpoint_); }
  raw::Conn bound(uint16_t maxFrag = 65528) {
    raw::Conn c = connect();
    c.send(raw::bind(1, 0, {{0}}, maxFrag, maxFrag));
    Ack a = parseAck(c.read());
    EXPECT_EQ(a.results.at(0).result, 0);
    return c;
  }
  Bytes loadDriver(raw::Conn& c, uint32_t callId = 2) {
    c.send(raw::request(callId, 0, 0, Builder().str("drv").done()));
    Bytes r = c.read();
    EXPECT_EQ(r.at(2), 2) << "a response";
    return Bytes(r.begin() + 24, r.begin() + 44);
  }
  // OpenConnection(ctx, server, password, 0, nCamNo) with a well-formed stub.
  static Bytes openStub(const Bytes& ctx, const std::string& server = "s") {
    return Builder().bytes(ctx).str(server).str("pw").align(4).u32(0).u32(0).done();
  }
  // The fault status of a reply, or 0 for a response.
  static uint32_t faultOf(const Bytes& r) {
    if (r.size() < 16) return 0xFFFFFFFF;
    return r.at(2) == 3 ? u32at(r, 24) : 0;
  }
  // The connection still serves a well-formed call.
  void stillServes(raw::Conn& c, const Bytes& ctx, uint32_t callId = 99) {
    c.send(raw::request(callId, 0, 11, openStub(ctx)));
    Bytes r = c.read();
    ASSERT_EQ(faultOf(r), 0u);
    EXPECT_EQ(u32at(r, 12), callId);
  }

  std::unique_ptr<testsupport::LocalServer> server_;
};

// ---- binding ----------------------------------------------------------------------

TEST_F(ServerWire, BindAckCarriesGroupSizesAddressAndNdr) {
  raw::Conn c = connect();
  c.send(raw::bind(7, 0, {{0}}));
  Bytes r = c.read();
  ASSERT_EQ(r.at(2), 12);
  EXPECT_EQ(u32at(r, 12), 7u);
  Ack a = parseAck(r);
  EXPECT_EQ(a.maxXmit, 65528);
  EXPECT_EQ(a.maxRecv, 65528);
  EXPECT_NE(a.group, 0u);
  EXPECT_EQ(a.address, endpoint_);
  ASSERT_EQ(a.results.size(), 1u);
  EXPECT_EQ(a.results[0].result, 0);
  EXPECT_EQ(Bytes(a.results[0].syntax.begin(), a.results[0].syntax.begin() + 16), raw::kNdr);
}

TEST_F(ServerWire, PresentationContextsOfOtherPeers) {
  raw::PresContext other{0, raw::kNdr};  // someone else's interface
  raw::PresContext v2{1};
  v2.major = 2;
  raw::PresContext minor1{2};
  minor1.minor = 1;
  raw::PresContext ndr64{3};
  ndr64.transfer = {{raw::kNdr64, 1}};
  raw::PresContext both{4};
  both.transfer = {{raw::kNdr64, 1}, {raw::kNdr, 2}};
  raw::PresContext btfn{5};
  btfn.transfer = {{raw::kBtfn, 1}};
  raw::Conn c = connect();
  c.send(raw::bind(1, 0, {other, v2, minor1, ndr64, both, btfn}));
  Ack a = parseAck(c.read());
  ASSERT_EQ(a.results.size(), 6u);
  auto is = [&](size_t i, uint16_t res, uint16_t why) {
    EXPECT_EQ(a.results[i].result, res) << i;
    EXPECT_EQ(a.results[i].reason, why) << i;
  };
  is(0, 2, 1);
  is(1, 2, 1);
  is(2, 2, 1);
  is(3, 2, 2);
  is(4, 0, 0);  // NDR 2.0 picked from the list
  is(5, 3, 0);
  // Only the accepted context carries calls.
  c.send(raw::request(2, 4, 0, Builder().str("drv").done()));
  EXPECT_EQ(faultOf(c.read()), 0u);
  c.send(raw::request(3, 3, 0, Builder().str("drv").done()));
  EXPECT_EQ(faultOf(c.read()), kProto);
}

TEST_F(ServerWire, AlterContextAddsAContext) {
  raw::Conn c = bound();
  raw::PresContext second{9};
  c.send(raw::bind(2, 0, {second}, 65528, 65528, 14));
  Bytes r = c.read();
  ASSERT_EQ(r.at(2), 15);
  EXPECT_EQ(parseAck(r).results.at(0).result, 0);
  c.send(raw::request(3, 9, 0, Builder().str("drv").done()));
  EXPECT_EQ(faultOf(c.read()), 0u);
}

TEST_F(ServerWire, UnknownGroupAndTinyFragmentsGetBindNak) {
  for (auto pdu : {raw::bind(1, 0x12345678, {{0}}), raw::bind(1, 0, {{0}}, 1000, 1000)}) {
    raw::Conn c = connect();
    c.send(pdu);
    Bytes r = c.read();
    ASSERT_EQ(r.at(2), 13);
    EXPECT_EQ(u16at(r, 16), 0);  // reason not specified
    EXPECT_TRUE(c.closed());
  }
}

TEST_F(ServerWire, SecondConnectionJoinsTheGroup) {
  raw::Conn first = connect();
  first.send(raw::bind(1, 0, {{0}}));
  uint32_t group = parseAck(first.read()).group;
  Bytes ctx = loadDriver(first);
  raw::Conn second = connect();
  second.send(raw::bind(1, group, {{0}}));
  EXPECT_EQ(parseAck(second.read()).group, group);
  stillServes(second, ctx);  // the context is valid on every connection of its group
  raw::Conn stranger = bound();
  stranger.send(raw::request(5, 0, 11, openStub(ctx)));
  EXPECT_EQ(faultOf(stranger.read()), kMismatch);
}

TEST_F(ServerWire, SmallestFragmentsAreHonouredBothWays) {
  raw::Conn c = bound(1432);
  Bytes ctx = loadDriver(c);
  // A reply of about 5000 bytes in fragments of at most 1432.
  Bytes stub = Builder().bytes(ctx).str("size").align(4).u32(5000).done();
  c.send(raw::request(3, 0, 27, stub));
  Bytes whole;
  for (;;) {
    Bytes f = c.read();
    ASSERT_EQ(f.at(2), 2);
    ASSERT_LE(f.size(), 1432u);
    bool last = f.at(3) & 2;
    if (!last) {
      EXPECT_EQ((f.size() - 24) % 8, 0u);
    }
    whole.insert(whole.end(), f.begin() + 24, f.end());
    if (last) break;
  }
  ASSERT_EQ(whole.size(), 16u + 5000u);
  EXPECT_EQ(u32at(whole, 0), 5000u);
  EXPECT_EQ(u32at(whole, 8), 5000u);
  for (size_t i = 0; i < 5000; ++i) ASSERT_EQ(char(whole[12 + i]), testhost::patternByte(i));

  // A request fragment larger than agreed is refused.
  Bytes big = Builder().bytes(ctx).str(std::string(1500, 'x')).align(4).u32(0).u32(0).done();
  c.send(raw::request(4, 0, 11, big));
  EXPECT_EQ(faultOf(c.read()), kProto);
  EXPECT_TRUE(c.closed());
}

TEST_F(ServerWire, LargestOfferIsCutToOurs) {
  raw::Conn c = connect();
  c.send(raw::bind(1, 0, {{0}}, 65535, 65535));
  Ack a = parseAck(c.read());
  EXPECT_EQ(a.maxXmit, 65528);
  EXPECT_EQ(a.maxRecv, 65528);
}

TEST_F(ServerWire, MinorVersionUnknownFlagsAndObjectUuidAreTolerated) {
  raw::Conn c = connect();
  Bytes b = raw::bind(1, 0, {{0}});
  b[1] = 1;      // rpc_vers_minor 1
  b[3] |= 0x0C;  // flags we do not know
  c.send(b);
  ASSERT_EQ(c.read().at(2), 12);
  Bytes object(16, 0xAB);
  Bytes req = raw::request(2, 0, 0, Builder().str("drv").done(), 3, &object);
  req[3] |= 0x04;
  c.send(req);
  Bytes r = c.read();
  ASSERT_EQ(faultOf(r), 0u);
  Bytes ctx(r.begin() + 24, r.begin() + 44);
  // Cancels and orphans of calls not in progress are ignored.
  c.send(raw::pdu(18, 3, 77, {}));
  c.send(raw::pdu(19, 3, 78, {}));
  stillServes(c, ctx);
}

// ---- malformed PDUs close the connection -------------------------------------------

TEST_F(ServerWire, MalformedHeadersCloseTheConnection) {
  Bytes good = raw::bind(1, 0, {{0}});
  auto with = [&](size_t off, uint8_t v) {
    Bytes b = good;
    b[off] = v;
    return b;
  };
  Bytes truncated = raw::pdu(11, 3, 1, Builder().u16(65528).u16(65528).u32(0).u8(5).done());
  Bytes shortLen = good;
  shortLen[8] = 10;
  shortLen[9] = 0;
  for (const Bytes& pdu : {with(0, 4), with(1, 2), with(4, 0x00), with(5, 1), with(10, 8),
                           truncated, shortLen, raw::pdu(42, 3, 1, {})}) {
    raw::Conn c = connect();
    c.send(pdu);
    EXPECT_TRUE(c.closed());
  }
  raw::Conn c = bound();  // the server is fine
}

TEST_F(ServerWire, RequestBeforeBindAndSecondBind) {
  {
    raw::Conn c = connect();
    c.send(raw::request(5, 0, 0, Builder().str("drv").done()));
    EXPECT_EQ(faultOf(c.read()), kProto);
    EXPECT_TRUE(c.closed());
  }
  raw::Conn c = bound();
  c.send(raw::bind(2, 0, {{0}}));
  EXPECT_TRUE(c.closed());
}

TEST_F(ServerWire, FragmentsOfAnotherCallCloseTheConnection) {
  raw::Conn c = bound();
  Bytes ctx = loadDriver(c);
  Bytes stub = openStub(ctx);
  c.send(raw::request(3, 0, 11, Bytes(stub.begin(), stub.begin() + 16), 1));
  c.send(raw::request(4, 0, 11, Bytes(stub.begin() + 16, stub.end()), 2));
  EXPECT_TRUE(c.closed());
}

// ---- requests and stubs ----------------------------------------------------------------

TEST_F(ServerWire, ProcedureNumbersOutsideTheInterface) {
  raw::Conn c = bound();
  Bytes ctx = loadDriver(c);
  for (uint16_t op : {4, 90, 95, 1000}) {
    c.send(raw::request(op, 0, op, openStub(ctx)));
    Bytes r = c.read();
    EXPECT_EQ(faultOf(r), kOpRange) << op;
    EXPECT_EQ(u32at(r, 12), op);
  }
  stillServes(c, ctx);
}

TEST_F(ServerWire, BadStubsGetTheirFaultAndTheConnectionGoesOn) {
  raw::Conn c = bound();
  Bytes ctx = loadDriver(c);
  Bytes nullCtx(20, 0);
  Bytes unknownCtx = ctx;
  unknownCtx[10] ^= 0xFF;
  Bytes attrCtx = ctx;
  attrCtx[0] = 1;
  auto open = [&](const Builder& strings) {
    return Builder().bytes(ctx).bytes(strings.done()).align(4).u32(0).u32(0).done();
  };
  struct Case {
    const char* what;
    Bytes stub;
    uint32_t fault;
  } cases[] = {
      {"offset", open(Builder().str("s", 2, 1, 2).str("pw")), kBadStub},
      {"actual > max", open(Builder().str(std::string("ab\0", 3), 2, 0, 3).str("pw")), kBound},
      {"no terminator", open(Builder().str("ab", 2, 0, 2).str("pw")), kBadStub},
      {"early terminator", open(Builder().str(std::string("a\0b\0", 4), 4, 0, 4).str("pw")),
       kBadStub},
      {"empty", open(Builder().str("", 0, 0, 0).str("pw")), kBadStub},
      {"huge count", open(Builder().str("", 0xFFFFFFF0, 0, 0xFFFFFFF0)), kNoMemory},
      {"truncated", Builder().bytes(ctx).str("s").str("pw").align(4).u32(0).done(), kBadStub},
      {"trailing", Builder().bytes(openStub(ctx)).u64(0).done(), kBadStub},
      {"null context", openStub(nullCtx), kMismatch},
      {"unknown context", openStub(unknownCtx), kMismatch},
      {"context attributes", openStub(attrCtx), kMismatch},
  };
  uint32_t callId = 10;
  for (const auto& k : cases) {
    c.send(raw::request(++callId, 0, 11, k.stub));
    Bytes r = c.read();
    EXPECT_EQ(faultOf(r), k.fault) << k.what;
    EXPECT_EQ(u32at(r, 12), callId) << k.what;
  }
  // Arrays whose conformance disagrees with their size parameter.
  Bytes put = Builder().bytes(ctx).str("s").align(4).u32(1).u32(2).u32(3).u32(4).u32(5).done();
  put.insert(put.end(), 5, 'x');
  c.send(raw::request(++callId, 0, 46, put));
  EXPECT_EQ(faultOf(c.read()), kBadStub);
  Bytes negative = Builder().bytes(ctx).str("s").align(4).u32(1).u32(2).u32(3).u32(-1).u32(0).done();
  c.send(raw::request(++callId, 0, 46, negative));
  EXPECT_EQ(faultOf(c.read()), kBound);
  Bytes events = Builder().bytes(ctx).str("s").str("p").align(4).u32(2).u32(3).u32(0x20000)
                     .u32(0).done();  // 2 announced, 3 in the array
  c.send(raw::request(++callId, 0, 66, events));
  EXPECT_EQ(faultOf(c.read()), kBadStub);
  stillServes(c, ctx);
}

TEST_F(ServerWire, OddFragmentsReassembleAndOrphansAbandonTheCall) {
  raw::Conn c = bound();
  Bytes ctx = loadDriver(c);
  Bytes stub = openStub(ctx, "reassembled");
  // Fragments of 5, 13 and the rest: not multiples of 8, still one stub.
  c.send(raw::request(3, 0, 11, Bytes(stub.begin(), stub.begin() + 5), 1));
  c.send(raw::pdu(18, 3, 3, {}));  // a cancel in between is ignored
  c.send(raw::request(3, 0, 11, Bytes(stub.begin() + 5, stub.begin() + 18), 0));
  c.send(raw::request(3, 0, 11, Bytes(stub.begin() + 18, stub.end()), 2));
  Bytes r = c.read();
  EXPECT_EQ(faultOf(r), 0u);
  // A call given up half-way gets no reply; the next one does.
  c.send(raw::request(4, 0, 11, Bytes(stub.begin(), stub.begin() + 8), 1));
  c.send(raw::pdu(19, 3, 4, {}));
  stillServes(c, ctx, 5);
  EXPECT_EQ(server_->host.calls(), 2);
}

class SmallStubServer : public ServerWire {
 protected:
  kestrel::rpc::ServerOptions options() override {
    kestrel::rpc::ServerOptions o;
    o.maxStub = 4096;
    return o;
  }
};

TEST_F(SmallStubServer, OversizedRequestIsSkippedAndRefused) {
  raw::Conn c = bound(1432);
  Bytes ctx = loadDriver(c);
  Bytes stub = openStub(ctx, std::string(6000, 'x'));
  for (size_t off = 0, k = 0; off < stub.size(); off += 1400, ++k) {
    size_t end = std::min(stub.size(), off + 1400);
    uint8_t flags = uint8_t((off == 0 ? 1 : 0) | (end == stub.size() ? 2 : 0));
    c.send(raw::request(3, 0, 11, Bytes(stub.begin() + long(off), stub.begin() + long(end)), flags));
  }
  EXPECT_EQ(faultOf(c.read()), kNoMemory);
  stillServes(c, ctx);
}

}  // namespace

// A request that never ends: the fault comes as soon as the stub outgrows
// the limit, not after a last fragment that never arrives, and a peer that
// goes on sending far past the limit (16 times) is dropped.
TEST_F(SmallStubServer, NeverEndingRequestIsRefusedAtOnceThenDropped) {
  raw::Conn c = bound(1432);
  Bytes ctx = loadDriver(c);
  // A 4000-byte string fits the limit by its count; the fragments carrying
  // it push the stub past 4096 before it is complete.
  Bytes first = Builder().bytes(ctx).align(4).u32(4000).u32(0).u32(4000).done();
  first.resize(1400, 'x');
  c.send(raw::request(3, 0, 11, first, 1));
  const Bytes more = raw::request(3, 0, 11, Bytes(1400, 'x'), 0);
  for (int i = 0; i < 3; ++i) c.send(more);
  EXPECT_EQ(faultOf(c.read()), kNoMemory);
  size_t sent = 0;
  while (sent < (16u << 20) && c.send(more)) sent += more.size();
  EXPECT_LT(sent, 16u << 20) << "still reading";
  EXPECT_TRUE(c.ended());
}
