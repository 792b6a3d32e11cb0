// Hand-built PDUs and raw sockets: the hostile peer of the runtime tests.
// Independent of the runtime's own encoders, so that a symmetric mistake on
// both sides of the runtime cannot hide.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace raw {

using Bytes = std::vector<uint8_t>;

// Little-endian byte builder; align() counts from the builder's start.
class Builder {
 public:
  Builder& u8(uint8_t v) {
    b_.push_back(v);
    return *this;
  }
  Builder& u16(uint16_t v) { return put(&v, 2); }
  Builder& u32(uint32_t v) { return put(&v, 4); }
  Builder& u64(uint64_t v) { return put(&v, 8); }
  Builder& put(const void* p, size_t n) {
    auto* c = static_cast<const uint8_t*>(p);
    b_.insert(b_.end(), c, c + n);
    return *this;
  }
  Builder& bytes(const Bytes& v) { return put(v.data(), v.size()); }
  Builder& align(size_t a) {
    while (b_.size() % a) b_.push_back(0);
    return *this;
  }
  // Conformant varying string with explicit counts (so that tests can lie).
  Builder& str(const std::string& s, uint32_t max, uint32_t offset, uint32_t actual) {
    align(4).u32(max).u32(offset).u32(actual);
    return put(s.data(), s.size());
  }
  Builder& str(const std::string& s) {  // well-formed, s without its NUL
    uint32_t n = uint32_t(s.size() + 1);
    return str(std::string(s.c_str(), s.size() + 1), n, 0, n);
  }
  Bytes done() const { return b_; }
  size_t size() const { return b_.size(); }

 private:
  Bytes b_;
};

// Interface and NDR identifiers in wire order.
inline const Bytes kIface = {0xe7, 0xf5, 0xea, 0x6c, 0x56, 0x3a, 0xe5, 0x48,
                             0xaf, 0x7e, 0x5b, 0x41, 0x49, 0xdf, 0x30, 0xec};
inline const Bytes kNdr = {0x04, 0x5d, 0x88, 0x8a, 0xeb, 0x1c, 0xc9, 0x11,
                           0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60};
inline const Bytes kNdr64 = {0x33, 0x05, 0x71, 0x71, 0xba, 0xbe, 0x37, 0x49,
                             0x83, 0x19, 0xb5, 0xdb, 0xef, 0x9c, 0xcc, 0x36};
inline const Bytes kBtfn = {0x2c, 0x1c, 0xb7, 0x6c, 0x12, 0x98, 0x40, 0x45,
                            0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

struct Syntax {
  Bytes uuid;
  uint32_t version;
};
struct PresContext {
  uint16_t id;
  Bytes iface = kIface;
  uint16_t major = 1, minor = 0;
  std::vector<Syntax> transfer = {{kNdr, 2}};
};

inline Bytes pdu(uint8_t type, uint8_t flags, uint32_t callId, const Bytes& body,
                 uint8_t minor = 0) {
  Builder b;
  b.u8(5).u8(minor).u8(type).u8(flags).u8(0x10).u8(0).u8(0).u8(0);
  b.u16(uint16_t(16 + body.size())).u16(0).u32(callId).bytes(body);
  return b.done();
}

inline Bytes bind(uint32_t callId, uint32_t group, const std::vector<PresContext>& ctxs,
                  uint16_t maxXmit = 65528, uint16_t maxRecv = 65528, uint8_t type = 11) {
  Builder b;
  b.u16(maxXmit).u16(maxRecv).u32(group).u8(uint8_t(ctxs.size())).u8(0).u16(0);
  for (const auto& c : ctxs) {
    b.u16(c.id).u8(uint8_t(c.transfer.size())).u8(0).bytes(c.iface).u16(c.major).u16(c.minor);
    for (const auto& t : c.transfer) b.bytes(t.uuid).u32(t.version);
  }
  return pdu(type, 3, callId, b.done());
}

inline Bytes request(uint32_t callId, uint16_t ctx, uint16_t opnum, const Bytes& stub,
                     uint8_t flags = 3, const Bytes* object = nullptr) {
  Builder b;
  b.u32(uint32_t(stub.size())).u16(ctx).u16(opnum);
  if (object) b.bytes(*object);
  b.bytes(stub);
  return pdu(0, uint8_t(flags | (object ? 0x80 : 0)), callId, b.done());
}

inline Bytes response(uint32_t callId, const Bytes& stub, uint8_t flags = 3,
                      uint32_t allocHint = 0xFFFFFFFF) {
  Builder b;
  b.u32(allocHint == 0xFFFFFFFF ? uint32_t(stub.size()) : allocHint).u16(0).u8(0).u8(0);
  b.bytes(stub);
  return pdu(2, flags, callId, b.done());
}

inline Bytes fault(uint32_t callId, uint32_t status, size_t size = 32) {
  Builder b;
  b.u32(0).u16(0).u8(0).u8(0).u32(status);
  if (size >= 32) b.u32(0);
  Bytes body = b.done();
  body.resize(size - 16);
  return pdu(3, 3, callId, body);
}

inline uint16_t u16at(const Bytes& b, size_t off) {
  uint16_t v;
  std::memcpy(&v, b.data() + off, 2);
  return v;
}
inline uint32_t u32at(const Bytes& b, size_t off) {
  uint32_t v;
  std::memcpy(&v, b.data() + off, 4);
  return v;
}

// A connected stream socket that reads whole PDUs.
class Conn {
 public:
  explicit Conn(int fd) : fd_(fd) {
    timeval tv{20, 0};  // a peer that never answers fails the test instead of hanging it
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  static Conn to(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error("connect " + path);
    return Conn(fd);
  }
  Conn(Conn&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  ~Conn() {
    if (fd_ >= 0) ::close(fd_);
  }
  // False when the peer has closed (what follows usually shows it anyway).
  bool send(const Bytes& b) {
    size_t off = 0;
    while (off < b.size()) {
      ssize_t n = ::send(fd_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += size_t(n);
    }
    return true;
  }
  // One PDU; empty at end of stream (or a read failure).
  Bytes read() {
    Bytes h(16);
    if (!readAll(h.data(), 16)) return {};
    uint16_t len = u16at(h, 8);
    if (len < 16) return {};
    h.resize(len);
    if (!readAll(h.data() + 16, len - 16u)) return {};
    return h;
  }
  // True when the peer has closed the connection (after any pending PDUs).
  bool closed() {
    uint8_t c;
    return ::recv(fd_, &c, 1, 0) == 0;
  }
  // True when the peer has closed or reset the connection (a peer that
  // closes with our bytes still unread resets it).
  bool ended() {
    uint8_t c;
    ssize_t r = ::recv(fd_, &c, 1, 0);
    return r == 0 || (r < 0 && errno == ECONNRESET);
  }
  int fd() const { return fd_; }

 private:
  bool readAll(uint8_t* p, size_t n) {
    while (n) {
      ssize_t r = ::recv(fd_, p, n, 0);
      if (r <= 0) return false;
      p += r;
      n -= size_t(r);
    }
    return true;
  }
  int fd_;
};

// Listens on a path and runs a script on the first connection, in a thread.
class Listener {
 public:
  explicit Listener(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) || ::listen(fd_, 8))
      throw std::runtime_error("listen " + path);
  }
  ~Listener() {
    if (t_.joinable()) t_.join();
    ::close(fd_);
  }
  void serve(std::function<void(Conn&)> script) {
    t_ = std::thread([this, script] {
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) return;
      Conn conn(c);
      script(conn);
    });
  }
  void join() { t_.join(); }

 private:
  int fd_;
  std::thread t_;
};

// Fault statuses as a server puts them on the wire, written out here rather
// than taken from the runtime, so that a wrong constant there shows.
namespace faults {
constexpr uint32_t kOpRange = 0x1C010002;
constexpr uint32_t kMismatch = 0x1C00001A;
constexpr uint32_t kBadStub = 0x000006F7;
constexpr uint32_t kBound = 0x1C000007;
constexpr uint32_t kProto = 0x1C01000B;
constexpr uint32_t kNoMemory = 0x1C00001B;
}  // namespace faults

}  // namespace raw
