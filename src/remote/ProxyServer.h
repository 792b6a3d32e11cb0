// Server side of the proxy-server remote interface.
//
// HostProc derives from ProxyInterface, overrides the procedures it serves
// (one virtual method per row of ProxyInterface.def; the defaults give the
// neutral answer: 0 and null outputs) and runs a ProxyServer:
//
//   MyHost host;
//   kestrel::remote::ProxyServer server(host, endpoint);  // listens
//   server.start();
//   server.server().waitIdle(10s, 60s);
//   server.stop();
//
// Parameters arrive as plain C++ values: strings as const char*, wstrings
// as const char16_t*, arrays as pointers beside their count parameters,
// [out] values by reference. Memory of [in] values lives until the method
// returns. LoadDriver returns the per-context object (null: the null
// handle); every later method gets it as `DriverContext& hCtx`; UnloadDriver
// and Rundown receive it back to release it. Methods on one context run
// concurrently; UnloadDriver and Rundown run alone on theirs.
//
// A C++ exception leaving a method becomes a fault: kestrel::rpc::RpcError
// its status (e.g. RPC_X_INVALID_BOUND -> nca_s_fault_invalid_bound),
// std::bad_alloc nca_s_fault_remote_no_memory, anything else
// nca_s_fault_unspec.
#pragma once

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "remote/Preprocessor.h"
#include "remote/ProxyTypes.h"
#include "rpcrt/Server.h"

namespace kestrel::remote {

// The per-context object of a loaded driver; HostProc derives from it.
class DriverContext : public rpc::ContextObject {};

// [out, string]: null unless set; the text is sent up to its first NUL.
template <class Ch>
class OutText {
 public:
  void set(const Ch* s) {
    null_ = !s;
    text_ = s ? s : std::basic_string<Ch>();
  }
  void clear() {
    null_ = true;
    text_.clear();
  }
  bool isNull() const { return null_; }
  const Ch* c_str() const { return null_ ? nullptr : text_.c_str(); }

 private:
  std::basic_string<Ch> text_;
  bool null_ = true;
};
using OutString = OutText<RpcChar>;
using OutWString = OutText<RpcWChar>;

// [out, size_is(, *n)]: the *n elements go onto the wire straight from
// where they lie; `release` (e.g. the driver's DeleteBuffer) runs once they
// have been sent, or when the call fails. Null unless set.
template <class T>
class OutBlock {
 public:
  OutBlock() = default;
  OutBlock(const OutBlock&) = delete;
  OutBlock& operator=(const OutBlock&) = delete;
  ~OutBlock() { reset(); }

  void adopt(const T* data, std::function<void()> release = {}) {
    reset();
    data_ = data;
    release_ = std::move(release);
  }
  // A copy of n elements, owned by the runtime until sent.
  void copy(const T* data, size_t n) {
    std::shared_ptr<T[]> owned(new T[n]);
    if (n) std::memcpy(owned.get(), data, n * sizeof(T));
    adopt(owned.get(), [owned] {});
  }
  void reset() {
    data_ = nullptr;
    if (auto r = std::exchange(release_, nullptr)) r();
  }
  const T* data() const { return data_; }
  // For the runtime: the release routine, now its business.
  std::function<void()> takeRelease() { return std::exchange(release_, nullptr); }

 private:
  const T* data_ = nullptr;
  std::function<void()> release_;
};
using OutBytes = OutBlock<RpcChar>;
using OutDoubles = OutBlock<double>;

// [out, size_is(, n, m), string] RpcChar***: null, or exactly n entries
// (each null or a text of at most m-1 characters).
class OutStringArray {
 public:
  void setNull() {
    null_ = true;
    items_.clear();
    present_.clear();
  }
  void resize(size_t n) {
    null_ = false;
    items_.resize(n);
    present_.resize(n, false);
  }
  void set(size_t i, const char* s) {
    present_.at(i) = s != nullptr;
    items_[i] = s ? s : "";
  }
  void push_back(const char* s) {
    resize(items_.size() + 1);
    set(items_.size() - 1, s);
  }
  bool isNull() const { return null_; }
  size_t size() const { return items_.size(); }
  const char* at(size_t i) const { return present_.at(i) ? items_[i].c_str() : nullptr; }

 private:
  bool null_ = true;
  std::vector<std::string> items_;
  std::vector<bool> present_;
};

namespace stype {
// The C++ type of each parameter kind in a ProxyInterface method.
using Binding = const rpc::CallerInfo&;
using CallCtx = DriverContext&;
using DriverCtxInOut = std::unique_ptr<DriverContext>;
using Long = int32_t;
using Short = int16_t;
using Hyper = int64_t;
using Double = double;
using String = const RpcChar*;
using WString = const RpcWChar*;
using Bytes = const RpcChar*;
using Longs = const int32_t*;
using Strings = const RpcChar* const*;
using BoundedStrings = const RpcChar* const*;
using OutLong = int32_t&;
using OutDouble = double&;
using OutString = remote::OutString&;
using OutWString = remote::OutWString&;
using OutBytes = remote::OutBytes&;
using OutDoubles = remote::OutDoubles&;
using OutStrings = OutStringArray&;
namespace result {
using NewDriverCtx = std::unique_ptr<DriverContext>;
using Long = int32_t;
using Short = int16_t;
using Void = void;
}  // namespace result
}  // namespace stype

namespace detail {
template <class T>
T neutral() {
  if constexpr (!std::is_void_v<T>) return T{};
}
}  // namespace detail

#define KESTREL_SERVER_PARAM(K, name, ...) , [[maybe_unused]] ::kestrel::remote::stype::K name

class ProxyInterface {
 public:
  virtual ~ProxyInterface() = default;

#define KESTREL_PROC(op, Name, R, ...)                                             \
  virtual stype::result::R Name(KESTREL_LIST(KESTREL_SERVER_PARAM, __VA_ARGS__)) { \
    return detail::neutral<stype::result::R>();                                    \
  }
#include "remote/ProxyInterface.def"

  // A context whose client went away (its association's last connection
  // closed) or that was still open when the server stopped.
  virtual void Rundown(std::unique_ptr<DriverContext> ctx) { ctx.reset(); }
};

// Decodes requests, calls the ProxyInterface, encodes replies.
class ProxyDispatcher final : public rpc::Dispatcher {
 public:
  explicit ProxyDispatcher(ProxyInterface& impl) : impl_(impl) {}
  void dispatch(rpc::ServerCall& call) override;
  void rundown(std::unique_ptr<rpc::ContextObject> obj) override;

 private:
  ProxyInterface& impl_;
};

// The interface served on an endpoint.
class ProxyServer {
 public:
  ProxyServer(ProxyInterface& impl, const std::string& endpoint) : ProxyServer(impl, rpc::ServerOptions{endpoint}) {}
  ProxyServer(ProxyInterface& impl, rpc::ServerOptions options)
      : dispatcher_(impl), server_(dispatcher_, std::move(options)) {}

  void start() { server_.start(); }
  void stop() { server_.stop(); }
  rpc::Server& server() { return server_; }

 private:
  ProxyDispatcher dispatcher_;
  rpc::Server server_;
};

}  // namespace kestrel::remote
