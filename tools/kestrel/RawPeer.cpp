#include "RawPeer.h"

#include "Api.h"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace kestrel_cli {

namespace {

// All n bytes through io (read or write), across short transfers and
// interruptions; false when the peer is gone.
template <typename Byte, typename Io>
bool Whole(Io io, int hSocket, Byte* p, size_t n)
{
    while (n > 0) {
        const ssize_t nDone = io(hSocket, p, n);
        if (nDone < 0 && errno == EINTR)
            continue;
        if (nDone <= 0)
            return false;
        p += nDone;
        n -= static_cast<size_t>(nDone);
    }
    return true;
}

bool WriteAll(int hSocket, const unsigned char* p, size_t n) { return Whole(::write, hSocket, p, n); }

bool ReadAll(int hSocket, unsigned char* p, size_t n) { return Whole(::read, hSocket, p, n); }

}  // namespace

RawPeer::RawPeer(size_t nReply, Kind kind, BlockSource source)
    : m_nReply(std::max<size_t>(nReply, 64)), m_source(std::move(source))
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_hSockets) != 0)
        throw Failure{kExitLoad, std::string("socketpair: ") + std::strerror(errno)};
    if (!m_source.make)
        m_reply.assign(m_nReply, 0x5A);
    if (kind == Kind::Thread) {
        m_thread = std::thread([this] { Serve(); });
        return;
    }
    // The child only reads and writes, and at most allocates through the
    // driver (glibc's malloc is usable after fork), so forking a process
    // that has threads is safe here.
    m_nChild = fork();
    if (m_nChild < 0) {
        close(m_hSockets[0]);
        close(m_hSockets[1]);
        throw Failure{kExitLoad, std::string("fork: ") + std::strerror(errno)};
    }
    if (m_nChild == 0) {
        close(m_hSockets[0]);
        Serve();
        _exit(0);
    }
}

RawPeer::~RawPeer()
{
    shutdown(m_hSockets[0], SHUT_RDWR);
    if (m_thread.joinable())
        m_thread.join();
    if (m_nChild > 0) {
        while (waitpid(m_nChild, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    close(m_hSockets[0]);
    close(m_hSockets[1]);
}

void RawPeer::Serve()
{
    unsigned char request[64];
    while (ReadAll(m_hSockets[1], request, sizeof request)) {
        if (!m_source.make) {
            if (!WriteAll(m_hSockets[1], m_reply.data(), m_nReply))
                return;
            continue;
        }
        unsigned char* pBlock = m_source.make();
        const bool bOk = pBlock != nullptr && WriteAll(m_hSockets[1], pBlock, m_nReply);
        m_source.release(pBlock);
        if (!bOk)
            return;
    }
}

void RawPeer::Call()
{
    unsigned char request[64] = {1};
    if (!WriteAll(m_hSockets[0], request, sizeof request))
        throw Failure{kExitDriverFailed, "raw transfer failed"};
    unsigned char* pBuffer = new unsigned char[m_nReply];
    const bool bOk = ReadAll(m_hSockets[0], pBuffer, m_nReply);
    delete[] pBuffer;
    if (!bOk)
        throw Failure{kExitDriverFailed, "raw transfer failed"};
}

std::vector<pid_t> RawPeer::Processes() const
{
    std::vector<pid_t> processes = {getpid()};
    if (m_nChild > 0)
        processes.push_back(m_nChild);
    return processes;
}

}  // namespace kestrel_cli
