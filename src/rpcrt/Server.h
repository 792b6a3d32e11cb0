// Server half of the runtime.
//
//   Service  - association groups, context handles and the dispatcher; serves
//              one connection from any Transport (sockets, or memory when a
//              fuzzer drives it).
//   Server   - a Service behind a listening socket, one thread per
//              connection, with a clean stop and an idle watch.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "rpcrt/Ndr.h"
#include "rpcrt/Transport.h"

namespace kestrel::rpc {

// Base of the objects that server context handles stand for.
class ContextObject {
 public:
  virtual ~ContextObject() = default;
};

// Who called: from SO_PEERCRED, and the caller's association group.
struct CallerInfo {
  pid_t pid = 0;
  uid_t uid = 0;
  uint32_t group = 0;
};

using ContextWire = std::array<uint8_t, 20>;
class Service;
struct ServerContext;

// One request being served; what the generated dispatch works with.
class ServerCall {
 public:
  ServerCall(Service& s, NdrReader& in, NdrWriter& out, const CallerInfo& caller, uint16_t opnum)
      : service_(s), in_(in), out_(out), caller_(caller), opnum_(opnum) {}
  ~ServerCall();
  ServerCall(const ServerCall&) = delete;
  ServerCall& operator=(const ServerCall&) = delete;

  NdrReader& in() { return in_; }
  NdrWriter& out() { return out_; }
  uint16_t opnum() const { return opnum_; }
  const CallerInfo& caller() const { return caller_; }

  // A live context of the caller's group, held (shared) until the reply
  // has been sent. Raises RPC_X_SS_CONTEXT_MISMATCH otherwise.
  ContextObject& useContext(const ContextWire& wire);
  // Registers a new context in the caller's group; null gives the null handle.
  ContextWire newContext(std::unique_ptr<ContextObject> obj);
  // Takes a context out exclusively: waits for the calls running on it,
  // refuses new ones meanwhile. Raises RPC_X_SS_CONTEXT_MISMATCH.
  std::unique_ptr<ContextObject> closeContext(const ContextWire& wire);
  // Runs after the reply has been sent (or the call failed): releases
  // blocks that were sent from where they lay.
  void afterSend(std::function<void()> f) { afterSend_.push_back(std::move(f)); }
  // Memory for decoded [in] values (8-aligned, never null), freed when the
  // call ends.
  void* allocate(size_t bytes);

 private:
  Service& service_;
  NdrReader& in_;
  NdrWriter& out_;
  const CallerInfo& caller_;
  uint16_t opnum_;
  std::vector<std::shared_ptr<ServerContext>> leases_;
  std::vector<std::function<void()>> afterSend_;
  alignas(8) unsigned char inline_[2048];
  size_t used_ = 0;
  std::vector<std::unique_ptr<uint64_t[]>> blocks_;
};

// What the generated dispatch implements.
class Dispatcher {
 public:
  virtual ~Dispatcher() = default;
  // Decodes call.in(), runs the procedure, encodes the reply into
  // call.out(). An RpcError (or any exception) becomes a fault.
  virtual void dispatch(ServerCall& call) = 0;
  // A context whose group ran down (last connection closed) or that was
  // still open at shutdown.
  virtual void rundown(std::unique_ptr<ContextObject> obj) = 0;
};

struct ServiceOptions {
  std::string endpoint;  // also the secondary address in bind_ack
  size_t maxConnectionsPerGroup = 1024;
  uint64_t maxStub = kMaxStub;
  // Where context UUIDs come from: random unless a fuzzer needs to know
  // them in advance.
  std::function<Uuid()> newContextId;
};

class Service {
 public:
  Service(Dispatcher& d, ServiceOptions o);
  ~Service();

  // Serves one connection until it closes, then leaves its group (running
  // the group's rundown when it was the last connection).
  void serve(Transport& t, CallerInfo caller);

  size_t contextCount() const;
  uint64_t contextsCreated() const;
  bool groupHasContexts(uint32_t group) const;
  // Unloads waiting for the calls running on their context.
  size_t closingCount() const { return closing_.load(); }
  // Runs down every context (shutdown).
  void rundownAll();

  // Called whenever the count of contexts changes (under no lock).
  void onContextsChanged(std::function<void()> f) { contextsChanged_ = std::move(f); }

 private:
  friend class ServerCall;
  friend class ServerConnection;
  struct UuidHash {
    size_t operator()(const Uuid& u) const noexcept;
  };
  uint32_t joinGroup(uint32_t requested, uint16_t& nakReason);
  void leaveGroup(uint32_t group);
  std::shared_ptr<ServerContext> find(const ContextWire& wire, uint32_t group);
  void erase(const std::shared_ptr<ServerContext>& c);
  void notifyContexts();

  Dispatcher& dispatcher_;
  const ServiceOptions opt_;
  mutable std::mutex mu_;
  std::unordered_map<Uuid, std::shared_ptr<ServerContext>, UuidHash> contexts_;
  std::unordered_map<uint32_t, size_t> groups_;  // group id -> live connections
  uint64_t created_ = 0;
  std::atomic<size_t> closing_{0};
  std::function<void()> contextsChanged_;
};

struct ServerOptions {
  std::string endpoint;
  size_t maxConnections = 4096;
  size_t maxConnectionsPerGroup = 1024;
  uint64_t maxStub = kMaxStub;
  // How long a peer may keep a connection waiting with no progress before
  // its bind, inside a PDU, or for a reply to be taken, and how long it may
  // rest between calls while its association holds no context, before the
  // connection is closed (0: for ever). With a context it may rest for ever.
  unsigned stallLimitMs = 30000;
};

class Server {
 public:
  // Creates the socket directory if needed, checks it and listens on the
  // endpoint. Throws std::runtime_error with a message on failure.
  Server(Dispatcher& d, ServerOptions o);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Starts accepting (one thread per connection).
  void start();
  // Async-signal-safe: asks the server to stop; waitIdle() returns false.
  void requestStop() noexcept;
  // Stops listening, closes every connection, waits for their threads,
  // runs down the remaining contexts and removes the socket.
  void stop();

  struct Counts {
    size_t connections;
    size_t contexts;
    uint64_t contextsCreated;
    size_t closing;  // unloads waiting for running calls
  };
  Counts counts() const;
  // Blocks until the server has had no connection and no context for
  // `grace` in a row (true), or a stop was requested (false). Until a
  // first context has been created, `initialGrace` applies instead. Once a
  // context has been created, the server is also idle when every peer has
  // gone, even while a call still runs on a connection (a driver call that
  // never returns): nobody is left to answer.
  bool waitIdle(std::chrono::milliseconds grace, std::chrono::milliseconds initialGrace);

  // Where the socket is, and its removal from a fatal-signal handler
  // (async-signal-safe).
  const std::string& socketPath() const { return listener_.displayPath; }
  void unlinkSocket() noexcept;

 private:
  void acceptLoop();
  void connectionThread(int fd, CallerInfo caller);
  void markActivity();
  // True when no live connection's peer is still there; mu_ held.
  bool peersGoneLocked() const;

  ServerOptions opt_;
  Service service_;
  Listener listener_;
  Fd wake_;  // eventfd: stop requests
  std::thread acceptor_;
  std::atomic<bool> stopRequested_{false};
  bool stopped_ = false;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::unordered_set<int> live_;  // descriptors of the open connections
  size_t threads_ = 0;
  std::chrono::steady_clock::time_point idleSince_;
};

}  // namespace kestrel::rpc
