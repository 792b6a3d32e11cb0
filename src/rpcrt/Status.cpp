#include "rpcrt/Status.h"

namespace kestrel::rpc {

namespace {
struct FaultPair {
  uint32_t fault;
  uint32_t status;
};
constexpr FaultPair kFaults[] = {
    {nca::kOpRangeError, RPC_S_PROCNUM_OUT_OF_RANGE}, {nca::kContextMismatch, RPC_X_SS_CONTEXT_MISMATCH},
    {nca::kBadStubData, RPC_X_BAD_STUB_DATA},         {nca::kInvalidBound, RPC_X_INVALID_BOUND},
    {nca::kProtoError, RPC_S_PROTOCOL_ERROR},         {nca::kRemoteNoMemory, RPC_S_OUT_OF_MEMORY},
    {nca::kUnspecified, RPC_S_CALL_FAILED},
};
}  // namespace

uint32_t statusFromFault(uint32_t fault) noexcept {
  for (const auto& p : kFaults)
    if (p.fault == fault) return p.status;
  return fault;
}

uint32_t faultFromStatus(uint32_t status) noexcept {
  for (const auto& p : kFaults)
    if (p.status == status) return p.fault;
  return status;
}

const char* RpcError::what() const noexcept {
  switch (status_) {
    case RPC_S_OUT_OF_MEMORY:
      return "RPC: out of memory";
    case RPC_S_SERVER_UNAVAILABLE:
      return "RPC: server unavailable";
    case RPC_S_OUT_OF_RESOURCES:
      return "RPC: out of resources";
    case RPC_S_CALL_FAILED:
      return "RPC: call failed";
    case RPC_S_PROTOCOL_ERROR:
      return "RPC: protocol error";
    case RPC_X_BAD_STUB_DATA:
      return "RPC: bad stub data";
    case RPC_X_INVALID_BOUND:
      return "RPC: invalid bound";
    case RPC_X_NULL_REF_POINTER:
      return "RPC: null reference pointer";
    case RPC_X_SS_IN_NULL_CONTEXT:
      return "RPC: null context handle";
    case RPC_X_SS_CONTEXT_MISMATCH:
      return "RPC: context handle mismatch";
    case RPC_S_UNKNOWN_IF:
      return "RPC: unknown interface";
    case RPC_S_PROCNUM_OUT_OF_RANGE:
      return "RPC: procedure number out of range";
    case RPC_S_INVALID_BINDING:
      return "RPC: invalid binding handle";
    default:
      return "RPC: call failed with a status";
  }
}

void raise(uint32_t status) { throw RpcError(status); }
void raiseStub(uint32_t status) { throw StubError(status); }
void raiseProtocol() { throw ProtocolError(); }

}  // namespace kestrel::rpc
