// The frame that every forwarding export shares: entry line, lookup of the
// instance, the remote call under a guard that catches everything, release
// of the call context, and on failure the removal of the instance's HostProc
// with the thrown error code.
#pragma once

#include <cstdint>
#include <type_traits>

#include "instances/Registry.h"
#include "trace/Log.h"

inline constexpr const char* kProxy = "Proxy";

struct ExportFrame {
    const char* szExport;    // the export's name, the function of its log lines
    const char* szCallText;  // the remote call as source text, for the exception line
    std::uint32_t nLine;     // where the export stands, for its log lines
    std::int32_t nEntryLevel;  // level of the "szServer='%s'" entry line; 0: none
};

#define KESTREL_FRAME(name, callText) ExportFrame{name, callText, __LINE__, 2}
#define KESTREL_FRAME_AT_LEVEL(name, callText, level) ExportFrame{name, callText, __LINE__, level}

// Logs the exception line, releases the context, removes the instance's
// HostProc with all its instances and throws the error code. Never returns.
[[noreturn]] void FailForwardedCall(const ExportFrame& frame, const char* szServer, RpcContext* pCTX,
                                    std::uint32_t nCode);

// Runs call(m_hCtx) for the instance szServer inside the frame and returns
// what it returned.
template <typename TCall>
auto ForwardCall(const ExportFrame& frame, const char* szServer, TCall&& call)
    -> decltype(call(RpcDriverCallCtx{})) {
    if (frame.nEntryLevel > 0) {
        const CmLogSite site{kProxy, frame.szExport, frame.nLine, frame.nEntryLevel};
        CmLog::Write(site, kLogSource, "szServer='%s'", szServer);
    }
    RpcContext* pCTX = RpcCtx(szServer);  // throws 0 for an unknown instance
    using TResult = decltype(call(pCTX->m_hCtx));
    try {
        if constexpr (std::is_void_v<TResult>) {
            call(pCTX->m_hCtx);
            ReleaseRpcCtx(pCTX);
            return;
        } else {
            TResult rVal = call(pCTX->m_hCtx);
            ReleaseRpcCtx(pCTX);
            return rVal;
        }
    } catch (...) {
        std::uint32_t nCode = 0;
        try {
            nCode = CurrentExceptionCode();
        } catch (...) {
            ReleaseRpcCtx(pCTX);  // a cancelled thread still gives its context back
            throw;
        }
        FailForwardedCall(frame, szServer, pCTX, nCode);
    }
}
