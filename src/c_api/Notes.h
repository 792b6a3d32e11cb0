// What libKestrel.so tells the C interface (libKestrelC.so), when a process
// has loaded it: why an AddDeviceInstance failed, and the real length of a
// GetImage2 block. Without the C interface the notes go nowhere; no log line,
// result or thrown value depends on them.
#pragma once

#include <cstdint>
#include <string>

namespace NmProcess {
class CmProcess;
}

namespace kestrel_c_notes {

// Collects the reason of a failing AddDeviceInstance and hands it over when
// it goes out of scope; declared before the registry lock, so after the lock
// is released.
class AddFailure {
public:
    AddFailure() = default;
    ~AddFailure();
    AddFailure(const AddFailure&) = delete;
    AddFailure& operator=(const AddFailure&) = delete;

    void Because(std::string strReason) noexcept;

private:
    std::string m_strReason;
};

// The length HostProc sent with the block of this thread's GetImage2.
void ImageLength(std::int32_t nLength) noexcept;

// Reasons, in words.
// HostProc at strExecutable could not be started.
std::string StartFailure(const std::string& strExecutable);
// HostProc answered with a null handle: the dynamic loader's message, which
// HostProc left in <socket dir>/<endpoint>.load-error (read and removed here,
// with or without the C interface).
std::string LoadFailure(const std::string& strEndpoint, const char* szDriverName);
// HostProc never answered on its endpoint.
std::string NoAnswer(const char* szProxyServerName, const std::string& strEndpoint,
                     const NmProcess::CmProcess* pProcess);

}  // namespace kestrel_c_notes
