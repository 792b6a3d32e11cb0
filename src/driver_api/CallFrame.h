// The frame that every forwarding export shares: entry line, lookup of the
// instance, the remote call under a guard that catches everything, release
// of the call context, and on failure the removal of the instance's HostProc
// with the thrown error code.
#pragma once

#include <cstdint>
#include <type_traits>

#include "driver_api/CallTexts.h"
#include "instances/Registry.h"
#include "trace/Log.h"

namespace kestrel::driver_api {

inline constexpr const char* kProxy = "Proxy";

struct ExportFrame {
    const char* szExport;      // the export's name, the function of its log lines
    const char* szCallText;    // the remote call as source text, for the exception line
    std::uint32_t nLine;       // where the export stands, for its log lines
    std::int32_t nEntryLevel;  // level of the "szServer='%s'" entry line; 0: none
};

// The frame of export Name at this line: entry line at level 2, none on the
// streaming path.
#define KESTREL_FRAME(Name)                                                                         \
    ::kestrel::driver_api::ExportFrame {                                                            \
#Name, ::kestrel::driver_api::kCallText < ::kestrel::remote::Opnum::Name>.data(), __LINE__, \
            ::kestrel::driver_api::IsStreamingPath(::kestrel::remote::Opnum::Name) ? 0 : 2          \
    }

// Logs the exception line, releases the context, removes the instance's
// HostProc with all its instances and throws the error code. Never returns.
[[noreturn]] void FailForwardedCall(const ExportFrame& frame, const char* szServer, instances::RpcContextLease context,
                                    std::uint32_t nCode);

// Runs call(m_hCtx) for the instance szServer inside the frame and returns
// what it returned. The context goes back before the caller's
// post-processing runs, on every path.
template <typename TCall>
auto ForwardCall(const ExportFrame& frame, const char* szServer, TCall&& call) -> decltype(call(RpcDriverCallCtx{})) {
    if (frame.nEntryLevel > 0) {
        const CmLogSite site{kProxy, frame.szExport, frame.nLine, frame.nEntryLevel};
        CmLog::Write(site, kLogSource, "szServer='%s'", szServer);
    }
    instances::RpcContextLease context(instances::RpcCtx(szServer));  // throws 0 for an unknown instance
    try {
        return call(context->m_hCtx);
    } catch (...) {
        // A thread-cancellation unwind is rethrown here, the lease releasing
        // the context on its way out.
        const std::uint32_t nCode = instances::CurrentExceptionCode();
        FailForwardedCall(frame, szServer, std::move(context), nCode);
    }
}

}  // namespace kestrel::driver_api
