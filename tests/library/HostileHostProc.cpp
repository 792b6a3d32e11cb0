// A stand-in for HostProc that binds, loads "drivers", sets feature sets and
// unloads like the real one, and misbehaves on every other call the way its
// proxy-server name says (argument "<name>_<ENDPOINT>", as the library
// starts HostProc):
//   silent   never answers
//   trickle  answers with a reply that never ends: 8 stub bytes at a time,
//            one fragment every 10 ms (a server that is slow forever)
//   flood    answers GetVideoDataBlock with a block just under the stub
//            limit and streams fragments as fast as the socket takes them,
//            never the last one (a reply larger than the limit)
// It tells its pid on standard error, ends once its last connection has
// closed, and after two minutes in any case, so that it never outlives a
// test that went wrong.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "rpcrt/Pdu.h"

namespace {

using kestrel::rpc::BindAck;
using Bytes = std::vector<uint8_t>;

std::string g_strMode;
std::string g_strEndpoint;
kestrel::rpc::Listener g_listener;
std::mutex g_mtxConnections;
int g_nConnections = 0;

bool ReadAll(int hSocket, uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t nRead = recv(hSocket, p, n, 0);
        if (nRead < 0 && errno == EINTR) continue;
        if (nRead <= 0) return false;
        p += nRead;
        n -= static_cast<size_t>(nRead);
    }
    return true;
}

bool SendAll(int hSocket, const Bytes& pdu) {
    for (size_t nDone = 0; nDone < pdu.size();) {
        const ssize_t nSent = send(hSocket, pdu.data() + nDone, pdu.size() - nDone, MSG_NOSIGNAL);
        if (nSent < 0 && errno == EINTR) continue;
        if (nSent <= 0) return false;
        nDone += static_cast<size_t>(nSent);
    }
    return true;
}

Bytes Response(uint32_t nCallId, const Bytes& stub, uint8_t nFlags) {
    Bytes pdu(kestrel::rpc::kResponseHeaderSize + stub.size());
    kestrel::rpc::encodeCommonHeader(pdu.data(), kestrel::rpc::ptype::kResponse, nFlags,
                                     static_cast<uint16_t>(pdu.size()), nCallId);
    kestrel::rpc::storeU32(pdu.data() + 16, static_cast<uint32_t>(stub.size()));
    if (!stub.empty()) std::memcpy(pdu.data() + 24, stub.data(), stub.size());
    return pdu;
}

Bytes Stub(std::initializer_list<uint32_t> values) {
    Bytes stub;
    for (uint32_t nValue : values) {
        stub.resize(stub.size() + 4);
        kestrel::rpc::storeU32(stub.data() + stub.size() - 4, nValue);
    }
    return stub;
}

// The answer to a call that is not part of setting up or tearing down.
void Misbehave(int hSocket, uint32_t nCallId) {
    constexpr uint8_t kFirst = kestrel::rpc::pfc::kFirstFrag;
    if (g_strMode == "trickle") {
        // nSize, referent, max_count of a 1 MiB block, and its first bytes.
        if (!SendAll(hSocket, Response(nCallId, Stub({1 << 20, 0x20000, 1 << 20, 0}), kFirst))) return;
        const Bytes more = Response(nCallId, Bytes(8, 0), 0);
        for (;;) {
            // The pause of a slow server; a client that hangs up ends it.
            pollfd entry{hSocket, POLLIN, 0};
            const int nReady = poll(&entry, 1, 10);
            if (nReady > 0 || (nReady < 0 && errno != EINTR)) return;
            if (!SendAll(hSocket, more)) return;
        }
    }
    if (g_strMode == "flood") {
        constexpr uint32_t kUnderLimit = (256u << 20) - 16;
        if (!SendAll(hSocket, Response(nCallId, Stub({kUnderLimit, 0x20000, kUnderLimit, 0}), kFirst))) return;
        const Bytes more = Response(nCallId, Bytes(kestrel::rpc::kOurMaxFrag - 24, 0), 0);
        while (SendAll(hSocket, more)) {
        }
    }
    // silent: nothing at all.
}

void Serve(int hSocket) {
    constexpr uint8_t kWhole = kestrel::rpc::pfc::kFirstFrag | kestrel::rpc::pfc::kLastFrag;
    for (;;) {
        uint8_t header[16];
        if (!ReadAll(hSocket, header, sizeof header)) return;
        const uint16_t nLength = kestrel::rpc::loadU16(header + 8);
        const uint32_t nCallId = kestrel::rpc::loadU32(header + 12);
        if (nLength < sizeof header) return;
        Bytes body(nLength - sizeof header);
        if (!ReadAll(hSocket, body.data(), body.size())) return;
        if (header[2] == kestrel::rpc::ptype::kBind) {
            BindAck ack;
            ack.maxXmit = ack.maxRecv = kestrel::rpc::kOurMaxFrag;
            ack.assocGroup = 0x4B455354;
            ack.results.push_back({0, 0, kestrel::rpc::kNdrUuid, kestrel::rpc::kNdrVersion});
            if (!SendAll(hSocket, kestrel::rpc::encodeBindAck(kestrel::rpc::ptype::kBindAck, nCallId, ack, g_strEndpoint)))
                return;
            continue;
        }
        // The library's requests to us fit in one fragment each.
        if (header[2] != kestrel::rpc::ptype::kRequest || body.size() < 8) return;
        const uint16_t nOpnum = kestrel::rpc::loadU16(body.data() + 6);
        Bytes stub;  // SetFeatureSet (43): nothing
        if (nOpnum == 0) {
            stub = Stub({0, 0x4B455354, 0x4B455354, 0x4B455354, 0x4B455354});  // a context
        } else if (nOpnum == 1) {
            stub = Bytes(20, 0);  // unloaded: the null context
        } else if (nOpnum != 43) {
            // Then wait for whatever comes: a silent double holds the
            // connection open, the others have seen the client hang up.
            Misbehave(hSocket, nCallId);
            continue;
        }
        if (!SendAll(hSocket, Response(nCallId, stub, kWhole))) return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string strArgument = argc == 2 ? argv[1] : "";
    const size_t nUnderscore = strArgument.rfind('_');
    if (nUnderscore == std::string::npos) return 2;
    g_strMode = strArgument.substr(0, nUnderscore);
    g_strEndpoint = strArgument.substr(nUnderscore + 1);
    alarm(120);
    try {
        g_listener = kestrel::rpc::listenEndpoint(g_strEndpoint, 16);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "hostile HostProc: %s\n", error.what());
        return 1;
    }
    std::fprintf(stderr, "hostile HostProc %s pid=%d\n", g_strMode.c_str(), static_cast<int>(getpid()));
    for (;;) {
        const int hSocket = accept4(g_listener.fd.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (hSocket < 0) continue;
        std::lock_guard<std::mutex> lock(g_mtxConnections);
        ++g_nConnections;
        std::thread([hSocket] {
            Serve(hSocket);
            close(hSocket);
            std::lock_guard<std::mutex> lock(g_mtxConnections);
            if (--g_nConnections == 0) {
                unlinkat(g_listener.dir.fd.get(), g_strEndpoint.c_str(), 0);
                _exit(0);
            }
        }).detach();
    }
}
