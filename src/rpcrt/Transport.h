// Byte transport under the PDU layer: an AF_UNIX stream socket in normal
// use, a memory buffer when a parser is driven without sockets (fuzzing,
// unit tests). Also the socket-directory rules and socket set-up.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Descriptor.h"
#include "rpcrt/Status.h"

namespace kestrel::rpc {

// The peer went away or the socket failed. `duringWrite` tells the client's
// retry rule whether anything of a request reached the peer.
class TransportError : public std::runtime_error, public StreamEvent {
 public:
  TransportError(const char* what, bool nothingWritten = false)
      : std::runtime_error(what), nothingWritten_(nothingWritten) {}
  bool nothingWritten() const { return nothingWritten_; }

 private:
  bool nothingWritten_;
};

// No socket could be made: the process or the system is out of descriptors
// or memory (EMFILE, ENFILE, ENOMEM, ENOBUFS).
class TransportExhausted : public TransportError {
 public:
  TransportExhausted() : TransportError("out of descriptors or memory", true) {}
};

// The peer made no progress within the transport's stall limit.
class TransportStalled : public TransportError {
 public:
  TransportStalled() : TransportError("peer stalled") {}
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Reads into the buffers until at least `atLeast` bytes have arrived;
  // returns the count read, which is less than `atLeast` only at end of
  // stream. Throws TransportError on a socket error.
  virtual size_t read(const iovec* iov, int iovcnt, size_t atLeast) = 0;
  // Writes all of the buffers or throws TransportError.
  virtual void write(const iovec* iov, int iovcnt) = 0;
  // The socket underneath, -1 when there is none.
  virtual int descriptor() const { return -1; }
};

// The descriptors of the runtime are the platform's one owner type.
using Fd = NmDescriptor::CmDescriptor;

class SocketTransport final : public Transport {
 public:
  explicit SocketTransport(Fd fd) : fd_(std::move(fd)) {}
  size_t read(const iovec* iov, int iovcnt, size_t atLeast) override;
  void write(const iovec* iov, int iovcnt) override;
  int fd() const { return fd_.Get(); }
  int descriptor() const override { return fd_.Get(); }
  // Makes a read or a write that waits longer than `ms` with no progress
  // fail with TransportStalled (0: wait for ever, the default).
  void setStallLimit(unsigned ms);

 private:
  Fd fd_;
};

// Serves reads from a byte buffer and discards writes.
class MemoryTransport final : public Transport {
 public:
  MemoryTransport(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t read(const iovec* iov, int iovcnt, size_t atLeast) override;
  void write(const iovec* iov, int iovcnt) override;
  size_t written() const { return written_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  size_t written_ = 0;
};

// A socket directory that cannot be used; code is the errno of the failed
// system call (0 when the directory is there but not safe).
class SocketDirError : public std::runtime_error {
 public:
  SocketDirError(const std::string& what, int code) : std::runtime_error(what), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// The socket directory, checked: owned by us, not group/world accessible.
struct SocketDir {
  std::string path;
  Fd fd;  // O_PATH descriptor of the directory
};

// Picks the directory ($KESTREL_RPC_DIR, $XDG_RUNTIME_DIR/kestrel,
// /tmp/kestrel-<uid>), creates it (mode 0700) when `create` is set, and
// checks owner and mode. When the shared fallback is not a folder of ours
// with mode 0700 (a symlink is never followed), the process uses a fresh
// /tmp/kestrel-<uid>-XXXXXX from then on; a HostProc it starts must be
// handed that path as $KESTREL_RPC_DIR. Throws SocketDirError with a
// message (SocketDir.cpp).
SocketDir openSocketDir(bool create);

// Connects to <dir>/<endpoint> and checks the peer's uid. Throws
// TransportError when nothing can be reached.
Fd connectEndpoint(const std::string& endpoint);

// Binds and listens on <dir>/<endpoint> (mode 0600), replacing a stale
// socket file that nobody listens on. Throws std::runtime_error.
struct Listener {
  Fd fd;
  SocketDir dir;
  std::string path;  // as given to bind(), may be the /proc/self/fd form
  std::string displayPath;
};
Listener listenEndpoint(const std::string& endpoint, int backlog);

// True when the peer of a connected socket runs under our uid.
bool peerIsSameUser(int fd, pid_t* pid = nullptr, uid_t* uid = nullptr);

// Removes the socket file of an endpoint whose server cannot (it was
// killed); nothing when there is no usable socket directory.
void removeEndpointSocket(const std::string& endpoint) noexcept;

// Descriptors of the runtime's connections, closed in the child after
// fork() so that a child never shares a connection with its parent.
void trackFd(int fd) noexcept;
void untrackFd(int fd) noexcept;
void closeTrackedFdsAfterFork() noexcept;

}  // namespace kestrel::rpc
