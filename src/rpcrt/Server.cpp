#include "rpcrt/Server.h"

#include <cxxabi.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrel::rpc {

// A server-side context handle: the object and its shared/exclusive gate.
struct ServerContext {
  Uuid uuid;
  uint32_t group = 0;
  std::unique_ptr<ContextObject> obj;
  std::mutex mu;
  std::condition_variable cv;
  int active = 0;        // calls running on it
  bool closing = false;  // unload or rundown under way: no new calls
};

namespace {

Uuid wireUuid(const ContextWire& w) {
  Uuid u;
  std::memcpy(u.bytes.data(), w.data() + 4, 16);
  return u;
}

uint32_t randomU32() {
  uint32_t v = 0;
  while (getrandom(&v, sizeof v, 0) != sizeof v) {
  }
  return v;
}

// Waits for the running calls on a context to end, keeping new ones out.
std::unique_ptr<ContextObject> closeExclusively(ServerContext& c) {
  std::unique_lock lk(c.mu);
  c.cv.wait(lk, [&] { return c.active == 0; });
  return std::move(c.obj);
}

}  // namespace

// ---- ServerCall ------------------------------------------------------------------

ServerCall::~ServerCall() {
  for (auto& f : afterSend_) {
    try {
      f();
    } catch (...) {
      // A release routine that fails has nothing left to tell anyone.
    }
  }
  for (auto& c : leases_) {
    std::lock_guard g(c->mu);
    if (--c->active == 0 && c->closing) c->cv.notify_all();
  }
}

void* ServerCall::allocate(size_t bytes) {
  size_t rounded = (bytes + 7) & ~size_t(7);
  if (rounded <= sizeof inline_ - used_) {
    void* p = inline_ + used_;
    used_ += rounded;
    return p;
  }
  blocks_.emplace_back(new uint64_t[rounded / 8]);
  return blocks_.back().get();
}

ContextObject& ServerCall::useContext(const ContextWire& wire) {
  auto c = service_.find(wire, caller_.group);
  std::lock_guard g(c->mu);
  if (c->closing || !c->obj) raise(RPC_X_SS_CONTEXT_MISMATCH);
  ++c->active;
  leases_.push_back(c);
  return *c->obj;
}

ContextWire ServerCall::newContext(std::unique_ptr<ContextObject> obj) {
  ContextWire w{};
  if (!obj) return w;
  auto c = std::make_shared<ServerContext>();
  c->group = caller_.group;
  c->obj = std::move(obj);
  {
    std::lock_guard g(service_.mu_);
    const auto& source = service_.opt_.newContextId;
    do c->uuid = source ? source() : Uuid::random();
    while (service_.contexts_.count(c->uuid));
    service_.contexts_.emplace(c->uuid, c);
    ++service_.created_;
  }
  service_.notifyContexts();
  std::memcpy(w.data() + 4, c->uuid.bytes.data(), 16);
  return w;
}

std::unique_ptr<ContextObject> ServerCall::closeContext(const ContextWire& wire) {
  auto c = service_.find(wire, caller_.group);
  {
    std::lock_guard g(c->mu);
    if (c->closing) raise(RPC_X_SS_CONTEXT_MISMATCH);
    c->closing = true;
  }
  service_.closing_.fetch_add(1);
  auto obj = closeExclusively(*c);
  service_.closing_.fetch_sub(1);
  service_.erase(c);
  return obj;
}

// ---- Service ---------------------------------------------------------------------

size_t Service::UuidHash::operator()(const Uuid& u) const noexcept {
  uint64_t a, b;
  std::memcpy(&a, u.bytes.data(), 8);
  std::memcpy(&b, u.bytes.data() + 8, 8);
  return size_t(a ^ (b * 0x9E3779B97F4A7C15ull));
}

Service::Service(Dispatcher& d, ServiceOptions o) : dispatcher_(d), opt_(std::move(o)) {}
Service::~Service() = default;

size_t Service::contextCount() const {
  std::lock_guard g(mu_);
  return contexts_.size();
}

bool Service::groupHasContexts(uint32_t group) const {
  std::lock_guard g(mu_);
  for (const auto& kv : contexts_)
    if (kv.second->group == group) return true;
  return false;
}

uint64_t Service::contextsCreated() const {
  std::lock_guard g(mu_);
  return created_;
}

void Service::notifyContexts() {
  if (contextsChanged_) contextsChanged_();
}

std::shared_ptr<ServerContext> Service::find(const ContextWire& wire, uint32_t group) {
  std::lock_guard g(mu_);
  if (loadU32(wire.data()) != 0) raise(RPC_X_SS_CONTEXT_MISMATCH);
  auto it = contexts_.find(wireUuid(wire));
  if (it == contexts_.end() || it->second->group != group) raise(RPC_X_SS_CONTEXT_MISMATCH);
  return it->second;
}

void Service::erase(const std::shared_ptr<ServerContext>& c) {
  {
    std::lock_guard g(mu_);
    contexts_.erase(c->uuid);
  }
  notifyContexts();
}

uint32_t Service::joinGroup(uint32_t requested, uint16_t& nakReason) {
  std::lock_guard g(mu_);
  if (requested == 0) {
    uint32_t id;
    do id = randomU32();
    while (id == 0 || groups_.count(id));
    groups_[id] = 1;
    return id;
  }
  auto it = groups_.find(requested);
  if (it == groups_.end()) {
    nakReason = nak::kReasonNotSpecified;  // an unknown association group
    return 0;
  }
  if (it->second >= opt_.maxConnectionsPerGroup) {
    nakReason = nak::kLocalLimitExceeded;
    return 0;
  }
  ++it->second;
  return requested;
}

void Service::leaveGroup(uint32_t group) {
  std::vector<std::shared_ptr<ServerContext>> gone;
  {
    std::lock_guard g(mu_);
    auto it = groups_.find(group);
    if (it == groups_.end() || --it->second > 0) return;
    groups_.erase(it);
    for (auto c = contexts_.begin(); c != contexts_.end();) {
      if (c->second->group == group) {
        gone.push_back(c->second);
        c = contexts_.erase(c);
      } else {
        ++c;
      }
    }
  }
  for (auto& c : gone) {
    {
      std::lock_guard g(c->mu);
      c->closing = true;
    }
    if (auto obj = closeExclusively(*c)) dispatcher_.rundown(std::move(obj));
  }
  if (!gone.empty()) notifyContexts();
}

void Service::rundownAll() {
  std::vector<std::shared_ptr<ServerContext>> all;
  {
    std::lock_guard g(mu_);
    for (auto& kv : contexts_) all.push_back(kv.second);
    contexts_.clear();
  }
  for (auto& c : all) {
    {
      std::lock_guard g(c->mu);
      c->closing = true;
    }
    if (auto obj = closeExclusively(*c)) dispatcher_.rundown(std::move(obj));
  }
  if (!all.empty()) notifyContexts();
}

// ---- one connection ----------------------------------------------------------------

class ServerConnection {
 public:
  ServerConnection(Service& s, Transport& t, CallerInfo caller) : s_(s), t_(t), caller_(caller), rd_(t) {}

  void run() {
    try {
      PduHeader h;
      while (nextHeader(h)) {
        try {
          if (!handle(h)) break;
        } catch (const CallOrphaned&) {
          // Given up by the client while its request was being skipped.
        }
      }
    } catch (const StreamEvent&) {
    } catch (const std::bad_alloc&) {
    }
    if (caller_.group) s_.leaveGroup(caller_.group);
  }

 private:
  // Reads the next PDU's header. The library keeps its connections for the
  // next call, so a peer whose association holds a context may rest between
  // calls for ever; any other stall (before the bind, inside a PDU, or resting
  // with no context) ends the connection after the transport's stall limit.
  bool nextHeader(PduHeader& h) {
    for (;;) {
      try {
        return rd_.readHeader(h);
      } catch (const TransportStalled&) {
        // Nothing buffered: the stall came before the PDU's first byte.
        if (!bound_ || rd_.buffered() > 0 || !s_.groupHasContexts(caller_.group)) throw;
      }
    }
  }

  // Returns false when the connection is to be closed.
  bool handle(const PduHeader& h) {
    switch (h.ptype) {
      case ptype::kBind:
        return !bound_ && bind(h, false);
      case ptype::kAlterContext:
        return bound_ && bind(h, true);
      case ptype::kRequest:
        if (!bound_) {
          sendFault(h.callId, 0, nca::kProtoError);
          return false;
        }
        return request(h);
      case ptype::kCoCancel:
      case ptype::kOrphaned:
      case ptype::kAuth3:
        rd_.skip(h.fragLength - kCommonHeaderSize);
        return true;
      default:
        return false;
    }
  }

  void send(const std::vector<uint8_t>& pdu) {
    iovec iov{const_cast<uint8_t*>(pdu.data()), pdu.size()};
    t_.write(&iov, 1);
  }
  void sendFault(uint32_t callId, uint16_t ctx, uint32_t status) { send(encodeFault(callId, ctx, status)); }

  ContextResult evaluate(const PresentationContext& pc) {
    for (const auto& ts : pc.transfer)
      if (isBindTimeFeature(ts.first))
        return {presult::kNegotiateAck, presult::kReasonNone, {}, 0};  // no features offered
    if (pc.abstract.uuid != kInterfaceUuid || pc.abstract.major != kInterfaceMajor ||
        pc.abstract.minor != kInterfaceMinor)
      return {presult::kProviderRejection, presult::kAbstractSyntaxNotSupported, {}, 0};
    for (const auto& ts : pc.transfer) {
      if (ts.first == kNdrUuid && ts.second == kNdrVersion) {
        if (std::find(accepted_.begin(), accepted_.end(), pc.id) == accepted_.end()) {
          if (accepted_.size() >= kMaxContexts)
            return {presult::kProviderRejection, presult::kLocalLimitExceeded, {}, 0};
          accepted_.push_back(pc.id);
        }
        return {presult::kAcceptance, presult::kReasonNone, kNdrUuid, kNdrVersion};
      }
    }
    return {presult::kProviderRejection, presult::kTransferSyntaxesNotSupported, {}, 0};
  }

  bool bind(const PduHeader& h, bool alter) {
    const size_t size = h.fragLength - kCommonHeaderSize;
    BindRequest req = decodeBind(rd_.need(size), size);
    rd_.consume(size);
    if (!alter) {
      uint16_t reason = nak::kReasonNotSpecified;
      if (req.maxXmit < kMinFrag || req.maxRecv < kMinFrag || !(caller_.group = s_.joinGroup(req.assocGroup, reason))) {
        send(encodeBindNak(h.callId, reason));
        return false;
      }
      maxXmit_ = std::min(kOurMaxFrag, req.maxRecv);
      maxRecv_ = std::min(kOurMaxFrag, req.maxXmit);
      bound_ = true;
    }
    BindAck ack;
    ack.maxXmit = maxXmit_;
    ack.maxRecv = maxRecv_;
    ack.assocGroup = caller_.group;
    for (const auto& pc : req.contexts) ack.results.push_back(evaluate(pc));
    send(encodeBindAck(alter ? ptype::kAlterContextResp : ptype::kBindAck, h.callId, ack,
                       alter ? std::string() : s_.opt_.endpoint));
    return true;
  }

  bool request(const PduHeader& h) {
    const size_t header = kRequestHeaderSize + ((h.flags & pfc::kObjectUuid) ? 16 : 0);
    if (!(h.flags & pfc::kFirstFrag) || h.fragLength < header || h.fragLength > maxRecv_) {
      sendFault(h.callId, 0, nca::kProtoError);
      return false;
    }
    const uint8_t* b = rd_.need(header - kCommonHeaderSize);
    NdrReader::Options o;
    o.type = ptype::kRequest;
    o.callId = h.callId;
    o.contextId = loadU16(b + 4);
    o.opnum = loadU16(b + 6);
    o.maxFrag = maxRecv_;
    o.limit = s_.opt_.maxStub;
    rd_.consume(header - kCommonHeaderSize);

    NdrReader in(rd_, o, h.fragLength - header, (h.flags & pfc::kLastFrag) != 0);
    uint32_t fault = 0;
    try {
      in.enforceLimit();
      if (std::find(accepted_.begin(), accepted_.end(), o.contextId) == accepted_.end()) {
        fault = nca::kProtoError;  // unknown presentation context
      } else {
        w_.clear();
        ServerCall call(s_, in, w_, caller_, o.opnum);
        fault = invoke(call);
        if (!fault) w_.send(t_, ptype::kResponse, h.callId, o.contextId, 0, maxXmit_);
      }  // blocks sent from where they lay are released here, after the send
    } catch (const CallOrphaned&) {
      return true;  // the client gave the call up: no reply
    } catch (const StubError& e) {
      // The request outgrew the limit before the dispatch saw it.
      fault = faultFromStatus(e.status());
    }
    if (!fault) return true;
    // The fault goes out before the rest of the request is skipped: it does
    // not depend on that rest, and a request that never ends would
    // otherwise never be answered. The client reads it once it has sent
    // its request; the skipping keeps the stream in step for the next call.
    sendFault(h.callId, o.contextId, fault);
    try {
      in.drain();
    } catch (const CallOrphaned&) {
    }
    return true;
  }

  // Runs the dispatch; returns the fault status to send, 0 on success. The
  // request may have been left unread in part.
  uint32_t invoke(ServerCall& call) {
    uint32_t fault = 0;
    try {
      s_.dispatcher_.dispatch(call);
      return 0;
    } catch (const StreamEvent&) {
      throw;
    } catch (const abi::__forced_unwind&) {
      throw;
    } catch (const RpcError& e) {
      fault = faultFromStatus(e.status());
    } catch (const std::bad_alloc&) {
      fault = nca::kRemoteNoMemory;
    } catch (...) {
      fault = nca::kUnspecified;
    }
    return fault;
  }

  static constexpr size_t kMaxContexts = 64;

  Service& s_;
  Transport& t_;
  CallerInfo caller_;
  PduReader rd_;
  NdrWriter w_;
  bool bound_ = false;
  uint16_t maxXmit_ = kOurMaxFrag;
  uint16_t maxRecv_ = kOurMaxFrag;
  std::vector<uint16_t> accepted_;
};

void Service::serve(Transport& t, CallerInfo caller) {
  caller.group = 0;
  ServerConnection(*this, t, caller).run();
}

// ---- Server ------------------------------------------------------------------------

Server::Server(Dispatcher& d, ServerOptions o)
    : opt_(std::move(o)),
      service_(d, ServiceOptions{opt_.endpoint, opt_.maxConnectionsPerGroup, opt_.maxStub, {}}),
      listener_(listenEndpoint(opt_.endpoint, SOMAXCONN)),
      idleSince_(std::chrono::steady_clock::now()) {
  wake_.Reset(NmDescriptor::RaiseAbove2(::eventfd(0, EFD_CLOEXEC)));
  if (!wake_) {
    unlinkSocket();
    throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
  }
  service_.onContextsChanged([this] { markActivity(); });
}

Server::~Server() {
  try {
    stop();
  } catch (...) {
  }
}

void Server::start() {
  acceptor_ = std::thread([this] { acceptLoop(); });
}

void Server::requestStop() noexcept {
  uint64_t one = 1;
  stopRequested_.store(true);
  ssize_t r = ::write(wake_.Get(), &one, sizeof one);
  (void)r;
}

void Server::unlinkSocket() noexcept { ::unlinkat(listener_.dir.fd.Get(), opt_.endpoint.c_str(), 0); }

void Server::markActivity() {
  std::lock_guard g(mu_);
  idleSince_ = std::chrono::steady_clock::now();
  cv_.notify_all();
}

Server::Counts Server::counts() const {
  std::lock_guard g(mu_);
  return {threads_, service_.contextCount(), service_.contextsCreated(), service_.closingCount()};
}

bool Server::peersGoneLocked() const {
  for (const int fd : live_) {
    pollfd p{fd, POLLRDHUP, 0};
    if (::poll(&p, 1, 0) == 0) return false;  // neither hung up nor closed: someone is there
  }
  return true;
}

bool Server::waitIdle(std::chrono::milliseconds grace, std::chrono::milliseconds initialGrace) {
  // A connection thread that is stuck in a call says nothing when its peer
  // goes: while calls run, the peers are looked at now and then.
  constexpr auto kPeerCheck = std::chrono::milliseconds(100);
  std::unique_lock lk(mu_);
  for (;;) {
    if (stopRequested_.load()) return false;
    if (threads_ == 0 && service_.contextCount() == 0) {
      auto deadline = idleSince_ + (service_.contextsCreated() ? grace : initialGrace);
      if (std::chrono::steady_clock::now() >= deadline) return true;
      cv_.wait_until(lk, deadline);
    } else if (service_.contextsCreated() && peersGoneLocked()) {
      return true;
    } else {
      cv_.wait_for(lk, kPeerCheck);
    }
  }
}

void Server::acceptLoop() {
  pollfd p[2] = {{listener_.fd.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
  for (;;) {
    int n = ::poll(p, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || p[1].revents) break;
    if (!(p[0].revents & POLLIN)) continue;
    int fd = ::accept4(listener_.fd.Get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        ::poll(&p[1], 1, 50);  // out of resources: do not spin on the listener
      continue;
    }
    fd = NmDescriptor::RaiseAbove2(fd);
    CallerInfo caller;
    if (fd < 0 || !peerIsSameUser(fd, &caller.pid, &caller.uid)) {
      if (fd >= 0) ::close(fd);
      continue;
    }
    {
      std::lock_guard g(mu_);
      if (threads_ >= opt_.maxConnections) {
        ::close(fd);
        continue;
      }
      ++threads_;
      live_.insert(fd);
    }
    try {
      std::thread([this, fd, caller] { connectionThread(fd, caller); }).detach();
    } catch (const std::system_error&) {
      std::lock_guard g(mu_);
      --threads_;
      live_.erase(fd);
      ::close(fd);
    }
  }
  std::lock_guard g(mu_);
  cv_.notify_all();
}

void Server::connectionThread(int fd, CallerInfo caller) {
  {
    SocketTransport t{Fd(fd)};
    t.setStallLimit(opt_.stallLimitMs);
    service_.serve(t, caller);
    std::lock_guard g(mu_);
    live_.erase(fd);  // before the close, so stop() never shuts a reused number
  }
  std::lock_guard g(mu_);
  --threads_;
  idleSince_ = std::chrono::steady_clock::now();
  cv_.notify_all();  // last touch of the server: stop() may return after this
}

void Server::stop() {
  if (stopped_) return;
  stopped_ = true;
  requestStop();
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::unique_lock lk(mu_);
    for (int fd : live_) ::shutdown(fd, SHUT_RDWR);
    cv_.wait(lk, [&] { return threads_ == 0; });
  }
  service_.rundownAll();
  unlinkSocket();
}

}  // namespace kestrel::rpc
