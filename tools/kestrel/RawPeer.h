// kestrel bench's transport floor: a socketpair with a peer that answers
// each 64-byte request with a reply of a chosen size, either a thread of
// this process or a forked process. A forwarded call always crosses
// processes, and where switching address spaces is dear (a virtual
// machine) that alone can cost as much as the rest of a round trip.
// A forked peer may answer with a driver's fresh block instead of a
// buffer it keeps: the floor of any design that runs the driver in a
// process of its own, where the driver's copy meets caches the transfer
// has just used.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

namespace kestrel_cli {

class RawPeer {
public:
    enum class Kind { Thread, Process };
    // Where a forked peer's answers come from: a fresh block of nReply
    // bytes per request, handed back after it is sent.
    struct BlockSource {
        std::function<unsigned char*()> make;
        std::function<void(unsigned char*)> release;
    };
    RawPeer(size_t nReply, Kind kind, BlockSource source = {});
    ~RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;
    // One request and its whole answer, received into a fresh buffer.
    void Call();
    // The processes whose threads take part, for the counters.
    std::vector<pid_t> Processes() const;

private:
    void Serve();

    size_t m_nReply;
    std::vector<unsigned char> m_reply;  // the answer, unless a source makes each
    BlockSource m_source;
    int m_hSockets[2] = {-1, -1};
    std::thread m_thread;
    pid_t m_nChild = -1;
};

}  // namespace kestrel_cli
