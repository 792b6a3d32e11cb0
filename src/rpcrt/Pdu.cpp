#include "rpcrt/Pdu.h"

#include <algorithm>
#include <cstring>

#include "rpcrt/Status.h"

namespace kestrel::rpc {

void encodeCommonHeader(uint8_t* out, uint8_t type, uint8_t flags, uint16_t fragLength, uint32_t callId) {
  out[0] = 5;
  out[1] = 0;
  out[2] = type;
  out[3] = flags;
  out[4] = 0x10;  // little-endian integers, ASCII characters
  out[5] = 0;     // IEEE floating point
  out[6] = 0;
  out[7] = 0;
  storeU16(out + 8, fragLength);
  storeU16(out + 10, 0);
  storeU32(out + 12, callId);
}

PduHeader decodeCommonHeader(const uint8_t* in) {
  // Minor version 1 is the same header; anything but little-endian ASCII
  // IEEE data, or an authentication trailer, is beyond this runtime.
  if (in[0] != 5 || in[1] > 1 || in[4] != 0x10 || in[5] != 0) raiseProtocol();
  PduHeader h;
  h.ptype = in[2];
  h.flags = in[3];
  h.fragLength = loadU16(in + 8);
  h.callId = loadU32(in + 12);
  if (h.fragLength < kCommonHeaderSize || loadU16(in + 10) != 0) raiseProtocol();
  return h;
}

// ---- PduReader -------------------------------------------------------------

PduReader::PduReader(Transport& t, size_t readahead)
    : t_(t), readahead_(std::min(readahead, kCapacity)), buf_(new uint8_t[kCapacity]) {}

void PduReader::fill(size_t atLeast) {
  // atLeast: bytes still missing beyond what is buffered.
  if (pos_ == end_) pos_ = end_ = 0;
  size_t want = buffered() + atLeast;
  if (pos_ + want > cap_) {
    std::memmove(buf_.get(), buf_.get() + pos_, buffered());
    end_ -= pos_;
    pos_ = 0;
  }
  size_t room = std::max(atLeast, std::min(readahead_, cap_ - end_));
  iovec iov{buf_.get() + end_, room};
  size_t got = t_.read(&iov, 1, atLeast);
  end_ += got;
  if (got < atLeast) throw TransportError("connection closed");
}

const uint8_t* PduReader::need(size_t n) {
  if (buffered() < n) fill(n - buffered());
  return data();
}

bool PduReader::readHeader(PduHeader& h, size_t readahead) {
  if (buffered() == 0) {
    pos_ = end_ = 0;
    iovec iov{buf_.get(), readahead ? std::min(readahead, cap_) : readahead_};
    size_t got = t_.read(&iov, 1, 1);
    if (got == 0) return false;
    end_ = got;
  }
  need(kCommonHeaderSize);
  h = decodeCommonHeader(data());
  consume(kCommonHeaderSize);
  return true;
}

void PduReader::readDirect(void* dst, size_t n, size_t tail) {
  pos_ = end_ = 0;
  iovec iov[2] = {{dst, n}, {buf_.get(), tail}};
  size_t got = t_.read(iov, tail ? 2 : 1, n + tail);
  if (got < n + tail) throw TransportError("connection closed");
  end_ = tail;
}

size_t PduReader::readScattered(const iovec* iov, int cnt, size_t atLeast) {
  pos_ = end_ = 0;
  size_t got = t_.read(iov, cnt, atLeast);
  if (got < atLeast) throw TransportError("connection closed");
  return got;
}

void PduReader::pushBack(const uint8_t* p, size_t n) {
  if (n > cap_) {
    buf_.reset(new uint8_t[n]);
    cap_ = n;
  }
  std::memcpy(buf_.get(), p, n);
  pos_ = 0;
  end_ = n;
}

void PduReader::skip(size_t n) {
  size_t k = std::min(n, buffered());
  consume(k);
  n -= k;
  while (n) {
    size_t chunk = std::min(n, cap_);
    pos_ = end_ = 0;
    iovec iov{buf_.get(), chunk};
    if (t_.read(&iov, 1, chunk) < chunk) throw TransportError("connection closed");
    n -= chunk;
  }
}

// ---- bind family -------------------------------------------------------------

namespace {

// Bounds-checked cursor over a PDU body.
class Cursor {
 public:
  Cursor(const uint8_t* p, size_t n, size_t base) : p_(p), n_(n), base_(base) {}
  const uint8_t* take(size_t k) {
    if (k > n_ - off_) raiseProtocol();
    const uint8_t* r = p_ + off_;
    off_ += k;
    return r;
  }
  uint8_t u8() { return *take(1); }
  uint16_t u16() { return loadU16(take(2)); }
  uint32_t u32() { return loadU32(take(4)); }
  Uuid uuid() {
    Uuid u;
    std::memcpy(u.bytes.data(), take(16), 16);
    return u;
  }
  // Aligns relative to the start of the PDU (base_ = header bytes before p).
  void align4() {
    size_t pad = (4 - (base_ + off_) % 4) % 4;
    take(pad);
  }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t base_;
  size_t off_ = 0;
};

class Builder {
 public:
  void u8(uint8_t v) { b_.push_back(v); }
  void u16(uint16_t v) { bytes(&v, 2); }
  void u32(uint32_t v) { bytes(&v, 4); }
  void uuid(const Uuid& u) { bytes(u.bytes.data(), 16); }
  void bytes(const void* p, size_t n) {
    auto c = static_cast<const uint8_t*>(p);
    b_.insert(b_.end(), c, c + n);
  }
  void align4() {
    while (b_.size() % 4) b_.push_back(0);
  }
  std::vector<uint8_t> finish(uint8_t type, uint8_t flags, uint32_t callId) {
    encodeCommonHeader(b_.data(), type, flags, uint16_t(b_.size()), callId);
    return std::move(b_);
  }

 private:
  std::vector<uint8_t> b_ = std::vector<uint8_t>(kCommonHeaderSize);
};

constexpr uint8_t kWhole = pfc::kFirstFrag | pfc::kLastFrag;

}  // namespace

std::vector<uint8_t> encodeBind(uint32_t callId, uint32_t assocGroup) {
  Builder b;
  b.u16(kOurMaxFrag);
  b.u16(kOurMaxFrag);
  b.u32(assocGroup);
  b.u8(1);  // one presentation context
  b.u8(0);
  b.u16(0);
  b.u16(0);  // p_cont_id
  b.u8(1);   // one transfer syntax
  b.u8(0);
  b.uuid(kInterfaceUuid);
  b.u16(kInterfaceMajor);
  b.u16(kInterfaceMinor);
  b.uuid(kNdrUuid);
  b.u32(kNdrVersion);
  return b.finish(ptype::kBind, kWhole, callId);
}

BindRequest decodeBind(const uint8_t* body, size_t size) {
  Cursor c(body, size, kCommonHeaderSize);
  BindRequest r;
  r.maxXmit = c.u16();
  r.maxRecv = c.u16();
  r.assocGroup = c.u32();
  uint8_t n = c.u8();
  c.take(3);
  r.contexts.resize(n);
  for (auto& pc : r.contexts) {
    pc.id = c.u16();
    uint8_t nt = c.u8();
    c.take(1);
    pc.abstract.uuid = c.uuid();
    pc.abstract.major = c.u16();
    pc.abstract.minor = c.u16();
    pc.transfer.reserve(nt);
    for (uint8_t i = 0; i < nt; ++i) {
      Uuid u = c.uuid();
      pc.transfer.emplace_back(u, c.u32());
    }
  }
  return r;
}

std::vector<uint8_t> encodeBindAck(uint8_t type, uint32_t callId, const BindAck& ack,
                                   const std::string& secondaryAddress) {
  Builder b;
  b.u16(ack.maxXmit);
  b.u16(ack.maxRecv);
  b.u32(ack.assocGroup);
  // An empty address is sent as length 0 (as in alter_context_resp).
  if (secondaryAddress.empty()) {
    b.u16(0);
  } else {
    b.u16(uint16_t(secondaryAddress.size() + 1));
    b.bytes(secondaryAddress.c_str(), secondaryAddress.size() + 1);
  }
  b.align4();
  b.u8(uint8_t(ack.results.size()));
  b.u8(0);
  b.u16(0);
  for (const auto& r : ack.results) {
    b.u16(r.result);
    b.u16(r.reason);
    b.uuid(r.transfer);
    b.u32(r.transferVersion);
  }
  return b.finish(type, kWhole, callId);
}

BindAck decodeBindAck(const uint8_t* body, size_t size) {
  Cursor c(body, size, kCommonHeaderSize);
  BindAck a;
  a.maxXmit = c.u16();
  a.maxRecv = c.u16();
  a.assocGroup = c.u32();
  uint16_t addrLen = c.u16();
  c.take(addrLen);
  c.align4();
  uint8_t n = c.u8();
  c.take(3);
  a.results.resize(n);
  for (auto& r : a.results) {
    r.result = c.u16();
    r.reason = c.u16();
    r.transfer = c.uuid();
    r.transferVersion = c.u32();
  }
  return a;
}

std::vector<uint8_t> encodeBindNak(uint32_t callId, uint16_t reason) {
  Builder b;
  b.u16(reason);
  b.u8(1);  // one supported protocol version: 5.0
  b.u8(5);
  b.u8(0);
  b.align4();
  return b.finish(ptype::kBindNak, kWhole, callId);
}

std::vector<uint8_t> encodeFault(uint32_t callId, uint16_t contextId, uint32_t status) {
  Builder b;
  b.u32(0);  // alloc_hint
  b.u16(contextId);
  b.u8(0);  // cancel_count
  b.u8(0);
  b.u32(status);
  b.u32(0);
  return b.finish(ptype::kFault, kWhole, callId);
}

}  // namespace kestrel::rpc
