// The call text of every forwarding export, as its exception line must
// show it, against the text the library makes from the interface table and
// the export list (driver_api/CallTexts.h): the rule and its exceptions are
// checked for all 86 at once.
#include <kestrel/driver_exports.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "driver_api/CallTexts.h"

namespace {

const std::map<std::string, std::string> kExpectedTexts = {
    {"OpenConnection",
     "rVal = rpc_OpenConnection(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, bShowHalfsize, nCamNo)"},
    {"OpenStreamConnection",
     "rVal = rpc_OpenStreamConnection(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, bShowHalfsize, "
     "nCamNo)"},
    {"CloseConnection2", "rpc_CloseConnection2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo)"},
    {"ConfigDevice2",
     "rpc_ConfigDevice2(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)username, (RpcCChar*)password, nCamNo, Halfsize, "
     "asize)"},
    {"ChangePassword",
     "rVal = rpc_ChangePassword(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, "
     "(RpcCChar*)szNewPassword)"},
    {"GetInfo",
     "res = rpc_GetInfo(RPCCONTEXT, (RpcCChar*)strIP, (RpcCChar*)strPass, (RpcChar**)&xpcMAC, (RpcChar**)&xpcDevType)"},
    {"RefreshConfiguration",
     "rpc_RefreshConfiguration(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, "
     "nCamNo)"},
    {"QueryIsIpix", "rVal = rpc_QueryIsIpix(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QueryIsCeilingMode", "rVal = rpc_QueryIsCeilingMode(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"SetPollingRate", "rpc_SetPollingRate(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, iRate)"},
    {"TriggerOutput", "rpc_TriggerOutput(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPass, iOutput, uiDuration)"},
    {"SetOutput", "rVal = rpc_SetOutput(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPass, iOutput, bActive)"},
    {"QueryDeviceControlledFramerates",
     "rVal = rpc_QueryDeviceControlledFramerates(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nCamNo, "
     "piNumFPSValues, ppdFPSValuesArray, ppdFPSInternalValsArray)"},
    {"GetDeviceControlledFramerate",
     "rVal = rpc_GetDeviceControlledFramerate(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nCamNo, "
     "pdFPSValue, pdFPSInternalVal)"},
    {"SetDeviceControlledFramerate",
     "rVal = rpc_SetDeviceControlledFramerate(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nCamNo, "
     "dFPSInternalVal)"},
    {"QueryDeviceControlsFramerate",
     "rVal = rpc_QueryDeviceControlsFramerate(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nCamNo, "
     "pbDoesControlFPS)"},
    {"MoveCamera2", "rpc_MoveCamera2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nDir)"},
    {"PanTiltCamera2", "rpc_PanTiltCamera2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nDriver, nPan, nTilt)"},
    {"ZoomCamera2", "rpc_ZoomCamera2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nDriver, nZoom)"},
    {"PTZCamera", "rpc_PTZCamera(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nDriver, nPan, nTilt, nZoom)"},
    {"SetPanTiltDriver",
     "rpc_SetPanTiltDriver(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nLength, "
     "nDriver, nComPort, nAdrId)"},
    {"QueryPTZMoveXY",
     "rVal = rpc_QueryPTZMoveXY(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, "
     "nCamNo, nDriver)"},
    {"PTZMoveXY",
     "rpc_PTZMoveXY(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, "
     "nSpeedX, nSpeedY)"},
    {"QueryPTZMoveXYZ",
     "rVal = rpc_QueryPTZMoveXYZ(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, "
     "nCamNo, nDriver)"},
    {"PTZMoveXYZ",
     "rpc_PTZMoveXYZ(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, "
     "nSpeedX, nSpeedY, nSpeedZ)"},
    {"GetPTZPos", "rVal = rpc_GetPTZPos(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nDriver, pPan, pTilt, pZoom)"},
    {"QueryPresetPositions",
     "rVal = rpc_QueryPresetPositions(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nPresetMax, 256, &locPresetnames)"},
    {"MoveToPresetPosition",
     "rVal = rpc_MoveToPresetPosition(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, (RpcCChar*)szPresetName)"},
    {"PTZAreaZoom",
     "rpc_PTZAreaZoom(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, "
     "nDriver, nX, nY, nWidth, nHeight, nSpeed)"},
    {"PTZCommand",
     "rpc_PTZCommand(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, "
     "nCommand, nSpeed)"},
    {"PTZCommandSupported",
     "rVal = rpc_PTZCommandSupported(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, "
     "nCamNo, nDriver, nCommand)"},
    {"PTZGetAbsolute",
     "rVal = rpc_PTZGetAbsolute(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, "
     "nCamNo, nDriver, pPan, pTilt, pZoom, pFocus)"},
    {"PTZSetAbsolute",
     "rpc_PTZSetAbsolute(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, "
     "nDriver, nPan, nTilt, nZoom, nSpeed, nFocus)"},
    {"PTZGetAbsoluteDoubles",
     "rVal = rpc_PTZGetAbsoluteDoubles(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, "
     "(RpcCChar*)szPassword, nCamNo, nDriver, pPan, pTilt, pZoom, pFocus)"},
    {"PTZSetAbsoluteDoubles",
     "rpc_PTZSetAbsoluteDoubles(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, "
     "nCamNo, nDriver, dPan, dTilt, dZoom, dFocus)"},
    {"PTZSetAbsoluteDoublesSpeed",
     "rpc_PTZSetAbsoluteDoublesSpeed(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, "
     "nCamNo, nDriver, dPan, dTilt, dZoom, dFocus, dSpeed)"},
    {"GetImage2", "rpc_GetImage2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, &nSize, pJpgBytes)"},
    {"GetVideoDataBlock",
     "rVal = rpc_GetVideoDataBlock(RPCCONTEXT, (RpcCChar*)szServer, nCamNo, &nSize, ppVideoDataBytes)"},
    {"OpenMediaStream",
     "rVal = rpc_OpenMediaStream(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nMediaType, nDeviceIndex, "
     "nStreamIndex, (RpcCChar*)szEventName)"},
    {"OpenMediaStreamWithSettings",
     "rVal = rpc_OpenMediaStreamWithSettings(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nMediaType, "
     "nDeviceIndex, nStreamIndex, (RpcCChar*)szEventName, *settingsXml)"},
    {"GetMediaDataBlock",
     "rVal = rpc_GetMediaDataBlock(RPCCONTEXT, (RpcCChar*)szServer, nMediaType, nDeviceIndex, nStreamIndex, &nSize, "
     "ppMediaDataBytes)"},
    {"PutMediaDataBlock",
     "rVal = rpc_PutMediaDataBlock(RPCCONTEXT, (RpcCChar*)szServer, nMediaType, nDeviceIndex, nStreamIndex, nLength, "
     "pMediaDataBytes, pResultCode)"},
    {"CloseMediaStream",
     "rpc_CloseMediaStream(pCTX->m_hCtx, (RpcCChar*)szServer, nMediaType, nDeviceIndex, nStreamIndex)"},
    {"SetMediaStreamPollingRate",
     "rVal = rpc_SetMediaStreamPollingRate(pCTX->m_hCtx, (RpcCChar*)szServer, nMediaType, nDeviceIndex, nStreamIndex, "
     "dNewPollingRate)"},
    {"Play",
     "rVal = rpc_Play(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex, time_stamp, dSpeed)"},
    {"Pause", "rVal = rpc_Pause(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex)"},
    {"ExecuteCustomCommand",
     "rVal = rpc_ExecuteCustomCommand(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nMediaType, "
     "nDeviceIndex, nStreamIndex, (RpcCChar*)szCommand)"},
    {"GetTimeLine",
     "rVal = rpc_GetTimeLine(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex, iStartTime, "
     "iEndTime, &wstrRecordingTimeInfo)"},
    {"Retrieve",
     "rVal = rpc_Retrieve(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex, iStartTime, "
     "iEndTime)"},
    {"RetrieveStatus",
     "rVal = rpc_RetrieveStatus(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex)"},
    {"QueryNumberOfAudioInputs",
     "rVal = rpc_QueryNumberOfAudioInputs(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QueryNumberOfAudioOutputs",
     "rVal = rpc_QueryNumberOfAudioOutputs(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QueryIsAbsoluteDyn",
     "rVal = rpc_QueryIsAbsoluteDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nDeviceType)"},
    {"QueryIsPTZDeviceDyn", "rVal = rpc_QueryIsPTZDeviceDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QueryPtzCenterClickDyn",
     "rVal = rpc_QueryPtzCenterClickDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QueryPtzMoveAdvancedDyn",
     "rVal = rpc_QueryPtzMoveAdvancedDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QueryPtzPortsDyn", "rVal = rpc_QueryPtzPortsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QueryPtzZoomRelDyn", "rVal = rpc_QueryPtzZoomRelDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QueryPTZPosDyn", "rVal = rpc_QueryPTZPosDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QueryChangePortsDyn", "rVal = rpc_QueryChangePortsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QueryDeviceIdDyn", "rVal = rpc_QueryDeviceIdDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QueryNumberOfCamDyn", "rVal = rpc_QueryNumberOfCamDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QueryAudioInputsDyn", "rVal = rpc_QueryAudioInputsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QueryAudioOutputsDyn",
     "rVal = rpc_QueryAudioOutputsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QueryNoInputDyn", "rVal = rpc_QueryNoInputDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QueryNoOutputDyn", "rVal = rpc_QueryNoOutputDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QuerySendFtpDyn", "rVal = rpc_QuerySendFtpDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QueryIsBrowsableDyn", "rVal = rpc_QueryIsBrowsableDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"FunctionSupported",
     "rVal = rpc_FunctionSupported(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, "
     "(RpcCChar*)szFunctionName)"},
    {"IsDebugBuildDyn", "rVal = rpc_IsDebugBuildDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"QueryPtzSupportedDyn",
     "rVal = rpc_QueryPtzSupportedDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, 256, &size, "
     "(RpcChar***)&ppszSupported)"},
    {"QueryDeviceTypeStrDyn",
     "{ rpc_QueryDeviceTypeStrDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, (RpcChar**)&pcDevType); "
     "bOk = true; }"},
    {"BeginDefineEvent",
     "rVal = rpc_BeginDefineEvent(pCTX->m_hCtx, (RpcCChar*)szHostIP, (RpcCChar*)szUsername, (RpcCChar*)szPassword, "
     "bEraseAll)"},
    {"EndDefineEvent",
     "rVal = rpc_EndDefineEvent(pCTX->m_hCtx, (RpcCChar*)szHostIP, (RpcCChar*)szUsername, (RpcCChar*)szPassword)"},
    {"DefineEventDyn",
     "rVal = rpc_DefineEventDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, (RpcCChar*)szInput, "
     "(RpcCChar*)szDestIP, (RpcCChar*)szDestPort, (RpcCChar*)szMessage, nUseBuffer)"},
    {"QueryEventsDyn",
     "rVal = rpc_QueryEventsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPass, 256, nofUsedEvents, "
     "(RpcCChar**)aszUsedEvents, &nofOpenEvents, (RpcChar***)&aszOpenEvents)"},
    {"SetEventsDyn",
     "rVal = rpc_SetEventsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nofEvents, aszEvents)"},
    {"QueryEventTypeDyn", "rVal = rpc_QueryEventTypeDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)"},
    {"OpenXmlEventParserDyn",
     "rVal = rpc_OpenXmlEventParserDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, "
     "(RpcCChar*)szEventType)"},
    {"ParseXmlEventDataDyn",
     "rVal = rpc_ParseXmlEventDataDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, "
     "nParserHandle, nLength, inputData, &wstrXml)"},
    {"CloseXmlEventParserDyn",
     "rpc_CloseXmlEventParserDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, "
     "nParserHandle)"},
    {"GetXml",
     "rVal = rpc_GetXml(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, "
     "(RpcCChar*)szFilter, &wstrXML)"},
    {"SetXmlParams",
     "rVal = rpc_SetXmlParams(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, bsXml, "
     "&wstrXML)"},
    {"SetXmlEvents",
     "rVal = rpc_SetXmlEvents(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, bsXml, "
     "&wstrXML)"},
    {"GenerateCredentialsDyn",
     "rVal = rpc_GenerateCredentialsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, "
     "&wstrCredentials)"},
    {"GetStreamInfo",
     "rVal = rpc_GetStreamInfo(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nDeviceIndex, &wstrXML)"},
};

TEST(CallTexts, EveryForwardingExportShowsItsRemoteCall) {
    ASSERT_EQ(kExpectedTexts.size(), static_cast<size_t>(KESTREL_FORWARDING_EXPORT_COUNT));
#define KESTREL_CHECK_TEXT(OP, R, NAME, PARAMS, ARGS) \
    EXPECT_EQ(kestrel::driver_api::kCallText<kestrel::remote::Opnum::NAME>.data(), kExpectedTexts.at(#NAME)) << #NAME;
    KESTREL_FORWARDING_EXPORTS(KESTREL_CHECK_TEXT)
#undef KESTREL_CHECK_TEXT
}

}  // namespace
