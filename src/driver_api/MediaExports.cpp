// Images, video and media blocks, streams, playback and recordings.
#include <kestrel/kestrel.h>

#include <cstdint>

#include "c_api/Notes.h"
#include "driver_api/CallFrame.h"
#include "driver_api/Conversions.h"

extern "C" {

KESTREL_API int GetImage2(const char* szServer, int nCamNo, unsigned char** pJpgBytes) {
    int32_t nSize = 0;
    ForwardCall(
        KESTREL_FRAME("GetImage2",
                      "rpc_GetImage2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, &nSize, pJpgBytes)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_GetImage2(hCtx, szServer, nCamNo, &nSize, reinterpret_cast<RpcChar**>(pJpgBytes));
        });
    kestrel_c_notes::ImageLength(nSize);  // for the C interface's GetImage2 with length
    return 0;  // the driver's result is not kept
}

// The streaming path: no entry line, no allocation of its own; the block the
// stub received goes to the caller as it is.
KESTREL_API int GetVideoDataBlock(const char* szServer, int nCamNo, unsigned char** ppVideoDataBytes) {
    *ppVideoDataBytes = nullptr;
    return ForwardCall(
        KESTREL_FRAME_AT_LEVEL("GetVideoDataBlock",
                               "rVal = rpc_GetVideoDataBlock(RPCCONTEXT, (RpcCChar*)szServer, nCamNo, &nSize, ppVideoDataBytes)",
                               0),
        szServer, [&](RpcDriverCallCtx hCtx) {
            int32_t nSize = 0;
            return rpc_GetVideoDataBlock(hCtx, szServer, nCamNo, &nSize,
                                         reinterpret_cast<RpcChar**>(ppVideoDataBytes));
        });
}

KESTREL_API int OpenMediaStream(const char* szServer, const char* szPassword, int nMediaType, int nDeviceIndex,
                                int nStreamIndex, const char* szEventName) {
    return ForwardCall(
        KESTREL_FRAME("OpenMediaStream",
                      "rVal = rpc_OpenMediaStream(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nMediaType, nDeviceIndex, nStreamIndex, (RpcCChar*)szEventName)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_OpenMediaStream(hCtx, szServer, szPassword, nMediaType, nDeviceIndex, nStreamIndex, szEventName);
        });
}

// The settings BSTR is only read: its text goes out as a wide string.
KESTREL_API bool OpenMediaStreamWithSettings(const char* szServer, const char* szPassword, int nMediaType,
                                             int nDeviceIndex, int nStreamIndex, const char* szEventName,
                                             BSTR* settingsXml) {
    const int rVal = ForwardCall(
        KESTREL_FRAME("OpenMediaStreamWithSettings",
                      "rVal = rpc_OpenMediaStreamWithSettings(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nMediaType, nDeviceIndex, nStreamIndex, (RpcCChar*)szEventName, *settingsXml)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_OpenMediaStreamWithSettings(hCtx, szServer, szPassword, nMediaType, nDeviceIndex, nStreamIndex,
                                                   szEventName, *settingsXml);
        });
    return rVal != 0;
}

// Streaming path, as GetVideoDataBlock.
KESTREL_API int GetMediaDataBlock(const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex,
                                  unsigned char** ppMediaDataBytes) {
    *ppMediaDataBytes = nullptr;
    return ForwardCall(
        KESTREL_FRAME_AT_LEVEL("GetMediaDataBlock",
                               "rVal = rpc_GetMediaDataBlock(RPCCONTEXT, (RpcCChar*)szServer, nMediaType, nDeviceIndex, nStreamIndex, &nSize, ppMediaDataBytes)",
                               0),
        szServer, [&](RpcDriverCallCtx hCtx) {
            int32_t nSize = 0;
            return rpc_GetMediaDataBlock(hCtx, szServer, nMediaType, nDeviceIndex, nStreamIndex, &nSize,
                                         reinterpret_cast<RpcChar**>(ppMediaDataBytes));
        });
}

// Streaming path: the caller's block is sent as it is. The caller gives the
// data before its length, the procedure wants the length first.
KESTREL_API int PutMediaDataBlock(const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex,
                                  const unsigned char* pMediaDataBytes, int nLength, int* pResultCode) {
    return ForwardCall(
        KESTREL_FRAME_AT_LEVEL("PutMediaDataBlock",
                               "rVal = rpc_PutMediaDataBlock(RPCCONTEXT, (RpcCChar*)szServer, nMediaType, nDeviceIndex, nStreamIndex, nLength, pMediaDataBytes, pResultCode)",
                               0),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_PutMediaDataBlock(hCtx, szServer, nMediaType, nDeviceIndex, nStreamIndex, nLength,
                                         reinterpret_cast<const RpcChar*>(pMediaDataBytes), pResultCode);
        });
}

KESTREL_API void CloseMediaStream(const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex) {
    ForwardCall(
        KESTREL_FRAME("CloseMediaStream",
                      "rpc_CloseMediaStream(pCTX->m_hCtx, (RpcCChar*)szServer, nMediaType, nDeviceIndex, nStreamIndex)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            rpc_CloseMediaStream(hCtx, szServer, nMediaType, nDeviceIndex, nStreamIndex);
        });
}

KESTREL_API int SetMediaStreamPollingRate(const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex,
                                          double dNewPollingRate) {
    return ForwardCall(
        KESTREL_FRAME("SetMediaStreamPollingRate",
                      "rVal = rpc_SetMediaStreamPollingRate(pCTX->m_hCtx, (RpcCChar*)szServer, nMediaType, nDeviceIndex, nStreamIndex, dNewPollingRate)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_SetMediaStreamPollingRate(hCtx, szServer, nMediaType, nDeviceIndex, nStreamIndex,
                                                 dNewPollingRate);
        });
}

KESTREL_API int Play(const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex, long long time_stamp,
                     double dSpeed) {
    return ForwardCall(
        KESTREL_FRAME("Play",
                      "rVal = rpc_Play(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex, time_stamp, dSpeed)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_Play(hCtx, szServer, eMediaType, nDeviceIndex, nStreamIndex, time_stamp, dSpeed);
        });
}

KESTREL_API int Pause(const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex) {
    return ForwardCall(
        KESTREL_FRAME("Pause",
                      "rVal = rpc_Pause(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_Pause(hCtx, szServer, eMediaType, nDeviceIndex, nStreamIndex);
        });
}

KESTREL_API int ExecuteCustomCommand(const char* szServer, const char* szPassword, int nMediaType, int nDeviceIndex,
                                     int nStreamIndex, const char* szCommand) {
    return ForwardCall(
        KESTREL_FRAME("ExecuteCustomCommand",
                      "rVal = rpc_ExecuteCustomCommand(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nMediaType, nDeviceIndex, nStreamIndex, (RpcCChar*)szCommand)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_ExecuteCustomCommand(hCtx, szServer, szPassword, nMediaType, nDeviceIndex, nStreamIndex,
                                            szCommand);
        });
}

// Unlike the XML exports, the variable is overwritten without releasing what
// it held, and receives a null BSTR when the driver has no information.
KESTREL_API int GetTimeLine(const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex,
                            long long iStartTime, long long iEndTime, BSTR* bsRecordingTimeInfo) {
    RpcWChar* wstrRecordingTimeInfo = nullptr;
    const StubBlock<RpcWChar> ownRecordingTimeInfo(wstrRecordingTimeInfo);
    const int rVal = ForwardCall(
        KESTREL_FRAME("GetTimeLine",
                      "rVal = rpc_GetTimeLine(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex, iStartTime, iEndTime, &wstrRecordingTimeInfo)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_GetTimeLine(hCtx, szServer, eMediaType, nDeviceIndex, nStreamIndex, iStartTime, iEndTime,
                                   &wstrRecordingTimeInfo);
        });
    *bsRecordingTimeInfo = SysAllocString(wstrRecordingTimeInfo);
    return rVal;
}

KESTREL_API int Retrieve(const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex, long long iStartTime,
                         long long iEndTime) {
    return ForwardCall(
        KESTREL_FRAME("Retrieve",
                      "rVal = rpc_Retrieve(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex, iStartTime, iEndTime)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_Retrieve(hCtx, szServer, eMediaType, nDeviceIndex, nStreamIndex, iStartTime, iEndTime);
        });
}

KESTREL_API int RetrieveStatus(const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex) {
    return ForwardCall(
        KESTREL_FRAME("RetrieveStatus",
                      "rVal = rpc_RetrieveStatus(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_RetrieveStatus(hCtx, szServer, eMediaType, nDeviceIndex, nStreamIndex);
        });
}

KESTREL_API int QueryNumberOfAudioInputs(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryNumberOfAudioInputs",
                      "rVal = rpc_QueryNumberOfAudioInputs(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryNumberOfAudioInputs(hCtx, szServer, szPassword); });
}

KESTREL_API int QueryNumberOfAudioOutputs(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryNumberOfAudioOutputs",
                      "rVal = rpc_QueryNumberOfAudioOutputs(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryNumberOfAudioOutputs(hCtx, szServer, szPassword); });
}

}  // extern "C"
