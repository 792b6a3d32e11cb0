// Little-endian loads and stores, and UUIDs in their DCE wire order.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace kestrel::rpc {

static_assert(std::endian::native == std::endian::little, "the NDR engine copies host values straight to the wire");

inline uint16_t loadU16(const void* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline uint32_t loadU32(const void* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void storeU16(void* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline void storeU32(void* p, uint32_t v) { std::memcpy(p, &v, 4); }

// A UUID as its 16 bytes on the wire (u32, u16, u16 little-endian, then 8
// bytes as written).
struct Uuid {
  std::array<uint8_t, 16> bytes{};

  friend bool operator==(const Uuid&, const Uuid&) = default;
  bool isNil() const {
    for (uint8_t b : bytes)
      if (b) return false;
    return true;
  }
  // Parses "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (either case).
  static bool parse(std::string_view text, Uuid& out);
  static constexpr Uuid fromText(const char (&t)[37]);
  // Upper-case text form.
  std::string text() const;
  static Uuid random();
};

namespace detail {
constexpr int hexDigit(char c) {
  return c >= '0' && c <= '9'   ? c - '0'
         : c >= 'a' && c <= 'f' ? c - 'a' + 10
         : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                : -1;
}
constexpr uint8_t hexByte(const char* t) { return uint8_t(hexDigit(t[0]) * 16 + hexDigit(t[1])); }
}  // namespace detail

constexpr Uuid Uuid::fromText(const char (&t)[37]) {
  Uuid u;
  // Data1, Data2, Data3 are stored little-endian; Data4 as written.
  constexpr int kOrder[16] = {6, 4, 2, 0, 11, 9, 16, 14, 19, 21, 24, 26, 28, 30, 32, 34};
  for (int i = 0; i < 16; ++i) u.bytes[i] = detail::hexByte(t + kOrder[i]);
  return u;
}

struct SyntaxId {
  Uuid uuid;
  uint16_t major;
  uint16_t minor;
};

// Our interface and NDR 2.0, and the syntaxes a peer may offer besides.
inline constexpr Uuid kInterfaceUuid = Uuid::fromText("6ceaf5e7-3a56-48e5-af7e-5b4149df30ec");
inline constexpr uint16_t kInterfaceMajor = 1;
inline constexpr uint16_t kInterfaceMinor = 0;
inline constexpr Uuid kNdrUuid = Uuid::fromText("8a885d04-1ceb-11c9-9fe8-08002b104860");
inline constexpr uint32_t kNdrVersion = 2;
inline constexpr Uuid kNdr64Uuid = Uuid::fromText("71710533-beba-4937-8319-b5dbef9ccc36");
// Bind-time feature negotiation: only the first 8 bytes are fixed.
inline constexpr Uuid kBindTimeFeaturePrefix = Uuid::fromText("6cb71c2c-9812-4540-0000-000000000000");

inline bool isBindTimeFeature(const Uuid& u) {
  return std::memcmp(u.bytes.data(), kBindTimeFeaturePrefix.bytes.data(), 8) == 0;
}

}  // namespace kestrel::rpc
