/*
 * driver_exports.h - every export of the driver API as one list.
 *
 * Code that has to treat all exports alike (HostProc's table of resolved
 * driver functions, drivers that wrap every export, table-driven tests, the
 * C interface libKestrelC.so) expands these lists instead of repeating the
 * signatures.
 *
 *   KESTREL_FORWARDING_EXPORTS(X)     the 86 exports that name an instance
 *   KESTREL_DRIVER_SERVICE_EXPORTS(X) SetFeatureSet and DeleteBuffer, which
 *                                     every driver exports besides
 *   KESTREL_INSTANCE_EXPORTS(X)       AddDeviceInstance, RemoveDeviceInstance
 *                                     (libKestrel.so only)
 *   KESTREL_LOCAL_EXPORTS(X)          the exports libKestrel.so answers itself
 *
 * X is called as X(OPNUM, RESULT, NAME, PARAMS, ARGS):
 *   OPNUM   the opnum of the remote procedure rpc_NAME (-1: none)
 *   RESULT  the result type (void, int, short or bool)
 *   NAME    the export's name
 *   PARAMS  the parenthesised parameter list, with names, in the export's
 *           order (which differs from the remote order for
 *           PutMediaDataBlock and ParseXmlEventDataDyn: data before length);
 *           (void) when there is none
 *   ARGS    the parenthesised parameter names, for forwarding calls
 *
 * Examples:
 *   #define DECLARE_POINTER(OP, R, NAME, PARAMS, ARGS) R(*p##NAME) PARAMS = nullptr;
 *   struct DriverTable { KESTREL_FORWARDING_EXPORTS(DECLARE_POINTER) };
 *
 *   #define RESOLVE(OP, R, NAME, PARAMS, ARGS) \
 *       table.p##NAME = reinterpret_cast<R(*) PARAMS>(dlsym(h, #NAME));
 *
 * The two parameter types that C spells differently are written T(BSTR) and
 * T(CStringArrayRef). The lists above expand them as the driver API's types
 * (KESTREL_CXX_TYPE); each list also exists as NAME_T(X, T), with which
 * <kestrel/kestrel_c.h> expands them as C types. This part is plain
 * preprocessor text that C can read.
 *
 * In C++, the entries are checked at compile time against the declarations of
 * kestrel.h, so the list and the header cannot drift apart.
 */
#ifndef KESTREL_DRIVER_EXPORTS_LIST_H
#define KESTREL_DRIVER_EXPORTS_LIST_H

#define KESTREL_CXX_TYPE(TAG) KESTREL_CXX_TYPE_##TAG
#define KESTREL_CXX_TYPE_BSTR BSTR
#define KESTREL_CXX_TYPE_CStringArrayRef CStringArray&

#define KESTREL_FORWARDING_EXPORTS(X) KESTREL_FORWARDING_EXPORTS_T(X, KESTREL_CXX_TYPE)
#define KESTREL_DRIVER_SERVICE_EXPORTS(X) KESTREL_DRIVER_SERVICE_EXPORTS_T(X, KESTREL_CXX_TYPE)
#define KESTREL_INSTANCE_EXPORTS(X) KESTREL_INSTANCE_EXPORTS_T(X, KESTREL_CXX_TYPE)
#define KESTREL_LOCAL_EXPORTS(X) KESTREL_LOCAL_EXPORTS_T(X, KESTREL_CXX_TYPE)

#define KESTREL_FORWARDING_EXPORT_COUNT 86

// clang-format off
#define KESTREL_FORWARDING_EXPORTS_T(X, T) \
    X(2, int, BeginDefineEvent, (const char* szHostIP, const char* szUsername, const char* szPassword, int bEraseAll), (szHostIP, szUsername, szPassword, bEraseAll)) \
    X(3, int, ChangePassword, (const char* szServer, const char* szUsername, const char* szPassword, const char* szNewPassword), (szServer, szUsername, szPassword, szNewPassword)) \
    X(5, void, CloseConnection2, (const char* szServer, int nCamNo), (szServer, nCamNo)) \
    X(6, void, ConfigDevice2, (const char* szServer, const char* username, const char* password, int nCamNo, int* Halfsize, int* asize), (szServer, username, password, nCamNo, Halfsize, asize)) \
    X(7, int, EndDefineEvent, (const char* szHostIP, const char* szUsername, const char* szPassword), (szHostIP, szUsername, szPassword)) \
    X(8, int, GetImage2, (const char* szServer, int nCamNo, unsigned char** pJpgBytes), (szServer, nCamNo, pJpgBytes)) \
    X(9, int, GetInfo, (const char* strIP, const char* strPass, char* pcMAC, char* pcDevType), (strIP, strPass, pcMAC, pcDevType)) \
    X(10, void, MoveCamera2, (const char* szServer, int nCamNo, int nDir), (szServer, nCamNo, nDir)) \
    X(11, int, OpenConnection, (const char* szServer, const char* szPassword, int bShowHalfsize, int nCamNo), (szServer, szPassword, bShowHalfsize, nCamNo)) \
    X(12, int, OpenStreamConnection, (const char* szServer, const char* szPassword, int bShowHalfsize, int nCamNo), (szServer, szPassword, bShowHalfsize, nCamNo)) \
    X(13, void, PanTiltCamera2, (const char* szServer, int nCamNo, int nDriver, int nPan, int nTilt), (szServer, nCamNo, nDriver, nPan, nTilt)) \
    X(14, void, SetPanTiltDriver, (const char* szServer, const char* szUsername, const char* szPassword, const int* nDriver, const int* nComPort, const int* nAdrId), (szServer, szUsername, szPassword, nDriver, nComPort, nAdrId)) \
    X(15, void, ZoomCamera2, (const char* szServer, int nCamNo, int nDriver, int nZoom), (szServer, nCamNo, nDriver, nZoom)) \
    X(16, void, PTZCamera, (const char* szServer, int nCamNo, int nDriver, int nPan, int nTilt, int nZoom), (szServer, nCamNo, nDriver, nPan, nTilt, nZoom)) \
    X(17, int, QueryPTZMoveXY, (const char* szServer, const char* szUsername, const char* szPassword, int nCamNo, int nDriver), (szServer, szUsername, szPassword, nCamNo, nDriver)) \
    X(18, void, PTZMoveXY, (const char* szServer, const char* szUsername, const char* szPassword, int nCamNo, int nDriver, int nSpeedX, int nSpeedY), (szServer, szUsername, szPassword, nCamNo, nDriver, nSpeedX, nSpeedY)) \
    X(19, int, QueryPTZMoveXYZ, (const char* szServer, const char* szUsername, const char* szPassword, int nCamNo, int nDriver), (szServer, szUsername, szPassword, nCamNo, nDriver)) \
    X(20, void, PTZMoveXYZ, (const char* szServer, const char* szUsername, const char* szPassword, int nCamNo, int nDriver, int nSpeedX, int nSpeedY, int nSpeedZ), (szServer, szUsername, szPassword, nCamNo, nDriver, nSpeedX, nSpeedY, nSpeedZ)) \
    X(21, int, GetPTZPos, (const char* szServer, int nCamNo, int nDriver, int* pPan, int* pTilt, int* pZoom), (szServer, nCamNo, nDriver, pPan, pTilt, pZoom)) \
    X(22, int, QueryPresetPositions, (const char* szServer, int nCamNo, int nPresetMax, char** pszPresetNames), (szServer, nCamNo, nPresetMax, pszPresetNames)) \
    X(23, int, MoveToPresetPosition, (const char* szServer, int nCamNo, const char* szPresetName), (szServer, nCamNo, szPresetName)) \
    X(24, void, SetPollingRate, (const char* szServer, int nCamNo, int iRate), (szServer, nCamNo, iRate)) \
    X(25, void, TriggerOutput, (const char* szServer, const char* szPass, int iOutput, int uiDuration), (szServer, szPass, iOutput, uiDuration)) \
    X(26, int, SetOutput, (const char* szServer, const char* szPass, int iOutput, int bActive), (szServer, szPass, iOutput, bActive)) \
    X(27, int, GetVideoDataBlock, (const char* szServer, int nCamNo, unsigned char** ppVideoDataBytes), (szServer, nCamNo, ppVideoDataBytes)) \
    X(28, int, QueryDeviceControlledFramerates, (const char* szServer, const char* szPassword, int nCamNo, int* piNumFPSValues, double** ppdFPSValuesArray, double** ppdFPSInternalValsArray), (szServer, szPassword, nCamNo, piNumFPSValues, ppdFPSValuesArray, ppdFPSInternalValsArray)) \
    X(29, int, GetDeviceControlledFramerate, (const char* szServer, const char* szPassword, int nCamNo, double* pdFPSValue, double* pdFPSInternalVal), (szServer, szPassword, nCamNo, pdFPSValue, pdFPSInternalVal)) \
    X(30, int, SetDeviceControlledFramerate, (const char* szServer, const char* szPassword, int nCamNo, double dFPSInternalVal), (szServer, szPassword, nCamNo, dFPSInternalVal)) \
    X(31, int, QueryDeviceControlsFramerate, (const char* szServer, const char* szPassword, int nCamNo, int* pbDoesControlFPS), (szServer, szPassword, nCamNo, pbDoesControlFPS)) \
    X(32, void, PTZAreaZoom, (const char* szServer, const char* szUsername, const char* szPassword, int nCamNo, int nDriver, int nX, int nY, int nWidth, int nHeight, int nSpeed), (szServer, szUsername, szPassword, nCamNo, nDriver, nX, nY, nWidth, nHeight, nSpeed)) \
    X(33, void, PTZCommand, (const char* szServer, const char* szUsername, const char* szPassword, int nCamNo, int nDriver, int nCommand, int nSpeed), (szServer, szUsername, szPassword, nCamNo, nDriver, nCommand, nSpeed)) \
    X(34, int, PTZCommandSupported, (const char* szServer, const char* szUsername, const char* szPassword, int nCamNo, int nDriver, int nCommand), (szServer, szUsername, szPassword, nCamNo, nDriver, nCommand)) \
    X(35, int, PTZGetAbsolute, (const char* szServer, const char* szUsername, const char* szPassword, int nCamNo, int nDriver, int* pPan, int* pTilt, int* pZoom, int* pFocus), (szServer, szUsername, szPassword, nCamNo, nDriver, pPan, pTilt, pZoom, pFocus)) \
    X(36, void, PTZSetAbsolute, (const char* szServer, const char* szUsername, const char* szPassword, int nCamNo, int nDriver, int nPan, int nTilt, int nZoom, int nSpeed, int nFocus), (szServer, szUsername, szPassword, nCamNo, nDriver, nPan, nTilt, nZoom, nSpeed, nFocus)) \
    X(37, int, PTZGetAbsoluteDoubles, (const char* szServer, const char* szUsername, const char* szPassword, int nCamNo, int nDriver, double* pPan, double* pTilt, double* pZoom, double* pFocus), (szServer, szUsername, szPassword, nCamNo, nDriver, pPan, pTilt, pZoom, pFocus)) \
    X(38, void, PTZSetAbsoluteDoubles, (const char* szServer, const char* szUsername, const char* szPassword, int nCamNo, int nDriver, double dPan, double dTilt, double dZoom, double dFocus), (szServer, szUsername, szPassword, nCamNo, nDriver, dPan, dTilt, dZoom, dFocus)) \
    X(39, void, PTZSetAbsoluteDoublesSpeed, (const char* szServer, const char* szUsername, const char* szPassword, int nCamNo, int nDriver, double dPan, double dTilt, double dZoom, double dFocus, double dSpeed), (szServer, szUsername, szPassword, nCamNo, nDriver, dPan, dTilt, dZoom, dFocus, dSpeed)) \
    X(40, int, QueryNumberOfAudioInputs, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(41, int, QueryNumberOfAudioOutputs, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(44, int, OpenMediaStream, (const char* szServer, const char* szPassword, int nMediaType, int nDeviceIndex, int nStreamIndex, const char* szEventName), (szServer, szPassword, nMediaType, nDeviceIndex, nStreamIndex, szEventName)) \
    X(45, int, GetMediaDataBlock, (const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex, unsigned char** ppMediaDataBytes), (szServer, nMediaType, nDeviceIndex, nStreamIndex, ppMediaDataBytes)) \
    X(46, int, PutMediaDataBlock, (const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex, const unsigned char* pMediaDataBytes, int nLength, int* pResultCode), (szServer, nMediaType, nDeviceIndex, nStreamIndex, pMediaDataBytes, nLength, pResultCode)) \
    X(47, void, CloseMediaStream, (const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex), (szServer, nMediaType, nDeviceIndex, nStreamIndex)) \
    X(48, int, SetMediaStreamPollingRate, (const char* szServer, int nMediaType, int nDeviceIndex, int nStreamIndex, double dNewPollingRate), (szServer, nMediaType, nDeviceIndex, nStreamIndex, dNewPollingRate)) \
    X(50, int, GetXml, (const char* szServer, const char* szUser, const char* szPassword, const char* szFilter, T(BSTR)* bsXml), (szServer, szUser, szPassword, szFilter, bsXml)) \
    X(51, bool, SetXmlParams, (const char* szServer, const char* szUser, const char* szPassword, T(BSTR)* bsXml), (szServer, szUser, szPassword, bsXml)) \
    X(53, bool, SetXmlEvents, (const char* szServer, const char* szUser, const char* szPassword, T(BSTR)* bsXml), (szServer, szUser, szPassword, bsXml)) \
    X(54, int, Play, (const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex, long long time_stamp, double dSpeed), (szServer, eMediaType, nDeviceIndex, nStreamIndex, time_stamp, dSpeed)) \
    X(55, int, Pause, (const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex), (szServer, eMediaType, nDeviceIndex, nStreamIndex)) \
    X(56, int, ExecuteCustomCommand, (const char* szServer, const char* szPassword, int nMediaType, int nDeviceIndex, int nStreamIndex, const char* szCommand), (szServer, szPassword, nMediaType, nDeviceIndex, nStreamIndex, szCommand)) \
    X(57, int, GetTimeLine, (const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex, long long iStartTime, long long iEndTime, T(BSTR)* bsRecordingTimeInfo), (szServer, eMediaType, nDeviceIndex, nStreamIndex, iStartTime, iEndTime, bsRecordingTimeInfo)) \
    X(58, int, Retrieve, (const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex, long long iStartTime, long long iEndTime), (szServer, eMediaType, nDeviceIndex, nStreamIndex, iStartTime, iEndTime)) \
    X(59, int, RetrieveStatus, (const char* szServer, int eMediaType, int nDeviceIndex, int nStreamIndex), (szServer, eMediaType, nDeviceIndex, nStreamIndex)) \
    X(60, int, QueryIsIpix, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(61, int, QueryIsCeilingMode, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(62, void, RefreshConfiguration, (const char* szServer, const char* szUsername, const char* szPassword, int nCamNo), (szServer, szUsername, szPassword, nCamNo)) \
    X(64, int, DefineEventDyn, (const char* szServer, const char* szPassword, const char* szInput, const char* szDestIP, const char* szDestPort, const char* szMessage, int nUseBuffer), (szServer, szPassword, szInput, szDestIP, szDestPort, szMessage, nUseBuffer)) \
    X(65, int, QueryEventsDyn, (const char* szServer, const char* szPass, T(CStringArrayRef) aszUsedEvents, T(CStringArrayRef) aszOpenEvents), (szServer, szPass, aszUsedEvents, aszOpenEvents)) \
    X(66, int, SetEventsDyn, (const char* szServer, const char* szPassword, T(CStringArrayRef) aszEvents), (szServer, szPassword, aszEvents)) \
    X(67, int, QueryIsAbsoluteDyn, (const char* szServer, const char* szPassword, int nDeviceType), (szServer, szPassword, nDeviceType)) \
    X(68, int, QueryIsPTZDeviceDyn, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(69, int, QueryPtzCenterClickDyn, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(70, int, QueryPtzMoveAdvancedDyn, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(71, int, QueryPtzPortsDyn, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(72, int, QueryPtzSupportedDyn, (const char* szServer, const char* szPassword, char** ppszSupported), (szServer, szPassword, ppszSupported)) \
    X(73, int, QueryPtzZoomRelDyn, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(74, int, QueryPTZPosDyn, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(75, int, QueryChangePortsDyn, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(76, int, QueryDeviceIdDyn, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(77, void, QueryDeviceTypeStrDyn, (const char* szServer, const char* szPassword, char* pcDevType), (szServer, szPassword, pcDevType)) \
    X(78, int, QueryNumberOfCamDyn, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(79, int, QueryAudioInputsDyn, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(80, int, QueryAudioOutputsDyn, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(81, int, QueryNoInputDyn, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(82, int, QueryNoOutputDyn, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(83, int, QuerySendFtpDyn, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(84, short, QueryEventTypeDyn, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(85, short, OpenXmlEventParserDyn, (const char* szServer, const char* szUser, const char* szPassword, const char* szEventType), (szServer, szUser, szPassword, szEventType)) \
    X(86, int, ParseXmlEventDataDyn, (const char* szServer, const char* szUser, const char* szPassword, short nParserHandle, const unsigned char* inputData, int nLength, T(BSTR)* bsXml), (szServer, szUser, szPassword, nParserHandle, inputData, nLength, bsXml)) \
    X(87, void, CloseXmlEventParserDyn, (const char* szServer, const char* szUser, const char* szPassword, short nParserHandle), (szServer, szUser, szPassword, nParserHandle)) \
    X(88, int, GenerateCredentialsDyn, (const char* szServer, const char* szUser, const char* szPassword, T(BSTR)* bsCredentials), (szServer, szUser, szPassword, bsCredentials)) \
    X(89, int, QueryIsBrowsableDyn, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(91, int, FunctionSupported, (const char* szServer, const char* szPassword, const char* szFunctionName), (szServer, szPassword, szFunctionName)) \
    X(92, int, GetStreamInfo, (const char* szServer, const char* szPassword, int nDeviceIndex, T(BSTR)* bsXml), (szServer, szPassword, nDeviceIndex, bsXml)) \
    X(93, bool, OpenMediaStreamWithSettings, (const char* szServer, const char* szPassword, int nMediaType, int nDeviceIndex, int nStreamIndex, const char* szEventName, T(BSTR)* settingsXml), (szServer, szPassword, nMediaType, nDeviceIndex, nStreamIndex, szEventName, settingsXml)) \
    X(94, bool, IsDebugBuildDyn, (const char* szServer, const char* szPassword), (szServer, szPassword))

#define KESTREL_DRIVER_SERVICE_EXPORTS_T(X, T) \
    X(43, void, SetFeatureSet, (const char* szFeatureSet), (szFeatureSet)) \
    X(-1, void, DeleteBuffer, (unsigned char* p), (p))

#define KESTREL_INSTANCE_EXPORTS_T(X, T) \
    X(-1, int, AddDeviceInstance, (const char* szServer, const char* szDriverName, const char* szProxyServerName), (szServer, szDriverName, szProxyServerName)) \
    X(-1, void, RemoveDeviceInstance, (const char* szServer), (szServer))

#define KESTREL_LOCAL_EXPORTS_T(X, T) \
    X(-1, int, QueryDeviceId, (const char* szServer, const char* szPassword), (szServer, szPassword)) \
    X(-1, int, PreventAutoDetect, (void), ()) \
    X(-1, int, IsDebugBuild, (void), ()) \
    X(-1, int, GetRuntimeVersion, (void), ()) \
    X(-1, int, GetRuntimeVersionDyn, (void), ()) \
    X(-1, void, PreUnload, (void), ())
// clang-format on

#endif /* KESTREL_DRIVER_EXPORTS_LIST_H */

/* The C interface reads the list alone; everything below is C++. */
#if defined(__cplusplus) && !defined(KESTREL_DRIVER_EXPORTS_LIST_ONLY) && !defined(KESTREL_DRIVER_EXPORTS_H)
#define KESTREL_DRIVER_EXPORTS_H

#include <kestrel/kestrel.h>

#include <type_traits>

/* Compile-time checks: each entry matches its declaration in kestrel.h, and
 * the list is complete. */
#define KESTREL_CHECK_EXPORT_SIGNATURE_(OP, R, NAME, PARAMS, ARGS) \
    static_assert(std::is_same_v<decltype(&::NAME), R(*) PARAMS>,  \
                  "driver_exports.h disagrees with kestrel.h about " #NAME);
KESTREL_FORWARDING_EXPORTS(KESTREL_CHECK_EXPORT_SIGNATURE_)
KESTREL_DRIVER_SERVICE_EXPORTS(KESTREL_CHECK_EXPORT_SIGNATURE_)
KESTREL_INSTANCE_EXPORTS(KESTREL_CHECK_EXPORT_SIGNATURE_)
KESTREL_LOCAL_EXPORTS(KESTREL_CHECK_EXPORT_SIGNATURE_)
#undef KESTREL_CHECK_EXPORT_SIGNATURE_

#define KESTREL_COUNT_EXPORT_(OP, R, NAME, PARAMS, ARGS) +1
static_assert(0 KESTREL_FORWARDING_EXPORTS(KESTREL_COUNT_EXPORT_) == KESTREL_FORWARDING_EXPORT_COUNT,
              "the forwarding export list must hold every forwarding export");
#undef KESTREL_COUNT_EXPORT_

#endif /* KESTREL_DRIVER_EXPORTS_H */
