// NmDescriptor: the one owner of a system descriptor (socket, pidfd, pipe,
// directory), for every layer of the library and of HostProc. Header-only,
// so the RPC runtime, which links nothing else of the platform library, uses
// it too.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace NmDescriptor {

// A close-on-exec duplicate of hFd numbered 3 or higher; -1 (errno set) when
// hFd is -1 or the duplication failed.
inline int DuplicateAbove2(int hFd) noexcept { return hFd >= 0 ? ::fcntl(hFd, F_DUPFD_CLOEXEC, 3) : -1; }

class CmDescriptor {
public:
    CmDescriptor() = default;
    explicit CmDescriptor(int hFd) noexcept : m_hFd(hFd) {}
    CmDescriptor(CmDescriptor&& other) noexcept : m_hFd(other.Release()) {}
    CmDescriptor& operator=(CmDescriptor&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    CmDescriptor(const CmDescriptor&) = delete;
    CmDescriptor& operator=(const CmDescriptor&) = delete;
    ~CmDescriptor() { Reset(); }

    int Get() const noexcept { return m_hFd; }
    explicit operator bool() const noexcept { return m_hFd >= 0; }
    int Release() noexcept { return std::exchange(m_hFd, -1); }
    // Closes the descriptor held, if any, and holds hFd. close() gives the
    // descriptor up even when it reports an error (EINTR included), so the
    // result is not looked at and a close is never repeated.
    void Reset(int hFd = -1) noexcept
    {
        if (m_hFd >= 0)
            ::close(m_hFd);
        m_hFd = hFd;
    }
    // A close-on-exec duplicate numbered 3 or higher; an empty one (errno
    // set) when there is nothing to duplicate or the duplication failed.
    CmDescriptor Duplicate() const noexcept { return CmDescriptor(DuplicateAbove2(m_hFd)); }

private:
    int m_hFd = -1;
};

// Moves a new descriptor to 3 or higher (close-on-exec, the original closed),
// so that an application that closed its standard streams never finds one of
// ours there. Returns the descriptor to use: hFd when it already is there, -1
// (errno set) when hFd was -1 or the move failed.
inline int RaiseAbove2(int hFd) noexcept
{
    if (hFd < 0 || hFd >= 3)
        return hFd;
    const int hHigh = ::fcntl(hFd, F_DUPFD_CLOEXEC, 3);
    const int nError = errno;
    ::close(hFd);
    errno = nError;
    return hHigh;
}

}  // namespace NmDescriptor
