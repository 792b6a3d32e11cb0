// The client against a raw server: replies built by hand for the calls
// under test, each case on its own endpoint so that a case that kills its
// connection leaves nothing behind for the next one.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Raw.h"
#include "TestSupport.h"

namespace rawserver {

using raw::Builder;
using raw::Bytes;

inline const Bytes kCtxUuid(16, 0x5A);

inline Bytes bindAck(uint32_t callId, uint32_t group = 0x1234, uint16_t result = 0,
                     uint16_t maxFrag = 65528) {
  Builder b;
  b.u16(maxFrag).u16(maxFrag).u32(group).u16(4).put("abc", 4);
  b.u16(0);  // pad to 4 (the body starts at PDU offset 16)
  b.u8(1).u8(0).u16(0).u16(result).u16(result ? 1 : 0);
  if (result) {
    b.bytes(Bytes(20, 0));
  } else {
    b.bytes(raw::kNdr).u32(2);
  }
  return raw::pdu(12, 3, callId, b.done());
}

// A GetVideoDataBlock reply stub.
inline Bytes blockStub(uint32_t size, const Bytes& data, uint32_t maxCount, int32_t result = 7) {
  Builder b;
  b.u32(size).u32(0x20000).u32(maxCount).bytes(data).align(4).u32(uint32_t(result));
  return b.done();
}

// A response fragment with an explicit frag_length, whatever the body.
inline Bytes lyingFragment(uint32_t callId, const Bytes& stub, uint8_t flags, uint16_t fragLength) {
  Bytes f = raw::response(callId, stub, flags);
  std::memcpy(f.data() + 8, &fragLength, 2);
  return f;
}

// The calls whose replies the cases forge, one per kind of [out] value.
// Each returns the status it raised (0: none) and frees what it got.
struct Calls {
  static uint32_t block(RpcDriverCtx c) {
    int32_t size = 0;
    char* b = nullptr;
    uint32_t st = testsupport::statusOf([&] { rpc_GetVideoDataBlock(c, "s", 0, &size, &b); });
    delete[] b;
    return st;
  }
  static uint32_t string(RpcDriverCtx c) {
    char* mac = nullptr;
    char* type = nullptr;
    uint32_t st = testsupport::statusOf([&] { rpc_GetInfo(c, "ip", "pw", &mac, &type); });
    delete[] mac;
    delete[] type;
    return st;
  }
  static uint32_t wstring(RpcDriverCtx c) {
    char16_t* xml = nullptr;
    uint32_t st = testsupport::statusOf([&] { rpc_GetXml(c, "s", "u", "p", "f", &xml); });
    delete[] xml;
    return st;
  }
  static uint32_t doubles(RpcDriverCtx c) {
    int32_t n = 0;
    double* a = nullptr;
    double* b = nullptr;
    uint32_t st = testsupport::statusOf(
        [&] { rpc_QueryDeviceControlledFramerates(c, "s", "p", 0, &n, &a, &b); });
    delete[] a;
    delete[] b;
    return st;
  }
  // QueryPtzSupportedDyn with nMaxStrLen 8.
  static uint32_t strings(RpcDriverCtx c) {
    int32_t n = 0;
    char** a = nullptr;
    uint32_t st = testsupport::statusOf([&] { rpc_QueryPtzSupportedDyn(c, "s", "p", 8, &n, &a); });
    for (int32_t i = 0; a && i < n; ++i) delete[] a[i];
    delete[] a;
    return st;
  }
};

using Script = std::function<void(raw::Conn&, uint32_t callId)>;

class RawServerTest : public testsupport::RpcDirTest {
 protected:
  // A fresh endpoint that serves the bind and LoadDriver properly, then
  // lets `script` answer the next call; returns the status of `call`.
  uint32_t against(const Script& script, const std::function<uint32_t(RpcDriverCtx)>& call) {
    const std::string endpoint = endpoint_ + std::to_string(++cases_);
    uint32_t st = 0xFFFFFFFF;
    {
      raw::Listener l(dir_ + "/" + endpoint);
      l.serve([&](raw::Conn& c) {
        Bytes bind = c.read();
        c.send(bindAck(raw::u32at(bind, 12)));
        Bytes load = c.read();
        c.send(raw::response(raw::u32at(load, 12), Builder().u32(0).bytes(kCtxUuid).done()));
        Bytes request = c.read();
        if (!request.empty()) script(c, raw::u32at(request, 12));
      });
      handle_t b = bindTo(endpoint);
      RpcDriverCtx ctx = rpc_LoadDriver(b, "drv");
      if (ctx) st = call(ctx);
      // Freeing the binding and the context closes the connection, which
      // ends a script still waiting for more.
      RpcSsDestroyClientContext(&ctx);
      RpcBindingFree(&b);
    }
    ::unlink((dir_ + "/" + endpoint).c_str());
    return st;
  }
  // The reply is `pdus`, sent as they are.
  uint32_t replyWith(const std::function<std::vector<Bytes>(uint32_t)>& pdus,
                     const std::function<uint32_t(RpcDriverCtx)>& call = Calls::block) {
    return against(
        [&](raw::Conn& c, uint32_t id) {
          for (const Bytes& p : pdus(id)) c.send(p);
        },
        call);
  }

  int cases_ = 0;
};

}  // namespace rawserver
