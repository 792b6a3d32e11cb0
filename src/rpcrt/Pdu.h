// Connection-oriented DCE/RPC PDUs: the common header, the bind family,
// faults, and buffered reading of a PDU stream from a transport.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "rpcrt/Transport.h"
#include "rpcrt/Wire.h"

namespace kestrel::rpc {

namespace ptype {
constexpr uint8_t kRequest = 0;
constexpr uint8_t kResponse = 2;
constexpr uint8_t kFault = 3;
constexpr uint8_t kBind = 11;
constexpr uint8_t kBindAck = 12;
constexpr uint8_t kBindNak = 13;
constexpr uint8_t kAlterContext = 14;
constexpr uint8_t kAlterContextResp = 15;
constexpr uint8_t kAuth3 = 16;
constexpr uint8_t kShutdown = 17;
constexpr uint8_t kCoCancel = 18;
constexpr uint8_t kOrphaned = 19;
}  // namespace ptype

// Results and reasons of a presentation context in bind_ack and
// alter_context_resp, and the reject reasons of bind_nak (C706 12.6.3).
namespace presult {
constexpr uint16_t kAcceptance = 0;
constexpr uint16_t kProviderRejection = 2;
constexpr uint16_t kNegotiateAck = 3;  // bind-time feature negotiation
constexpr uint16_t kReasonNone = 0;
constexpr uint16_t kAbstractSyntaxNotSupported = 1;
constexpr uint16_t kTransferSyntaxesNotSupported = 2;
constexpr uint16_t kLocalLimitExceeded = 3;
}  // namespace presult
namespace nak {
constexpr uint16_t kReasonNotSpecified = 0;  // e.g. an unknown association group
constexpr uint16_t kLocalLimitExceeded = 2;
}  // namespace nak

namespace pfc {
constexpr uint8_t kFirstFrag = 0x01;
constexpr uint8_t kLastFrag = 0x02;
constexpr uint8_t kObjectUuid = 0x80;
}  // namespace pfc

constexpr size_t kCommonHeaderSize = 16;
constexpr size_t kRequestHeaderSize = 24;  // without an object UUID
constexpr size_t kResponseHeaderSize = 24;
constexpr size_t kFaultMinSize = 28;  // some peers omit the last reserved field
constexpr size_t kFaultSize = 32;
constexpr uint16_t kOurMaxFrag = 65528;    // offered for both directions
constexpr uint16_t kMinFrag = 1432;        // smallest fragment size a peer may ask for
constexpr uint64_t kMaxStub = 256u << 20;  // largest request or response stub

struct PduHeader {
  uint8_t ptype = 0;
  uint8_t flags = 0;
  uint16_t fragLength = 0;
  uint32_t callId = 0;
};

// Writes the 16-byte common header.
void encodeCommonHeader(uint8_t* out, uint8_t ptype, uint8_t flags, uint16_t fragLength, uint32_t callId);
// Checks and decodes a common header; throws RpcError(RPC_S_PROTOCOL_ERROR).
PduHeader decodeCommonHeader(const uint8_t* in);

// Buffered reader of a PDU stream. Small reads gather whatever has arrived
// (one recv usually brings a whole small PDU); bulk data can bypass the
// buffer and land straight in its destination.
class PduReader {
 public:
  explicit PduReader(Transport& t, size_t readahead = 8192);

  // Reads the common header of the next PDU. Returns false at end of
  // stream before its first byte; throws TransportError when the stream
  // ends inside it, RpcError(RPC_S_PROTOCOL_ERROR) when it is malformed.
  // With the buffer empty, the first read asks for `readahead` bytes (0:
  // the reader's own): a reply's first read takes a whole fragment and
  // the start of the next, so that a large block needs no read of its own
  // for its first fragment.
  bool readHeader(PduHeader& h, size_t readahead = 0);

  size_t buffered() const { return end_ - pos_; }
  const uint8_t* data() const { return buf_.get() + pos_; }
  void consume(size_t n) { pos_ += n; }
  // Makes n bytes (n <= capacity) available at data(); throws TransportError
  // at end of stream.
  const uint8_t* need(size_t n);
  // Reads n bytes straight into dst, then exactly `tail` more bytes into the
  // buffer. The buffer must be empty; all n + tail bytes must be due.
  void readDirect(void* dst, size_t n, size_t tail);
  // Discards n bytes of the stream.
  void skip(size_t n);

  // Scatter read with the buffer empty: at least `atLeast` bytes (or
  // TransportError), as many more as have arrived. A last element that
  // points into the buffer (tail()) leaves its bytes buffered.
  size_t readScattered(const iovec* iov, int cnt, size_t atLeast);
  iovec tail() { return {buf_.get(), readahead_}; }
  void keepTail(size_t n) { pos_ = 0, end_ = n; }
  // Puts bytes back in front of the stream (the buffer must be empty).
  void pushBack(const uint8_t* p, size_t n);

  Transport& transport() { return t_; }
  static constexpr size_t kCapacity = 65536 + 64;

 private:
  void fill(size_t atLeast);

  Transport& t_;
  size_t readahead_;
  size_t cap_ = kCapacity;  // grows only for bytes pushed back
  std::unique_ptr<uint8_t[]> buf_;
  size_t pos_ = 0;
  size_t end_ = 0;
};

// ---- bind family ----------------------------------------------------------

struct PresentationContext {
  uint16_t id = 0;
  SyntaxId abstract{};
  std::vector<std::pair<Uuid, uint32_t>> transfer;  // UUID, version
};

struct BindRequest {  // bind or alter_context
  uint16_t maxXmit = 0;
  uint16_t maxRecv = 0;
  uint32_t assocGroup = 0;
  std::vector<PresentationContext> contexts;
};

struct ContextResult {
  uint16_t result = 0;  // 0 acceptance, 2 provider rejection, 3 negotiate ack
  uint16_t reason = 0;
  Uuid transfer{};
  uint32_t transferVersion = 0;
};

struct BindAck {
  uint16_t maxXmit = 0;
  uint16_t maxRecv = 0;
  uint32_t assocGroup = 0;
  std::vector<ContextResult> results;
};

// The client's bind: our interface with NDR 2.0 as presentation context 0.
std::vector<uint8_t> encodeBind(uint32_t callId, uint32_t assocGroup);
// Body = the PDU after the common header. Throw RpcError(PROTOCOL_ERROR).
BindRequest decodeBind(const uint8_t* body, size_t size);
std::vector<uint8_t> encodeBindAck(uint8_t ptype, uint32_t callId, const BindAck& ack,
                                   const std::string& secondaryAddress);
BindAck decodeBindAck(const uint8_t* body, size_t size);
std::vector<uint8_t> encodeBindNak(uint32_t callId, uint16_t reason);
std::vector<uint8_t> encodeFault(uint32_t callId, uint16_t contextId, uint32_t status);

}  // namespace kestrel::rpc
