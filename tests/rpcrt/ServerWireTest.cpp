// The server against a raw peer: what it answers to well-formed PDUs of
// other DCE clients, and what it does with malformed PDUs and stubs (a
// defined fault or a closed connection, and the next call still served).
#include "Raw.h"
#include "TestSupport.h"

namespace {

using namespace raw;

// A decoded bind_ack / alter_context_resp.
struct Ack {
  uint16_t maxXmit, maxRecv;
  uint32_t group;
  std::string address;
  std::vector<std::pair<uint16_t, uint16_t>> results;  // result, reason
  std::vector<Bytes> syntaxes;
};
Ack parseAck(const Bytes& p) {
  Ack a{u16at(p, at::kMaxXmit), u16at(p, at::kMaxRecv), u32at(p, at::kAssocGroup), {}, {}, {}};
  uint16_t len = u16at(p, at::kSecondaryAddress);
  if (len) a.address.assign(reinterpret_cast<const char*>(p.data() + at::kSecondaryAddress + 2), len - 1);
  size_t off = (at::kSecondaryAddress + 2 + len + 3) & ~size_t(3);
  for (uint8_t i = 0, n = p.at(off); i < n; ++i) {
    size_t r = off + 4 + 24 * i;
    a.results.emplace_back(u16at(p, r), u16at(p, r + 2));
    a.syntaxes.emplace_back(p.begin() + long(r) + 4, p.begin() + long(r) + 20);
  }
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

  Conn connect() { return Conn::to(dir_ + "/" + endpoint_); }
  Conn bound(uint16_t maxFrag = 65528) {
    Conn c = connect();
    c.send(bind(1, 0, {{0}}, maxFrag));
    EXPECT_EQ(parseAck(c.read()).results.at(0).first, presult::kAccepted);
    return c;
  }
  // LoadDriver on the connection; the context handle's wire form.
  Bytes loadDriver(Conn& c, uint32_t callId = 2) {
    c.send(request(callId, 0, Builder().str("drv").done()));
    Bytes r = c.read();
    EXPECT_EQ(r.at(at::kPtype), ptype::kResponse);
    return Bytes(r.begin() + at::kStub, r.begin() + at::kStub + 20);
  }
  // OpenConnection(ctx, server, password, 0, nCamNo) with a well-formed stub.
  static Bytes openStub(const Bytes& ctx, const std::string& server = "s") {
    return Builder().bytes(ctx).str(server).str("pw").align(4).u32(0).u32(0).done();
  }
  // The connection still serves a well-formed call.
  void stillServes(Conn& c, const Bytes& ctx, uint32_t callId = 99) {
    c.send(request(callId, 11, openStub(ctx)));
    Bytes r = c.read();
    ASSERT_EQ(faultOf(r), 0u);
    EXPECT_EQ(u32at(r, at::kCallId), callId);
  }

  std::unique_ptr<testsupport::LocalServer> server_;
};

TEST_F(ServerWire, PresentationContextsOfOtherPeersAreNegotiated) {
  PresContext other{6, kNdr}, v2{1}, minor1{2}, ndr64{3}, both{0}, btfn{5}, later{9};
  v2.major = 2;
  minor1.minor = 1;
  ndr64.transfer = {{kNdr64, 1}};
  both.transfer = {{kNdr64, 1}, {kNdr, 2}};
  btfn.transfer = {{kBtfn, 1}};
  Conn c = connect();
  Bytes b = bind(7, 0, {other, v2, minor1, ndr64, both, btfn}, 65535);
  b[at::kVersionMinor] = 1;
  b[at::kFlags] |= 0x0C;  // flags we do not know
  c.send(b);
  Bytes r = c.read();
  ASSERT_EQ(r.at(at::kPtype), ptype::kBindAck);
  EXPECT_EQ(u32at(r, at::kCallId), 7u);
  Ack a = parseAck(r);
  EXPECT_EQ(a.maxXmit, 65528);  // the largest offer is cut to ours
  EXPECT_EQ(a.maxRecv, 65528);
  EXPECT_NE(a.group, 0u);
  EXPECT_EQ(a.address, endpoint_);
  using namespace presult;
  const std::vector<std::pair<uint16_t, uint16_t>> results = {{kProviderRejection, kAbstractSyntaxNotSupported},
                                                              {kProviderRejection, kAbstractSyntaxNotSupported},
                                                              {kProviderRejection, kAbstractSyntaxNotSupported},
                                                              {kProviderRejection, kTransferSyntaxesNotSupported},
                                                              {kAccepted, 0},  // NDR 2.0 picked from the list
                                                              {kNegotiateAck, 0}};
  EXPECT_EQ(a.results, results);
  EXPECT_EQ(a.syntaxes.at(4), kNdr);

  c.send(bind(2, 0, {later}, 65528, ptype::kAlterContext));
  r = c.read();
  ASSERT_EQ(r.at(at::kPtype), ptype::kAlterContextResp);
  EXPECT_EQ(parseAck(r).results.at(0).first, kAccepted);
  // A request with an object UUID and a flag we do not know, on the added context.
  Bytes object(16, 0xAB), name = Builder().str("drv").done();
  c.send(pdu(ptype::kRequest, pfc::kWhole | pfc::kObjectUuid | 0x04, 3,
             Builder().u32(uint32_t(name.size())).u16(9).u16(0).bytes(object).bytes(name).done()));
  r = c.read();
  ASSERT_EQ(faultOf(r), 0u);
  Bytes ctx(r.begin() + at::kStub, r.begin() + at::kStub + 20);
  // Cancels and orphans of calls not in progress are ignored.
  c.send(pdu(ptype::kCoCancel, pfc::kWhole, 77, {}));
  c.send(pdu(ptype::kOrphaned, pfc::kWhole, 78, {}));
  stillServes(c, ctx);
  // Only accepted contexts carry calls.
  c.send(request(5, 0, name, pfc::kWhole, 3));
  EXPECT_EQ(faultOf(c.read()), nca::kProtoError);
}

TEST_F(ServerWire, UnknownGroupAndTinyFragmentsGetBindNak) {
  for (const Bytes& b : {bind(1, 0x12345678), bind(1, 0, {{0}}, 1000)}) {
    Conn c = connect();
    c.send(b);
    Bytes r = c.read();
    ASSERT_EQ(r.at(at::kPtype), ptype::kBindNak);
    EXPECT_EQ(u16at(r, at::kNakReason), 0);  // reason not specified
    EXPECT_TRUE(c.ended());
  }
}

TEST_F(ServerWire, SmallestFragmentsAreHonouredBothWays) {
  Conn c = bound(1432);
  Bytes ctx = loadDriver(c);
  // A reply of 5016 stub bytes in fragments of at most 1432, each but the
  // last carrying a multiple of 8, each with the whole stub as its hint.
  c.send(request(3, 27, Builder().bytes(ctx).str("size").align(4).u32(5000).done()));
  Bytes whole;
  for (bool last = false; !last;) {
    Bytes f = c.read();
    ASSERT_EQ(f.at(at::kPtype), ptype::kResponse);
    ASSERT_LE(f.size(), 1432u);
    last = f[at::kFlags] & pfc::kLastFrag;
    EXPECT_EQ(f[at::kFlags], (whole.empty() ? pfc::kFirstFrag : 0) | (last ? pfc::kLastFrag : 0));
    EXPECT_EQ(u32at(f, at::kCallId), 3u);
    EXPECT_EQ(u32at(f, at::kAllocHint), 5016u);
    EXPECT_TRUE((f.size() - at::kStub) % 8 == 0 || last);
    whole.insert(whole.end(), f.begin() + at::kStub, f.end());
  }
  ASSERT_EQ(whole.size(), 16u + 5000u);
  EXPECT_EQ(u32at(whole, 8), 5000u);
  for (size_t i = 0; i < 5000; ++i) ASSERT_EQ(char(whole[12 + i]), testhost::patternByte(i));

  // A request fragment larger than agreed is refused.
  c.send(request(4, 11, openStub(ctx, std::string(1500, 'x'))));
  EXPECT_EQ(faultOf(c.read()), nca::kProtoError);
  EXPECT_TRUE(c.ended());
}

TEST_F(ServerWire, MalformedPdusCloseTheConnection) {
  const Bytes good = bind(1), load = request(2, 0, Builder().str("drv").done());
  struct Case {
    const char* what;
    bool bindFirst;
    Bytes pdu;
    uint32_t fault;  // 0: closed without one
  } cases[] = {
      {"version 4", false, with<uint8_t>(good, 0, 4), 0},
      {"minor version 2", false, with<uint8_t>(good, at::kVersionMinor, 2), 0},
      {"big-endian", false, with<uint8_t>(good, at::kDrep, 0), 0},
      {"other float format", false, with<uint8_t>(good, at::kDrep + 1, 1), 0},
      {"authentication", false, with<uint16_t>(good, at::kAuthLength, 8), 0},
      {"frag_length 10", false, with<uint16_t>(good, at::kFragLength, 10), 0},
      {"bind body cut short", false,
       pdu(ptype::kBind, pfc::kWhole, 1, Builder().u16(65528).u16(65528).u32(0).u8(5).done()), 0},
      {"unknown type", false, pdu(42, pfc::kWhole, 1, {}), 0},
      {"request before bind", false, load, nca::kProtoError},
      {"second bind", true, good, 0},
      {"request frag_length 20", true, with<uint16_t>(load, at::kFragLength, 20), nca::kProtoError},
  };
  for (const auto& k : cases) {
    Conn c = k.bindFirst ? bound() : connect();
    c.send(k.pdu);
    if (k.fault) {
      EXPECT_EQ(faultOf(c.read()), k.fault) << k.what;
    }
    EXPECT_TRUE(c.ended()) << k.what;
  }
  // Peers that hang up inside a PDU.
  connect().send(cut(good, 10));
  bound().send(cut(load, load.size() - 5));
  Conn c = bound();
  stillServes(c, loadDriver(c));
}

TEST_F(ServerWire, BadRequestsGetTheirFaultAndTheConnectionGoesOn) {
  Conn c = bound();
  const Bytes ctx = loadDriver(c);
  Bytes unknownCtx = with<uint8_t>(ctx, 10, uint8_t(ctx[10] ^ 0xFF));
  auto open = [&](const Builder& strings) {
    return Builder().bytes(ctx).bytes(strings.done()).align(4).u32(0).u32(0).done();
  };
  // PutMediaDataBlock(ctx, "s", 1, 2, 3, n, bytes[max]).
  auto put = [&](uint32_t n, uint32_t max) {
    return Builder().bytes(ctx).str("s").align(4).u32(1).u32(2).u32(3).u32(n).u32(max).bytes(Bytes(5, 'x')).done();
  };
  struct Case {
    const char* what;
    uint16_t opnum;
    Bytes stub;
    uint32_t fault;
  } cases[] = {
      {"opnum 4", 4, openStub(ctx), nca::kOpRangeError},
      {"opnum 90", 90, openStub(ctx), nca::kOpRangeError},
      {"offset", 11, open(Builder().str("s", 2, 1, 2).str("pw")), nca::kBadStubData},
      {"actual > max", 11, open(Builder().str(std::string("ab\0", 3), 2, 0, 3).str("pw")), nca::kInvalidBound},
      {"no terminator", 11, open(Builder().str("ab", 2, 0, 2).str("pw")), nca::kBadStubData},
      {"early terminator", 11, open(Builder().str(std::string("a\0b\0", 4), 4, 0, 4).str("pw")), nca::kBadStubData},
      {"empty", 11, open(Builder().str("", 0, 0, 0).str("pw")), nca::kBadStubData},
      {"truncated", 11, Builder().bytes(ctx).str("s").str("pw").align(4).u32(0).done(), nca::kBadStubData},
      {"trailing", 11, Builder().bytes(openStub(ctx)).u64(0).done(), nca::kBadStubData},
      {"null context", 11, openStub(Bytes(20, 0)), nca::kContextMismatch},
      {"unknown context", 11, openStub(unknownCtx), nca::kContextMismatch},
      {"array count over its size", 46, put(4, 5), nca::kBadStubData},
      {"negative size", 46, put(uint32_t(-1), 0), nca::kInvalidBound},
      {"string array count over its size", 66,
       Builder().bytes(ctx).str("s").str("p").align(4).u32(2).u32(3).u32(0x20000).u32(0).done(), nca::kBadStubData},
  };
  uint32_t callId = 10;
  for (const auto& k : cases) {
    c.send(request(++callId, k.opnum, k.stub));
    Bytes r = c.read();
    EXPECT_EQ(faultOf(r), k.fault) << k.what;
    EXPECT_EQ(u32at(r, at::kCallId), callId) << k.what;
  }
  stillServes(c, ctx);
}

TEST_F(ServerWire, OddFragmentsReassembleAndOrphansAbandonTheCall) {
  Conn c = bound();
  Bytes ctx = loadDriver(c);
  Bytes stub = openStub(ctx, "reassembled");
  auto part = [&](size_t from, size_t to) { return Bytes(stub.begin() + long(from), stub.begin() + long(to)); };
  // Fragments of 5, 13 and the rest: not multiples of 8, still one stub.
  c.send(request(3, 11, part(0, 5), pfc::kFirstFrag));
  c.send(pdu(ptype::kCoCancel, pfc::kWhole, 3, {}));  // a cancel in between is ignored
  c.send(request(3, 11, part(5, 18), 0));
  c.send(request(3, 11, part(18, stub.size()), pfc::kLastFrag));
  EXPECT_EQ(faultOf(c.read()), 0u);
  // A call given up half-way gets no reply; the next one does.
  c.send(request(4, 11, part(0, 8), pfc::kFirstFrag));
  c.send(pdu(ptype::kOrphaned, pfc::kWhole, 4, {}));
  stillServes(c, ctx, 5);
  EXPECT_EQ(server_->host.seen().calls, 2);
  // A fragment of another call in the middle of one ends the connection.
  c.send(request(6, 11, part(0, 16), pfc::kFirstFrag));
  c.send(request(7, 11, part(16, stub.size()), pfc::kLastFrag));
  EXPECT_TRUE(c.ended());
}

class SmallStubServer : public ServerWire {
 protected:
  kestrel::rpc::ServerOptions options() override {
    kestrel::rpc::ServerOptions o;
    o.maxStub = 4096;
    return o;
  }
};

// A request larger than the limit is skipped and refused. One that never
// ends gets its fault as soon as the stub outgrows the limit, not after a
// last fragment that never arrives, and a peer that goes on sending far
// past the limit (16 times) is dropped.
TEST_F(SmallStubServer, OversizedRequestsAreRefusedAndNeverEndingOnesDropped) {
  Conn c = bound(1432);
  Bytes ctx = loadDriver(c);
  Bytes stub = openStub(ctx, std::string(6000, 'x'));
  for (size_t off = 0; off < stub.size(); off += 1400) {
    size_t end = std::min(stub.size(), off + 1400);
    uint8_t flags = uint8_t((off == 0 ? pfc::kFirstFrag : 0) | (end == stub.size() ? pfc::kLastFrag : 0));
    c.send(request(3, 11, Bytes(stub.begin() + long(off), stub.begin() + long(end)), flags));
  }
  EXPECT_EQ(faultOf(c.read()), nca::kRemoteNoMemory);
  stillServes(c, ctx);

  // A 4000-byte string fits the limit by its count; the fragments carrying
  // it push the stub past 4096 before it is complete.
  Bytes first = Builder().bytes(ctx).align(4).u32(4000).u32(0).u32(4000).done();
  first.resize(1400, 'x');
  c.send(request(4, 11, first, pfc::kFirstFrag));
  const Bytes more = request(4, 11, Bytes(1400, 'x'), 0);
  for (int i = 0; i < 3; ++i) c.send(more);
  EXPECT_EQ(faultOf(c.read()), nca::kRemoteNoMemory);
  size_t sent = 0;
  while (sent < (16u << 20) && c.send(more)) sent += more.size();
  EXPECT_LT(sent, 16u << 20) << "still reading";
  EXPECT_TRUE(c.ended());
}

}  // namespace
