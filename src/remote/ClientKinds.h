// Client side of each parameter kind of ProxyInterface.def.
//
// Every kind K offers, for a parameter `x` of client type K::Arg:
//   auto v = K::view(call, x);        checks x before anything is sent
//   K::put(request, v, counts...);     marshals an [in] value
//   K::get(reply, v, counts...);       decodes an [out] value into v
//   K::commit(x, v);                   hands it to the caller once the
//                                      whole reply has been decoded
// so that a reply that fails half-way hands nothing to the caller.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "remote/ProxyTypes.h"
#include "rpcrt/Client.h"

namespace kestrel::remote::ck {

using rpc::ClientCall;
using rpc::NdrReader;
using rpc::NdrWriter;
using rpc::raise;
using rpc::raiseStub;

inline constexpr uint32_t kFirstReferent = 0x00020000;

// What an [in] kind does on the reply side: nothing.
struct InOnly {
  template <class... A>
  static void get(NdrReader&, A&&...) {}
  template <class... A>
  static void commit(A&&...) {}
};
// What an [out] kind does on the request side: nothing.
struct OutOnly {
  template <class... A>
  static void put(NdrWriter&, A&&...) {}
};

// The count that sizes an array: an [in] long, or an [out] long decoded
// earlier in the same reply.
inline int32_t countOf(int32_t v) { return v; }

template <class T>
struct Scalar : InOnly {
  using Arg = T;
  static T view(ClientCall&, T v) { return v; }
  static void put(NdrWriter& w, T v) { w.put<T>(v); }
};
struct Long : Scalar<int32_t> {};
struct Short : Scalar<int16_t> {};
struct Hyper : Scalar<int64_t> {};
struct Double : Scalar<double> {};

template <class Ch>
inline void putString(NdrWriter& w, const Ch* s, uint64_t maxCount) {
  uint64_t units = std::char_traits<Ch>::length(s) + 1;
  if (units > maxCount) raise(RPC_X_INVALID_BOUND);
  w.align(4);
  w.putU32(uint32_t(maxCount));
  w.putU32(0);
  w.putU32(uint32_t(units));
  w.appendExternal(s, units * sizeof(Ch));
}

template <class Ch>
struct StringOf : InOnly {
  using Arg = const Ch*;
  static const Ch* view(ClientCall&, const Ch* s) {
    if (!s) raise(RPC_X_NULL_REF_POINTER);
    return s;
  }
  static void put(NdrWriter& w, const Ch* s) {
    uint64_t units = std::char_traits<Ch>::length(s) + 1;
    putString(w, s, units > UINT32_MAX ? 0 : units);
  }
};
struct String : StringOf<RpcChar> {};
struct WString : StringOf<RpcWChar> {};

template <class T>
struct ArrayOf : InOnly {
  using Arg = const T*;
  static const T* view(ClientCall&, const T* p) {
    if (!p) raise(RPC_X_NULL_REF_POINTER);
    return p;
  }
  static void put(NdrWriter& w, const T* p, int32_t n) {
    if (n < 0) raise(RPC_X_INVALID_BOUND);
    w.align(4);
    w.putU32(uint32_t(n));
    w.align(alignof(T));
    w.appendExternal(p, size_t(n) * sizeof(T));
  }
};
struct Bytes : ArrayOf<RpcChar> {};
struct Longs : ArrayOf<int32_t> {};

struct Strings : InOnly {
  using Arg = RpcCChar**;
  static RpcCChar** view(ClientCall&, RpcCChar** a) {
    if (!a) raise(RPC_X_NULL_REF_POINTER);
    return a;
  }
  // bound < 0: each string's max_count is its own length.
  static void put(NdrWriter& w, RpcCChar** a, int32_t n, int64_t bound = -1) {
    if (n < 0) raise(RPC_X_INVALID_BOUND);
    w.align(4);
    w.putU32(uint32_t(n));
    uint32_t referent = kFirstReferent;
    for (int32_t i = 0; i < n; ++i) {
      w.putU32(a[i] ? referent : 0);
      referent += 4;
    }
    for (int32_t i = 0; i < n; ++i) {
      if (!a[i]) continue;
      if (bound < 0)
        String::put(w, a[i]);
      else
        putString(w, a[i], uint64_t(bound));
    }
  }
};
struct BoundedStrings : Strings {
  static void put(NdrWriter& w, RpcCChar** a, int32_t n, int32_t m) {
    // A non-null string never fits a bound below 1.
    Strings::put(w, a, n, m < 0 ? 0 : m);
  }
};

// ---- handles -----------------------------------------------------------------

struct Binding : InOnly {
  using Arg = handle_t;
  static int view(ClientCall& c, handle_t h) {
    auto a = rpc::resolveBinding(h);
    if (!a) raise(RPC_S_INVALID_BINDING);
    c.setAssociation(std::move(a));
    return 0;
  }
  static void put(NdrWriter&, int) {}  // the binding handle is not marshalled
};

struct CallCtx : InOnly {
  using Arg = RpcDriverCallCtx;
  static std::shared_ptr<rpc::ClientContext> view(ClientCall& c, RpcDriverCallCtx h) {
    auto ctx = rpc::resolveContext(h);
    c.setAssociation(ctx->association);
    return ctx;
  }
  static void put(NdrWriter& w, const std::shared_ptr<rpc::ClientContext>& ctx) {
    w.align(4);
    w.append(ctx->wire.data(), ctx->wire.size());
  }
};

struct DriverCtxInOut {
  using Arg = RpcDriverCtx*;
  struct Held {
    std::shared_ptr<rpc::ClientContext> ctx;
    rpc::ContextWire reply{};
  };
  static Held view(ClientCall& c, RpcDriverCtx* p) {
    if (!p) raise(RPC_X_NULL_REF_POINTER);
    Held h{CallCtx::view(c, *p), {}};
    return h;
  }
  static void put(NdrWriter& w, const Held& h) { CallCtx::put(w, h.ctx); }
  static void get(NdrReader& r, Held& h) {
    r.align(4);
    r.read(h.reply.data(), h.reply.size());
  }
  static void commit(RpcDriverCtx* p, Held& h) {
    if (h.reply == h.ctx->wire) return;
    // Null (the normal answer): the context is gone. Another handle: it
    // replaces ours, in the same association.
    void* old = *p;
    *p = std::all_of(h.reply.begin(), h.reply.end(), [](uint8_t b) { return b == 0; })
             ? nullptr
             : rpc::newContextHandle(h.ctx->association, h.reply);
    rpc::destroyContextHandle(old);
  }
};

// ---- [out] kinds -------------------------------------------------------------

template <class T>
struct OutScalar : OutOnly {
  using Arg = T*;
  struct Held {
    T value{};
  };
  static Held view(ClientCall&, T* p) {
    if (!p) raise(RPC_X_NULL_REF_POINTER);
    return {};
  }
  static void get(NdrReader& r, Held& h) { h.value = r.get<T>(); }
  static void commit(T* p, Held& h) { *p = h.value; }
};
struct OutLong : OutScalar<int32_t> {};
struct OutDouble : OutScalar<double> {};
inline int32_t countOf(const OutLong::Held& h) { return h.value; }

template <class P>
inline void checkOut(P* p) {
  if (!p) raise(RPC_X_NULL_REF_POINTER);
}

// A unique pointer to a block allocated with new[] for the caller.
template <class T>
struct OutBlockOf : OutOnly {
  using Arg = T**;
  using Held = std::unique_ptr<T[]>;
  static Held view(ClientCall&, T** p) {
    checkOut(p);
    return nullptr;
  }
  static void commit(T** p, Held& h) { *p = h.release(); }
};

// n elements into a new[] block for the caller, the block growing with
// what arrives (NdrReader::readGrowing): a count from the wire is not
// trusted with an allocation of its size.
template <class T>
inline void readBlock(NdrReader& r, std::unique_ptr<T[]>& h, uint32_t n) {
  std::unique_ptr<T[]> previous;  // alive while its bytes are copied over
  r.readGrowing<T>(n, [&](size_t k) {
    previous = std::move(h);
    h.reset(new T[k]);
    return h.get();
  });
}

template <class Ch>
struct OutStringOf : OutBlockOf<Ch> {
  using Held = typename OutBlockOf<Ch>::Held;
  static void get(NdrReader& r, Held& h) {
    if (r.getU32() == 0) return;  // null
    uint32_t n = r.getStringHeader();
    readBlock(r, h, n);
    NdrReader::checkTerminated(h.get(), n);
  }
};
struct OutString : OutStringOf<RpcChar> {};
struct OutWString : OutStringOf<RpcWChar> {};

template <class T>
struct OutArrayOf : OutBlockOf<T> {
  using Held = typename OutBlockOf<T>::Held;
  template <class Count>
  static void get(NdrReader& r, Held& h, const Count& count) {
    if (r.getU32() == 0) return;  // null
    uint32_t n = r.getU32();
    if (countOf(count) < 0 || n != uint32_t(countOf(count))) raiseStub(RPC_X_BAD_STUB_DATA);
    r.align(alignof(T));
    // The bytes land straight in the caller's block.
    readBlock(r, h, n);
  }
};
struct OutBytes : OutArrayOf<RpcChar> {};
struct OutDoubles : OutArrayOf<double> {};

struct OutStrings : OutOnly {
  using Arg = RpcChar***;
  struct Held {
    RpcChar** array = nullptr;
    uint32_t count = 0;
    Held() = default;
    Held(Held&& o) noexcept : array(std::exchange(o.array, nullptr)), count(o.count) {}
    Held& operator=(Held&&) = delete;
    ~Held() {
      if (!array) return;
      for (uint32_t i = 0; i < count; ++i) delete[] array[i];
      delete[] array;
    }
  };
  static Held view(ClientCall&, RpcChar*** p) {
    checkOut(p);
    return {};
  }
  template <class Count>
  static void get(NdrReader& r, Held& h, const Count& count, int32_t bound) {
    if (r.getU32() == 0) return;  // null array
    uint32_t n = r.getU32();
    if (countOf(count) < 0 || n != uint32_t(countOf(count))) raiseStub(RPC_X_BAD_STUB_DATA);
    std::vector<uint32_t> referents;
    r.getReferents(n, referents);
    h.array = new RpcChar*[n]();
    h.count = n;
    for (uint32_t i = 0; i < n; ++i) {
      if (!referents[i]) continue;
      uint32_t max = 0;
      uint32_t units = r.getStringHeader(&max);
      if (bound < 1 || max != uint32_t(bound)) raiseStub(RPC_X_INVALID_BOUND);
      std::unique_ptr<RpcChar[]> s;
      readBlock(r, s, units);
      h.array[i] = s.release();
      NdrReader::checkTerminated(h.array[i], units);
    }
  }
  static void commit(RpcChar*** p, Held& h) { *p = std::exchange(h.array, nullptr); }
};

// ---- results -------------------------------------------------------------------

template <class T>
struct ScalarResult {
  using Type = T;
  using Held = T;
  static void get(NdrReader& r, T& v) { v = r.get<T>(); }
  static T commit(ClientCall&, T v) { return v; }
};
struct LongResult : ScalarResult<int32_t> {};
struct ShortResult : ScalarResult<int16_t> {};

struct VoidResult {
  using Type = void;
  struct Held {};
  static void get(NdrReader&, Held&) {}
  static void commit(ClientCall&, Held&) {}
};

struct NewDriverCtxResult {
  using Type = RpcDriverCtx;
  using Held = rpc::ContextWire;
  static void get(NdrReader& r, Held& w) {
    r.align(4);
    r.read(w.data(), w.size());
  }
  static RpcDriverCtx commit(ClientCall& c, const Held& w) {
    bool null = std::all_of(w.begin(), w.end(), [](uint8_t b) { return b == 0; });
    return null ? nullptr : rpc::newContextHandle(c.association(), w);
  }
};

// Result names as the table spells them.
template <class Tag>
struct ResultOf;
struct Long;
template <>
struct ResultOf<Long> : LongResult {};
template <>
struct ResultOf<Short> : ShortResult {};
struct Void;
template <>
struct ResultOf<Void> : VoidResult {};
struct NewDriverCtx;
template <>
struct ResultOf<NewDriverCtx> : NewDriverCtxResult {};

}  // namespace kestrel::remote::ck
