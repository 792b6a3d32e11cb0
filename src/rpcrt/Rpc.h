// The Microsoft-named binding and context-handle API of our RPC runtime.
// Binding functions return a status, never throw and never connect; the
// directory check and the connect happen at the first call.
#pragma once

#include "rpcrt/Status.h"

typedef unsigned char* RPC_CSTR;
typedef void* RPC_BINDING_HANDLE;
typedef RPC_BINDING_HANDLE handle_t;

// "[ObjUuid@]ProtSeq:[NetworkAddr][[Endpoint[,Options]]]", allocated; free
// it with RpcStringFreeA.
RPC_STATUS RpcStringBindingComposeA(RPC_CSTR ObjUuid, RPC_CSTR ProtSeq, RPC_CSTR NetworkAddr, RPC_CSTR Endpoint,
                                    RPC_CSTR Options, RPC_CSTR* StringBinding);
// Only "ncalrpc" with an endpoint is supported: another protocol sequence
// gives RPC_S_PROTSEQ_NOT_SUPPORTED, a malformed text
// RPC_S_INVALID_STRING_BINDING.
RPC_STATUS RpcBindingFromStringBindingA(RPC_CSTR StringBinding, RPC_BINDING_HANDLE* Binding);
RPC_STATUS RpcStringFreeA(RPC_CSTR* String);
RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* Binding);
// Drops the client side of a context handle without a call and nulls the
// variable; calls on copies of it then fail with RPC_X_SS_CONTEXT_MISMATCH
// before sending. A null or already destroyed handle is ignored.
void RpcSsDestroyClientContext(void** ContextHandle);
