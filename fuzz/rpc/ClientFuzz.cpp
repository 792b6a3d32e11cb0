// The client's side: the server's bind_ack and the reply of one call, from
// a byte buffer. The first byte picks the procedure, so that every kind of
// [out] parameter gets decoded; the rest is what the "server" sends.
#include <cstring>

#include "remote/ProxyClient.h"
#include "rpcrt/Client.h"

namespace {

using namespace kestrel::rpc;

void freeStrings(char** a, int32_t n) {
  if (!a) return;
  for (int32_t i = 0; i < n; ++i) delete[] a[i];
  delete[] a;
}

void call(uint8_t which, handle_t binding, RpcDriverCtx ctx) {
  int32_t a = 0, b = 0, c = 0, d = 0;
  double x = 0, y = 0, z = 0, w = 0;
  switch (which % 12) {
    case 0: {
      RpcDriverCtx loaded = rpc_LoadDriver(binding, "driver");
      RpcSsDestroyClientContext(&loaded);
      break;
    }
    case 1: {
      RpcDriverCtx copy = ctx;
      rpc_UnloadDriver(&copy);
      break;
    }
    case 2: {
      char* block = nullptr;
      rpc_GetVideoDataBlock(ctx, "s", 0, &a, &block);
      delete[] block;
      break;
    }
    case 3: {
      char *mac = nullptr, *type = nullptr;
      rpc_GetInfo(ctx, "ip", "pw", &mac, &type);
      delete[] mac;
      delete[] type;
      break;
    }
    case 4: {
      char16_t* xml = nullptr;
      rpc_GetXml(ctx, "s", "u", "p", "f", &xml);
      delete[] xml;
      break;
    }
    case 5: {
      double *v = nullptr, *i = nullptr;
      rpc_QueryDeviceControlledFramerates(ctx, "s", "p", 0, &a, &v, &i);
      delete[] v;
      delete[] i;
      break;
    }
    case 6: {
      char** names = nullptr;
      rpc_QueryPresetPositions(ctx, "s", 0, 3, 8, &names);
      freeStrings(names, 3);
      break;
    }
    case 7: {
      char** names = nullptr;
      rpc_QueryPtzSupportedDyn(ctx, "s", "p", 8, &a, &names);
      freeStrings(names, a);
      break;
    }
    case 8: {
      const char* used[] = {"e1", nullptr, "e3"};
      char** open = nullptr;
      rpc_QueryEventsDyn(ctx, "s", "p", 8, 3, used, &a, &open);
      freeStrings(open, a);
      break;
    }
    case 9:
      rpc_PTZGetAbsoluteDoubles(ctx, "s", "u", "p", 0, 0, &x, &y, &z, &w);
      break;
    case 10:
      rpc_PTZGetAbsolute(ctx, "s", "u", "p", 0, 0, &a, &b, &c, &d);
      break;
    default:
      rpc_QueryEventTypeDyn(ctx, "s", "p");
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  auto assoc = testing::associationWithConnector(
      "FUZZ", [data, size](const std::string&) { return std::make_unique<MemoryTransport>(data + 1, size - 1); });
  ContextWire wire{};
  wire[4] = 1;
  RpcDriverCtx ctx = newContextHandle(assoc, wire);
  handle_t binding = newBindingHandle(assoc);
  testing::setClientStubLimit(1 << 20);
  try {
    call(data[0], binding, ctx);
  } catch (const RpcError&) {
  }
  destroyContextHandle(ctx);
  freeBindingHandle(binding);
  return 0;
}
