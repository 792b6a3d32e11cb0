// libKestrel.so's side of the notes for the C interface.
#include "c_api/Notes.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "c_api/Sink.h"
#include "platform/Process.h"
#include "rpcrt/Transport.h"

namespace kestrel_c_notes {

namespace {

// Found once, then kept: libKestrelC.so is linked -z nodelete, so the
// pointer stays valid for the rest of the process. Not found is not kept,
// as the C interface may be loaded later.
std::atomic<kestrel_c_sink::Sink> g_pSink{nullptr};

kestrel_c_sink::Sink FindSink() noexcept {
    if (const auto pSink = g_pSink.load(std::memory_order_acquire)) return pSink;
    void* hModule = dlopen(KESTREL_C_SONAME, RTLD_LAZY | RTLD_NOLOAD);
    if (hModule == nullptr) return nullptr;
    const auto pSink = reinterpret_cast<kestrel_c_sink::Sink>(dlsym(hModule, KESTREL_C_SINK_SYMBOL));
    if (pSink == nullptr) {
        dlclose(hModule);
        return nullptr;
    }
    g_pSink.store(pSink, std::memory_order_release);
    return pSink;
}

void Note(kestrel_c_sink::Kind nKind, const char* szText, long long nValue) noexcept {
    if (const auto pSink = FindSink()) pSink(nKind, szText, nValue);
}

constexpr size_t kLoadErrorLimit = 4096;

}  // namespace

AddFailure::~AddFailure() {
    if (!m_strReason.empty()) Note(kestrel_c_sink::kAddFailure, m_strReason.c_str(), 0);
}

void AddFailure::Because(std::string strReason) noexcept { m_strReason = std::move(strReason); }

void ImageLength(std::int32_t nLength) noexcept { Note(kestrel_c_sink::kImageLength, nullptr, nLength); }

std::string StartFailure(const std::string& strExecutable) {
    if (access(strExecutable.c_str(), X_OK) != 0)
        return "cannot start HostProc " + strExecutable + ": " + std::strerror(errno);
    return "cannot start HostProc " + strExecutable + " (the trace at level 1 says why)";
}

std::string LoadFailure(const std::string& strEndpoint, const char* szDriverName) {
    std::string strMessage;
    try {
        const kestrel::rpc::SocketDir dir = kestrel::rpc::openSocketDir(false);
        const std::string strFile = strEndpoint + ".load-error";
        const int hFile = openat(dir.fd.Get(), strFile.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (hFile >= 0) {
            char szBuffer[kLoadErrorLimit];
            const ssize_t nRead = read(hFile, szBuffer, sizeof szBuffer);
            if (nRead > 0) strMessage.assign(szBuffer, static_cast<size_t>(nRead));
            close(hFile);
            unlinkat(dir.fd.Get(), strFile.c_str(), 0);
        }
    } catch (const std::runtime_error&) {
        // The socket folder is refused: there is no message to read.
    }
    std::string strReason = std::string("HostProc cannot open the driver ") + szDriverName;
    return strMessage.empty() ? strReason : strReason + ": " + strMessage;
}

std::string NoAnswer(const char* szProxyServerName, const std::string& strEndpoint,
                     const NmProcess::CmProcess* pProcess) {
    std::string strDir;
    try {
        strDir = kestrel::rpc::openSocketDir(false).path;
    } catch (const std::runtime_error& error) {
        return std::string("unsafe socket folder: ") + error.what();
    }
    std::string strReason =
        std::string("proxy server '") + szProxyServerName + "' never answered on " + strDir + "/" + strEndpoint;
    if (pProcess != nullptr && pProcess->HasEnded()) strReason += " (its HostProc has ended)";
    return strReason;
}

}  // namespace kestrel_c_notes
