#include "rpcrt/Transport.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kestrel::rpc {

// ---- fd tracking for fork ----------------------------------------------

namespace {
constexpr int kTrackedFds = 65536;
std::atomic<uint64_t> g_fdBits[kTrackedFds / 64];
}  // namespace

void trackFd(int fd) noexcept {
  if (fd >= 0 && fd < kTrackedFds) g_fdBits[fd / 64].fetch_or(uint64_t(1) << (fd % 64));
}
void untrackFd(int fd) noexcept {
  if (fd >= 0 && fd < kTrackedFds) g_fdBits[fd / 64].fetch_and(~(uint64_t(1) << (fd % 64)));
}
void closeTrackedFdsAfterFork() noexcept {
  for (int w = 0; w < kTrackedFds / 64; ++w) {
    uint64_t bits = g_fdBits[w].exchange(0);
    while (bits) {
      int b = __builtin_ctzll(bits);
      bits &= bits - 1;
      ::close(w * 64 + b);
    }
  }
}

// ---- socket transport ----------------------------------------------------

namespace {
// Advances an iovec array past `n` bytes; returns the new first element.
int skipIov(iovec* iov, int cnt, size_t n, int first) {
  while (first < cnt && n >= iov[first].iov_len) {
    n -= iov[first].iov_len;
    ++first;
  }
  if (first < cnt && n) {
    iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + n;
    iov[first].iov_len -= n;
  }
  return first;
}
constexpr int kMaxIov = 1024;
}  // namespace

size_t SocketTransport::read(const iovec* iovIn, int cnt, size_t atLeast) {
  iovec iov[kMaxIov];
  cnt = std::min(cnt, kMaxIov);
  size_t capacity = 0;
  for (int i = 0; i < cnt; ++i) {
    iov[i] = iovIn[i];
    capacity += iov[i].iov_len;
  }
  size_t total = 0;
  int first = 0;
  while (total < atLeast) {
    msghdr m{};
    m.msg_iov = iov + first;
    m.msg_iovlen = size_t(cnt - first);
    // When every byte asked for is due, let the kernel gather them in one call.
    int flags = (capacity - total == atLeast - total) ? MSG_WAITALL : 0;
    ssize_t n = ::recvmsg(fd_.Get(), &m, flags | MSG_CMSG_CLOEXEC);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) throw TransportStalled();
      throw TransportError("recv failed");
    }
    if (n == 0) break;
    total += size_t(n);
    first = skipIov(iov, cnt, size_t(n), first);
  }
  return total;
}

void SocketTransport::write(const iovec* iovIn, int cnt) {
  iovec iov[kMaxIov];
  int first = 0;
  bool any = false;
  while (first < cnt) {
    int batch = std::min(cnt - first, kMaxIov);
    std::copy(iovIn + first, iovIn + first + batch, iov);
    int f = 0;
    while (f < batch) {
      msghdr m{};
      m.msg_iov = iov + f;
      m.msg_iovlen = size_t(batch - f);
      ssize_t n = ::sendmsg(fd_.Get(), &m, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw TransportError("send failed", !any);
      }
      any = any || n > 0;
      f = skipIov(iov, batch, size_t(n), f);
    }
    first += batch;
  }
}

void SocketTransport::setStallLimit(unsigned ms) {
  timeval tv{time_t(ms / 1000), suseconds_t((ms % 1000) * 1000)};
  ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd_.Get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// ---- memory transport ----------------------------------------------------

size_t MemoryTransport::read(const iovec* iov, int cnt, size_t) {
  size_t total = 0;
  for (int i = 0; i < cnt && pos_ < size_; ++i) {
    size_t k = std::min(iov[i].iov_len, size_ - pos_);
    std::memcpy(iov[i].iov_base, data_ + pos_, k);
    pos_ += k;
    total += k;
  }
  return total;
}

void MemoryTransport::write(const iovec* iov, int cnt) {
  for (int i = 0; i < cnt; ++i) written_ += iov[i].iov_len;
}

namespace {
bool isExhaustion(int code) { return code == EMFILE || code == ENFILE || code == ENOMEM || code == ENOBUFS; }
}  // namespace

namespace {
// Fills a sockaddr_un for <dir>/<endpoint>, falling back to the
// /proc/self/fd/<dirfd>/<endpoint> form when the path is too long.
bool makeAddress(const SocketDir& dir, const std::string& endpoint, sockaddr_un& addr, std::string& used) {
  used = dir.path + "/" + endpoint;
  if (used.size() >= sizeof(addr.sun_path)) used = "/proc/self/fd/" + std::to_string(dir.fd.Get()) + "/" + endpoint;
  if (used.size() >= sizeof(addr.sun_path)) return false;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, used.c_str(), used.size() + 1);
  return true;
}

Fd newSocket() {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return Fd(NmDescriptor::RaiseAbove2(fd));
}

bool connectTo(int fd, const sockaddr_un& addr) {
  for (;;) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return true;
    if (errno == EISCONN) return true;  // an interrupted attempt went through
    if (errno != EINTR) return false;
  }
}
}  // namespace

bool peerIsSameUser(int fd, pid_t* pid, uid_t* uid) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  if (pid) *pid = cred.pid;
  if (uid) *uid = cred.uid;
  return cred.uid == ::geteuid();
}

Fd connectEndpoint(const std::string& endpoint) {
  SocketDir dir;
  try {
    dir = openSocketDir(false);
  } catch (const SocketDirError& e) {
    if (isExhaustion(e.code())) throw TransportExhausted();
    throw TransportError("socket directory refused");
  }
  sockaddr_un addr;
  std::string path;
  if (!makeAddress(dir, endpoint, addr, path)) throw TransportError("socket path too long");
  Fd fd = newSocket();
  if (!fd && isExhaustion(errno)) throw TransportExhausted();
  if (!fd) throw TransportError("socket failed");
  if (!connectTo(fd.Get(), addr)) throw TransportError("connect failed");
  if (!peerIsSameUser(fd.Get())) throw TransportError("peer runs under another user");
  return fd;
}

Listener listenEndpoint(const std::string& endpoint, int backlog) {
  Listener l;
  l.dir = openSocketDir(true);
  sockaddr_un addr;
  if (!makeAddress(l.dir, endpoint, addr, l.path))
    throw std::runtime_error("socket path too long: " + l.dir.path + "/" + endpoint);
  l.displayPath = l.dir.path + "/" + endpoint;
  for (int attempt = 0;; ++attempt) {
    l.fd = newSocket();
    if (!l.fd) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    if (::bind(l.fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) break;
    int err = errno;
    if (err != EADDRINUSE || attempt > 0) throw std::runtime_error("bind " + l.displayPath + ": " + std::strerror(err));
    // A socket file is there: replace it only if nobody listens on it.
    Fd probe = newSocket();
    if (probe && connectTo(probe.Get(), addr)) throw std::runtime_error("endpoint already in use: " + l.displayPath);
    ::unlinkat(l.dir.fd.Get(), endpoint.c_str(), 0);
  }
  // fchmodat does not follow the O_PATH descriptor's path; the directory is
  // ours and 0700, so nobody can swap the file in between.
  if (::fchmodat(l.dir.fd.Get(), endpoint.c_str(), 0600, 0) != 0) {
    int err = errno;
    ::unlinkat(l.dir.fd.Get(), endpoint.c_str(), 0);
    throw std::runtime_error("chmod " + l.displayPath + ": " + std::strerror(err));
  }
  if (::listen(l.fd.Get(), backlog) != 0) {
    int err = errno;
    ::unlinkat(l.dir.fd.Get(), endpoint.c_str(), 0);
    throw std::runtime_error("listen " + l.displayPath + ": " + std::strerror(err));
  }
  return l;
}

void removeEndpointSocket(const std::string& endpoint) noexcept {
  if (endpoint.empty()) return;
  try {
    const SocketDir dir = openSocketDir(false);
    ::unlinkat(dir.fd.Get(), endpoint.c_str(), 0);
  } catch (const std::exception&) {
    // No usable socket directory: there is no socket to remove either.
  }
}

}  // namespace kestrel::rpc
