// Pulls video blocks of one camera on a thread of its own, as an
// application's receive loop does, and counts them.
#pragma once

#include "Session.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace kestrel_cli {

class BlockStream {
public:
    using Sink = std::function<void(const unsigned char*, size_t)>;

    // With nLimit, the loop ends by itself after that many blocks.
    BlockStream(Session& session, std::string strServer, int nCamera, Sink sink = {}, uint64_t nLimit = 0);
    ~BlockStream() { Stop(); }
    BlockStream(const BlockStream&) = delete;
    BlockStream& operator=(const BlockStream&) = delete;

    void Start();
    // Asks the loop to end after its current block and joins it.
    void Stop();

    const std::string& Server() const { return m_strServer; }
    uint64_t Frames() const { return m_nFrames.load(); }
    uint64_t Bytes() const { return m_nBytes.load(); }
    bool Running() const { return m_bRunning.load(); }
    // Why the loop ended early, if it did.
    std::optional<Failure> Error() const;
    // Waits until at least nFrames blocks have arrived, the loop ended, or
    // dTimeoutSeconds passed; true when the count was reached.
    bool WaitForFrames(uint64_t nFrames, double dTimeoutSeconds);

private:
    void Loop();

    Session& m_session;
    std::string m_strServer;
    int m_nCamera;
    Sink m_sink;
    uint64_t m_nLimit;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bRunning{false};
    std::atomic<uint64_t> m_nFrames{0};
    std::atomic<uint64_t> m_nBytes{0};
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<Failure> m_error;
};

}  // namespace kestrel_cli
