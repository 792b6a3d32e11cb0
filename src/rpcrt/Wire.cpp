#include "rpcrt/Wire.h"

#include <sys/random.h>

#include <cerrno>
#include <stdexcept>

namespace kestrel::rpc {

bool Uuid::parse(std::string_view t, Uuid& out) {
  if (t.size() != 36 || t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-') return false;
  for (size_t i = 0; i < 36; ++i)
    if (i != 8 && i != 13 && i != 18 && i != 23 && detail::hexDigit(t[i]) < 0) return false;
  char buf[37];
  t.copy(buf, 36);
  buf[36] = 0;
  out = fromText(buf);
  return true;
}

std::string Uuid::text() const {
  static const char kHex[] = "0123456789ABCDEF";
  constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string s;
  s.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) s.push_back('-');
    uint8_t b = bytes[kOrder[i]];
    s.push_back(kHex[b >> 4]);
    s.push_back(kHex[b & 15]);
  }
  return s;
}

Uuid Uuid::random() {
  Uuid u;
  size_t got = 0;
  while (got < u.bytes.size()) {
    ssize_t n = getrandom(u.bytes.data() + got, u.bytes.size() - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("getrandom failed");
    }
    got += size_t(n);
  }
  // RFC 4122 version 4, variant 1.
  u.bytes[7] = uint8_t((u.bytes[7] & 0x0F) | 0x40);
  u.bytes[8] = uint8_t((u.bytes[8] & 0x3F) | 0x80);
  return u;
}

}  // namespace kestrel::rpc
