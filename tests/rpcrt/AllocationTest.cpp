// What a lying reply costs the client in memory: this executable replaces
// the global operator new and delete, and notes the largest single request
// the calling thread makes while a call runs. A count near the stub limit
// in a reply of a few bytes, or an alloc_hint of 4 GiB, must not make the
// client allocate anything like that size; a large reply that really
// arrives shows the measurement sees what it should.
//
// Under AddressSanitizer these definitions take the place of the
// sanitizer's own operator new/delete for this executable (they allocate
// with malloc, which it still checks); only its new/delete mismatch check
// is lost here.
//
// GCC sees our delete (free) inlined next to our new and takes them for a
// mismatched pair: they are a matched pair by construction.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#include <cstdlib>
#include <new>

#include "RawServer.h"

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

using raw::Builder;
using raw::Bytes;
using rawserver::Calls;

// Far below every hostile size of the cases (256 MiB and more), above what
// a call needs for itself.
constexpr size_t kBound = 256 << 10;

class ClientAllocation : public rawserver::RawServerTest {
 protected:
  // The status of `call` against a one-PDU reply, and the largest single
  // allocation the call made.
  std::pair<uint32_t, size_t> measure(uint32_t (*call)(RpcDriverCtx), const Bytes& pdu) {
    size_t largest = 0;
    uint32_t st = replyWith(
        [&](uint32_t id) {
          Bytes p = pdu;
          std::memcpy(p.data() + 12, &id, 4);
          return std::vector<Bytes>{p};
        },
        [&](RpcDriverCtx ctx) {
          t_largest = 0;
          t_measuring = true;
          uint32_t s = call(ctx);
          t_measuring = false;
          largest = t_largest;
          return s;
        });
    return {st, largest};
  }
};

TEST_F(ClientAllocation, LyingCountsAndHintsCostOnlyWhatArrived) {
  Bytes hinted = raw::response(0, rawserver::blockStub(3, {1, 2, 3}, 3));
  const uint32_t kHint = 0xFFFFFFFF;
  std::memcpy(hinted.data() + 16, &kHint, 4);
  auto string = [](uint32_t count) {
    return Builder().u32(0x20000).str(std::string("ab\0", 3), count, 0, count).align(4).u32(0).u32(0).done();
  };
  struct Case {
    const char* what;
    uint32_t (*call)(RpcDriverCtx);
    Bytes pdu;
    uint32_t status;
  } cases[] = {
      {"alloc_hint 4 GiB", Calls::block, hinted, 0},
      {"block count under the limit", Calls::block,
       raw::response(0, Builder().u32(0x0FFFFFF0).u32(0x20000).u32(0x0FFFFFF0).u64(0).done()),
       RPC_X_BAD_STUB_DATA},
      {"block count 2^31-1", Calls::block,
       raw::response(0, Builder().u32(0x7FFFFFFF).u32(0x20000).u32(0x7FFFFFFF).u64(0).done()),
       RPC_S_PROTOCOL_ERROR},
      {"doubles count under the limit", Calls::doubles,
       raw::response(0, Builder().u32(0x01FFFFF0).u32(0x20000).u32(0x01FFFFF0).u64(0).u64(0).done()),
       RPC_X_BAD_STUB_DATA},
      {"string count under the limit", Calls::string, raw::response(0, string(0x0FFFFFF0)),
       RPC_X_BAD_STUB_DATA},
      {"string count 2^31", Calls::string, raw::response(0, string(0x80000000)), RPC_S_PROTOCOL_ERROR},
      {"wstring count under the limit", Calls::wstring,
       raw::response(0, Builder().u32(0x20000).u32(0x07FFFFF0).u32(0).u32(0x07FFFFF0).u32(0x61).done()),
       RPC_X_BAD_STUB_DATA},
      {"string array count under the limit", Calls::strings,
       raw::response(0, Builder().u32(0x03FFFFF0).u32(0x20000).u32(0x03FFFFF0).u32(0x20004).done()),
       RPC_X_BAD_STUB_DATA},
  };
  for (const auto& k : cases) {
    auto [status, largest] = measure(k.call, k.pdu);
    EXPECT_EQ(status, k.status) << k.what;
    EXPECT_LE(largest, kBound) << k.what;
  }
}

// The measurement itself: a block that really arrives is allocated whole.
TEST_F(ClientAllocation, ABlockThatArrivesIsAllocated) {
  constexpr uint32_t kSize = 3 << 20;
  size_t largest = 0;
  EXPECT_EQ(against(
                [](raw::Conn& c, uint32_t id) {
                  Bytes stub = rawserver::blockStub(kSize, Bytes(kSize, 7), kSize);
                  for (size_t off = 0; off < stub.size(); off += 65504) {
                    size_t end = std::min(stub.size(), off + 65504);
                    uint8_t flags = uint8_t((off == 0 ? 1 : 0) | (end == stub.size() ? 2 : 0));
                    c.send(raw::response(id, Bytes(stub.begin() + long(off), stub.begin() + long(end)), flags));
                  }
                },
                [&](RpcDriverCtx ctx) {
                  t_largest = 0;
                  t_measuring = true;
                  uint32_t s = Calls::block(ctx);
                  t_measuring = false;
                  largest = t_largest;
                  return s;
                }),
            0u);
  EXPECT_GE(largest, kSize);
}

}  // namespace
