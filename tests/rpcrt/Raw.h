// Hand-built PDUs and raw sockets: the hostile peer of every wire test, on
// either side. Independent of the runtime's own encoders and constants, so
// that a symmetric mistake on both sides of the runtime cannot hide.
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

// Wire numbers, written out here rather than taken from the runtime.
namespace ptype {
constexpr uint8_t kRequest = 0, kResponse = 2, kFault = 3, kBind = 11, kBindAck = 12, kBindNak = 13, kAlterContext = 14,
                  kAlterContextResp = 15, kCoCancel = 18, kOrphaned = 19;
}
namespace pfc {
constexpr uint8_t kFirstFrag = 0x01, kLastFrag = 0x02, kWhole = 0x03, kObjectUuid = 0x80;
}
namespace nca {
constexpr uint32_t kOpRangeError = 0x1C010002, kContextMismatch = 0x1C00001A, kBadStubData = 0x000006F7,
                   kInvalidBound = 0x1C000007, kProtoError = 0x1C01000B, kRemoteNoMemory = 0x1C00001B,
                   kUnspecified = 0x1C000012;
}
// Presentation results and their reasons, in a bind_ack.
namespace presult {
constexpr uint16_t kAccepted = 0, kProviderRejection = 2, kNegotiateAck = 3;
constexpr uint16_t kAbstractSyntaxNotSupported = 1, kTransferSyntaxesNotSupported = 2;
}  // namespace presult

// Field offsets in a PDU.
namespace at {
constexpr size_t kVersionMinor = 1, kPtype = 2, kFlags = 3, kDrep = 4, kFragLength = 8, kAuthLength = 10, kCallId = 12;
constexpr size_t kAllocHint = 16, kStub = 24, kFaultStatus = 24;                          // request, response, fault
constexpr size_t kMaxXmit = 16, kMaxRecv = 18, kAssocGroup = 20, kSecondaryAddress = 24;  // bind_ack
constexpr size_t kNakReason = 16;                                                         // bind_nak
}  // namespace at

inline uint16_t u16at(const Bytes& b, size_t off) { return uint16_t(b.at(off) | b.at(off + 1) << 8); }
inline uint32_t u32at(const Bytes& b, size_t off) { return u16at(b, off) | uint32_t(u16at(b, off + 2)) << 16; }
// `b` with the field at `off` set to `v` (a lie, usually).
template <class T>
Bytes with(Bytes b, size_t off, T v) {
  std::memcpy(b.data() + off, &v, sizeof v);
  return b;
}
inline Bytes cut(Bytes b, size_t n) {
  b.resize(n);
  return b;
}

// Little-endian byte builder; align() counts from the builder's start.
class Builder {
 public:
  Builder& u8(uint8_t v) { return put(&v, 1); }
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
    return str(std::string(s.c_str(), n), n, 0, n);
  }
  Bytes done() const { return b_; }

 private:
  Bytes b_;
};

// Interface and transfer syntax identifiers in wire order.
inline const Bytes kIface = {0xe7, 0xf5, 0xea, 0x6c, 0x56, 0x3a, 0xe5, 0x48,
                             0xaf, 0x7e, 0x5b, 0x41, 0x49, 0xdf, 0x30, 0xec};
inline const Bytes kNdr = {0x04, 0x5d, 0x88, 0x8a, 0xeb, 0x1c, 0xc9, 0x11,
                           0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60};
inline const Bytes kNdr64 = {0x33, 0x05, 0x71, 0x71, 0xba, 0xbe, 0x37, 0x49,
                             0x83, 0x19, 0xb5, 0xdb, 0xef, 0x9c, 0xcc, 0x36};
inline const Bytes kBtfn = {0x2c, 0x1c, 0xb7, 0x6c, 0x12, 0x98, 0x40, 0x45,
                            0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

struct PresContext {
  uint16_t id;
  Bytes iface = kIface;
  uint16_t major = 1, minor = 0;
  std::vector<std::pair<Bytes, uint32_t>> transfer = {{kNdr, 2}};
};

inline Bytes pdu(uint8_t type, uint8_t flags, uint32_t callId, const Bytes& body) {
  return Builder()
      .u8(5)
      .u8(0)
      .u8(type)
      .u8(flags)
      .u32(0x10)
      .u16(uint16_t(16 + body.size()))
      .u16(0)
      .u32(callId)
      .bytes(body)
      .done();
}

inline Bytes bind(uint32_t callId, uint32_t group = 0, const std::vector<PresContext>& ctxs = {{0}},
                  uint16_t maxFrag = 65528, uint8_t type = ptype::kBind) {
  Builder b;
  b.u16(maxFrag).u16(maxFrag).u32(group).u8(uint8_t(ctxs.size())).u8(0).u16(0);
  for (const auto& c : ctxs) {
    b.u16(c.id).u8(uint8_t(c.transfer.size())).u8(0).bytes(c.iface).u16(c.major).u16(c.minor);
    for (const auto& [uuid, version] : c.transfer) b.bytes(uuid).u32(version);
  }
  return pdu(type, pfc::kWhole, callId, b.done());
}

inline Bytes bindAck(uint32_t callId, uint32_t group = 0x1234, uint16_t result = presult::kAccepted,
                     uint16_t maxFrag = 65528) {
  Builder b;
  b.u16(maxFrag).u16(maxFrag).u32(group).u16(4).put("abc", 4).u16(0);  // address, padded
  b.u8(1).u8(0).u16(0).u16(result).u16(result ? presult::kAbstractSyntaxNotSupported : 0);
  b.bytes(result ? Bytes(16, 0) : kNdr).u32(result ? 0 : 2);
  return pdu(ptype::kBindAck, pfc::kWhole, callId, b.done());
}

inline Bytes request(uint32_t callId, uint16_t opnum, const Bytes& stub, uint8_t flags = pfc::kWhole,
                     uint16_t ctx = 0) {
  return pdu(ptype::kRequest, flags, callId,
             Builder().u32(uint32_t(stub.size())).u16(ctx).u16(opnum).bytes(stub).done());
}

inline Bytes response(uint32_t callId, const Bytes& stub, uint8_t flags = pfc::kWhole) {
  return pdu(ptype::kResponse, flags, callId, Builder().u32(uint32_t(stub.size())).u32(0).bytes(stub).done());
}

// A fault of `size` bytes (28 is allowed, shorter is not).
inline Bytes fault(uint32_t callId, uint32_t status, size_t size = 32) {
  return pdu(ptype::kFault, pfc::kWhole, callId, cut(Builder().u64(0).u32(status).u32(0).done(), size - 16));
}

// The fault status of a reply; 0 for a response, ~0 for nothing.
inline uint32_t faultOf(const Bytes& r) {
  if (r.size() < 16) return 0xFFFFFFFF;
  return r[at::kPtype] == ptype::kFault ? u32at(r, at::kFaultStatus) : 0;
}

inline sockaddr_un address(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  return a;
}

// A connected stream socket that reads whole PDUs.
class Conn {
 public:
  explicit Conn(int fd) : fd_(fd) {
    timeval tv{20, 0};  // a peer that never answers fails the test instead of hanging it
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  static Conn to(const std::string& path) {
    Conn c(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un a = address(path);
    if (::connect(c.fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("connect " + path);
    return c;
  }
  Conn(Conn&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  ~Conn() {
    if (fd_ >= 0) ::close(fd_);
  }
  // False when the peer has closed (what follows usually shows it anyway).
  bool send(const Bytes& b) {
    for (size_t off = 0; off < b.size();) {
      ssize_t n = ::send(fd_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += size_t(n);
    }
    return true;
  }
  // One PDU; empty at end of stream (or a read failure).
  Bytes read() {
    Bytes h(16);
    if (!readAll(h.data(), 16) || u16at(h, at::kFragLength) < 16) return {};
    h.resize(u16at(h, at::kFragLength));
    if (!readAll(h.data() + 16, h.size() - 16)) return {};
    return h;
  }
  // True when the peer has closed or reset the connection (a peer that
  // closes with our bytes still unread resets it).
  bool ended() {
    uint8_t c;
    ssize_t r = ::recv(fd_, &c, 1, 0);
    return r == 0 || (r < 0 && errno == ECONNRESET);
  }

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

// The ptype of a server's answer to a bind on a fresh connection; 0 when
// it hangs up without one, -1 when there is no connection or no answer.
inline int probe(const std::string& path) {
  try {
    Conn c = Conn::to(path);
    c.send(bind(1));
    Bytes r = c.read();
    return !r.empty() ? r[at::kPtype] : c.ended() ? 0 : -1;
  } catch (const std::runtime_error&) {
    return -1;
  }
}

// Listens on a path and runs a script on the first connection, in a thread.
class Listener {
 public:
  explicit Listener(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un a = address(path);
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

 private:
  int fd_;
  std::thread t_;
};

}  // namespace raw
