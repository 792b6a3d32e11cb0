// Where the endpoints' sockets live, and why nobody else can take it over.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "rpcrt/Transport.h"

namespace kestrel::rpc {

namespace {
const char* nonEmptyEnv(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? v : nullptr;
}

[[noreturn]] void dirError(const std::string& path, int code, const char* what = nullptr) {
  throw SocketDirError("socket directory " + path + ": " + (what ? what : std::strerror(code)), code);
}

// mkdir's mode is filtered by the umask; ours must be exactly 0700.
void makeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0) {
    ::chmod(path.c_str(), 0700);
  } else if (errno != EEXIST) {
    dirError(path, errno);
  }
}

// Opens path (a symlink itself, not its target, when `noFollow` is set);
// returns why it is not a folder of ours with mode 0700, or null.
const char* openChecked(const std::string& path, bool noFollow, SocketDir& d) {
  int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC | (noFollow ? O_NOFOLLOW : O_DIRECTORY));
  if (fd < 0) dirError(path, errno);
  d.path = path;
  d.fd.Reset(NmDescriptor::RaiseAbove2(fd));
  struct stat st {};
  if (::fstat(d.fd.Get(), &st) != 0) dirError(path, errno);
  if (!S_ISDIR(st.st_mode)) return "not a directory";
  if (st.st_uid != ::geteuid()) return "not owned by the current user";
  if (st.st_mode & 077) return "accessible by group or others";
  return nullptr;
}

// The folder this process made for itself because the shared fallback was
// taken; its HostProcs are told its name. Removed at exit when empty.
struct PrivateFolder {
  std::mutex mutex;
  std::string path;
  ~PrivateFolder() {
    if (!path.empty()) ::rmdir(path.c_str());
  }
};
PrivateFolder g_private;

// /tmp/kestrel-<uid> is shared by name with every local user: anyone may
// have made it first, as a folder, a file or a symlink. Then this process
// uses a fresh folder that only it could have made.
SocketDir openFallback(bool create) {
  std::lock_guard<std::mutex> lock(g_private.mutex);
  SocketDir d;
  if (!g_private.path.empty()) {
    if (const char* why = openChecked(g_private.path, true, d)) dirError(d.path, 0, why);
    return d;
  }
  const std::string shared = "/tmp/kestrel-" + std::to_string(::geteuid());
  if (create) makeFolder(shared);
  if (!openChecked(shared, true, d)) return d;
  std::string name = shared + "-XXXXXX";
  if (::mkdtemp(name.data()) == nullptr) dirError(name, errno);
  g_private.path = name;
  if (const char* why = openChecked(name, true, d)) dirError(name, 0, why);
  return d;
}
}  // namespace

SocketDir openSocketDir(bool create) {
  std::string path;
  if (const char* d = nonEmptyEnv("KESTREL_RPC_DIR")) {
    path = d;
  } else if (const char* x = nonEmptyEnv("XDG_RUNTIME_DIR")) {
    path = std::string(x) + "/kestrel";
  } else {
    return openFallback(create);
  }
  if (create) makeFolder(path);
  SocketDir d;
  if (const char* why = openChecked(path, false, d)) dirError(path, 0, why);
  return d;
}

}  // namespace kestrel::rpc
