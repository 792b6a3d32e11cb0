// The client functions, expanded from the table.
#include "remote/ProxyClient.h"

#include <new>

#include "remote/ClientKinds.h"

namespace ck = kestrel::remote::ck;

#define KESTREL_CLIENT_VIEW(K, name, ...) auto v_##name = ck::K::view(call_, name);
#define KESTREL_CLIENT_PUT(K, name, ...) ck::K::put(call_.request(), v_##name KESTREL_VIEWS(__VA_ARGS__));
#define KESTREL_CLIENT_GET(K, name, ...) ck::K::get(call_.reply(), v_##name KESTREL_VIEWS(__VA_ARGS__));
#define KESTREL_CLIENT_COMMIT(K, name, ...) ck::K::commit(name, v_##name);

#define KESTREL_PROC(op, Name, R, ...)                                                              \
  ::kestrel::remote::ctype::result::R rpc_##Name(KESTREL_LIST(KESTREL_CLIENT_PARAM, __VA_ARGS__)) { \
    using Result_ = ck::ResultOf<ck::R>;                                                            \
    try {                                                                                           \
      ::kestrel::rpc::ClientCall call_(op);                                                         \
      KESTREL_FOR_EACH(KESTREL_CLIENT_VIEW, __VA_ARGS__)                                            \
      KESTREL_FOR_EACH(KESTREL_CLIENT_PUT, __VA_ARGS__)                                             \
      call_.transact();                                                                             \
      Result_::Held result_{};                                                                      \
      call_.decode([&] {                                                                            \
        KESTREL_FOR_EACH(KESTREL_CLIENT_GET, __VA_ARGS__)                                           \
        Result_::get(call_.reply(), result_);                                                       \
      });                                                                                           \
      call_.finish();                                                                               \
      KESTREL_FOR_EACH(KESTREL_CLIENT_COMMIT, __VA_ARGS__)                                          \
      return Result_::commit(call_, result_);                                                       \
    } catch (const std::bad_alloc&) {                                                               \
      ::kestrel::rpc::raise(RPC_S_OUT_OF_MEMORY);                                                   \
    }                                                                                               \
  }
#include "remote/ProxyInterface.def"
