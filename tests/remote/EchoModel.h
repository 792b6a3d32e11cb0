// The echo model that the table-driven round trip checks against: the test
// host hashes every [in] value it receives and derives every [out] value and
// the result from that hash; the client side recomputes the same from what
// it sent. One wrong byte anywhere changes the answer.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "remote/ProxyServer.h"

namespace echo {

class Hasher {
 public:
  explicit Hasher(uint64_t seed) { mix(&seed, sizeof seed); }
  void mix(const void* p, size_t n) {
    auto* b = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < n; ++i) h_ = (h_ ^ b[i]) * 0x100000001B3ull;
  }
  template <class T>
  void mixValue(T v) {
    mix(&v, sizeof v);
  }
  uint64_t value() const { return h_; }
  // One seed per parameter, in parameter order.
  uint64_t next() { return (h_ ^ (++k_ * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull >> 3; }

 private:
  uint64_t h_ = 0xCBF29CE484222325ull;
  uint64_t k_ = 0;
};

inline void hashText(Hasher& h, const char* s) { h.mix(s, std::strlen(s) + 1); }
inline void hashText(Hasher& h, const char16_t* s) {
  h.mix(s, (std::char_traits<char16_t>::length(s) + 1) * 2);
}
inline void hashTexts(Hasher& h, const char* const* a, int32_t n) {
  h.mixValue(n);
  for (int32_t i = 0; i < n; ++i) {
    if (a[i])
      hashText(h, a[i]);
    else
      h.mixValue<uint32_t>(0xFFFFFFFF);
  }
}
inline uint64_t idOfDriver(const char* name) {
  Hasher h(0);
  hashText(h, name);
  return h.value();
}

// ---- values derived from a seed ---------------------------------------------------

inline int32_t outLong(uint64_t s) { return int32_t(s % 5); }  // usable as a count
inline double outDouble(uint64_t s) { return double(s % 100000) / 64.0; }
inline std::optional<std::string> outText(uint64_t s) {
  if (s % 4 == 0) return std::nullopt;
  return "t" + std::to_string(s % 100000);
}
inline std::optional<std::u16string> outWText(uint64_t s) {
  auto t = outText(s);
  if (!t) return std::nullopt;
  return std::u16string(t->begin(), t->end()) + u"\u00e9\u20ac";
}
inline bool outNull(uint64_t s) { return s % 5 == 0; }
inline char outByte(uint64_t s, size_t i) { return char((s >> 8) + i * 31); }
inline double outDoubleAt(uint64_t s, size_t i) { return double(s % 1000) + double(i) * 0.5; }
inline bool outArrayNull(uint64_t s, int32_t n) { return n < 0 || s % 6 == 0; }
inline std::optional<std::string> outArrayItem(uint64_t s, size_t i, int32_t m) {
  if (m < 1 || (s + i) % 3 == 0) return std::nullopt;
  size_t len = std::min<size_t>(size_t(m - 1), (s + i) % 7);
  return std::string(len, char('a' + (s + i) % 26));
}

// ---- the host's side: hash what arrived, fill the outputs -------------------------------

namespace host {
using namespace kestrel::remote;

struct EchoContext : DriverContext {
  explicit EchoContext(uint64_t i) : id(i) {}
  uint64_t id;
};

struct Ignore {
  template <class... A>
  static void hash(Hasher&, A&&...) {}
  template <class... A>
  static void fill(A&&...) {}
};
template <class T>
struct Value : Ignore {
  static void hash(Hasher& h, T v) { h.mixValue(v); }
};
struct Long : Value<int32_t> {};
struct Short : Value<int16_t> {};
struct Hyper : Value<int64_t> {};
struct Double : Value<double> {};
struct String : Ignore {
  static void hash(Hasher& h, const char* s) { hashText(h, s); }
};
struct WString : Ignore {
  static void hash(Hasher& h, const char16_t* s) { hashText(h, s); }
};
struct Bytes : Ignore {
  static void hash(Hasher& h, const char* p, int32_t n) {
    h.mixValue(n);
    h.mix(p, size_t(n));
  }
};
struct Longs : Ignore {
  static void hash(Hasher& h, const int32_t* p, int32_t n) {
    h.mixValue(n);
    h.mix(p, size_t(n) * 4);
  }
};
struct Strings : Ignore {
  static void hash(Hasher& h, const char* const* a, int32_t n) { hashTexts(h, a, n); }
};
struct BoundedStrings : Ignore {
  static void hash(Hasher& h, const char* const* a, int32_t n, int32_t m) {
    h.mixValue(m);
    hashTexts(h, a, n);
  }
};
struct CallCtx : Ignore {
  static void hash(Hasher& h, DriverContext& c) { h.mixValue(static_cast<EchoContext&>(c).id); }
};
struct Binding : Ignore {};
struct DriverCtxInOut : Ignore {};
struct OutLong : Ignore {
  static void fill(int32_t& v, uint64_t s) { v = outLong(s); }
};
struct OutDouble : Ignore {
  static void fill(double& v, uint64_t s) { v = outDouble(s); }
};
struct OutString : Ignore {
  static void fill(kestrel::remote::OutString& v, uint64_t s) {
    auto t = outText(s);
    v.set(t ? t->c_str() : nullptr);
  }
};
struct OutWString : Ignore {
  static void fill(kestrel::remote::OutWString& v, uint64_t s) {
    auto t = outWText(s);
    v.set(t ? t->c_str() : nullptr);
  }
};
struct OutBytes : Ignore {
  static void fill(kestrel::remote::OutBytes& v, uint64_t s, int32_t n) {
    if (outNull(s)) return;
    std::vector<char> b(static_cast<size_t>(n));
    for (size_t i = 0; i < b.size(); ++i) b[i] = outByte(s, i);
    v.copy(b.data(), b.size());
  }
};
struct OutDoubles : Ignore {
  static void fill(kestrel::remote::OutDoubles& v, uint64_t s, int32_t n) {
    if (outNull(s)) return;
    std::vector<double> d(static_cast<size_t>(n));
    for (size_t i = 0; i < d.size(); ++i) d[i] = outDoubleAt(s, i);
    v.copy(d.data(), d.size());
  }
};
struct OutStrings : Ignore {
  static void fill(OutStringArray& v, uint64_t s, int32_t n, int32_t m) {
    if (outArrayNull(s, n)) return;
    v.resize(size_t(n));
    for (size_t i = 0; i < size_t(n); ++i) {
      auto t = outArrayItem(s, i, m);
      v.set(i, t ? t->c_str() : nullptr);
    }
  }
};

template <class R>
struct Result;
template <>
struct Result<int32_t> {
  static int32_t of(const Hasher& h) { return int32_t(h.value()); }
};
template <>
struct Result<int16_t> {
  static int16_t of(const Hasher& h) { return int16_t(h.value()); }
};
template <>
struct Result<void> {
  static void of(const Hasher&) {}
};
template <>
struct Result<std::unique_ptr<DriverContext>> {
  static std::unique_ptr<DriverContext> of(const Hasher&) { return nullptr; }
};

#define ECHO_HOST_HASH(K, name, ...) echo::host::K::hash(h_, name KESTREL_NAMES(__VA_ARGS__));
#define ECHO_HOST_FILL(K, name, ...) echo::host::K::fill(name, h_.next() KESTREL_NAMES(__VA_ARGS__));

// Every procedure answers by the echo model.
class EchoInterface : public ProxyInterface {
 public:
#define KESTREL_PROC(op, Name, R, ...)                                                   \
  stype::result::R Name(KESTREL_LIST(KESTREL_SERVER_PARAM, __VA_ARGS__)) override {      \
    echo::Hasher h_(op);                                                                \
    KESTREL_FOR_EACH(ECHO_HOST_HASH, __VA_ARGS__)                                        \
    KESTREL_FOR_EACH(ECHO_HOST_FILL, __VA_ARGS__)                                        \
    return Result<stype::result::R>::of(h_);                                             \
  }
#define KESTREL_RESERVED_PROC(...)
#include "remote/ProxyInterface.def"
};

}  // namespace host
}  // namespace echo
