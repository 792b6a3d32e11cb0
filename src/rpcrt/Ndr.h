// NDR 2.0 stub data: a writer that builds a request or response stub (with
// large blocks referenced in place, never copied) and sends it as
// fragments, and a reader that decodes a stub as it streams in across
// fragments, checking everything it reads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rpcrt/Pdu.h"
#include "rpcrt/Status.h"

namespace kestrel::rpc {

class NdrWriter {
 public:
  // Room for the request/response header in front of the stub, so that a
  // one-fragment PDU goes out in one contiguous write.
  static constexpr size_t kHeadroom = 24;
  // Blocks at least this large are sent from where they are.
  static constexpr size_t kExternalMin = 2048;

  NdrWriter();
  void clear();

  uint64_t size() const { return size_; }
  void align(size_t a) {
    size_t pad = size_t((a - size_ % a) % a);
    if (pad) std::memset(grow(pad), 0, pad);
  }
  template <class T>
  void put(T v) {
    align(sizeof(T));
    std::memcpy(grow(sizeof(T)), &v, sizeof(T));
  }
  void putU32(uint32_t v) { put<uint32_t>(v); }
  void append(const void* p, size_t n) {
    if (n) std::memcpy(grow(n), p, n);
  }
  // Adds n bytes that stay where they are until the stub is sent.
  void appendExternal(const void* p, size_t n);
  // Conformant varying string of `units` code units including the terminator.
  template <class Ch>
  void putString(const Ch* s, size_t units) {
    putU32(uint32_t(units));
    putU32(0);
    putU32(uint32_t(units));
    appendExternal(s, units * sizeof(Ch));
  }

  // Sends the stub as one or more request/response fragments.
  // `opnum` is written into requests only.
  void send(Transport& t, uint8_t type, uint32_t callId, uint16_t contextId, uint16_t opnum, uint16_t maxFrag);

 private:
  struct Segment {
    const uint8_t* external;  // null: owned bytes at `offset` in buf_
    size_t offset;
    size_t length;
  };
  uint8_t* grow(size_t n) {
    size_t at = buf_.size();
    buf_.resize(at + n);
    size_ += n;
    return buf_.data() + at;
  }
  void closeRun();

  std::vector<uint8_t> buf_;
  std::vector<Segment> segments_;  // only used once an external block was added
  size_t runStart_ = kHeadroom;    // start in buf_ of the current owned run
  uint64_t size_ = 0;
};

// Decodes one request or response stub while its fragments arrive.
class NdrReader {
 public:
  struct Options {
    uint8_t type = ptype::kResponse;  // kRequest on the server side
    uint32_t callId = 0;
    uint16_t contextId = 0;
    uint16_t opnum = 0;              // requests: every fragment repeats it
    uint16_t maxFrag = kOurMaxFrag;  // largest fragment the peer may send
    // A stub beyond this is refused: by the server as out of memory (after
    // skipping the rest), by the client as a protocol error.
    uint64_t limit = kMaxStub;
  };
  // `in` is positioned just after the first fragment's header; its stub holds
  // `firstStub` bytes; `last` tells whether it is the last fragment.
  NdrReader(PduReader& in, const Options& o, size_t firstStub, bool last);
  // Checks the first fragment against the limit (later ones are checked as
  // they arrive); kept out of the constructor so that a server can still
  // skip the rest of an oversized request.
  void enforceLimit();

  uint64_t offset() const { return offset_; }
  void align(size_t a) {
    size_t pad = size_t((a - offset_ % a) % a);
    if (pad) skip(pad);
  }
  template <class T>
  T get() {
    align(sizeof(T));
    T v;
    if (fragLeft_ >= sizeof(T) && in_.buffered() >= sizeof(T)) {
      std::memcpy(&v, in_.data(), sizeof(T));
      in_.consume(sizeof(T));
      fragLeft_ -= sizeof(T);
      offset_ += sizeof(T);
    } else {
      read(&v, sizeof(T));
    }
    return v;
  }
  uint32_t getU32() { return get<uint32_t>(); }
  void read(void* dst, size_t n);
  void skip(size_t n);

  // Fails as an oversized stub unless `bytes` more could still follow
  // within the stub limit: the check before any allocation sized by a
  // count from the wire.
  void expectAvailable(uint64_t bytes) const;
  // Reads a conformant varying string header and checks it: offset 0,
  // 1 <= actual <= max. Returns the actual count (units incl. terminator).
  uint32_t getStringHeader(uint32_t* maxCount = nullptr);
  // Checks that units [0, n) hold exactly one terminator, at the end.
  template <class Ch>
  static void checkTerminated(const Ch* s, size_t n) {
    for (size_t i = 0; i + 1 < n; ++i)
      if (s[i] == 0) raiseStub(RPC_X_BAD_STUB_DATA);
    if (n == 0 || s[n - 1] != 0) raiseStub(RPC_X_BAD_STUB_DATA);
  }

  // Reads `count` referent ids (after expectAvailable), growing the vector
  // with what arrives rather than by the count.
  void getReferents(uint32_t count, std::vector<uint32_t>& out);

  // Reads n elements of T, n being a count from the wire, into storage
  // from `alloc(k)` (room for k elements, kept alive by the caller until
  // the read is over). A count within the limit still says nothing about
  // what will arrive: the storage is never larger than a first slice plus
  // kGrowth times what has arrived (read, or waiting in the stream's
  // buffer), so a lying count costs at most a slice and a bounded multiple
  // of what the peer really sent, never an allocation of its size. Counting
  // the buffered bytes lets a reply whose first read brought a whole
  // fragment get storage for a 1 MiB block at once. Returns the final
  // storage.
  template <class T, class Alloc>
  T* readGrowing(uint32_t n, Alloc&& alloc) {
    expectAvailable(uint64_t(n) * sizeof(T));
    T* p = nullptr;
    size_t have = 0;
    for (;;) {
      const uint64_t arrived = have + std::min(in_.buffered(), fragLeft_) / sizeof(T);
      const size_t room = std::min<uint64_t>(n, kFirstSlice / sizeof(T) + arrived * kGrowth);
      T* next = alloc(room);
      if (have) std::memcpy(next, p, have * sizeof(T));
      p = next;
      read(p + have, (room - have) * sizeof(T));
      have = room;
      if (have == n) return p;
    }
  }
  static constexpr size_t kFirstSlice = 64 * 1024;
  static constexpr size_t kGrowth = 16;

  // After the last parameter: only alignment padding (< 8 bytes) may remain.
  void expectEnd();
  // Skips whatever is left of the stub, so that the stream is at the next PDU.
  void drain();
  bool complete() const { return last_ && fragLeft_ == 0; }

 private:
  void nextFragment();
  // Takes a continuation header (common part already decoded) and moves
  // to its fragment.
  void enterFragment(const PduHeader& h, size_t headerSize);
  size_t gather(uint8_t* dst, size_t n);
  bool fitsPrediction(const uint8_t* header, size_t take, bool finalSlot) const;
  // The most stub bytes read before giving up. A server skipping the rest
  // of a refused request reads on far past the limit, so that a client
  // that sent an oversized request finds its fault on a connection that
  // still works: up to kSkipFactor times the limit (4 GiB at the default
  // limit, as much as a 32-bit alloc_hint can announce). A peer that sends
  // more will never read its answer. A client skipping a bad reply gains
  // nothing by reading past the limit.
  uint64_t ceiling() const { return draining_ && opt_.type == ptype::kRequest ? kSkipFactor * opt_.limit : opt_.limit; }
  static constexpr uint64_t kSkipFactor = 16;

  PduReader& in_;
  Options opt_;
  size_t fragLeft_;
  bool last_;
  size_t fullStub_;  // stub bytes of a full (non-last) fragment; 0 until seen
  uint64_t offset_ = 0;
  uint64_t total_;
  bool draining_ = false;
};

// The server side raises this when the client abandons a call (orphaned
// PDU) in the middle of its request.
struct CallOrphaned : StreamEvent {};

}  // namespace kestrel::rpc
