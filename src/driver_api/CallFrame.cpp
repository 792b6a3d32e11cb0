#include "driver_api/CallFrame.h"

namespace kestrel::driver_api {

void FailForwardedCall(const ExportFrame& frame, const char* szServer, instances::RpcContextLease context,
                       std::uint32_t nCode) {
    const CmLogSite site{kProxy, frame.szExport, frame.nLine, 1};
    CmLog::Write(site, kLogSource, "RPC exception %d(0x%x), server='%s', rpc call='%s'", static_cast<int>(nCode), nCode,
                 szServer, frame.szCallText);
    context.Release();
    const std::string strHowEnded = instances::DescribeHostProcEnd(szServer);
    if (instances::RemoveHostProcAndDevices(szServer, false)) {
        try {
            instances::ThrowHostProcError(nCode);
        } catch (unsigned long) {
            if (!strHowEnded.empty()) CmLog::Write(site, kLogSource, "%s", strHowEnded.c_str());
            throw;
        }
    }
    instances::ThrowDeviceUnknownError(nCode);
}

}  // namespace kestrel::driver_api
