#include "rpcrt/Client.h"

#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <unordered_map>

namespace kestrel::rpc {

namespace {

std::atomic<uint64_t> g_clientStubLimit{kMaxStub};

// Handles are ids, never pointers: tag (8 bits) | generation (32) |
// slot + 1 (24). A stale or foreign value is recognised, never followed.
template <class T>
class HandleTable {
 public:
  explicit HandleTable(uint64_t tag) : tag_(tag) {}

  void* insert(std::shared_ptr<T> obj) {
    std::lock_guard g(mu_);
    uint32_t idx;
    if (!free_.empty()) {
      idx = free_.back();
      free_.pop_back();
    } else {
      if (slots_.size() >= kMaxSlots) raise(RPC_S_OUT_OF_MEMORY);
      idx = uint32_t(slots_.size());
      slots_.emplace_back();
    }
    slots_[idx].obj = std::move(obj);
    return encode(idx, slots_[idx].gen);
  }

  std::shared_ptr<T> find(const void* h) const {
    uint32_t idx, gen;
    if (!decode(h, idx, gen)) return {};
    std::lock_guard g(mu_);
    if (idx >= slots_.size() || slots_[idx].gen != gen) return {};
    return slots_[idx].obj;
  }

  // Frees the table's storage when no handle is live (module unload).
  bool releaseIfUnused() {
    std::lock_guard g(mu_);
    for (const Slot& slot : slots_)
      if (slot.obj) return false;
    std::vector<Slot>().swap(slots_);
    std::vector<uint32_t>().swap(free_);
    return true;
  }

  std::shared_ptr<T> remove(const void* h) {
    uint32_t idx, gen;
    if (!decode(h, idx, gen)) return {};
    std::lock_guard g(mu_);
    if (idx >= slots_.size() || slots_[idx].gen != gen || !slots_[idx].obj) return {};
    ++slots_[idx].gen;
    free_.push_back(idx);
    return std::move(slots_[idx].obj);
  }

 private:
  static constexpr uint32_t kMaxSlots = (1u << 24) - 1;
  struct Slot {
    uint32_t gen = 1;
    std::shared_ptr<T> obj;
  };
  void* encode(uint32_t idx, uint32_t gen) const {
    return reinterpret_cast<void*>(uintptr_t(tag_ << 56 | uint64_t(gen) << 24 | (idx + 1)));
  }
  bool decode(const void* h, uint32_t& idx, uint32_t& gen) const {
    uint64_t v = reinterpret_cast<uintptr_t>(h);
    if ((v >> 56) != tag_ || (v & 0xFFFFFF) == 0) return false;
    idx = uint32_t(v & 0xFFFFFF) - 1;
    gen = uint32_t(v >> 24);
    return true;
  }

  const uint64_t tag_;
  mutable std::mutex mu_;
  std::vector<Slot> slots_;
  std::vector<uint32_t> free_;
};

struct ClientState {
  HandleTable<Association> bindings{0xB1};
  HandleTable<ClientContext> contexts{0xC7};
  std::mutex assocMu;
  std::unordered_map<std::string, std::weak_ptr<Association>> associations;
};

std::atomic<ClientState*> g_state{nullptr};

void afterForkInChild() {
  // The child must never talk on its parent's connections. The parent's
  // objects are left behind untouched: their locks may be held by threads
  // that do not exist in the child.
  closeTrackedFdsAfterFork();
  g_state.store(new ClientState, std::memory_order_release);
}

ClientState& state() {
  static const bool once = [] {
    // Static storage, never destroyed: a thread still calling at exit never
    // meets a destroyed table, and nothing stays on the heap once the module
    // is unloaded (see releaseUnusedClientState).
    alignas(ClientState) static unsigned char storage[sizeof(ClientState)];
    g_state.store(new (storage) ClientState, std::memory_order_release);
    pthread_atfork(nullptr, nullptr, afterForkInChild);
    return true;
  }();
  (void)once;
  return *g_state.load(std::memory_order_acquire);
}

}  // namespace

void releaseUnusedClientState() noexcept {
  ClientState* s = g_state.load(std::memory_order_acquire);
  if (s == nullptr) return;
  s->bindings.releaseIfUnused();
  s->contexts.releaseIfUnused();
  std::lock_guard g(s->assocMu);
  std::erase_if(s->associations, [](const auto& entry) { return entry.second.expired(); });
  if (s->associations.empty()) decltype(s->associations)().swap(s->associations);
}

// ---- Association -------------------------------------------------------------

ClientConnection::ClientConnection(std::unique_ptr<Transport> t, Association& owner)
    : transport_(std::move(t)), reader_(*transport_), owner_(owner) {
  if (const int fd = transport_->descriptor(); fd >= 0) {
    std::lock_guard g(owner_.mu_);
    owner_.live_.push_back(fd);
  }
}

ClientConnection::~ClientConnection() {
  // Forgotten before the socket closes, so abort() never cuts a descriptor
  // number that was reused.
  if (const int fd = transport_->descriptor(); fd >= 0) {
    std::lock_guard g(owner_.mu_);
    std::erase(owner_.live_, fd);
  }
}

void Association::abort() {
  std::lock_guard g(mu_);
  for (const int fd : live_) ::shutdown(fd, SHUT_RDWR);
}

void abortAssociation(const std::string& endpoint) {
  ClientState& s = state();
  std::shared_ptr<Association> a;
  {
    std::lock_guard g(s.assocMu);
    if (const auto it = s.associations.find(endpoint); it != s.associations.end()) a = it->second.lock();
  }
  if (a) a->abort();
}

Association::Association(std::string endpoint, Connector connector)
    : endpoint_(std::move(endpoint)), connector_(std::move(connector)) {}

Association::~Association() = default;

uint32_t Association::group() const {
  std::lock_guard g(mu_);
  return group_;
}

size_t Association::idleCount() const {
  std::lock_guard g(mu_);
  return idle_.size();
}

std::unique_ptr<ClientConnection> Association::take(bool& pooled) {
  {
    std::lock_guard g(mu_);
    if (!idle_.empty()) {
      auto c = std::move(idle_.back());
      idle_.pop_back();
      pooled = true;
      return c;
    }
  }
  pooled = false;
  return open();
}

void Association::giveBack(std::unique_ptr<ClientConnection> c) {
  std::lock_guard g(mu_);
  idle_.push_back(std::move(c));
}

std::unique_ptr<ClientConnection> Association::open() {
  uint32_t group;
  {
    std::lock_guard g(mu_);
    group = group_;
  }
  if (group != 0) return bind(group);
  std::lock_guard first(firstBind_);
  {
    std::lock_guard g(mu_);
    group = group_;
  }
  auto c = bind(group);
  std::lock_guard g(mu_);
  group_ = group;
  return c;
}

std::unique_ptr<ClientConnection> Association::bind(uint32_t& group) {
  try {
    std::unique_ptr<Transport> t =
        connector_ ? connector_(endpoint_) : std::make_unique<SocketTransport>(connectEndpoint(endpoint_));
    auto c = std::make_unique<ClientConnection>(std::move(t), *this);
    const uint32_t callId = c->nextCallId++;
    std::vector<uint8_t> pdu = encodeBind(callId, group);
    iovec iov{pdu.data(), pdu.size()};
    c->transport().write(&iov, 1);

    PduReader& rd = c->reader();
    PduHeader h;
    if (!rd.readHeader(h)) raise(RPC_S_SERVER_UNAVAILABLE);
    const size_t bodySize = h.fragLength - kCommonHeaderSize;
    const uint8_t* body = rd.need(bodySize);
    if (h.callId != callId) raiseProtocol();
    if (h.ptype == ptype::kBindNak) raise(RPC_S_SERVER_UNAVAILABLE);
    if (h.ptype != ptype::kBindAck) raiseProtocol();
    BindAck ack = decodeBindAck(body, bodySize);
    rd.consume(bodySize);
    if (ack.maxXmit < kMinFrag || ack.maxRecv < kMinFrag || ack.assocGroup == 0 ||
        (group != 0 && ack.assocGroup != group) || rd.buffered() != 0)
      raiseProtocol();
    const ContextResult* accepted = ack.results.empty() ? nullptr : &ack.results[0];
    if (!accepted || accepted->result != presult::kAcceptance || accepted->transfer != kNdrUuid ||
        accepted->transferVersion != kNdrVersion)
      raise(RPC_S_UNKNOWN_IF);
    c->maxXmit = std::min(kOurMaxFrag, ack.maxRecv);
    group = ack.assocGroup;
    return c;
  } catch (const TransportExhausted&) {
    raise(RPC_S_OUT_OF_RESOURCES);
  } catch (const TransportError&) {
    raise(RPC_S_SERVER_UNAVAILABLE);
  } catch (const std::bad_alloc&) {
    raise(RPC_S_OUT_OF_MEMORY);
  }
}

std::shared_ptr<Association> associationFor(const std::string& endpoint) {
  ClientState& s = state();
  std::lock_guard g(s.assocMu);
  auto& slot = s.associations[endpoint];
  if (auto a = slot.lock()) return a;
  std::erase_if(s.associations, [](const auto& kv) { return kv.second.expired(); });
  auto a = std::make_shared<Association>(endpoint);
  s.associations[endpoint] = a;
  return a;
}

// ---- handles -------------------------------------------------------------------

void* newBindingHandle(std::shared_ptr<Association> a) { return state().bindings.insert(std::move(a)); }

std::shared_ptr<Association> resolveBinding(void* handle) { return state().bindings.find(handle); }

bool freeBindingHandle(void* handle) { return state().bindings.remove(handle) != nullptr; }

void* newContextHandle(std::shared_ptr<Association> a, const ContextWire& wire) {
  auto ctx = std::make_shared<ClientContext>(ClientContext{std::move(a), wire});
  return state().contexts.insert(std::move(ctx));
}

std::shared_ptr<ClientContext> resolveContext(void* handle) {
  if (!handle) raise(RPC_X_SS_IN_NULL_CONTEXT);
  auto c = state().contexts.find(handle);
  if (!c) raise(RPC_X_SS_CONTEXT_MISMATCH);
  return c;
}

void destroyContextHandle(void* handle) noexcept {
  // The object itself lives on while calls still hold it.
  state().contexts.remove(handle);
}

// ---- ClientCall ------------------------------------------------------------------

void ClientCall::sendRequest(uint32_t callId) {
  w_.send(conn_->transport(), ptype::kRequest, callId, 0, opnum_, conn_->maxXmit);
}

void ClientCall::transact() {
  if (!assoc_) raise(RPC_S_INVALID_BINDING);
  bool pooled = false;
  conn_ = assoc_->take(pooled);
  uint32_t callId = conn_->nextCallId++;
  try {
    sendRequest(callId);
  } catch (const TransportError& e) {
    conn_.reset();
    // An idle connection whose server went away: one retry on a new one.
    if (!pooled || !e.nothingWritten()) raise(RPC_S_CALL_FAILED);
    conn_ = assoc_->open();
    callId = conn_->nextCallId++;
    try {
      sendRequest(callId);
    } catch (const TransportError&) {
      conn_.reset();
      raise(RPC_S_CALL_FAILED);
    }
  }
  try {
    readReplyHeader(callId);
  } catch (const TransportError&) {
    conn_.reset();
    raise(RPC_S_CALL_FAILED);
  } catch (const RpcError&) {
    conn_.reset();
    throw;
  }
}

void ClientCall::readReplyHeader(uint32_t callId) {
  PduReader& rd = conn_->reader();
  PduHeader h;
  if (!rd.readHeader(h, PduReader::kCapacity)) throw TransportError("connection closed");
  if (h.callId != callId) raiseProtocol();
  if (h.ptype == ptype::kFault) {
    if (h.fragLength < kFaultMinSize) raiseProtocol();
    const uint8_t* body = rd.need(h.fragLength - kCommonHeaderSize);
    uint32_t status = loadU32(body + 8);
    rd.consume(h.fragLength - kCommonHeaderSize);
    if (rd.buffered() == 0) assoc_->giveBack(std::move(conn_));
    raise(status == 0 ? RPC_S_PROTOCOL_ERROR : statusFromFault(status));
  }
  if (h.ptype != ptype::kResponse || !(h.flags & pfc::kFirstFrag) || h.fragLength < kResponseHeaderSize ||
      h.fragLength > kOurMaxFrag)
    raiseProtocol();
  const uint8_t* b = rd.need(kResponseHeaderSize - kCommonHeaderSize);
  if (loadU16(b + 4) != 0) raiseProtocol();
  rd.consume(kResponseHeaderSize - kCommonHeaderSize);
  NdrReader::Options o;
  o.type = ptype::kResponse;
  o.callId = callId;
  o.limit = g_clientStubLimit.load(std::memory_order_relaxed);
  r_.emplace(rd, o, h.fragLength - kResponseHeaderSize, (h.flags & pfc::kLastFrag) != 0);
  r_->enforceLimit();
}

void ClientCall::finish() {
  // Bytes beyond the reply would be taken for the next one: drop such a
  // connection instead of pooling it.
  if (conn_ && conn_->reader().buffered() == 0) assoc_->giveBack(std::move(conn_));
  conn_.reset();
}

void ClientCall::salvage() {
  try {
    r_->drain();
  } catch (const RpcError&) {
    conn_.reset();
    return;
  } catch (const TransportError&) {
    conn_.reset();
    return;
  }
  finish();
}

// ---- testing hooks ---------------------------------------------------------------

namespace testing {
void setClientStubLimit(uint64_t bytes) { g_clientStubLimit.store(bytes); }

std::shared_ptr<Association> associationWithConnector(const std::string& endpoint, Connector c) {
  return std::make_shared<Association>(endpoint, std::move(c));
}

ContextWire contextWire(void* handle) { return resolveContext(handle)->wire; }
}  // namespace testing

}  // namespace kestrel::rpc
