// The server dispatch, expanded from the table.
#include "remote/ProxyServer.h"

#include "remote/ServerKinds.h"

namespace kestrel::remote {

#define KESTREL_SERVER_LOCAL(K, name, ...) sk::K::Local v_##name{};
#define KESTREL_SERVER_DECODE(K, name, ...) sk::K::decode(call, v_##name KESTREL_VIEWS(__VA_ARGS__));
#define KESTREL_SERVER_ARG(K, name, ...) , sk::K::arg(v_##name)
#define KESTREL_SERVER_ENCODE(K, name, ...) sk::K::encode(call, v_##name KESTREL_VIEWS(__VA_ARGS__));

// Decode every [in] parameter (the whole request is checked before the
// method runs), run, encode every [out] parameter, then the result.
#define KESTREL_SERVE(op, R, invocation, ...)            \
  case op: {                                             \
    using Result_ = sk::ResultOf<sk::R>;                 \
    KESTREL_FOR_EACH(KESTREL_SERVER_LOCAL, __VA_ARGS__)  \
    KESTREL_FOR_EACH(KESTREL_SERVER_DECODE, __VA_ARGS__) \
    call.in().expectEnd();                               \
    auto result_ = invocation;                           \
    KESTREL_FOR_EACH(KESTREL_SERVER_ENCODE, __VA_ARGS__) \
    Result_::encode(call, result_);                      \
    return;                                              \
  }
#define KESTREL_PROC(op, Name, R, ...)                                                                             \
  KESTREL_SERVE(op, R, Result_::invoke([&] { return impl_.Name(KESTREL_LIST(KESTREL_SERVER_ARG, __VA_ARGS__)); }), \
                __VA_ARGS__)
#define KESTREL_RESERVED_PROC(op, Name, R, ...) KESTREL_SERVE(op, R, Result_::neutral(), __VA_ARGS__)

void ProxyDispatcher::dispatch(rpc::ServerCall& call) {
  switch (call.opnum()) {
#include "remote/ProxyInterface.def"
    default:
      rpc::raise(RPC_S_PROCNUM_OUT_OF_RANGE);
  }
}

void ProxyDispatcher::rundown(std::unique_ptr<rpc::ContextObject> obj) {
  impl_.Rundown(std::unique_ptr<DriverContext>(static_cast<DriverContext*>(obj.release())));
}

}  // namespace kestrel::remote
