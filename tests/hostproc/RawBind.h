// A bind PDU for the proxy-server interface written by hand on a fresh
// connection, to see whether the server answers at all: used to tell a
// server that refuses a peer from one that merely fails later.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace hostproc_test {

// The ptype of the server's first answer (12 bind_ack, 13 bind_nak), 0
// when it closed the connection without answering, -1 when the probe
// itself failed (no connection, or no answer within nWaitMs).
inline int RawBindProbe(const std::string& strSocketPath, int nWaitMs) {
    static const uint8_t kBind[72] = {
        5, 0, 11, 3, 0x10, 0, 0, 0, 72, 0, 0, 0, 1, 0, 0, 0,  // header, call_id 1
        0xB8, 0x10, 0xB8, 0x10, 0, 0, 0, 0, 1, 0, 0, 0,      // frags, group 0, one element
        0, 0, 1, 0,                                          // p_cont_id 0, one transfer syntax
        0xE7, 0xF5, 0xEA, 0x6C, 0x56, 0x3A, 0xE5, 0x48,      // 6ceaf5e7-3a56-48e5-
        0xAF, 0x7E, 0x5B, 0x41, 0x49, 0xDF, 0x30, 0xEC,      // af7e-5b4149df30ec
        1, 0, 0, 0,                                          // v1.0
        0x04, 0x5D, 0x88, 0x8A, 0xEB, 0x1C, 0xC9, 0x11,      // NDR 8a885d04-1ceb-11c9-
        0x9F, 0xE8, 0x08, 0x00, 0x2B, 0x10, 0x48, 0x60,      // 9fe8-08002b104860
        2, 0, 0, 0};                                         // version 2
    sockaddr_un address{};
    if (strSocketPath.size() >= sizeof address.sun_path) return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, strSocketPath.c_str(), strSocketPath.size() + 1);
    const int nFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nFd < 0) return -1;
    int nResult = -1;
    if (connect(nFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        // The server may already have dropped us: a failed send is no answer.
        (void)send(nFd, kBind, sizeof kBind, MSG_NOSIGNAL);
        pollfd entry{nFd, POLLIN, 0};
        int nReady;
        while ((nReady = poll(&entry, 1, nWaitMs)) < 0 && errno == EINTR) {
        }
        if (nReady == 1) {
            uint8_t header[16];
            ssize_t n;
            while ((n = recv(nFd, header, sizeof header, 0)) < 0 && errno == EINTR) {
            }
            if (n == 0 || (n < 0 && errno == ECONNRESET)) nResult = 0;
            else if (n >= 3) nResult = header[2];
        }
    }
    close(nFd);
    return nResult;
}

}  // namespace hostproc_test
