// The call text of every forwarding export, as its exception line must
// show it, against the text the library makes from the interface table and
// the export list (driver_api/CallTexts.h): the rule and its exceptions are
// checked for all 86 at once. The expected texts are written out, one a
// line; each is found by the procedure it names ("rpc_Name(").
#include <kestrel/driver_exports.h>

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "driver_api/CallTexts.h"

namespace {

constexpr const char* kExpectedTexts = R"(
rVal = rpc_OpenConnection(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, bShowHalfsize, nCamNo)
rVal = rpc_OpenStreamConnection(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, bShowHalfsize, nCamNo)
rpc_CloseConnection2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo)
rpc_ConfigDevice2(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)username, (RpcCChar*)password, nCamNo, Halfsize, asize)
rVal = rpc_ChangePassword(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, (RpcCChar*)szNewPassword)
res = rpc_GetInfo(RPCCONTEXT, (RpcCChar*)strIP, (RpcCChar*)strPass, (RpcChar**)&xpcMAC, (RpcChar**)&xpcDevType)
rpc_RefreshConfiguration(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo)
rVal = rpc_QueryIsIpix(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QueryIsCeilingMode(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rpc_SetPollingRate(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, iRate)
rpc_TriggerOutput(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPass, iOutput, uiDuration)
rVal = rpc_SetOutput(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPass, iOutput, bActive)
rVal = rpc_QueryDeviceControlledFramerates(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nCamNo, piNumFPSValues, ppdFPSValuesArray, ppdFPSInternalValsArray)
rVal = rpc_GetDeviceControlledFramerate(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nCamNo, pdFPSValue, pdFPSInternalVal)
rVal = rpc_SetDeviceControlledFramerate(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nCamNo, dFPSInternalVal)
rVal = rpc_QueryDeviceControlsFramerate(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nCamNo, pbDoesControlFPS)
rpc_MoveCamera2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nDir)
rpc_PanTiltCamera2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nDriver, nPan, nTilt)
rpc_ZoomCamera2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nDriver, nZoom)
rpc_PTZCamera(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nDriver, nPan, nTilt, nZoom)
rpc_SetPanTiltDriver(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nLength, nDriver, nComPort, nAdrId)
rVal = rpc_QueryPTZMoveXY(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver)
rpc_PTZMoveXY(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, nSpeedX, nSpeedY)
rVal = rpc_QueryPTZMoveXYZ(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver)
rpc_PTZMoveXYZ(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, nSpeedX, nSpeedY, nSpeedZ)
rVal = rpc_GetPTZPos(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nDriver, pPan, pTilt, pZoom)
rVal = rpc_QueryPresetPositions(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, nPresetMax, 256, &locPresetnames)
rVal = rpc_MoveToPresetPosition(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, (RpcCChar*)szPresetName)
rpc_PTZAreaZoom(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, nX, nY, nWidth, nHeight, nSpeed)
rpc_PTZCommand(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, nCommand, nSpeed)
rVal = rpc_PTZCommandSupported(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, nCommand)
rVal = rpc_PTZGetAbsolute(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, pPan, pTilt, pZoom, pFocus)
rpc_PTZSetAbsolute(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, nPan, nTilt, nZoom, nSpeed, nFocus)
rVal = rpc_PTZGetAbsoluteDoubles(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, pPan, pTilt, pZoom, pFocus)
rpc_PTZSetAbsoluteDoubles(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, dPan, dTilt, dZoom, dFocus)
rpc_PTZSetAbsoluteDoublesSpeed(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUsername, (RpcCChar*)szPassword, nCamNo, nDriver, dPan, dTilt, dZoom, dFocus, dSpeed)
rpc_GetImage2(pCTX->m_hCtx, (RpcCChar*)szServer, nCamNo, &nSize, pJpgBytes)
rVal = rpc_GetVideoDataBlock(RPCCONTEXT, (RpcCChar*)szServer, nCamNo, &nSize, ppVideoDataBytes)
rVal = rpc_OpenMediaStream(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nMediaType, nDeviceIndex, nStreamIndex, (RpcCChar*)szEventName)
rVal = rpc_OpenMediaStreamWithSettings(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nMediaType, nDeviceIndex, nStreamIndex, (RpcCChar*)szEventName, *settingsXml)
rVal = rpc_GetMediaDataBlock(RPCCONTEXT, (RpcCChar*)szServer, nMediaType, nDeviceIndex, nStreamIndex, &nSize, ppMediaDataBytes)
rVal = rpc_PutMediaDataBlock(RPCCONTEXT, (RpcCChar*)szServer, nMediaType, nDeviceIndex, nStreamIndex, nLength, pMediaDataBytes, pResultCode)
rpc_CloseMediaStream(pCTX->m_hCtx, (RpcCChar*)szServer, nMediaType, nDeviceIndex, nStreamIndex)
rVal = rpc_SetMediaStreamPollingRate(pCTX->m_hCtx, (RpcCChar*)szServer, nMediaType, nDeviceIndex, nStreamIndex, dNewPollingRate)
rVal = rpc_Play(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex, time_stamp, dSpeed)
rVal = rpc_Pause(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex)
rVal = rpc_ExecuteCustomCommand(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nMediaType, nDeviceIndex, nStreamIndex, (RpcCChar*)szCommand)
rVal = rpc_GetTimeLine(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex, iStartTime, iEndTime, &wstrRecordingTimeInfo)
rVal = rpc_Retrieve(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex, iStartTime, iEndTime)
rVal = rpc_RetrieveStatus(pCTX->m_hCtx, (RpcCChar*)szServer, eMediaType, nDeviceIndex, nStreamIndex)
rVal = rpc_QueryNumberOfAudioInputs(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QueryNumberOfAudioOutputs(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QueryIsAbsoluteDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nDeviceType)
rVal = rpc_QueryIsPTZDeviceDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QueryPtzCenterClickDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QueryPtzMoveAdvancedDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QueryPtzPortsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QueryPtzZoomRelDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QueryPTZPosDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QueryChangePortsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QueryDeviceIdDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QueryNumberOfCamDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QueryAudioInputsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QueryAudioOutputsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QueryNoInputDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QueryNoOutputDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QuerySendFtpDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QueryIsBrowsableDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_FunctionSupported(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, (RpcCChar*)szFunctionName)
rVal = rpc_IsDebugBuildDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_QueryPtzSupportedDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, 256, &size, (RpcChar***)&ppszSupported)
{ rpc_QueryDeviceTypeStrDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, (RpcChar**)&pcDevType); bOk = true; }
rVal = rpc_BeginDefineEvent(pCTX->m_hCtx, (RpcCChar*)szHostIP, (RpcCChar*)szUsername, (RpcCChar*)szPassword, bEraseAll)
rVal = rpc_EndDefineEvent(pCTX->m_hCtx, (RpcCChar*)szHostIP, (RpcCChar*)szUsername, (RpcCChar*)szPassword)
rVal = rpc_DefineEventDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, (RpcCChar*)szInput, (RpcCChar*)szDestIP, (RpcCChar*)szDestPort, (RpcCChar*)szMessage, nUseBuffer)
rVal = rpc_QueryEventsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPass, 256, nofUsedEvents, (RpcCChar**)aszUsedEvents, &nofOpenEvents, (RpcChar***)&aszOpenEvents)
rVal = rpc_SetEventsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nofEvents, aszEvents)
rVal = rpc_QueryEventTypeDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword)
rVal = rpc_OpenXmlEventParserDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, (RpcCChar*)szEventType)
rVal = rpc_ParseXmlEventDataDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, nParserHandle, nLength, inputData, &wstrXml)
rpc_CloseXmlEventParserDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, nParserHandle)
rVal = rpc_GetXml(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, (RpcCChar*)szFilter, &wstrXML)
rVal = rpc_SetXmlParams(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, bsXml, &wstrXML)
rVal = rpc_SetXmlEvents(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, bsXml, &wstrXML)
rVal = rpc_GenerateCredentialsDyn(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szUser, (RpcCChar*)szPassword, &wstrCredentials)
rVal = rpc_GetStreamInfo(pCTX->m_hCtx, (RpcCChar*)szServer, (RpcCChar*)szPassword, nDeviceIndex, &wstrXML))";

TEST(CallTexts, EveryForwardingExportShowsItsRemoteCall) {
    std::map<std::string, std::string> expected;
    std::istringstream lines(kExpectedTexts + 1);
    for (std::string strLine; std::getline(lines, strLine);) {
        const size_t nName = strLine.find("rpc_") + 4;
        expected[strLine.substr(nName, strLine.find('(', nName) - nName)] = strLine;
    }
    ASSERT_EQ(expected.size(), static_cast<size_t>(KESTREL_FORWARDING_EXPORT_COUNT));
#define KESTREL_CHECK_TEXT(OP, R, NAME, PARAMS, ARGS) \
    EXPECT_EQ(kestrel::driver_api::kCallText<kestrel::remote::Opnum::NAME>.data(), expected[#NAME]) << #NAME;
    KESTREL_FORWARDING_EXPORTS(KESTREL_CHECK_TEXT)
#undef KESTREL_CHECK_TEXT
}

}  // namespace
