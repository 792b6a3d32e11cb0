// Every procedure of the table, called through its client function against
// the echo host: every [in] value must arrive intact (the result is their
// hash) and every [out] value must come back as the host made it.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "EchoModel.h"
#include "TestSupport.h"

namespace echo::client {

namespace ctype = kestrel::remote::ctype;

class Sampler {
 public:
  Sampler(uint64_t op, handle_t b, RpcDriverCallCtx c) : state_(op * 0x2545F4914F6CDD1Dull + 1), binding(b), ctx(c) {}
  uint64_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  int32_t small() { return int32_t(next() % 6); }  // doubles as a count or a bound

 private:
  uint64_t state_;

 public:
  handle_t binding;
  RpcDriverCallCtx ctx;
};

struct In {
  template <class... A>
  static void check(A&&...) {}
  template <class... A>
  static void release(A&&...) {}
};
struct Out {
  template <class... A>
  static void hash(A&&...) {}
};

template <class T>
struct Value : In {
  static T pass(T v) { return v; }
  static void hash(Hasher& h, T v) { h.mixValue(v); }
};
struct Long : Value<int32_t> {
  static int32_t sample(Sampler& s) { return s.small(); }
};
struct Short : Value<int16_t> {
  static int16_t sample(Sampler& s) { return int16_t(s.next()); }
};
struct Hyper : Value<int64_t> {
  static int64_t sample(Sampler& s) { return int64_t(s.next()); }
};
struct Double : Value<double> {
  static double sample(Sampler& s) { return double(s.next() % 100000) / 7.0; }
};
struct String : In {
  static std::string sample(Sampler& s) { return "s" + std::to_string(s.next() % 1000000); }
  static const char* pass(const std::string& v) { return v.c_str(); }
  static void hash(Hasher& h, const std::string& v) { hashText(h, v.c_str()); }
};
struct WString : In {
  static std::u16string sample(Sampler& s) {
    return u"w\u00fc\u4e2d" + std::u16string(size_t(s.next() % 9), u'x');
  }
  static const char16_t* pass(const std::u16string& v) { return v.c_str(); }
  static void hash(Hasher& h, const std::u16string& v) { hashText(h, v.c_str()); }
};
template <class T>
struct Array : In {
  static std::vector<T> sample(Sampler& s, int32_t n) {
    std::vector<T> v(size_t(std::max(n, 1)));  // never a null pointer, even for 0
    for (auto& x : v) x = T(s.next());
    return v;
  }
  static const T* pass(const std::vector<T>& v) { return v.data(); }
  static void hash(Hasher& h, const std::vector<T>& v, int32_t n) {
    h.mixValue(n);
    h.mix(v.data(), size_t(n) * sizeof(T));
  }
};
struct Bytes : Array<char> {};
struct Longs : Array<int32_t> {};

struct TextArray {
  std::vector<std::string> texts;
  std::vector<const char*> ptrs;
};
struct Strings : In {
  static TextArray sample(Sampler& s, int32_t n, int32_t m = 1000) {
    TextArray a;
    a.texts.resize(size_t(std::max(n, 1)));
    a.ptrs.resize(a.texts.size());
    for (size_t i = 0; i < size_t(n); ++i) {
      if (i % 3 == 1 || m < 1) continue;  // some null entries
      a.texts[i] = std::string(size_t(s.next() % size_t(m)), char('A' + i % 26));
      a.ptrs[i] = a.texts[i].c_str();
    }
    return a;
  }
  static RpcCChar** pass(TextArray& a) { return a.ptrs.data(); }
  static void hash(Hasher& h, const TextArray& a, int32_t n) { hashTexts(h, a.ptrs.data(), n); }
};
struct BoundedStrings : Strings {
  static void hash(Hasher& h, const TextArray& a, int32_t n, int32_t m) {
    h.mixValue(m);
    hashTexts(h, a.ptrs.data(), n);
  }
};
struct CallCtx : In {
  static RpcDriverCallCtx sample(Sampler& s) { return s.ctx; }
  static RpcDriverCallCtx pass(RpcDriverCallCtx c) { return c; }
  static void hash(Hasher& h, RpcDriverCallCtx) { h.mixValue(idOfDriver("echo")); }
};
struct Binding : In {
  static handle_t sample(Sampler& s) { return s.binding; }
  static handle_t pass(handle_t b) { return b; }
  static void hash(Hasher&, handle_t) {}
};
struct DriverCtxInOut : Out {
  static RpcDriverCtx sample(Sampler& s) { return rpc_LoadDriver(s.binding, "unload-me"); }
  static RpcDriverCtx* pass(RpcDriverCtx& c) { return &c; }
  static void check(RpcDriverCtx c, uint64_t) { EXPECT_EQ(c, nullptr); }
  static void release(RpcDriverCtx) {}
};

template <class T>
struct OutScalar : Out {
  static T sample(Sampler&) { return T(-12345); }
  static T* pass(T& v) { return &v; }
  template <class... A>
  static void release(A&&...) {}
};
struct OutLong : OutScalar<int32_t> {
  static void check(int32_t v, uint64_t seed) { EXPECT_EQ(v, outLong(seed)); }
};
struct OutDouble : OutScalar<double> {
  static void check(double v, uint64_t seed) { EXPECT_EQ(v, outDouble(seed)); }
};
template <class T>
struct OutPointer : Out {
  template <class... A>
  static T* sample(Sampler&, A&&...) {
    return nullptr;
  }
  static T** pass(T*& p) { return &p; }
  template <class... A>
  static void release(T* p, A&&...) {
    delete[] p;
  }
};
struct OutString : OutPointer<char> {
  static void check(const char* p, uint64_t seed) {
    auto t = outText(seed);
    if (!t) {
      EXPECT_EQ(p, nullptr);
      return;
    }
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p), *t);
  }
};
struct OutWString : OutPointer<char16_t> {
  static void check(const char16_t* p, uint64_t seed) {
    auto t = outWText(seed);
    if (!t) {
      EXPECT_EQ(p, nullptr);
      return;
    }
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::u16string(p), *t);
  }
};
struct OutBytes : OutPointer<char> {
  static void check(const char* p, uint64_t seed, int32_t n) {
    if (outNull(seed)) {
      EXPECT_EQ(p, nullptr);
      return;
    }
    ASSERT_NE(p, nullptr);
    for (size_t i = 0; i < size_t(n); ++i) ASSERT_EQ(p[i], outByte(seed, i)) << i;
  }
};
struct OutDoubles : OutPointer<double> {
  static void check(const double* p, uint64_t seed, int32_t n) {
    if (outNull(seed)) {
      EXPECT_EQ(p, nullptr);
      return;
    }
    ASSERT_NE(p, nullptr);
    for (size_t i = 0; i < size_t(n); ++i) ASSERT_EQ(p[i], outDoubleAt(seed, i)) << i;
  }
};
// Frees an out string array: the strings first, then the array.
inline void freeArray(char** p, int32_t n) {
  if (!p) return;
  for (int32_t i = 0; i < n; ++i) delete[] p[i];
  delete[] p;
}

struct OutStrings : Out {
  template <class... A>
  static char** sample(Sampler&, A&&...) {
    return nullptr;
  }
  static char*** pass(char**& p) { return &p; }
  static void check(char** p, uint64_t seed, int32_t n, int32_t m) {
    if (outArrayNull(seed, n)) {
      EXPECT_EQ(p, nullptr);
      return;
    }
    ASSERT_NE(p, nullptr);
    for (size_t i = 0; i < size_t(n); ++i) {
      auto t = outArrayItem(seed, i, m);
      if (!t) {
        EXPECT_EQ(p[i], nullptr) << i;
      } else {
        ASSERT_NE(p[i], nullptr) << i;
        EXPECT_EQ(std::string(p[i]), *t);
      }
    }
  }
  static void release(char** p, int32_t n, int32_t) { freeArray(p, n); }
};

template <class R>
struct Result {
  template <class F>
  static void check(F&& call, const Hasher& h) {
    EXPECT_EQ(call(), R(h.value()));
  }
};
template <>
struct Result<void> {
  template <class F>
  static void check(F&& call, const Hasher&) {
    call();
  }
};
template <>
struct Result<RpcDriverCtx> {
  template <class F>
  static void check(F&& call, const Hasher&) {
    RpcDriverCtx c = call();
    ASSERT_NE(c, nullptr);
    rpc_UnloadDriver(&c);
    EXPECT_EQ(c, nullptr);
  }
};

}  // namespace echo::client

namespace {

class EchoRoundTrip : public testsupport::ServedTest {};

#define ECHO_CLIENT_DECL(K, name, ...) \
  auto name = echo::client::K::sample(s_ KESTREL_NAMES(__VA_ARGS__));
#define ECHO_CLIENT_PASS(K, name, ...) , echo::client::K::pass(name)
#define ECHO_CLIENT_HASH(K, name, ...) \
  echo::client::K::hash(h_, name KESTREL_NAMES(__VA_ARGS__));
#define ECHO_CLIENT_CHECK(K, name, ...) \
  echo::client::K::check(name, h_.next() KESTREL_NAMES(__VA_ARGS__));
#define ECHO_CLIENT_FREE(K, name, ...) \
  echo::client::K::release(name KESTREL_NAMES(__VA_ARGS__));

#define KESTREL_PROC(op, Name, R, ...)                                                     \
  TEST_F(EchoRoundTrip, Name) {                                                            \
    echo::client::Sampler s_(op, binding_, ctx_);                                          \
    KESTREL_FOR_EACH(ECHO_CLIENT_DECL, __VA_ARGS__)                                        \
    echo::Hasher h_(op);                                                                   \
    KESTREL_FOR_EACH(ECHO_CLIENT_HASH, __VA_ARGS__)                                        \
    echo::client::Result<kestrel::remote::ctype::result::R>::check(                        \
        [&] { return rpc_##Name(KESTREL_LIST(ECHO_CLIENT_PASS, __VA_ARGS__)); }, h_);      \
    KESTREL_FOR_EACH(ECHO_CLIENT_CHECK, __VA_ARGS__)                                       \
    KESTREL_FOR_EACH(ECHO_CLIENT_FREE, __VA_ARGS__)                                        \
  }
#define KESTREL_RESERVED_PROC(...)
#include "remote/ProxyInterface.def"

}  // namespace
