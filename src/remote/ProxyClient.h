// Client functions of the proxy-server remote interface, one per procedure
// of ProxyInterface.def (IDL long = int32_t, short = int16_t, hyper =
// int64_t). Opnums 42, 49, 52 and 63 have none.
//
// Every failure leaves a function as kestrel::rpc::RpcError, whose status()
// is the u32 RPC status (rpcrt/Status.h). Nothing is sent when a handle or
// a pointer is refused (null RpcDriverCallCtx: RPC_X_SS_IN_NULL_CONTEXT;
// a handle that was unloaded or destroyed: RPC_X_SS_CONTEXT_MISMATCH; a null
// string, array or out pointer: RPC_X_NULL_REF_POINTER).
//
// Out strings, wstrings, byte blocks, double arrays and string arrays (the
// array and each string in it) are allocated with new[]: release them with
// delete[]. They are handed over only when the whole reply was valid.
// rpc_UnloadDriver nulls the caller's handle variable.
#pragma once

#include "remote/Preprocessor.h"
#include "remote/ProxyTypes.h"

namespace kestrel::remote::ctype {
// The C++ type of each parameter kind on the client side.
using Binding = handle_t;
using CallCtx = RpcDriverCallCtx;
using DriverCtxInOut = RpcDriverCtx*;
using Long = int32_t;
using Short = int16_t;
using Hyper = int64_t;
using Double = double;
using String = const RpcCChar*;
using WString = const RpcWChar*;
using Bytes = const RpcChar*;
using Longs = const int32_t*;
using Strings = RpcCChar**;
using BoundedStrings = RpcCChar**;
using OutLong = int32_t*;
using OutDouble = double*;
using OutString = RpcChar**;
using OutWString = RpcWChar**;
using OutBytes = RpcChar**;
using OutDoubles = double**;
using OutStrings = RpcChar***;
namespace result {
using NewDriverCtx = RpcDriverCtx;
using Long = int32_t;
using Short = int16_t;
using Void = void;
}  // namespace result
}  // namespace kestrel::remote::ctype

#define KESTREL_CLIENT_PARAM(K, name, ...) , ::kestrel::remote::ctype::K name
#define KESTREL_PROC(op, Name, R, ...) \
  ::kestrel::remote::ctype::result::R rpc_##Name(KESTREL_LIST(KESTREL_CLIENT_PARAM, __VA_ARGS__));
#include "remote/ProxyInterface.def"
