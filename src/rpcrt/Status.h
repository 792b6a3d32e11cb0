// RPC status values (Windows numbering), the NCA fault codes that travel in
// fault PDUs, the mapping between the two, and the one exception type that
// carries a failed call's status out of a client function.
#pragma once

#include <cstdint>
#include <exception>

typedef int32_t RPC_STATUS;

// Windows RPC status values, as the callers know them.
constexpr RPC_STATUS RPC_S_OK = 0;
constexpr RPC_STATUS RPC_S_OUT_OF_MEMORY = 14;
constexpr RPC_STATUS RPC_S_INVALID_ARG = 87;
constexpr RPC_STATUS RPC_S_INVALID_STRING_BINDING = 1700;
constexpr RPC_STATUS RPC_S_INVALID_BINDING = 1702;
constexpr RPC_STATUS RPC_S_PROTSEQ_NOT_SUPPORTED = 1703;
constexpr RPC_STATUS RPC_S_UNKNOWN_IF = 1717;
constexpr RPC_STATUS RPC_S_OUT_OF_RESOURCES = 1721;
constexpr RPC_STATUS RPC_S_SERVER_UNAVAILABLE = 1722;
constexpr RPC_STATUS RPC_S_CALL_FAILED = 1726;
constexpr RPC_STATUS RPC_S_PROTOCOL_ERROR = 1728;
constexpr RPC_STATUS RPC_X_INVALID_BOUND = 1734;
constexpr RPC_STATUS RPC_S_PROCNUM_OUT_OF_RANGE = 1745;
constexpr RPC_STATUS RPC_X_SS_IN_NULL_CONTEXT = 1775;
constexpr RPC_STATUS RPC_X_NULL_REF_POINTER = 1780;
constexpr RPC_STATUS RPC_X_BAD_STUB_DATA = 1783;
constexpr RPC_STATUS RPC_X_SS_CONTEXT_MISMATCH = 6;

namespace kestrel::rpc {

// Fault statuses on the wire (DCE NCA codes, plus the one Windows value
// that Windows servers send for bad stub data).
namespace nca {
constexpr uint32_t kOpRangeError = 0x1C010002;
constexpr uint32_t kContextMismatch = 0x1C00001A;
constexpr uint32_t kBadStubData = 0x000006F7;
constexpr uint32_t kInvalidBound = 0x1C000007;
constexpr uint32_t kProtoError = 0x1C01000B;
constexpr uint32_t kRemoteNoMemory = 0x1C00001B;
constexpr uint32_t kUnspecified = 0x1C000012;
}  // namespace nca

// Fault status received → status raised by the client.
uint32_t statusFromFault(uint32_t fault) noexcept;
// Status of a server-side failure → fault status sent.
uint32_t faultFromStatus(uint32_t status) noexcept;

// What the byte stream did, rather than what a procedure did: it broke or
// lied (the connection ends), or the client gave the call up. The server's
// dispatch never turns one into a fault.
class StreamEvent {
 public:
  virtual ~StreamEvent() = default;
};

// The exception that leaves every client function on failure; status() is
// the u32 RPC status (RPC_S_* / RPC_X_* above, or a fault status passed
// through unchanged). Server methods may throw it too: the status is sent
// as the corresponding fault.
class RpcError : public std::exception {
 public:
  explicit RpcError(uint32_t status) noexcept : status_(status) {}
  uint32_t status() const noexcept { return status_; }
  const char* what() const noexcept override;

 private:
  uint32_t status_;
};

// A violation found in stub data while the PDU stream itself is still in
// step: the rest of the call's fragments can be skipped and the connection
// kept. Callers see it as an RpcError.
class StubError : public RpcError {
 public:
  using RpcError::RpcError;
};

// A malformed PDU: the stream can no longer be trusted, the connection
// goes. Callers see it as RpcError(RPC_S_PROTOCOL_ERROR).
class ProtocolError : public RpcError, public StreamEvent {
 public:
  ProtocolError() noexcept : RpcError(RPC_S_PROTOCOL_ERROR) {}
};

[[noreturn]] void raise(uint32_t status);
[[noreturn]] void raiseStub(uint32_t status);
[[noreturn]] void raiseProtocol();

}  // namespace kestrel::rpc
