// The NDR engine from memory: fragmentation as sent, reassembly with
// alignment counted from the start of the whole stub, and the checks that
// stop every read at the end of the data.
#include <gtest/gtest.h>

#include "Raw.h"
#include "rpcrt/Ndr.h"

namespace {

using namespace kestrel::rpc;
using raw::Builder;
using raw::Bytes;

// Keeps what is written.
class Capture : public Transport {
 public:
  size_t read(const iovec*, int, size_t) override { return 0; }
  void write(const iovec* iov, int n) override {
    for (int i = 0; i < n; ++i) {
      auto* p = static_cast<const uint8_t*>(iov[i].iov_base);
      bytes.insert(bytes.end(), p, p + iov[i].iov_len);
    }
  }
  Bytes bytes;
};

// Splits a captured stream into PDUs.
std::vector<Bytes> pdus(const Bytes& s) {
  std::vector<Bytes> out;
  for (size_t off = 0; off < s.size();) {
    uint16_t len = raw::u16at(s, off + raw::at::kFragLength);
    out.emplace_back(s.begin() + long(off), s.begin() + long(off + len));
    off += len;
  }
  return out;
}

TEST(NdrWriter, FragmentsCarryMultiplesOfEightAndTheTotalHint) {
  std::vector<uint8_t> external(300000);
  for (size_t i = 0; i < external.size(); ++i) external[i] = uint8_t(i * 7);
  for (size_t stub : {0u, 1u, 65503u, 65504u, 65505u, 131009u, 300000u}) {
    NdrWriter w;
    if (stub >= 8) {  // owned bytes before and after an external block
      w.put<uint16_t>(0xABCD);
      w.appendExternal(external.data(), stub - 4);
    }
    while (w.size() < stub) w.append("z", 1);
    Capture c;
    w.send(c, ptype::kRequest, 9, 3, 27, kOurMaxFrag);
    auto frags = pdus(c.bytes);
    size_t expected = stub <= 65504 ? 1 : (stub + 65503) / 65504;
    ASSERT_EQ(frags.size(), expected) << stub;
    Bytes whole;
    for (size_t i = 0; i < frags.size(); ++i) {
      const Bytes& f = frags[i];
      EXPECT_EQ(f[raw::at::kPtype], raw::ptype::kRequest);
      EXPECT_EQ(f[raw::at::kFlags], (i == 0 ? raw::pfc::kFirstFrag : 0) | (i + 1 == frags.size() ? raw::pfc::kLastFrag : 0));
      EXPECT_EQ(raw::u32at(f, raw::at::kCallId), 9u);
      EXPECT_EQ(raw::u32at(f, raw::at::kAllocHint), stub);  // the whole stub, every time
      EXPECT_EQ(raw::u16at(f, raw::at::kContextId), 3);
      EXPECT_EQ(raw::u16at(f, raw::at::kOpnum), 27);
      if (i + 1 < frags.size()) {
        EXPECT_EQ((f.size() - raw::at::kStub) % 8, 0u);
      }
      whole.insert(whole.end(), f.begin() + raw::at::kStub, f.end());
    }
    ASSERT_EQ(whole.size(), stub);
    if (stub >= 8) {
      for (size_t i = 0; i + 4 < stub; ++i) ASSERT_EQ(whole[2 + i], external[i]) << i;
    }
  }
}

// A response stream in memory, cut into fragments at the given stub offsets.
Bytes responseStream(const Bytes& stub, std::vector<size_t> cuts, uint32_t callId = 5) {
  cuts.insert(cuts.begin(), 0);
  cuts.push_back(stub.size());
  Bytes s;
  for (size_t k = 0; k + 1 < cuts.size(); ++k) {
    uint8_t flags = uint8_t((k == 0 ? 1 : 0) | (k + 2 == cuts.size() ? 2 : 0));
    Bytes f = raw::response(callId, Bytes(stub.begin() + long(cuts[k]), stub.begin() + long(cuts[k + 1])), flags);
    s.insert(s.end(), f.begin(), f.end());
  }
  return s;
}

struct Reading {
  explicit Reading(Bytes s, uint64_t limit = kMaxStub)
      : bytes(std::move(s)), t(bytes.data(), bytes.size()), in(t) {
    PduHeader h;
    EXPECT_TRUE(in.readHeader(h));
    in.need(8);
    in.consume(8);
    NdrReader::Options o;
    o.callId = 5;
    o.limit = limit;
    r.emplace(in, o, h.fragLength - 24, h.flags & pfc::kLastFrag);
  }
  Bytes bytes;
  MemoryTransport t;
  PduReader in;
  std::optional<NdrReader> r;
};

// Alignment counts from the start of the whole stub; a large block is
// gather-read across uniform fragments, and uneven ones break the read's
// prediction at some fragment, where the bytes go back to the ordinary path.
TEST(NdrReader, ReassemblesAcrossOddUniformAndUnevenFragments) {
  Bytes big(20000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 31 + (i >> 8));
  Bytes stub = Builder().u16(0x1122).align(8).u64(0x0102030405060708ull).u32(7).bytes(big).align(8).u64(42).done();
  const std::vector<std::vector<size_t>> layouts = {
      {}, {1}, {3, 9}, {7, 8, 12, 13},
      {2000, 4000, 6000, 8000, 10000, 12000, 14000, 16000, 18000, 20000},
      {2000, 4000, 7000, 9000},  // a longer fragment in the middle
      {2000, 3000, 5000},        // a shorter one
      {2000, 4000, 4001, 6001},  // a one-byte fragment
      {1500, 3000, 20012},       // the block ends inside the last fragment
  };
  for (const auto& cuts : layouts) {
    Reading rd(responseStream(stub, cuts));
    NdrReader& r = *rd.r;
    EXPECT_EQ(r.get<uint16_t>(), 0x1122);
    EXPECT_EQ(r.get<uint64_t>(), 0x0102030405060708ull);
    EXPECT_EQ(r.getU32(), 7u);
    Bytes got(big.size());
    r.read(got.data(), got.size());
    size_t bad = 0;
    while (bad < got.size() && got[bad] == big[bad]) ++bad;
    ASSERT_EQ(bad, big.size()) << "layout of " << cuts.size() << " cuts";
    EXPECT_EQ(r.get<uint64_t>(), 42u);
    EXPECT_NO_THROW(r.expectEnd());
    EXPECT_TRUE(r.complete());
  }
}

TEST(NdrReader, StubBeyondTheLimitOrFromAnotherCallIsAProtocolError) {
  Reading large(responseStream(Bytes(3000, 1), {1000, 2000}), 1500);
  Bytes got(3000);
  EXPECT_THROW(large.r->read(got.data(), got.size()), ProtocolError);

  Bytes s = responseStream(Builder().u32(1).done(), {});
  s[raw::at::kFlags] = raw::pfc::kFirstFrag;  // not the last fragment
  Bytes other = raw::response(6, Builder().u32(2).done(), raw::pfc::kLastFrag);
  s.insert(s.end(), other.begin(), other.end());
  Reading rd(s);
  rd.r->getU32();
  EXPECT_THROW(rd.r->getU32(), ProtocolError);
}

TEST(NdrReader, DrainSkipsToTheEndOfTheStub) {
  Bytes s = responseStream(Bytes(10000, 3), {100, 5000});
  Bytes after = raw::fault(9, 1);
  s.insert(s.end(), after.begin(), after.end());
  Reading rd(s);
  rd.r->getU32();
  rd.r->drain();
  EXPECT_TRUE(rd.r->complete());
  PduHeader h;
  ASSERT_TRUE(rd.in.readHeader(h));  // the stream is at the next PDU
  EXPECT_EQ(h.ptype, ptype::kFault);
  EXPECT_EQ(h.callId, 9u);
}

}  // namespace
