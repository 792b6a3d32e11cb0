#include "driver_api/CallFrame.h"

void FailForwardedCall(const ExportFrame& frame, const char* szServer, RpcContext* pCTX, std::uint32_t nCode) {
    const CmLogSite site{kProxy, frame.szExport, frame.nLine, 1};
    CmLog::Write(site, kLogSource, "RPC exception %d(0x%x), server='%s', rpc call='%s'", static_cast<int>(nCode),
                 nCode, szServer, frame.szCallText);
    ReleaseRpcCtx(pCTX);
    const std::string strHowEnded = DescribeHostProcEnd(szServer);
    if (RemoveHostProcAndDevices(szServer, false)) {
        try {
            ThrowHostProcError(nCode);
        } catch (unsigned long) {
            if (!strHowEnded.empty()) CmLog::Write(site, kLogSource, "%s", strHowEnded.c_str());
            throw;
        }
    }
    ThrowDeviceUnknownError(nCode);
}
