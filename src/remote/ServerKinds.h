// Server side of each parameter kind of ProxyInterface.def.
//
// Every kind K offers, for a parameter held in a `K::Local v`:
//   K::decode(call, v, counts...)   decodes an [in] value, checking it
//   K::arg(v)                       the value handed to the method
//   K::encode(call, v, counts...)   encodes an [out] value into the reply
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "remote/ProxyServer.h"

namespace kestrel::remote::sk {

using rpc::NdrReader;
using rpc::NdrWriter;
using rpc::raise;
using rpc::raiseStub;
using rpc::ServerCall;

inline constexpr uint32_t kFirstReferent = 0x00020000;

struct InOnly {
  template <class... A>
  static void encode(ServerCall&, A&&...) {}
};
struct OutOnly {
  template <class... A>
  static void decode(ServerCall&, A&&...) {}
};

template <class T>
struct Scalar : InOnly {
  using Local = T;
  static void decode(ServerCall& c, T& v) { v = c.in().get<T>(); }
  static T arg(T v) { return v; }
};
struct Long : Scalar<int32_t> {};
struct Short : Scalar<int16_t> {};
struct Hyper : Scalar<int64_t> {};
struct Double : Scalar<double> {};

// n elements into call memory that grows with what arrives
// (NdrReader::readGrowing): a count from the wire is not trusted with an
// allocation of its size. Outgrown slices stay until the call ends.
template <class T>
const T* readInto(ServerCall& c, uint32_t n) {
  return c.in().readGrowing<T>(n, [&](size_t k) { return static_cast<T*>(c.allocate(k * sizeof(T))); });
}

// A conformant varying string into call memory. bound < 0: any max_count.
template <class Ch>
const Ch* decodeString(ServerCall& c, int64_t bound = -1) {
  NdrReader& r = c.in();
  r.align(4);
  uint32_t max = 0;
  uint32_t units = r.getStringHeader(&max);
  if (bound >= 0 && max != bound) raiseStub(RPC_X_INVALID_BOUND);
  const Ch* s = readInto<Ch>(c, units);
  NdrReader::checkTerminated(s, units);
  return s;
}

template <class Ch>
struct StringOf : InOnly {
  using Local = const Ch*;
  static void decode(ServerCall& c, const Ch*& v) { v = decodeString<Ch>(c); }
  static const Ch* arg(const Ch* v) { return v; }
};
struct String : StringOf<RpcChar> {};
struct WString : StringOf<RpcWChar> {};

// The conformance of a sized [in] array must match its size parameter.
inline uint32_t decodeConformance(NdrReader& r, int32_t n) {
  r.align(4);
  uint32_t max = r.getU32();
  if (n < 0) raiseStub(RPC_X_INVALID_BOUND);
  if (max != uint32_t(n)) raiseStub(RPC_X_BAD_STUB_DATA);
  return max;
}

template <class T>
struct ArrayOf : InOnly {
  using Local = const T*;
  static void decode(ServerCall& c, const T*& v, int32_t n) {
    NdrReader& r = c.in();
    uint32_t count = decodeConformance(r, n);
    r.align(alignof(T));
    v = readInto<T>(c, count);
  }
  static const T* arg(const T* v) { return v; }
};
struct Bytes : ArrayOf<RpcChar> {};
struct Longs : ArrayOf<int32_t> {};

struct Strings : InOnly {
  using Local = const RpcChar* const*;
  static void decode(ServerCall& c, Local& v, int32_t n, int64_t bound = -1) {
    NdrReader& r = c.in();
    uint32_t count = decodeConformance(r, n);
    std::vector<uint32_t> referents;
    r.getReferents(count, referents);
    auto** a = static_cast<const RpcChar**>(c.allocate(count * sizeof(const RpcChar*)));
    for (uint32_t i = 0; i < count; ++i) a[i] = referents[i] ? decodeString<RpcChar>(c, bound) : nullptr;
    v = a;
  }
  static Local arg(Local v) { return v; }
};
struct BoundedStrings : Strings {
  static void decode(ServerCall& c, Local& v, int32_t n, int32_t m) {
    // Every string's max_count is m; none fits a bound below 1.
    Strings::decode(c, v, n, m < 1 ? INT64_MAX : m);
  }
};

// ---- handles -----------------------------------------------------------------

struct Binding : InOnly {
  using Local = const rpc::CallerInfo*;
  static void decode(ServerCall& c, Local& v) { v = &c.caller(); }
  static const rpc::CallerInfo& arg(Local v) { return *v; }
};

inline rpc::ContextWire decodeContext(NdrReader& r) {
  rpc::ContextWire w;
  r.align(4);
  r.read(w.data(), w.size());
  return w;
}

struct CallCtx : InOnly {
  using Local = rpc::ContextObject*;
  static void decode(ServerCall& c, Local& v) { v = &c.useContext(decodeContext(c.in())); }
  // Every context object of this interface is made by LoadDriver.
  static DriverContext& arg(Local v) { return static_cast<DriverContext&>(*v); }
};

struct DriverCtxInOut {
  using Local = std::unique_ptr<rpc::ContextObject>;
  static void decode(ServerCall& c, Local& v) { v = c.closeContext(decodeContext(c.in())); }
  static std::unique_ptr<DriverContext> arg(Local& v) {
    return std::unique_ptr<DriverContext>(static_cast<DriverContext*>(v.release()));
  }
  // The context is gone: the reply carries the null handle.
  static void encode(ServerCall& c, Local&) {
    c.out().align(4);
    rpc::ContextWire none{};
    c.out().append(none.data(), none.size());
  }
};

// ---- [out] kinds -------------------------------------------------------------

template <class T>
struct OutScalar : OutOnly {
  using Local = T;
  static T& arg(T& v) { return v; }
  static void encode(ServerCall& c, T& v) { c.out().put<T>(v); }
};
struct OutLong : OutScalar<int32_t> {};
struct OutDouble : OutScalar<double> {};

template <class Ch>
void encodeString(NdrWriter& w, const Ch* s, int64_t bound = -1) {
  uint64_t units = std::char_traits<Ch>::length(s) + 1;
  if (units > (bound < 0 ? UINT32_MAX : uint64_t(bound))) raise(RPC_X_INVALID_BOUND);
  w.align(4);
  w.putU32(uint32_t(bound < 0 ? units : uint64_t(bound)));
  w.putU32(0);
  w.putU32(uint32_t(units));
  // Copied: the text does not outlive the method's frame.
  w.append(s, size_t(units) * sizeof(Ch));
}

template <class Ch>
struct OutStringOf : OutOnly {
  using Local = OutText<Ch>;
  static Local& arg(Local& v) { return v; }
  static void encode(ServerCall& c, Local& v) {
    NdrWriter& w = c.out();
    w.align(4);
    w.putU32(v.isNull() ? 0 : kFirstReferent);
    if (!v.isNull()) encodeString(w, v.c_str());
  }
};
struct OutString : OutStringOf<RpcChar> {};
struct OutWString : OutStringOf<RpcWChar> {};

template <class T>
struct OutArrayOf : OutOnly {
  using Local = OutBlock<T>;
  static Local& arg(Local& v) { return v; }
  static void encode(ServerCall& c, Local& v, int32_t n) {
    // Released after the send, whatever happens from here on.
    if (auto release = v.takeRelease()) c.afterSend(std::move(release));
    NdrWriter& w = c.out();
    w.align(4);
    if (!v.data()) {
      w.putU32(0);
      return;
    }
    if (n < 0) raise(RPC_X_INVALID_BOUND);
    w.putU32(kFirstReferent);
    w.putU32(uint32_t(n));
    w.align(alignof(T));
    w.appendExternal(v.data(), size_t(n) * sizeof(T));
  }
};
struct OutBytes : OutArrayOf<RpcChar> {};
struct OutDoubles : OutArrayOf<double> {};

struct OutStrings : OutOnly {
  using Local = OutStringArray;
  static Local& arg(Local& v) { return v; }
  static void encode(ServerCall& c, Local& v, int32_t n, int32_t m) {
    NdrWriter& w = c.out();
    w.align(4);
    if (v.isNull()) {
      w.putU32(0);
      return;
    }
    if (n < 0 || v.size() != size_t(n)) raise(RPC_X_INVALID_BOUND);
    w.putU32(kFirstReferent);
    w.putU32(uint32_t(n));
    uint32_t referent = kFirstReferent + 4;
    for (size_t i = 0; i < v.size(); ++i, referent += 4) w.putU32(v.at(i) ? referent : 0);
    for (size_t i = 0; i < v.size(); ++i)
      if (v.at(i)) encodeString(w, v.at(i), m < 1 ? 0 : m);
  }
};

// ---- results -------------------------------------------------------------------

template <class T>
struct ScalarResult {
  using Held = T;
  template <class F>
  static T invoke(F&& f) {
    return f();
  }
  static T neutral() { return T{}; }
  static void encode(ServerCall& c, T v) { c.out().put<T>(v); }
};

struct VoidResult {
  struct Held {};
  template <class F>
  static Held invoke(F&& f) {
    f();
    return {};
  }
  static Held neutral() { return {}; }
  static void encode(ServerCall&, Held) {}
};

struct NewDriverCtxResult {
  using Held = std::unique_ptr<DriverContext>;
  template <class F>
  static Held invoke(F&& f) {
    return f();
  }
  static Held neutral() { return nullptr; }
  static void encode(ServerCall& c, Held& v) {
    rpc::ContextWire w = c.newContext(std::move(v));
    c.out().align(4);
    c.out().append(w.data(), w.size());
  }
};

template <class Tag>
struct ResultOf;
template <>
struct ResultOf<Long> : ScalarResult<int32_t> {};
template <>
struct ResultOf<Short> : ScalarResult<int16_t> {};
struct Void;
template <>
struct ResultOf<Void> : VoidResult {};
struct NewDriverCtx;
template <>
struct ResultOf<NewDriverCtx> : NewDriverCtxResult {};

}  // namespace kestrel::remote::sk
