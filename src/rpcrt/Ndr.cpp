#include "rpcrt/Ndr.h"

#include <algorithm>

namespace kestrel::rpc {

namespace {
constexpr size_t kStubHeader = 24;  // request/response header without object UUID
}  // namespace

// ---- NdrWriter ---------------------------------------------------------------

NdrWriter::NdrWriter() {
  buf_.reserve(1024);
  buf_.resize(kHeadroom);
}

void NdrWriter::clear() {
  buf_.resize(kHeadroom);
  segments_.clear();
  runStart_ = kHeadroom;
  size_ = 0;
}

void NdrWriter::closeRun() {
  if (buf_.size() > runStart_) segments_.push_back({nullptr, runStart_, buf_.size() - runStart_});
  runStart_ = buf_.size();
}

void NdrWriter::appendExternal(const void* p, size_t n) {
  if (n < kExternalMin) return append(p, n);
  closeRun();
  segments_.push_back({static_cast<const uint8_t*>(p), 0, n});
  size_ += n;
}

namespace {
void encodeStubHeader(uint8_t* h, uint8_t type, uint8_t flags, size_t stubLen, uint32_t callId, uint64_t allocHint,
                      uint16_t contextId, uint16_t opnum) {
  encodeCommonHeader(h, type, flags, uint16_t(NdrWriter::kHeadroom + stubLen), callId);
  storeU32(h + 16, uint32_t(allocHint));
  storeU16(h + 20, contextId);
  if (type == ptype::kRequest) {
    storeU16(h + 22, opnum);
  } else {
    h[22] = 0;  // cancel_count
    h[23] = 0;
  }
}
}  // namespace

void NdrWriter::send(Transport& t, uint8_t type, uint32_t callId, uint16_t contextId, uint16_t opnum,
                     uint16_t maxFrag) {
  // Every fragment but the last carries a multiple of 8 stub bytes.
  const size_t perFrag = (size_t(maxFrag) - kHeadroom) & ~size_t(7);
  if (segments_.empty() && size_ <= perFrag) {
    encodeStubHeader(buf_.data(), type, pfc::kFirstFrag | pfc::kLastFrag, size_, callId, size_, contextId, opnum);
    iovec iov{buf_.data(), buf_.size()};
    t.write(&iov, 1);
    return;
  }
  closeRun();
  constexpr size_t kBatch = 128;  // fragments per sendmsg
  uint8_t headers[kBatch][kHeadroom];
  std::vector<iovec> iov;
  iov.reserve(kBatch * 3);
  size_t seg = 0, segOff = 0;
  uint64_t left = size_;
  bool first = true;
  while (left) {
    iov.clear();
    for (size_t f = 0; f < kBatch && left; ++f) {
      size_t len = size_t(std::min<uint64_t>(left, perFrag));
      left -= len;
      uint8_t flags = uint8_t((first ? pfc::kFirstFrag : 0) | (left ? 0 : pfc::kLastFrag));
      first = false;
      encodeStubHeader(headers[f], type, flags, len, callId, size_, contextId, opnum);
      iov.push_back({headers[f], kHeadroom});
      while (len) {
        const Segment& s = segments_[seg];
        size_t k = std::min(len, s.length - segOff);
        const uint8_t* base = s.external ? s.external : buf_.data() + s.offset;
        iov.push_back({const_cast<uint8_t*>(base + segOff), k});
        len -= k;
        segOff += k;
        if (segOff == s.length) {
          ++seg;
          segOff = 0;
        }
      }
    }
    t.write(iov.data(), int(iov.size()));
  }
}

// ---- NdrReader ---------------------------------------------------------------

NdrReader::NdrReader(PduReader& in, const Options& o, size_t firstStub, bool last)
    : in_(in), opt_(o), fragLeft_(firstStub), last_(last), fullStub_(last ? 0 : firstStub), total_(firstStub) {}

void NdrReader::enforceLimit() {
  if (total_ > opt_.limit) {
    if (opt_.type == ptype::kRequest) raiseStub(RPC_S_OUT_OF_MEMORY);
    raiseProtocol();
  }
}

void NdrReader::nextFragment() {
  if (last_) raiseStub(RPC_X_BAD_STUB_DATA);  // the stub ended early
  const bool request = opt_.type == ptype::kRequest;
  for (;;) {
    PduHeader h;
    if (!in_.readHeader(h)) throw TransportError("connection closed");
    if (request && (h.ptype == ptype::kCoCancel || h.ptype == ptype::kOrphaned)) {
      in_.skip(h.fragLength - kCommonHeaderSize);
      if (h.ptype == ptype::kOrphaned && h.callId == opt_.callId) throw CallOrphaned{};
      continue;
    }
    if (h.ptype != opt_.type || h.callId != opt_.callId || (h.flags & pfc::kFirstFrag) || h.fragLength > opt_.maxFrag)
      raiseProtocol();
    size_t header = kStubHeader + ((request && (h.flags & pfc::kObjectUuid)) ? 16 : 0);
    if (h.fragLength < header) raiseProtocol();
    const uint8_t* p = in_.need(header - kCommonHeaderSize);
    if (loadU16(p + 4) != opt_.contextId || (request && loadU16(p + 6) != opt_.opnum)) raiseProtocol();
    in_.consume(header - kCommonHeaderSize);
    enterFragment(h, header);
    return;
  }
}

void NdrReader::enterFragment(const PduHeader& h, size_t header) {
  fragLeft_ = h.fragLength - header;
  last_ = h.flags & pfc::kLastFrag;
  if (!last_ && !fullStub_) fullStub_ = fragLeft_;
  total_ += fragLeft_;
  if (!draining_)
    enforceLimit();
  else if (total_ > ceiling())
    raiseProtocol();  // a stream that never ends is not skipped forever
}

// Is this the header of the next fragment of our call, of the size the
// layout was planned with?
bool NdrReader::fitsPrediction(const uint8_t* p, size_t take, bool finalSlot) const {
  const bool request = opt_.type == ptype::kRequest;
  if (p[0] != 5 || p[1] > 1 || p[4] != 0x10 || p[5] != 0 || loadU16(p + 10) != 0) return false;
  if (p[2] != opt_.type || loadU32(p + 12) != opt_.callId) return false;
  if (p[3] & (pfc::kFirstFrag | (request ? pfc::kObjectUuid : 0))) return false;
  uint16_t len = loadU16(p + 8);
  if (len > opt_.maxFrag || len < kStubHeader || loadU16(p + 20) != opt_.contextId) return false;
  if (request && loadU16(p + 22) != opt_.opnum) return false;
  size_t stub = len - kStubHeader;
  if (total_ + stub > ceiling()) return false;  // the ordinary path refuses it
  return finalSlot ? stub >= take : stub == take && !(p[3] & pfc::kLastFrag);
}

// A block that runs on into later fragments, read in one call: its bytes in
// this fragment, then for each later fragment (predicted as large as the
// first) the header into a slot and the stub bytes straight into place, and
// whatever follows into the stream's buffer. Bytes that do not fit the
// prediction go back to the stream for the ordinary path. Returns the
// block bytes placed.
size_t NdrReader::gather(uint8_t* dst, size_t n) {
  constexpr size_t kSlots = 64;
  uint8_t headers[kSlots][kStubHeader];
  size_t take[kSlots];
  iovec iov[2 * kSlots + 2];
  int cnt = 0;
  iov[cnt++] = {dst, fragLeft_};
  size_t planned = fragLeft_;
  size_t slots = 0;
  for (; slots < kSlots && planned < n; ++slots) {
    take[slots] = std::min(fullStub_, n - planned);
    iov[cnt++] = {headers[slots], kStubHeader};
    iov[cnt++] = {dst + planned, take[slots]};
    planned += take[slots];
  }
  const bool whole = planned == n;  // the tail of the last fragment may follow
  if (whole) iov[cnt++] = in_.tail();
  size_t got = in_.readScattered(iov, cnt, fragLeft_ + kStubHeader);

  size_t placed = std::min(got, fragLeft_);
  fragLeft_ -= placed;
  offset_ += placed;
  size_t used = placed;  // stream bytes accounted for
  int next = 1;          // iov index of the first slot not yet taken
  for (size_t i = 0; i < slots && used < got; ++i, next += 2) {
    if (got - used < kStubHeader || !fitsPrediction(headers[i], take[i], i + 1 == slots)) break;
    PduHeader h;
    h.flags = headers[i][3];
    h.fragLength = loadU16(headers[i] + 8);
    enterFragment(h, kStubHeader);
    used += kStubHeader;
    size_t c = std::min(got - used, take[i]);
    fragLeft_ -= c;
    offset_ += c;
    placed += c;
    used += c;
  }
  if (used == got) {
    in_.keepTail(0);
    return placed;
  }
  if (next == cnt - 1 && whole && iov[next].iov_base == in_.tail().iov_base) {
    in_.keepTail(got - used);  // all slots taken: what follows is buffered
    return placed;
  }
  // Give back, in stream order, everything from the first slot not taken.
  std::vector<uint8_t> rest;
  rest.reserve(got - used);
  for (int j = next; j < cnt && rest.size() < got - used; ++j) {
    size_t k = std::min(iov[j].iov_len, got - used - rest.size());
    auto* b = static_cast<const uint8_t*>(iov[j].iov_base);
    rest.insert(rest.end(), b, b + k);
  }
  in_.pushBack(rest.data(), rest.size());
  return placed;
}

void NdrReader::read(void* dstv, size_t n) {
  auto* dst = static_cast<uint8_t*>(dstv);
  while (n) {
    if (fragLeft_ == 0) {
      nextFragment();
      continue;
    }
    size_t avail = std::min(in_.buffered(), fragLeft_);
    if (avail) {
      size_t k = std::min(avail, n);
      std::memcpy(dst, in_.data(), k);
      in_.consume(k);
      fragLeft_ -= k;
      offset_ += k;
      dst += k;
      n -= k;
      continue;
    }
    size_t direct = std::min(n, fragLeft_);
    if (direct < 512) {
      in_.need(direct);  // small: through the buffer, with read-ahead
      continue;
    }
    if (n > fragLeft_ && !last_ && fullStub_ >= 1024) {
      size_t placed = gather(dst, n);
      dst += placed;
      n -= placed;
      continue;
    }
    // Large: straight into place, together with what is due after it in
    // this fragment (or the next fragment's header) in the same call.
    size_t tail = fragLeft_ - direct;
    if (tail == 0 && !last_) tail = opt_.type == ptype::kRequest ? kCommonHeaderSize : kStubHeader;
    tail = std::min<size_t>(tail, 4096);
    in_.readDirect(dst, direct, tail);
    fragLeft_ -= direct;
    offset_ += direct;
    dst += direct;
    n -= direct;
  }
}

void NdrReader::skip(size_t n) {
  while (n) {
    if (fragLeft_ == 0) {
      nextFragment();
      continue;
    }
    size_t k = std::min(n, fragLeft_);
    in_.skip(k);
    fragLeft_ -= k;
    offset_ += k;
    n -= k;
  }
}

void NdrReader::expectAvailable(uint64_t bytes) const {
  // A count that cannot fit within the limit makes the stub too large.
  if (bytes > opt_.limit - std::min(opt_.limit, offset_)) {
    if (opt_.type == ptype::kRequest) raiseStub(RPC_S_OUT_OF_MEMORY);
    raiseProtocol();
  }
}

uint32_t NdrReader::getStringHeader(uint32_t* maxCount) {
  uint32_t max = getU32();
  uint32_t off = getU32();
  uint32_t actual = getU32();
  if (off != 0 || actual == 0) raiseStub(RPC_X_BAD_STUB_DATA);
  if (actual > max) raiseStub(RPC_X_INVALID_BOUND);
  if (maxCount) *maxCount = max;
  return actual;
}

void NdrReader::getReferents(uint32_t count, std::vector<uint32_t>& out) {
  expectAvailable(uint64_t(count) * 4);
  align(4);
  out.clear();
  while (out.size() < count) {
    size_t chunk = std::min<size_t>(count - out.size(), 4096);
    size_t at = out.size();
    out.resize(at + chunk);
    read(out.data() + at, chunk * 4);
  }
}

void NdrReader::expectEnd() {
  size_t extra = 0;
  while (!complete()) {
    if (fragLeft_ == 0) {
      nextFragment();
      continue;
    }
    size_t k = std::min<size_t>(fragLeft_, 8 - extra);
    skip(k);
    extra += k;
    if (extra >= 8) raiseStub(RPC_X_BAD_STUB_DATA);
  }
}

void NdrReader::drain() {
  draining_ = true;
  while (!complete()) {
    if (fragLeft_ == 0)
      nextFragment();
    else
      skip(fragLeft_);
  }
}

}  // namespace kestrel::rpc
