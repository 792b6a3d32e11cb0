// The NDR writer from memory: how a stub is cut into fragments. (Reading
// is tested against raw peers in ClientWireTest and ServerWireTest.)
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

}  // namespace
