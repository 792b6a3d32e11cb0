#include "Streaming.h"

#include "Results.h"

#include <chrono>

namespace kestrel_cli {

BlockStream::BlockStream(Session& session, std::string strServer, int nCamera, Sink sink, uint64_t nLimit)
    : m_session(session),
      m_strServer(std::move(strServer)),
      m_nCamera(nCamera),
      m_sink(std::move(sink)),
      m_nLimit(nLimit)
{
}

void BlockStream::Start()
{
    m_bStop = false;
    m_bRunning = true;
    m_thread = std::thread([this] { Loop(); });
}

void BlockStream::Stop()
{
    m_bStop = true;
    if (m_thread.joinable())
        m_thread.join();
}

std::optional<Failure> BlockStream::Error() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}

bool BlockStream::WaitForFrames(uint64_t nFrames, double dTimeoutSeconds)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::duration<double>(dTimeoutSeconds), [&] {
        return m_nFrames.load() >= nFrames || !m_bRunning.load();
    }) && m_nFrames.load() >= nFrames;
}

void BlockStream::Loop()
{
    Module& api = m_session.Api();
    try {
        auto pGet = m_session.Need(api.GetVideoDataBlock, "GetVideoDataBlock");
        const std::string strCall = "GetVideoDataBlock(\"" + m_strServer + "\")";
        while (!m_bStop && (m_nLimit == 0 || m_nFrames.load() < m_nLimit)) {
            unsigned char* pBlock = nullptr;
            const int nSize = m_session.Guard(strCall, [&] { return pGet(m_strServer.c_str(), m_nCamera, &pBlock); });
            if (nSize <= 0 || pBlock == nullptr) {
                if (pBlock != nullptr && api.DeleteBuffer != nullptr)
                    api.DeleteBuffer(pBlock);
                throw Failure{kExitDriverFailed, Answered(strCall, nSize)};
            }
            if (m_sink)
                m_sink(pBlock, static_cast<size_t>(nSize));
            if (api.DeleteBuffer != nullptr)
                api.DeleteBuffer(pBlock);
            {
                std::lock_guard lock(m_mutex);
                m_nBytes += static_cast<uint64_t>(nSize);
                ++m_nFrames;
            }
            m_changed.notify_all();
        }
    } catch (const Failure& failure) {
        std::lock_guard lock(m_mutex);
        m_error = failure;
    } catch (const std::exception& error) {
        std::lock_guard lock(m_mutex);
        m_error = Failure{kExitDriverFailed, std::string("streaming ") + m_strServer + ": " + error.what()};
    }
    {
        std::lock_guard lock(m_mutex);
        m_bRunning = false;
    }
    m_changed.notify_all();
}

}  // namespace kestrel_cli
