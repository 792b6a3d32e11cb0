// Client half of the runtime: associations with their connection pools,
// binding and context handles as generation-tagged ids, and the call object
// that the generated client functions drive.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "rpcrt/Ndr.h"
#include "rpcrt/Pdu.h"
#include "rpcrt/Transport.h"

namespace kestrel::rpc {

class Association;

// One bound connection; carries one call at a time. Known to its
// association from connect to close, so that the association can cut it.
class ClientConnection {
 public:
  ClientConnection(std::unique_ptr<Transport> t, Association& owner);
  ~ClientConnection();
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;
  Transport& transport() { return *transport_; }
  PduReader& reader() { return reader_; }
  uint16_t maxXmit = kOurMaxFrag;
  uint32_t nextCallId = 1;

 private:
  std::unique_ptr<Transport> transport_;
  PduReader reader_;
  Association& owner_;
};

// Opens a transport to the endpoint; the default connects the socket.
using Connector = std::function<std::unique_ptr<Transport>(const std::string& endpoint)>;

// The client side of one association group: every connection to one
// endpoint, pooled. Lives while a binding or a context refers to it.
class Association {
 public:
  explicit Association(std::string endpoint, Connector connector = {});
  ~Association();
  Association(const Association&) = delete;
  Association& operator=(const Association&) = delete;

  // An idle connection (pooled = true) or a newly bound one.
  std::unique_ptr<ClientConnection> take(bool& pooled);
  // A newly connected and bound connection. Throws RpcError:
  // RPC_S_SERVER_UNAVAILABLE, RPC_S_UNKNOWN_IF or RPC_S_PROTOCOL_ERROR.
  std::unique_ptr<ClientConnection> open();
  void giveBack(std::unique_ptr<ClientConnection> c);

  const std::string& endpoint() const { return endpoint_; }
  uint32_t group() const;
  size_t idleCount() const;

  // Cuts every connection, idle or carrying a call, whoever else holds its
  // socket: a call in flight fails at once with RPC_S_CALL_FAILED, the next
  // finds no server. For a server process that is known to have ended.
  void abort();

 private:
  friend class ClientConnection;
  std::unique_ptr<ClientConnection> bind(uint32_t& group);

  const std::string endpoint_;
  const Connector connector_;
  mutable std::mutex mu_;
  // The sockets of every connection, under mu_; declared first, as the
  // connections below forget theirs when they are destroyed.
  std::vector<int> live_;
  std::vector<std::unique_ptr<ClientConnection>> idle_;
  uint32_t group_ = 0;
  // Until the server has given us a group id, connections are set up one
  // at a time so that they all join the same group.
  std::mutex firstBind_;
};

// Context handle on the wire: u32 attributes + UUID.
using ContextWire = std::array<uint8_t, 20>;

struct ClientContext {
  std::shared_ptr<Association> association;
  ContextWire wire;
};

// The association for an endpoint, shared by every binding to it.
std::shared_ptr<Association> associationFor(const std::string& endpoint);
// Association::abort for the endpoint's association, if there is one.
void abortAssociation(const std::string& endpoint);

// Binding handles.
void* newBindingHandle(std::shared_ptr<Association> a);
std::shared_ptr<Association> resolveBinding(void* handle);  // null if not a live binding
bool freeBindingHandle(void* handle);

// Context handles. resolveContext raises RPC_X_SS_IN_NULL_CONTEXT for null
// and RPC_X_SS_CONTEXT_MISMATCH for a handle that is no longer live.
void* newContextHandle(std::shared_ptr<Association> a, const ContextWire& wire);
std::shared_ptr<ClientContext> resolveContext(void* handle);
// Marks the handle dead; later calls on copies of it fail without sending.
void destroyContextHandle(void* handle) noexcept;
// Frees the client's handle tables and association cache when nothing in
// them is alive any more; called when the module that uses the runtime is
// unloaded, so that nothing stays allocated behind it.
void releaseUnusedClientState() noexcept;

// One remote call: marshal into request(), transact(), decode from reply(),
// then finish(). Any failure leaves as RpcError; a connection whose stream
// may be out of step is closed, never pooled.
class ClientCall {
 public:
  explicit ClientCall(uint16_t opnum) : opnum_(opnum) {}
  ClientCall(const ClientCall&) = delete;
  ClientCall& operator=(const ClientCall&) = delete;

  void setAssociation(std::shared_ptr<Association> a) { assoc_ = std::move(a); }
  const std::shared_ptr<Association>& association() const { return assoc_; }
  NdrWriter& request() { return w_; }
  void transact();
  NdrReader& reply() { return *r_; }
  // Runs the decoding of the reply; bad stub data skips the rest of the
  // reply so that the connection stays usable, then raises. Any other
  // failure closes the connection.
  template <class F>
  void decode(F&& f) {
    try {
      f();
      r_->expectEnd();
    } catch (const StubError&) {
      salvage();
      throw;
    } catch (const TransportError&) {
      conn_.reset();
      raise(RPC_S_CALL_FAILED);
    } catch (const std::bad_alloc&) {
      conn_.reset();
      raise(RPC_S_OUT_OF_MEMORY);
    }
  }
  void finish();

 private:
  void sendRequest(uint32_t callId);
  void readReplyHeader(uint32_t callId);
  void salvage();

  uint16_t opnum_;
  std::shared_ptr<Association> assoc_;
  NdrWriter w_;
  std::unique_ptr<ClientConnection> conn_;
  std::optional<NdrReader> r_;
};

// Hooks for tests and fuzzing: limits and in-memory connections.
namespace testing {
void setClientStubLimit(uint64_t bytes);
std::shared_ptr<Association> associationWithConnector(const std::string& endpoint, Connector c);
ContextWire contextWire(void* handle);
}  // namespace testing

}  // namespace kestrel::rpc
