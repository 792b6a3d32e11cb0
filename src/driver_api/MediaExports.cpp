// The media exports with post-processing of their own: the image and the
// data blocks (the streaming path: no entry line and no allocation of their
// own, the block the stub received goes to the caller as it is), the
// settings BSTR that is only read, and the time line's BSTR.
#include <kestrel/kestrel.h>

#include <cstdint>

#include "c_api/Notes.h"
#include "driver_api/CallFrame.h"
#include "driver_api/Conversions.h"

using namespace kestrel::driver_api;

extern "C" {

KESTREL_API int GetImage2(const char* szServer, int nCamNo, unsigned char** pJpgBytes) {
    int32_t nSize = 0;
    ForwardCall(KESTREL_FRAME(GetImage2), szServer, [&](RpcDriverCallCtx hCtx) {
        return rpc_GetImage2(hCtx, szServer, nCamNo, &nSize, reinterpret_cast<RpcChar**>(pJpgBytes));
    });
    kestrel_c_notes::ImageLength(nSize);  // for the C interface's GetImage2 with its length
    return 0;                             // the driver's result is not kept
}

KESTREL_API int GetVideoDataBlock(const char* szServer, int nCamNo, unsigned char** ppVideoDataBytes) {
    *ppVideoDataBytes = nullptr;
    return ForwardCall(KESTREL_FRAME(GetVideoDataBlock), szServer, [&](RpcDriverCallCtx hCtx) {
        int32_t nSize = 0;
        return rpc_GetVideoDataBlock(hCtx, szServer, nCamNo, &nSize, reinterpret_cast<RpcChar**>(ppVideoDataBytes));
    });
}

KESTREL_API int GetMediaDataBlock(const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex,
                                  unsigned char** ppMediaDataBytes) {
    *ppMediaDataBytes = nullptr;
    return ForwardCall(KESTREL_FRAME(GetMediaDataBlock), szServer, [&](RpcDriverCallCtx hCtx) {
        int32_t nSize = 0;
        return rpc_GetMediaDataBlock(hCtx, szServer, nMediaType, nDeviceIndex, nStreamIndex, &nSize,
                                     reinterpret_cast<RpcChar**>(ppMediaDataBytes));
    });
}

// The caller gives the data before its length, the procedure wants the
// length first.
KESTREL_API int PutMediaDataBlock(const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex,
                                  const unsigned char* pMediaDataBytes, int nLength, int* pResultCode) {
    return ForwardCall(KESTREL_FRAME(PutMediaDataBlock), szServer, [&](RpcDriverCallCtx hCtx) {
        return rpc_PutMediaDataBlock(hCtx, szServer, nMediaType, nDeviceIndex, nStreamIndex, nLength,
                                     reinterpret_cast<const RpcChar*>(pMediaDataBytes), pResultCode);
    });
}

// The settings BSTR is only read: its text goes out as a wide string.
KESTREL_API bool OpenMediaStreamWithSettings(const char* szServer, const char* szPassword, int nMediaType,
                                             int nDeviceIndex, int nStreamIndex, const char* szEventName,
                                             BSTR* settingsXml) {
    return ForwardCall(KESTREL_FRAME(OpenMediaStreamWithSettings), szServer, [&](RpcDriverCallCtx hCtx) {
               return rpc_OpenMediaStreamWithSettings(hCtx, szServer, szPassword, nMediaType, nDeviceIndex,
                                                      nStreamIndex, szEventName, *settingsXml);
           }) != 0;
}

// Unlike the XML exports, the variable is overwritten without releasing what
// it held, and receives a null BSTR when the driver has no information.
KESTREL_API int GetTimeLine(const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex,
                            long long iStartTime, long long iEndTime, BSTR* bsRecordingTimeInfo) {
    RpcWChar* wstrRecordingTimeInfo = nullptr;
    const StubBlock<RpcWChar> ownRecordingTimeInfo(wstrRecordingTimeInfo);
    const int rVal = ForwardCall(KESTREL_FRAME(GetTimeLine), szServer, [&](RpcDriverCallCtx hCtx) {
        return rpc_GetTimeLine(hCtx, szServer, eMediaType, nDeviceIndex, nStreamIndex, iStartTime, iEndTime,
                               &wstrRecordingTimeInfo);
    });
    *bsRecordingTimeInfo = SysAllocString(wstrRecordingTimeInfo);
    return rVal;
}

}  // extern "C"
