// Connections, device information, outputs, frame rates and pan-tilt-zoom.
#include <kestrel/kestrel.h>

#include <cstdint>

#include "driver_api/CallFrame.h"
#include "driver_api/Conversions.h"

extern "C" {

KESTREL_API int OpenConnection(const char* szServer, const char* szPassword, int bShowHalfsize, int nCamNo) {
    return ForwardCall(
        KESTREL_FRAME("OpenConnection",
                      "rVal = rpc_OpenConnection(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, bShowHalfsize, nCamNo)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_OpenConnection(hCtx, szServer, szPassword, bShowHalfsize, nCamNo);
        });
}

KESTREL_API int OpenStreamConnection(const char* szServer, const char* szPassword, int bShowHalfsize, int nCamNo) {
    return ForwardCall(
        KESTREL_FRAME("OpenStreamConnection",
                      "rVal = rpc_OpenStreamConnection(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, bShowHalfsize, nCamNo)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_OpenStreamConnection(hCtx, szServer, szPassword, bShowHalfsize, nCamNo);
        });
}

KESTREL_API void CloseConnection2(const char* szServer, int nCamNo) {
    ForwardCall(
        KESTREL_FRAME("CloseConnection2",
                      "rpc_CloseConnection2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo)"),
        szServer, [&](RpcDriverCallCtx hCtx) { rpc_CloseConnection2(hCtx, szServer, nCamNo); });
}

KESTREL_API void ConfigDevice2(const char* szServer, const char* username, const char* password, int nCamNo,
                               int* Halfsize, int* asize) {
    ForwardCall(
        KESTREL_FRAME("ConfigDevice2",
                      "rpc_ConfigDevice2(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)username, (RpcCChar*)password, nCamNo, Halfsize, asize)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            rpc_ConfigDevice2(hCtx, szServer, username, password, nCamNo, Halfsize, asize);
        });
}

KESTREL_API int ChangePassword(const char* szServer, const char* szUsername, const char* szPassword,
                               const char* szNewPassword) {
    return ForwardCall(
        KESTREL_FRAME("ChangePassword",
                      "rVal = rpc_ChangePassword(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, (RpcCChar*)szNewPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_ChangePassword(hCtx, szServer, szUsername, szPassword, szNewPassword);
        });
}

// The driver reports success by 0 or 77; only then do its texts reach the
// caller's buffers. Its 57005 is reported as 1.
KESTREL_API int GetInfo(const char* strIP, const char* strPass, char* pcMAC, char* pcDevType) {
    RpcChar* xpcMAC = nullptr;
    RpcChar* xpcDevType = nullptr;
    const StubBlock<RpcChar> ownMAC(xpcMAC);
    const StubBlock<RpcChar> ownDevType(xpcDevType);
    int res = ForwardCall(
        KESTREL_FRAME_AT_LEVEL("GetInfo",
                               "res = rpc_GetInfo(RPCCONTEXT, (RpcCChar*)strIP, (RpcCChar*)strPass, (RpcChar**)&xpcMAC, (RpcChar**)&xpcDevType)",
                               1),
        strIP, [&](RpcDriverCallCtx hCtx) { return rpc_GetInfo(hCtx, strIP, strPass, &xpcMAC, &xpcDevType); });
    if (res == 57005) {
        res = 1;
    } else if (res == 0 || res == 77) {
        CopyToCallerBuffer(pcMAC, xpcMAC);
        CopyToCallerBuffer(pcDevType, xpcDevType);
    }
    KESTREL_LOG(kProxy, "GetInfo", 3, "szServer='%s', pcMAC='%s', pcDevType='%s'", strIP, pcMAC, pcDevType);
    return res;
}

KESTREL_API void RefreshConfiguration(const char* szServer, const char* szUsername, const char* szPassword,
                                      int nCamNo) {
    ForwardCall(
        KESTREL_FRAME("RefreshConfiguration",
                      "rpc_RefreshConfiguration(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            rpc_RefreshConfiguration(hCtx, szServer, szUsername, szPassword, nCamNo);
        });
}

KESTREL_API int QueryIsIpix(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryIsIpix",
                      "rVal = rpc_QueryIsIpix(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryIsIpix(hCtx, szServer, szPassword); });
}

KESTREL_API int QueryIsCeilingMode(const char* szServer, const char* szPassword) {
    return ForwardCall(
        KESTREL_FRAME("QueryIsCeilingMode",
                      "rVal = rpc_QueryIsCeilingMode(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_QueryIsCeilingMode(hCtx, szServer, szPassword); });
}

KESTREL_API void SetPollingRate(const char* szServer, int nCamNo, int iRate) {
    ForwardCall(
        KESTREL_FRAME("SetPollingRate",
                      "rpc_SetPollingRate(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, iRate)"),
        szServer, [&](RpcDriverCallCtx hCtx) { rpc_SetPollingRate(hCtx, szServer, nCamNo, iRate); });
}

KESTREL_API void TriggerOutput(const char* szServer, const char* szPass, int iOutput, int uiDuration) {
    ForwardCall(
        KESTREL_FRAME("TriggerOutput",
                      "rpc_TriggerOutput(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPass, iOutput, uiDuration)"),
        szServer, [&](RpcDriverCallCtx hCtx) { rpc_TriggerOutput(hCtx, szServer, szPass, iOutput, uiDuration); });
}

KESTREL_API int SetOutput(const char* szServer, const char* szPass, int iOutput, int bActive) {
    return ForwardCall(
        KESTREL_FRAME("SetOutput",
                      "rVal = rpc_SetOutput(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPass, iOutput, bActive)"),
        szServer, [&](RpcDriverCallCtx hCtx) { return rpc_SetOutput(hCtx, szServer, szPass, iOutput, bActive); });
}

// Frame rates controlled by the device. The two arrays of
// QueryDeviceControlledFramerates go to the caller as the stub made them.

KESTREL_API int QueryDeviceControlledFramerates(const char* szServer, const char* szPassword, int nCamNo,
                                                int* piNumFPSValues, double** ppdFPSValuesArray,
                                                double** ppdFPSInternalValsArray) {
    return ForwardCall(
        KESTREL_FRAME("QueryDeviceControlledFramerates",
                      "rVal = rpc_QueryDeviceControlledFramerates(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nCamNo, piNumFPSValues, ppdFPSValuesArray, ppdFPSInternalValsArray)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_QueryDeviceControlledFramerates(hCtx, szServer, szPassword, nCamNo, piNumFPSValues,
                                                       ppdFPSValuesArray, ppdFPSInternalValsArray);
        });
}

KESTREL_API int GetDeviceControlledFramerate(const char* szServer, const char* szPassword, int nCamNo,
                                             double* pdFPSValue, double* pdFPSInternalVal) {
    return ForwardCall(
        KESTREL_FRAME("GetDeviceControlledFramerate",
                      "rVal = rpc_GetDeviceControlledFramerate(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nCamNo, pdFPSValue, pdFPSInternalVal)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_GetDeviceControlledFramerate(hCtx, szServer, szPassword, nCamNo, pdFPSValue, pdFPSInternalVal);
        });
}

KESTREL_API int SetDeviceControlledFramerate(const char* szServer, const char* szPassword, int nCamNo,
                                             double dFPSInternalVal) {
    return ForwardCall(
        KESTREL_FRAME("SetDeviceControlledFramerate",
                      "rVal = rpc_SetDeviceControlledFramerate(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nCamNo, dFPSInternalVal)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_SetDeviceControlledFramerate(hCtx, szServer, szPassword, nCamNo, dFPSInternalVal);
        });
}

KESTREL_API int QueryDeviceControlsFramerate(const char* szServer, const char* szPassword, int nCamNo,
                                             int* pbDoesControlFPS) {
    return ForwardCall(
        KESTREL_FRAME("QueryDeviceControlsFramerate",
                      "rVal = rpc_QueryDeviceControlsFramerate(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nCamNo, pbDoesControlFPS)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_QueryDeviceControlsFramerate(hCtx, szServer, szPassword, nCamNo, pbDoesControlFPS);
        });
}

// Pan, tilt and zoom.

KESTREL_API void MoveCamera2(const char* szServer, int nCamNo, int nDir) {
    ForwardCall(
        KESTREL_FRAME("MoveCamera2",
                      "rpc_MoveCamera2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nDir)"),
        szServer, [&](RpcDriverCallCtx hCtx) { rpc_MoveCamera2(hCtx, szServer, nCamNo, nDir); });
}

KESTREL_API void PanTiltCamera2(const char* szServer, int nCamNo, int nDriver, int nPan, int nTilt) {
    ForwardCall(
        KESTREL_FRAME("PanTiltCamera2",
                      "rpc_PanTiltCamera2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nDriver, nPan, nTilt)"),
        szServer, [&](RpcDriverCallCtx hCtx) { rpc_PanTiltCamera2(hCtx, szServer, nCamNo, nDriver, nPan, nTilt); });
}

KESTREL_API void ZoomCamera2(const char* szServer, int nCamNo, int nDriver, int nZoom) {
    ForwardCall(
        KESTREL_FRAME("ZoomCamera2",
                      "rpc_ZoomCamera2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nDriver, nZoom)"),
        szServer, [&](RpcDriverCallCtx hCtx) { rpc_ZoomCamera2(hCtx, szServer, nCamNo, nDriver, nZoom); });
}

KESTREL_API void PTZCamera(const char* szServer, int nCamNo, int nDriver, int nPan, int nTilt, int nZoom) {
    ForwardCall(
        KESTREL_FRAME("PTZCamera",
                      "rpc_PTZCamera(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nDriver, nPan, nTilt, nZoom)"),
        szServer, [&](RpcDriverCallCtx hCtx) { rpc_PTZCamera(hCtx, szServer, nCamNo, nDriver, nPan, nTilt, nZoom); });
}

// The driver's tables have 256 entries: all of them are sent, whatever the
// caller filled in.
KESTREL_API void SetPanTiltDriver(const char* szServer, const char* szUsername, const char* szPassword,
                                  const int* nDriver, const int* nComPort, const int* nAdrId) {
    const std::int32_t nLength = 256;
    ForwardCall(
        KESTREL_FRAME("SetPanTiltDriver",
                      "rpc_SetPanTiltDriver(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nLength, nDriver, nComPort, nAdrId)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            rpc_SetPanTiltDriver(hCtx, szServer, szUsername, szPassword, nLength, nDriver, nComPort, nAdrId);
        });
}

KESTREL_API int QueryPTZMoveXY(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                               int nDriver) {
    return ForwardCall(
        KESTREL_FRAME("QueryPTZMoveXY",
                      "rVal = rpc_QueryPTZMoveXY(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_QueryPTZMoveXY(hCtx, szServer, szUsername, szPassword, nCamNo, nDriver);
        });
}

KESTREL_API void PTZMoveXY(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                           int nDriver, int nSpeedX, int nSpeedY) {
    ForwardCall(
        KESTREL_FRAME("PTZMoveXY",
                      "rpc_PTZMoveXY(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, nSpeedX, nSpeedY)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            rpc_PTZMoveXY(hCtx, szServer, szUsername, szPassword, nCamNo, nDriver, nSpeedX, nSpeedY);
        });
}

KESTREL_API int QueryPTZMoveXYZ(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                                int nDriver) {
    return ForwardCall(
        KESTREL_FRAME("QueryPTZMoveXYZ",
                      "rVal = rpc_QueryPTZMoveXYZ(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_QueryPTZMoveXYZ(hCtx, szServer, szUsername, szPassword, nCamNo, nDriver);
        });
}

KESTREL_API void PTZMoveXYZ(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                            int nDriver, int nSpeedX, int nSpeedY, int nSpeedZ) {
    ForwardCall(
        KESTREL_FRAME("PTZMoveXYZ",
                      "rpc_PTZMoveXYZ(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, nSpeedX, nSpeedY, nSpeedZ)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            rpc_PTZMoveXYZ(hCtx, szServer, szUsername, szPassword, nCamNo, nDriver, nSpeedX, nSpeedY, nSpeedZ);
        });
}

KESTREL_API int GetPTZPos(const char* szServer, int nCamNo, int nDriver, int* pPan, int* pTilt, int* pZoom) {
    return ForwardCall(
        KESTREL_FRAME("GetPTZPos",
                      "rVal = rpc_GetPTZPos(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nDriver, pPan, pTilt, pZoom)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_GetPTZPos(hCtx, szServer, nCamNo, nDriver, pPan, pTilt, pZoom);
        });
}

// The stub returns nPresetMax names whatever the result; a positive result is
// the number of valid ones, which go to the caller's buffers of 256
// characters. All returned names are released.
KESTREL_API int QueryPresetPositions(const char* szServer, int nCamNo, int nPresetMax, char** pszPresetNames) {
    RpcChar** locPresetnames = nullptr;
    const std::int32_t nReturned = nPresetMax > 0 ? nPresetMax : 0;
    const StubStrings ownPresetnames(locPresetnames, nReturned);
    const int rVal = ForwardCall(
        KESTREL_FRAME("QueryPresetPositions",
                      "rVal = rpc_QueryPresetPositions(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nPresetMax, 256, &locPresetnames)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_QueryPresetPositions(hCtx, szServer, nCamNo, nPresetMax, kStringArrayBound, &locPresetnames);
        });
    if (rVal > 0 && locPresetnames != nullptr) {
        // A count above nPresetMax copies the nPresetMax names there are.
        const int nCopy = rVal < nReturned ? rVal : nReturned;
        for (int i = 0; i < nCopy; ++i) CopyToCallerBuffer(pszPresetNames[i], locPresetnames[i]);
    }
    return rVal;
}

KESTREL_API int MoveToPresetPosition(const char* szServer, int nCamNo, const char* szPresetName) {
    return ForwardCall(
        KESTREL_FRAME("MoveToPresetPosition",
                      "rVal = rpc_MoveToPresetPosition(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, (RpcCChar*)szPresetName)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_MoveToPresetPosition(hCtx, szServer, nCamNo, szPresetName);
        });
}

KESTREL_API void PTZAreaZoom(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                             int nDriver, int nX, int nY, int nWidth, int nHeight, int nSpeed) {
    ForwardCall(
        KESTREL_FRAME("PTZAreaZoom",
                      "rpc_PTZAreaZoom(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, nX, nY, nWidth, nHeight, nSpeed)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            rpc_PTZAreaZoom(hCtx, szServer, szUsername, szPassword, nCamNo, nDriver, nX, nY, nWidth, nHeight, nSpeed);
        });
}

KESTREL_API void PTZCommand(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                            int nDriver, int nCommand, int nSpeed) {
    ForwardCall(
        KESTREL_FRAME("PTZCommand",
                      "rpc_PTZCommand(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, nCommand, nSpeed)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            rpc_PTZCommand(hCtx, szServer, szUsername, szPassword, nCamNo, nDriver, nCommand, nSpeed);
        });
}

KESTREL_API int PTZCommandSupported(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                                    int nDriver, int nCommand) {
    return ForwardCall(
        KESTREL_FRAME("PTZCommandSupported",
                      "rVal = rpc_PTZCommandSupported(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, nCommand)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_PTZCommandSupported(hCtx, szServer, szUsername, szPassword, nCamNo, nDriver, nCommand);
        });
}

KESTREL_API int PTZGetAbsolute(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                               int nDriver, int* pPan, int* pTilt, int* pZoom, int* pFocus) {
    return ForwardCall(
        KESTREL_FRAME("PTZGetAbsolute",
                      "rVal = rpc_PTZGetAbsolute(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, pPan, pTilt, pZoom, pFocus)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_PTZGetAbsolute(hCtx, szServer, szUsername, szPassword, nCamNo, nDriver, pPan, pTilt, pZoom,
                                      pFocus);
        });
}

KESTREL_API void PTZSetAbsolute(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                                int nDriver, int nPan, int nTilt, int nZoom, int nSpeed, int nFocus) {
    ForwardCall(
        KESTREL_FRAME("PTZSetAbsolute",
                      "rpc_PTZSetAbsolute(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, nPan, nTilt, nZoom, nSpeed, nFocus)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            rpc_PTZSetAbsolute(hCtx, szServer, szUsername, szPassword, nCamNo, nDriver, nPan, nTilt, nZoom, nSpeed,
                               nFocus);
        });
}

KESTREL_API int PTZGetAbsoluteDoubles(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                                      int nDriver, double* pPan, double* pTilt, double* pZoom, double* pFocus) {
    return ForwardCall(
        KESTREL_FRAME("PTZGetAbsoluteDoubles",
                      "rVal = rpc_PTZGetAbsoluteDoubles(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, pPan, pTilt, pZoom, pFocus)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            return rpc_PTZGetAbsoluteDoubles(hCtx, szServer, szUsername, szPassword, nCamNo, nDriver, pPan, pTilt,
                                             pZoom, pFocus);
        });
}

KESTREL_API void PTZSetAbsoluteDoubles(const char* szServer, const char* szUsername, const char* szPassword, int nCamNo,
                                       int nDriver, double dPan, double dTilt, double dZoom, double dFocus) {
    ForwardCall(
        KESTREL_FRAME("PTZSetAbsoluteDoubles",
                      "rpc_PTZSetAbsoluteDoubles(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, dPan, dTilt, dZoom, dFocus)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            rpc_PTZSetAbsoluteDoubles(hCtx, szServer, szUsername, szPassword, nCamNo, nDriver, dPan, dTilt, dZoom,
                                      dFocus);
        });
}

KESTREL_API void PTZSetAbsoluteDoublesSpeed(const char* szServer, const char* szUsername, const char* szPassword,
                                            int nCamNo, int nDriver, double dPan, double dTilt, double dZoom,
                                            double dFocus, double dSpeed) {
    ForwardCall(
        KESTREL_FRAME("PTZSetAbsoluteDoublesSpeed",
                      "rpc_PTZSetAbsoluteDoublesSpeed(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, dPan, dTilt, dZoom, dFocus, dSpeed)"),
        szServer, [&](RpcDriverCallCtx hCtx) {
            rpc_PTZSetAbsoluteDoublesSpeed(hCtx, szServer, szUsername, szPassword, nCamNo, nDriver, dPan, dTilt, dZoom,
                                           dFocus, dSpeed);
        });
}

}  // extern "C"
