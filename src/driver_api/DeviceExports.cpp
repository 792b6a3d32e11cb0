// The device exports with post-processing of their own: GetInfo's result
// mapping and caller buffers, the fixed size of the pan-tilt tables, and the
// preset names copied into caller buffers.
#include <kestrel/kestrel.h>

#include <cstdint>

#include "driver_api/CallFrame.h"
#include "driver_api/Conversions.h"

using namespace kestrel::driver_api;

extern "C" {

// The driver reports success by 0 or 77; only then do its texts reach the
// caller's buffers. Its 57005 is reported as 1.
KESTREL_API int GetInfo(const char* strIP, const char* strPass, char* pcMAC, char* pcDevType) {
    RpcChar* xpcMAC = nullptr;
    RpcChar* xpcDevType = nullptr;
    const StubBlock<RpcChar> ownMAC(xpcMAC);
    const StubBlock<RpcChar> ownDevType(xpcDevType);
    ExportFrame frame = KESTREL_FRAME(GetInfo);
    frame.nEntryLevel = 1;
    int res = ForwardCall(
        frame, strIP, [&](RpcDriverCallCtx hCtx) { return rpc_GetInfo(hCtx, strIP, strPass, &xpcMAC, &xpcDevType); });
    if (res == 57005) {
        res = 1;
    } else if (res == 0 || res == 77) {
        CopyToCallerBuffer(pcMAC, xpcMAC);
        CopyToCallerBuffer(pcDevType, xpcDevType);
    }
    KESTREL_LOG(kProxy, "GetInfo", 3, "szServer='%s', pcMAC='%s', pcDevType='%s'", strIP, pcMAC, pcDevType);
    return res;
}

// The driver's tables have 256 entries: all of them are sent, whatever the
// caller filled in.
KESTREL_API void SetPanTiltDriver(const char* szServer, const char* szUsername, const char* szPassword,
                                  const int* nDriver, const int* nComPort, const int* nAdrId) {
    const std::int32_t nLength = 256;
    ForwardCall(KESTREL_FRAME(SetPanTiltDriver), szServer, [&](RpcDriverCallCtx hCtx) {
        rpc_SetPanTiltDriver(hCtx, szServer, szUsername, szPassword, nLength, nDriver, nComPort, nAdrId);
    });
}

// The stub returns nPresetMax names whatever the result; a positive result is
// the number of valid ones, which go to the caller's buffers of 256
// characters. All returned names are released.
KESTREL_API int QueryPresetPositions(const char* szServer, int nCamNo, int nPresetMax, char** pszPresetNames) {
    RpcChar** locPresetnames = nullptr;
    const std::int32_t nReturned = nPresetMax > 0 ? nPresetMax : 0;
    const StubStrings ownPresetnames(locPresetnames, nReturned);
    const int rVal = ForwardCall(KESTREL_FRAME(QueryPresetPositions), szServer, [&](RpcDriverCallCtx hCtx) {
        return rpc_QueryPresetPositions(hCtx, szServer, nCamNo, nPresetMax, kStringArrayBound, &locPresetnames);
    });
    if (rVal > 0 && locPresetnames != nullptr) {
        // A count above nPresetMax copies the nPresetMax names there are.
        const int nCopy = rVal < nReturned ? rVal : nReturned;
        for (int i = 0; i < nCopy; ++i) CopyToCallerBuffer(pszPresetNames[i], locPresetnames[i]);
    }
    return rVal;
}

}  // extern "C"
