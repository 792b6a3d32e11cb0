// Types of the proxy-server remote interface, as the interface declares them.
#pragma once

#include <cstdint>

#include "rpcrt/Rpc.h"

typedef char RpcChar;         // 8-bit text and byte blocks
typedef const char RpcCChar;  // input strings
typedef char16_t RpcWChar;    // UTF-16 texts (XML, time line, credentials)

// Context handles: opaque pointer-sized ids of the runtime's handle table,
// never dereferenced. RpcDriverCtx is the serialized type (LoadDriver,
// UnloadDriver), RpcDriverCallCtx the concurrent one that may not be null.
typedef void* RpcDriverCtx;
typedef void* RpcDriverCallCtx;
