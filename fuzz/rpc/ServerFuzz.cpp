// The server's side of a connection driven from a byte buffer: bind and
// alter_context negotiation, request reassembly and the whole dispatch.
// Context UUIDs are 11 11 .. 11 nn (nn = 1, 2, ...) so that inputs can use
// the contexts they create.
#include <cstring>

#include "remote/ProxyServer.h"
#include "rpcrt/Server.h"

namespace {

using namespace kestrel::remote;

class FuzzHost : public ProxyInterface {
 public:
  std::unique_ptr<DriverContext> LoadDriver(const kestrel::rpc::CallerInfo&, const char* name) override {
    if (std::strcmp(name, "null") == 0) return nullptr;
    return std::make_unique<DriverContext>();
  }
  int32_t GetVideoDataBlock(DriverContext&, const char*, int32_t n, int32_t& size, OutBytes& out) override {
    static char block[4096];
    size = n < 0 ? 0 : n > 4096 ? 4096 : n;
    out.adopt(block);
    return size;
  }
  int32_t QueryPresetPositions(DriverContext&, const char*, int32_t, int32_t max, int32_t len,
                               OutStringArray& names) override {
    if (max < 0 || max > 64 || len < 1 || len > 64) throw kestrel::rpc::RpcError(RPC_X_INVALID_BOUND);
    names.resize(size_t(max));
    std::string text(size_t(len - 1), 'n');
    for (int32_t i = 0; i < max; ++i) names.set(size_t(i), i % 2 ? text.c_str() : nullptr);
    return max;
  }
  int32_t GetXml(DriverContext&, const char* a, const char*, const char*, const char*, OutWString& xml) override {
    std::u16string t(a, a + std::strlen(a));
    xml.set(t.c_str());
    return 0;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzHost host;
  static ProxyDispatcher dispatcher(host);
  uint8_t next = 0;
  kestrel::rpc::ServiceOptions o;
  o.endpoint = "FUZZ";
  o.maxStub = 1 << 20;
  o.newContextId = [&next] {
    kestrel::rpc::Uuid u;
    u.bytes.fill(0x11);
    u.bytes[15] = ++next;
    return u;
  };
  kestrel::rpc::Service service(dispatcher, o);
  kestrel::rpc::MemoryTransport t(data, size);
  service.serve(t, kestrel::rpc::CallerInfo{});
  service.rundownAll();
  return 0;
}
